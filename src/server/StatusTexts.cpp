// One table of status texts, so that the log, the console and the error-text
// operations all say the same thing.
#include "server/StatusTexts.h"

#include "notes/FixedText.h"
#include "notes/Status.h"

namespace vt {

namespace {

struct Entry {
  uint16_t code;
  std::string_view text;
};

constexpr Entry kTexts[] = {
    {err::kInvalidHandle, "Invalid handle"},
    {err::kFileNotFound, "File does not exist"},
    {err::kPathOutsideData, "Path leads outside the data directory"},
    {err::kCorruptDatabase, "File is not a database or is damaged"},
    {err::kDiskError, "Disk or file system error"},
    {err::kMissingValue, "A required value is missing"},
    {err::kInvalidArgument, "Invalid argument"},
    {err::kFileExists, "File already exists"},
    {err::kServerNotFound, "Unable to find path to server"},
    {err::kServerNotResponding, "Server not responding"},
    {err::kBufferTooSmall, "Buffer is too small"},
    {err::kNoMemory, "Insufficient memory"},
    {err::kDatabaseBusy, "Database is in use by another process"},
    {err::kNotAvailable, "Function is not available"},
    {err::kFileReplaced,
     "Database file was removed or replaced while it was open"},
    {err::kItemNotFound, "Item not found"},
    {err::kWrongItemType, "Item is not of the expected type"},
    {err::kItemTooLarge, "Item is too large"},
    {err::kSameDatabase, "Source and destination are the same database"},
    {err::kUpdateConflict,
     "Document was changed by someone else since it was opened"},
    {err::kNewerFormat, "Database was made by a newer version of VTRouter"},
    {err::kOlderFormat,
     "Database is of an older format: run 'vtserver upgrade' on its data "
     "directory"},
    {err::kDiskFull, "No space left on device"},
    {err::kReadOnly, "Read-only file system or file"},
    {err::kPermissionDenied, "Permission denied"},
    {err::kIdTableFull, "ID table is full"},
    {err::kNoLongerSelected,
     "Document was changed since the search and is no longer selected"},
    {err::kInvalidNote, "Invalid or nonexistent document"},
    {err::kNoteDeleted, "Document has been deleted"},
    {err::kNotFound, "Entry not found in index"},
    {err::kFormulaSyntax, "Formula error"},
    {err::kFormulaCorrupt, "Compiled formula is damaged"},
    {err::kMailRuleRefused, "Message refused by a mail rule"},
    {err::kQueueEmpty, "Queue is empty"},
    {err::kQueueNotFound, "Queue does not exist"},
    {err::kQueueMessageTooLarge, "Queue message is too large"},
    {err::kRuntimeNotStarted, "Runtime has not been started"},
    {err::kNoDataDirectory, "Data directory or server.ini not found"},
    {err::kNoDatabaseHandle, "No database handle"},
};

}  // namespace

std::string_view StatusText(uint16_t code) {
  for (const Entry& entry : kTexts) {
    if (entry.code == code) return entry.text;
  }
  return {};
}

size_t WriteStatusText(uint16_t status, std::span<char> buffer) {
  if (buffer.empty()) return 0;
  const uint16_t code = Status(status).code();
  const std::string_view text = StatusText(code);
  if (!text.empty()) {
    CopyBounded(buffer, text);
  } else {
    FormatBounded(buffer, "Error 0x%04X", code);
  }
  return BoundedLength(buffer);
}

}  // namespace vt
