// Numbered file names and the roll-over of a database to the next one.
#include "databases/RollOver.h"

#include <cctype>
#include <cinttypes>
#include <string_view>

#include "databases/DatabaseCreation.h"

namespace vt {
namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// The whole-number conversion of the C library (leading blanks, a sign,
// then digits), widened so that n + 1 cannot overflow.
int64_t LeadingNumber(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int64_t n = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]));
       ++i) {
    if (n < INT32_MAX) n = n * 10 + (text[i] - '0');
  }
  if (n > INT32_MAX) n = INT32_MAX;
  return negative ? -n : n;
}

}  // namespace

int NextIncrementalName(const char* path, std::span<char> result) {
  CopyBounded(result, "");
  if (path == nullptr || path[0] == '\0') return 0;
  const std::string_view p(path);

  // Drive, directory, file name and extension, as the platform splits them.
  std::string_view drive;
  std::string_view rest = p;
  if (rest.size() >= 2 && rest[1] == ':') {
    drive = rest.substr(0, 2);
    rest.remove_prefix(2);
  }
  size_t nameStart = rest.size();
  while (nameStart > 0 && !IsSeparator(rest[nameStart - 1])) --nameStart;
  const std::string_view directory = rest.substr(0, nameStart);
  std::string_view name = rest.substr(nameStart);
  std::string_view extension;
  const size_t dot = name.rfind('.');
  if (dot != std::string_view::npos) {
    extension = name.substr(dot);
    name = name.substr(0, dot);
  }
  // A part that does not fit its buffer would give another file's name.
  if (directory.size() > 255 || name.size() > 259 || extension.size() > 31) {
    return 0;
  }

  int64_t n = 0;
  const size_t underscore = name.rfind('_');
  if (underscore != std::string_view::npos) {
    n = LeadingNumber(name.substr(underscore + 1));
    name = name.substr(0, underscore);
  }
  if (!FormatBounded(result, "%.*s%.*s%.*s_%" PRId64 "%.*s",
                     static_cast<int>(drive.size()), drive.data(),
                     static_cast<int>(directory.size()), directory.data(),
                     static_cast<int>(name.size()), name.data(), n + 1,
                     static_cast<int>(extension.size()), extension.data())) {
    CopyBounded(result, "");
    return 0;
  }
  return 1;
}

std::unique_ptr<MailDatabase> RollOverDatabase(MailDatabase& record,
                                               const char* title) {
  NotesServices& notes = record.notes();
  TaskLog log(notes);
  FixedText<kPathSize> current(record.path.view());
  FixedText<kPathSize> candidate;
  FixedText<kNetPathSize> freeName;
  for (int attempt = 1;; ++attempt) {
    if (NextIncrementalName(current.c_str(), candidate.span()) != 1) {
      log.Log(Status(), "Unable to create new Notes incremental file name.");
      return nullptr;
    }
    uint32_t taken = 0;
    ProbeDatabaseName(notes, record.server.c_str(), candidate.c_str(), &taken,
                      freeName.span())
        .IgnoreError();
    current.Assign(candidate.view());
    if (taken == 0) break;
    if (attempt == kMaxRollOverAttempts) return nullptr;
  }

  DbHandle handle;
  const Status status =
      notes.CreateDatabaseCopy(record.netPath.c_str(), freeName.c_str(),
                               kNoteClassAllNonData, 0, 0, &handle);
  if (!status.ok()) {
    log.Log(status, "Unable to create new database '%s'", freeName.c_str());
    return nullptr;
  }
  std::unique_ptr<MailDatabase> created = MailDatabase::CreateOpen(
      notes, candidate.c_str(), record.server.c_str(), handle);
  if (!created) {
    notes.CloseDatabase(handle).IgnoreError();
    return nullptr;
  }
  SetNumberedTitle(handle, title, *created, candidate.c_str()).IgnoreError();
  return created;
}

}  // namespace vt
