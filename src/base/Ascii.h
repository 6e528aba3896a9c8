// ASCII text helpers every layer shares, in the spirit of Abseil's
// EqualsIgnoreCase: case folds A-Z only, whatever the locale, so that item
// names, server names and keys compare the same everywhere (the store's and
// the formulas' item-name matching among them).
#pragma once

#include <string_view>

namespace vt {

constexpr char AsciiToLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The value of a hexadecimal digit of either case, or -1 for any other
// character (percent-encoding and xtext alike).
constexpr int AsciiHexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b);
// Negative, 0 or positive, as the texts order without regard to case (a
// shorter text before a longer one it begins).
int CompareIgnoreCase(std::string_view a, std::string_view b);
// Whether part occurs in text without regard to case; an empty part does.
bool ContainsIgnoreCase(std::string_view text, std::string_view part);

// Blanks, tabs, line ends, vertical tabs and form feeds (C's isspace in the
// "C" locale), as inih trims them.
constexpr bool IsAsciiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' ||
         c == '\f';
}
std::string_view TrimLeft(std::string_view s);
std::string_view TrimRight(std::string_view s);
std::string_view Trim(std::string_view s);

}  // namespace vt
