// Mail messages as the router's neighbours make them: deposited into a mail
// box the way the mail server does it, marked with a verdict the way the
// scanner does it, and found again by their own "VTMessageId" in any
// database, so that a test can tell where every message is.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "server/LocalNotesServices.h"
#include "support/RouterWorld.h"

namespace vt::testing {

// Where the configuration's defaults put the router's databases.
inline constexpr char kMailBox[] = "mail.box";
inline constexpr char kScanBox1[] = "Veltrane\\Scan\\Scan_1.box";
inline constexpr char kScanBox2[] = "Veltrane\\Scan\\Scan_2.box";
inline constexpr char kQuarantineB[] = "Veltrane\\QuarantineB_1.nsf";
inline constexpr char kQuarantineC[] = "Veltrane\\QuarantineC_1.nsf";
inline constexpr char kQuarantineD[] = "Veltrane\\QuarantineD_1.nsf";
// The item that names each message, whatever database it is in.
inline constexpr char kMessageIdItem[] = "VTMessageId";

// Form "Memo", a subject, the identifier, and VeltraneProcess "1"; extra
// items are added or replace these (VeltraneProcess "" gives a message the
// mail server did not flag for processing).
Items MemoItems(const std::string& id, const Items& extra = {});

// Adds a message with MemoItems(id, extra) to db; createdCentis 0 = now.
uint32_t DepositMessage(LocalNotesServices& server, const std::string& db,
                        const std::string& id, const Items& extra = {},
                        int64_t createdCentis = 0);

// The note ID of the message in db, 0 when it is not there.
uint32_t FindMessage(LocalNotesServices& server, const std::string& db,
                     const std::string& id);

// Sets items on the message in db; false when it is not there.
bool SetMessageItems(LocalNotesServices& server, const std::string& db,
                     const std::string& id, const Items& items);

// The scanner's verdict: VeltraneVerified "1" and Kesto_Router route.
bool GiveVerdict(LocalNotesServices& server, const std::string& db,
                 const std::string& id, const std::string& route);

// A text item of the message in db ("" when absent).
std::string MessageItem(LocalNotesServices& server, const std::string& db,
                        const std::string& id, const char* item);
// Whether the message in db has the item at all.
bool MessageHasItem(LocalNotesServices& server, const std::string& db,
                    const std::string& id, const char* item);

// One copy of a message as found in a database, with the items asked for
// ("" for an item it lacks).
struct MessageCopy {
  std::string db;
  uint32_t noteId = 0;
  std::string id;
  std::map<std::string, std::string> items;
};
// Every message (document with a "VTMessageId") in dbs, each database opened
// once: cheap enough to run after every pass.
std::vector<MessageCopy> Survey(LocalNotesServices& server,
                                const std::vector<std::string>& dbs,
                                const std::vector<std::string>& items = {});

// For every identifier found in dbs, the databases holding it, one entry per
// copy (a message twice in one database shows that database twice).
using Census = std::map<std::string, std::vector<std::string>>;
Census TakeCensus(LocalNotesServices& server,
                  const std::vector<std::string>& dbs);
Census CensusOf(const std::vector<MessageCopy>& survey);

// "id: [db, db]" lines of the messages not in exactly one database.
std::string MisplacedMessages(const Census& census,
                              const std::vector<std::string>& ids);

}  // namespace vt::testing
