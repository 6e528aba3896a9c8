// Where the administration database lives: from "Veltrane.ini" beside the
// executable, else from the registry, else the built-in default. Read once
// at start-up; a changed INI file takes effect at the next start.
#pragma once

#include <span>

#include "notes/FixedText.h"
#include "notes/NotesServices.h"
#include "system/SystemServices.h"

namespace vt {

struct AdminDbLocation {
  FixedText<256> adminServer;  // "local" or empty: this server
  FixedText<260> adminPath;
};

inline constexpr char kIniFileName[] = "Veltrane.ini";
inline constexpr char kIniSection[] = "Admin NSF";
inline constexpr char kIniMissingMark[] = "ERROR";
inline constexpr char kRegistryKey[] = "Software\\Pellcroft\\VeltraneServer";
inline constexpr char kDefaultAdminServer[] = "local";
inline constexpr char kDefaultAdminPath[] = "\\Veltrane\\VeltraneAdmin.nsf";

// Fills location from the first source that yields one; always returns 1.
int LocateAdminDatabase(NotesServices& notes, SystemServices& system,
                        AdminDbLocation& location);

// The executable's directory with a trailing separator (260 bytes).
bool GetStartupDirectory(NotesServices& notes, SystemServices& system,
                         std::span<char> directory);
// 1 with the INI file's full path when it exists, else 0 and empty.
int FindIniFile(NotesServices& notes, SystemServices& system,
                std::span<char> iniPath);
// 1 when both keys were present and fit their fields; a value too long
// for its field is refused (logged), not cut.
int ReadIniLocation(NotesServices& notes, SystemServices& system,
                    AdminDbLocation& location, const char* iniPath);
// 1 when both registry values were read and are not empty.
int ReadRegistryLocation(NotesServices& notes, SystemServices& system,
                         AdminDbLocation& location);
// Removes blanks (codes 1 to 32) at both ends, in place.
void TrimBlanks(char* text);

}  // namespace vt
