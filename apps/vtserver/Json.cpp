// JSON string escaping with UTF-8 validation.
#include "Json.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "ItemText.h"

namespace vt::tool {
namespace {

void AppendEscapedByte(std::string& out, unsigned char byte) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.append("\\u00");
  out.push_back(kHex[byte >> 4]);
  out.push_back(kHex[byte & 0xF]);
}

// The length of the valid UTF-8 sequence starting at text[i], or 0. Overlong
// forms, surrogates and code points above U+10FFFF are not valid.
size_t Utf8SequenceLength(std::string_view text, size_t i) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  size_t length = 0;
  uint32_t min = 0;
  uint32_t cp = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
    min = 0x80;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    min = 0x800;
    cp = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    min = 0x10000;
    cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    const auto b = static_cast<unsigned char>(text[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view text) {
  out.push_back('"');
  for (size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x80) {
      const size_t n = Utf8SequenceLength(text, i);
      if (n == 0) {
        AppendEscapedByte(out, byte);
        ++i;
      } else {
        out.append(text.substr(i, n));
        i += n;
      }
      continue;
    }
    switch (byte) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\r':
        out.append("\\r");
        break;
      case '\t':
        out.append("\\t");
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          AppendEscapedByte(out, byte);
        } else {
          out.push_back(static_cast<char>(byte));
        }
    }
    ++i;
  }
  out.push_back('"');
}

void AppendJsonNumber(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out.append("null");
    return;
  }
  out.append(FormatNumber(value));
}

}  // namespace vt::tool
