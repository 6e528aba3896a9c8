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

// A path split as the platform splits file paths, the file name cut at its
// last '_' (the number after it kept apart).
struct NumberedParts {
  std::string_view drive, directory, name, extension;
  int64_t number = 0;
};

bool SplitNumbered(std::string_view p, NumberedParts* parts) {
  std::string_view rest = p;
  if (rest.size() >= 2 && rest[1] == ':') {
    parts->drive = rest.substr(0, 2);
    rest.remove_prefix(2);
  }
  size_t nameStart = rest.size();
  while (nameStart > 0 && !IsSeparator(rest[nameStart - 1])) --nameStart;
  parts->directory = rest.substr(0, nameStart);
  std::string_view name = rest.substr(nameStart);
  const size_t dot = name.rfind('.');
  if (dot != std::string_view::npos) {
    parts->extension = name.substr(dot);
    name = name.substr(0, dot);
  }
  // A part that does not fit its buffer would give another file's name.
  if (parts->directory.size() > 255 || name.size() > 259 ||
      parts->extension.size() > 31) {
    return false;
  }
  const size_t underscore = name.rfind('_');
  if (underscore != std::string_view::npos) {
    parts->number = LeadingNumber(name.substr(underscore + 1));
    name = name.substr(0, underscore);
  }
  parts->name = name;
  return true;
}

bool FormatNumbered(const NumberedParts& p, int64_t number,
                    std::span<char> result) {
  const auto size = [](std::string_view v) {
    return static_cast<int>(v.size());
  };
  // Number 0 is the series' first name, the one without a number.
  const bool ok =
      number == 0
          ? FormatBounded(result, "%.*s%.*s%.*s%.*s", size(p.drive),
                          p.drive.data(), size(p.directory), p.directory.data(),
                          size(p.name), p.name.data(), size(p.extension),
                          p.extension.data())
          : FormatBounded(result, "%.*s%.*s%.*s_%" PRId64 "%.*s", size(p.drive),
                          p.drive.data(), size(p.directory), p.directory.data(),
                          size(p.name), p.name.data(), number,
                          size(p.extension), p.extension.data());
  if (!ok) CopyBounded(result, "");
  return ok;
}

}  // namespace

int NextIncrementalName(const char* path, std::span<char> result) {
  CopyBounded(result, "");
  if (path == nullptr || path[0] == '\0') return 0;
  NumberedParts parts;
  if (!SplitNumbered(path, &parts)) return 0;
  return FormatNumbered(parts, parts.number + 1, result) ? 1 : 0;
}

int64_t RollOverNumber(const char* path) {
  NumberedParts parts;
  if (path == nullptr || !SplitNumbered(path, &parts)) return 0;
  return parts.number;
}

bool NumberedName(const char* path, int64_t number, std::span<char> result) {
  CopyBounded(result, "");
  NumberedParts parts;
  if (path == nullptr || path[0] == '\0' || number < 0 ||
      !SplitNumbered(path, &parts)) {
    return false;
  }
  return FormatNumbered(parts, number, result);
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
