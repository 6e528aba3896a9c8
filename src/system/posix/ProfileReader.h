// GetPrivateProfileString for Linux: reads one key of an INI file with
// libinih, keeping the Windows behaviour the router depends on.
#pragma once

#include <cstdint>
#include <span>

namespace vt {

// Section and key match without regard to ASCII case; the first occurrence
// of the key in a matching section wins; blanks around the value and one
// pair of matching quotes ("..." or '...') around it are removed; a missing
// file, section or key gives defaultValue (null means "") without its
// trailing blanks. The result is cut to fit out and always terminated; the
// return value is the number of characters written.
//
// Differences from Windows, all inherited from inih: a line whose first
// non-blank character is ';' or '#' is a comment; " ;" (whitespace then a
// semicolon) inside a value starts a comment; ':' separates a key from its
// value like '=' does, whichever comes first. Lines of any length are read
// whole (inih's own line buffer is about 200 bytes). A NUL byte ends its
// line. A null section or key (the Windows enumeration forms) gives the
// default.
uint32_t ReadProfileString(const char* section, const char* key,
                           const char* defaultValue, std::span<char> out,
                           const char* fileName);

}  // namespace vt
