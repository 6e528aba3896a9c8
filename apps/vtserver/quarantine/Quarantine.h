// The quarantine as an administrator sees it: every quarantine database of
// a perimeter (the configured one and the rolled-over, numbered ones beside
// it that are still on disk), the messages in them, and one message found
// by its universal ID, which it keeps through every copy and roll-over.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "datadir/Outcome.h"
#include "datadir/RouterSettings.h"
#include "notes/NoteItem.h"
#include "quarantine/MessageFacts.h"
#include "server/LocalNotesServices.h"

namespace vt::tool {

struct QuarantineFile {
  char perimeter = 0;
  std::string path;      // relative to the data directory, '/' separators
  uint32_t number = 0;   // the number after its last '_'; 0 for none
  bool current = false;  // the one the configuration names
};

// The quarantine databases of the perimeters (all when letter is 0), by
// perimeter and then by number. The configured one is listed even when it
// does not exist yet.
std::vector<QuarantineFile> QuarantineFiles(const LocalNotesServices& server,
                                            const RouterSettings& settings,
                                            char letter);

struct QuarantinedMessage {
  char perimeter = 0;
  std::string database;
  uint32_t noteId = 0;
  UniversalId unid{};
  int64_t created = 0;  // Unix centiseconds: when the message was written
  std::string from;
  std::string sendTo;  // a list joined with ';'
  std::string subject;
  std::vector<std::string> recipients;  // RecipientsOf
  std::optional<uint64_t> size;         // VTSmtpSize: bytes
  ScanEvidence scan;
};

// Calls visit for every message of file. A database that does not exist is
// empty; one that cannot be read is a failure naming it.
Outcome ForEachQuarantined(
    NotesServices& notes, ServerAdmin& admin, const QuarantineFile& file,
    const std::function<void(const QuarantinedMessage&)>& visit);

// Which messages a listing wants, as an administrator searches for them.
struct QuarantineQuery {
  std::string from;              // From contains this (any case); empty: any
  std::string subject;           // Subject contains this (any case); empty: any
  std::string to;                // a recipient contains this (any case)
  std::optional<int64_t> since;  // written at or after (Unix centiseconds)
  std::optional<int64_t> before;  // written before
  size_t offset = 0;              // skipped of the newest first
  size_t limit = 0;               // at most this many; 0: all
};

// Whether message is one query searches for (offset and limit aside).
bool Matches(const QuarantineQuery& query, const QuarantinedMessage& message);
// Whether query narrows the search at all.
bool Narrows(const QuarantineQuery& query);

// "2026-12-09", "2026-12-09 14:03" or "2026-12-09T14:03:07", in UTC, as
// Unix centiseconds; false for anything else.
bool ParseUtcDate(const std::string& text, int64_t* centis);

struct QuarantinePage {
  size_t total = 0;  // that match, before offset and limit
  std::vector<QuarantinedMessage> messages;  // newest first
};

// The messages of files that match query, newest first; a database that
// cannot be read is a failure naming it.
Outcome ListQuarantined(LocalNotesServices& server,
                        const std::vector<QuarantineFile>& files,
                        const QuarantineQuery& query, QuarantinePage* page);

// The universal IDs of every message of files that query finds (offset and
// limit aside), newest first: a change to all of them is made by ID.
Outcome MatchingIds(LocalNotesServices& server,
                    const std::vector<QuarantineFile>& files,
                    QuarantineQuery query, std::vector<std::string>* ids);

// 32 hexadecimal digits, upper case.
std::string UnidText(const UniversalId& unid);
// Accepts either case; false for anything but 32 hexadecimal digits.
bool ParseUnid(std::string_view text, UniversalId* unid);

// The quarantine database holding the message of that universal ID, with
// its note ID; nullopt when no quarantine holds it.
struct QuarantineHit {
  QuarantineFile file;
  uint32_t noteId = 0;
};
Outcome FindQuarantined(NotesServices& notes,
                        const std::vector<QuarantineFile>& files,
                        const UniversalId& unid,
                        std::optional<QuarantineHit>* hit);

// The same for an ID as an administrator typed it; a failure naming it when
// it is no universal ID or a database cannot be read.
Outcome FindQuarantinedById(NotesServices& notes,
                            const std::vector<QuarantineFile>& files,
                            const std::string& id, UniversalId* unid,
                            std::optional<QuarantineHit>* hit);

// One quarantined message with every item, as `show` prints it.
struct QuarantinedNote {
  QuarantineHit hit;
  UniversalId unid{};
  int64_t created = 0;  // Unix centiseconds
  std::vector<NoteItem> items;
};

// The message of an ID as an administrator typed it; a failure naming the
// ID when no quarantine holds it or it cannot be read.
Outcome ReadQuarantinedNote(LocalNotesServices& server,
                            const std::vector<QuarantineFile>& files,
                            const std::string& id, QuarantinedNote* note);

}  // namespace vt::tool
