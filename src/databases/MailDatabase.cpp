// Naming, opening, closing and failure reporting of one database record.
#include "databases/MailDatabase.h"

#include <cstring>
#include <new>

namespace vt {

MailDatabase::MailDatabase(NotesServices& notes) : notes_(notes) {}

MailDatabase::~MailDatabase() {
  Close().IgnoreError();
  openFlags = 0;
}

std::unique_ptr<MailDatabase> MailDatabase::CreateOpen(NotesServices& notes,
                                                       const char* path,
                                                       const char* server,
                                                       DbHandle handle) {
  std::unique_ptr<MailDatabase> record(new (std::nothrow) MailDatabase(notes));
  if (!record) return nullptr;
  record->SetNames(server, path);
  record->dbHandle = handle;
  record->openFlags |= kDatabaseOpenFlag;
  return record;
}

void MailDatabase::SetNames(const char* serverName, const char* dbPath) {
  // Build the name first: server and path may be this record's own fields.
  FixedText<kNetPathSize> name;
  BuildDatabaseName(notes_, serverName, dbPath, name.span()).IgnoreError();
  netPath.Assign(name.view());
  if (serverName != server.c_str()) server.Assign(serverName ? serverName : "");
  if (dbPath != path.c_str()) path.Assign(dbPath ? dbPath : "");
}

Status MailDatabase::Open(const char* serverName, const char* dbPath) {
  if (serverName == nullptr || dbPath == nullptr) return err::kMissingValue;
  // A name cut to fit its field would open (or later create) another
  // database: refuse it instead.
  if (std::strlen(serverName) >= kServerNameSize ||
      std::strlen(dbPath) >= kPathSize) {
    SetErrorFromStatus(err::kBufferTooSmall);
    ReportError(err::kBufferTooSmall, "Unable to open database %s %s. ",
                serverName, dbPath);
    return err::kBufferTooSmall;
  }
  SetNames(serverName, dbPath);
  const Status status = notes_.OpenDatabase(netPath.c_str(), &dbHandle);
  if (!status.ok()) {
    dbHandle = DbHandle();
    SetErrorFromStatus(status);
    ReportError(status, "Unable to open database %s %s. ", serverName, dbPath);
    return status.Masked();
  }
  if (!dbHandle) {
    SetErrorFromStatus(err::kNoDatabaseHandle);
    ReportError(err::kNoDatabaseHandle, "Unable to open database %s %s. ",
                serverName, dbPath);
    return err::kNoDatabaseHandle;
  }
  openFlags |= kDatabaseOpenFlag;
  return Status();
}

Status MailDatabase::Close() {
  if ((openFlags & kDatabaseOpenFlag) == 0 || !dbHandle) return Status();
  const Status status = notes_.CloseDatabase(dbHandle);
  openFlags &= ~kDatabaseOpenFlag;
  dbHandle = DbHandle();
  return status;
}

bool MailDatabase::IsOpen() const {
  return (openFlags & kDatabaseOpenFlag) != 0 && static_cast<bool>(dbHandle);
}

void MailDatabase::SetErrorFromStatus(Status status) {
  lastStatus = status.value();
  lastMessage.Clear();
  notes_.LoadStatusText(0, status.Masked(), statusText.span(),
                        static_cast<uint16_t>(kStatusTextSize));
}

void MailDatabase::ReportError(Status status, const char* format, ...) {
  FixedText<kLogTextSize> message;
  va_list args;
  va_start(args, format);
  FormatBoundedV(message.span(), format, args);
  va_end(args);
  lastStatus = status.value();
  if (message.size() < kLastMessageSize) {
    lastMessage.Assign(message.view());
  } else {
    lastMessage.Clear();
  }
  TaskLog(notes_).Write(status, message.c_str());
}

}  // namespace vt
