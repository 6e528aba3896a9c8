// ASCII comparisons and trimming; see Ascii.h.
#include "base/Ascii.h"

#include <algorithm>

namespace vt {

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiToLower(a[i]) != AsciiToLower(b[i])) return false;
  }
  return true;
}

int CompareIgnoreCase(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const auto ca = static_cast<unsigned char>(AsciiToLower(a[i]));
    const auto cb = static_cast<unsigned char>(AsciiToLower(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return 0;
}

bool ContainsIgnoreCase(std::string_view text, std::string_view part) {
  if (part.size() > text.size()) return false;
  for (size_t i = 0; i + part.size() <= text.size(); ++i) {
    if (EqualsIgnoreCase(text.substr(i, part.size()), part)) return true;
  }
  return false;
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsAsciiSpace(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && IsAsciiSpace(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view Trim(std::string_view s) { return TrimRight(TrimLeft(s)); }

}  // namespace vt
