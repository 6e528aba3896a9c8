// The record of one open (or openable) Notes database: the server and path
// it was named by, the name actually opened, its handle, and its last
// failure. Scan boxes, quarantines and (as the base of ServerConfig) the
// administration database are each one record. A record owns its handle:
// destroying it closes the database.
#pragma once

#include <cstdint>
#include <memory>

#include "databases/DatabaseName.h"
#include "log/TaskLog.h"
#include "notes/FixedText.h"
#include "notes/NotesServices.h"

namespace vt {

inline constexpr uint32_t kDatabaseOpenFlag = 0x1;
inline constexpr size_t kStatusTextSize = 400;
inline constexpr size_t kLastMessageSize = 500;

class MailDatabase {
 public:
  explicit MailDatabase(NotesServices& notes);
  virtual ~MailDatabase();
  MailDatabase(const MailDatabase&) = delete;
  MailDatabase& operator=(const MailDatabase&) = delete;

  // A record for a database that a creation has already left open; null when
  // memory is exhausted.
  static std::unique_ptr<MailDatabase> CreateOpen(NotesServices& notes,
                                                  const char* path,
                                                  const char* server,
                                                  DbHandle handle);

  // Stores server and path and builds netPath by the "local" rule.
  void SetNames(const char* server, const char* path);
  // Opens server/path into this record (which must not be open). Returns 0,
  // the failure's status masked to 14 bits, or 0x0107 for a missing name.
  Status Open(const char* server, const char* path);
  // Closes the handle if open; always forgets it.
  Status Close();
  bool IsOpen() const;

  // Records status and its platform text; clears lastMessage.
  void SetErrorFromStatus(Status status);
  // Formats, records and logs a failure (the status goes with the line).
  void ReportError(Status status, const char* format, ...)
      __attribute__((format(printf, 3, 4)));

  NotesServices& notes() const { return notes_; }

  uint32_t openFlags = 0;
  DbHandle dbHandle;
  uint16_t lastStatus = 0;
  FixedText<kServerNameSize> server;
  FixedText<kPathSize> path;
  FixedText<kNetPathSize> netPath;
  FixedText<kStatusTextSize> statusText;
  FixedText<kLastMessageSize> lastMessage;

 private:
  NotesServices& notes_;
};

}  // namespace vt
