// The router's configuration for this server, read from the server's
// configuration document in the administration database (found in the view
// "AdminServerConfig" under the server's own name). It is at the same time
// the record of the administration database itself.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "config/ConfigValues.h"
#include "databases/MailDatabase.h"
#include "system/SystemServices.h"

namespace vt {

class Collection;

inline constexpr char kConfigViewName[] = "AdminServerConfig";
inline constexpr char kDesignFlagPattern[] = "-G40n^";
inline constexpr size_t kMaxMailboxNames = 10;
inline constexpr size_t kMaxScanBoxNames = 10;
inline constexpr size_t kListEntryMax = 499;
inline constexpr char kSaveConfigMutexName[] = "VeltraneSaveConfig";
inline constexpr uint32_t kSaveConfigWaitMs = 15000;

// Results of Reinitialize.
inline constexpr uint16_t kReinitError = 0;
inline constexpr uint16_t kReinitReread = 1;
inline constexpr uint16_t kReinitUnchanged = 2;

class ServerConfig : public MailDatabase {
 public:
  ServerConfig(NotesServices& notes, SystemServices& system,
               const char* adminServerName, const char* adminPathName);
  ~ServerConfig() override;

  // Opens the administration database if needed, finds and reads the
  // configuration document. 0 on success; a server name or path too long
  // for its field is refused (logged, the field keeps its value) and the
  // read then fails with kBufferTooSmall after every item was read.
  Status Read();
  // Re-reads the document when it changed (or is gone, or the database is
  // closed): kReinitReread; kReinitUnchanged; kReinitError. A server not
  // responding is logged at the first failed check of each outage only.
  uint16_t Reinitialize();
  // Writes the three quarantine paths back into the document under the
  // machine-wide lock and refreshes configModified.
  Status SaveQuarantineNames();

  TimeDate configModified;
  uint32_t configNoteId = 0;
  FixedText<kServerNameSize> adminServer;
  FixedText<kPathSize> adminPath;
  FixedText<kServerNameSize> serverName;
  FixedText<kServerNameSize> mailboxServer;
  std::vector<std::string> mailboxNames;
  FixedText<kServerNameSize> scanningServer;
  std::vector<std::string> scanBoxNames;
  int16_t alternateInterceptor = 0;
  uint32_t maxQuarantineBytes = 0;
  FixedText<kServerNameSize> quarantineServerB;
  FixedText<kServerNameSize> quarantineServerC;
  FixedText<kServerNameSize> quarantineServerD;
  FixedText<kPathSize> quarantinePathB;
  FixedText<kPathSize> quarantinePathC;
  FixedText<kPathSize> quarantinePathD;
  uint16_t processingMode = 0;
  uint16_t logLevel = 0;
  uint32_t releaseMinutes = 0;

 private:
  Status OpenConfigView(uint32_t* viewNoteId, Collection* collection);
  // Returns the configuration note ID, or 0 with *result set on failure.
  uint32_t FindConfigNoteId(Status* result);
  void ReadTextList(NoteHandle note, const char* itemName,
                    std::vector<std::string>& list);
  // Reads the items after the mail boxes; false when a value was refused.
  bool ReadItems(NoteHandle note);
  // Reads a single text item into field; false (logged, field unchanged)
  // when the value does not fit.
  bool ReadText(NoteHandle note, const char* itemName, std::span<char> field);

  SystemServices& system_;
  // The change check failed because the administration database's server
  // did not respond, and said so: an outage is one line, not one a pass.
  bool unansweredCheckLogged_ = false;
};

}  // namespace vt
