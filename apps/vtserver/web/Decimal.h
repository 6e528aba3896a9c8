// Unsigned decimal numbers as the console reads them from a URL or an
// address: digits only, the whole text, no sign and no blanks.
#pragma once

#include <charconv>
#include <cstddef>
#include <string_view>

namespace vt::tool {

inline bool ParseCount(std::string_view text, size_t* value) {
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, *value);
  return !text.empty() && result.ec == std::errc() && result.ptr == end;
}

}  // namespace vt::tool
