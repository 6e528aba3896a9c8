// Decoding only: the console never sends Base64.
#include "web/Base64.h"

#include <cstdint>

namespace vt::tool {

bool Base64Decode(std::string_view text, std::string* out) {
  out->clear();
  uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    int value;
    if (c >= 'A' && c <= 'Z') {
      value = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      value = c - 'a' + 26;
    } else if (c >= '0' && c <= '9') {
      value = c - '0' + 52;
    } else if (c == '+') {
      value = 62;
    } else if (c == '/') {
      value = 63;
    } else if (c == '=') {
      break;
    } else {
      return false;
    }
    bits = (bits << 6) | static_cast<uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out->push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return true;
}

}  // namespace vt::tool
