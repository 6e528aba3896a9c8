// Copying text out into a caller's bounded buffer, as the error-text and
// item operations do.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>

#include "notes/FixedText.h"

namespace vt {

// Copies text (cut to fit, terminated) and returns the length written.
inline uint16_t CopyOut(std::span<char> buffer, std::string_view text) {
  if (buffer.empty()) return 0;
  CopyBounded(buffer, text);
  return static_cast<uint16_t>(std::min<size_t>(
      BoundedLength(buffer), std::numeric_limits<uint16_t>::max()));
}

// A span no longer than the caller's stated size.
inline std::span<char> Limit(std::span<char> buffer, size_t size) {
  return buffer.first(std::min(buffer.size(), size));
}

}  // namespace vt
