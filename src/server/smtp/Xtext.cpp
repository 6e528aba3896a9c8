// xtext decoding and encoding.
#include "server/smtp/Xtext.h"

#include "base/Ascii.h"

namespace vt::smtp {
namespace {

bool IsXchar(unsigned char c) {
  return c >= '!' && c <= '~' && c != '+' && c != '=';
}

}  // namespace

bool XtextDecode(std::string_view text, bool utf8, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '+') {
      if (i + 2 >= text.size()) return false;
      const int high = AsciiHexValue(text[i + 1]);
      const int low = AsciiHexValue(text[i + 2]);
      if (high < 0 || low < 0) return false;
      out->push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else if (IsXchar(c) || (utf8 && c >= 0x80)) {
      out->push_back(static_cast<char>(c));
    } else {
      return false;
    }
  }
  return true;
}

std::string XtextEncode(std::string_view text, bool keepUtf8) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (IsXchar(c) || (keepUtf8 && c >= 0x80)) {
      out.push_back(ch);
    } else {
      out.push_back('+');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  return out;
}

}  // namespace vt::smtp
