// The three sources of the administration database's location, tried in
// order: INI file, registry, default.
#include "config/AdminDbLocation.h"

#include <cstring>
#include <string_view>

#include "log/TaskLog.h"

namespace vt {
namespace {

constexpr size_t kStartupPathSize = 260;
constexpr size_t kDirectorySize = 256;
// Larger than any field the INI file fills.
constexpr size_t kIniValueReadSize = 1024;

// Both separators count: the executable's path uses '/', configured paths
// may use '\'.
bool IsSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

int LocateAdminDatabase(NotesServices& notes, SystemServices& system,
                        AdminDbLocation& location) {
  FixedText<kStartupPathSize> iniPath;
  if (FindIniFile(notes, system, iniPath.span()) == 1) {
    TaskLog(notes).Log(Status(), "Found configuration INI file '%s'.",
                       iniPath.c_str());
    if (ReadIniLocation(notes, system, location, iniPath.c_str()) == 1) {
      return 1;
    }
  }
  if (ReadRegistryLocation(notes, system, location) == 1) return 1;
  location.adminServer.Assign(kDefaultAdminServer);
  location.adminPath.Assign(kDefaultAdminPath);
  return 1;
}

bool GetStartupDirectory(NotesServices& notes, SystemServices& system,
                         std::span<char> directory) {
  CopyBounded(directory, "");
  FixedText<kStartupPathSize> exe;
  const uint32_t length = system.GetExecutablePath(exe.span());
  // The directory part (up to and including the last separator) must fit
  // its buffer whole: a cut directory would name another folder's INI file.
  std::string_view dir;
  if (length > 0) {
    const std::string_view file = exe.view();
    size_t last = file.size();
    while (last > 0 && !IsSeparator(file[last - 1])) --last;
    dir = file.substr(0, last);
  }
  if (length == 0 || dir.size() >= kDirectorySize) {
    notes.LogMessage("%s: %s", Status(), kTaskName,
                     "Unable to get startup path from operating system.");
    return false;
  }
  FixedText<kStartupPathSize> result(dir);
  if (result.size() > 1 && !IsSeparator(result[result.size() - 1])) {
    result.Append("/");
  }
  CopyBounded(directory, result.view());
  return !result.empty();
}

int FindIniFile(NotesServices& notes, SystemServices& system,
                std::span<char> iniPath) {
  CopyBounded(iniPath, "");
  FixedText<kStartupPathSize> path;
  if (!GetStartupDirectory(notes, system, path.span())) return 0;
  // An INI path that does not fit would name another file: treat as absent.
  if (!path.Append(kIniFileName) || !system.FileExists(path.c_str())) {
    return 0;
  }
  CopyBounded(iniPath, path.view());
  return 1;
}

namespace {

// Reads one key of the INI section into field, trimmed. The value is read
// through a buffer larger than the field, so that one too long for it is
// seen: cut, it would name another server or database. Returns 1 when read,
// 0 (logged) when missing or too long.
template <size_t N>
int ReadIniValue(NotesServices& notes, SystemServices& system,
                 const char* iniPath, const char* key, const char* what,
                 FixedText<N>& field) {
  FixedText<kIniValueReadSize> value;
  system.GetPrivateProfileString(kIniSection, key, kIniMissingMark,
                                 value.span(), iniPath);
  TaskLog log(notes);
  if (value == kIniMissingMark) {
    log.Log(Status(), "Unable to read %s from INI file.", what);
    return 0;
  }
  TrimBlanks(value.data());
  if (value.size() >= N) {
    log.Log(Status(),
            "The %s in the INI file is too long (at most %zu "
            "characters).",
            what, N - 1);
    return 0;
  }
  field.Assign(value.view());
  return 1;
}

}  // namespace

int ReadIniLocation(NotesServices& notes, SystemServices& system,
                    AdminDbLocation& location, const char* iniPath) {
  TaskLog(notes).Log(Status(), "Reading INI file '%s'.", iniPath);
  if (ReadIniValue(notes, system, iniPath, "Server", "server name",
                   location.adminServer) == 0) {
    return 0;
  }
  return ReadIniValue(notes, system, iniPath, "NSF", "NSF name",
                      location.adminPath);
}

int ReadRegistryLocation(NotesServices& notes, SystemServices& system,
                         AdminDbLocation& location) {
  TaskLog log(notes);
  location.adminServer.Clear();
  RegistryKey key;
  if (system.RegistryOpenKey(RegistryHive::kLocalMachine, kRegistryKey, &key) !=
      0) {
    log.Log(Status(), "Unable to read AdminNsfServer registry key.");
    return 0;
  }
  uint32_t length = 0;
  long result = system.RegistryQueryValue(key, "AdminNsfServer",
                                          location.adminServer.span(), &length);
  system.RegistryCloseKey(key);
  if (result != 0 || location.adminServer.empty()) {
    location.adminServer.Clear();
    log.Log(Status(), "Unable to read AdminNsfServer registry key.");
    return 0;
  }
  location.adminPath.Clear();
  if (system.RegistryOpenKey(RegistryHive::kLocalMachine, kRegistryKey, &key) !=
      0) {
    log.Log(Status(), "Unable to read AdminNsf registry key.");
    return 0;
  }
  result = system.RegistryQueryValue(key, "AdminNsf", location.adminPath.span(),
                                     &length);
  system.RegistryCloseKey(key);
  if (result != 0 || location.adminPath.empty()) {
    location.adminPath.Clear();
    log.Log(Status(), "Unable to read AdminNsf registry key.");
    return 0;
  }
  return 1;
}

void TrimBlanks(char* text) {
  // Only control characters and the space are blanks; bytes from 0x80 up
  // are parts of names (UTF-8) and stay.
  auto isBlank = [](char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u >= 1 && u <= 32;
  };
  size_t length = std::strlen(text);
  while (length > 0 && isBlank(text[length - 1])) text[--length] = '\0';
  size_t start = 0;
  while (start < length && isBlank(text[start])) ++start;
  if (start > 0) std::memmove(text, text + start, length - start + 1);
}

}  // namespace vt
