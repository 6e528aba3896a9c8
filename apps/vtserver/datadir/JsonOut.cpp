// Turning item values into JSON values.
#include "datadir/JsonOut.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "datadir/ItemText.h"
#include "notes/ItemValue.h"

namespace vt::tool {
namespace {

void AppendCodePoint(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
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

std::string JsonText(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte < 0x80) {
      out.push_back(static_cast<char>(byte));
      ++i;
      continue;
    }
    const size_t n = Utf8SequenceLength(bytes, i);
    if (n == 0) {
      AppendCodePoint(out, byte);
      ++i;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  return out;
}

Json ItemJson(const NoteItem& item) {
  if (item.type == kTypeTextList) {
    if (const auto entries = item::DecodeTextList(item.value)) {
      Json list = Json::array();
      for (const auto& entry : *entries) list.push_back(JsonText(entry));
      return list;
    }
  } else if (item.type == kTypeNumber) {
    if (const auto number = item::DecodeNumber(item.value)) {
      if (!std::isfinite(*number)) return nullptr;
      // Whole numbers print without a fraction.
      if (std::trunc(*number) == *number && std::fabs(*number) < 9.0e15) {
        return static_cast<int64_t>(*number);
      }
      return *number;
    }
  }
  return JsonText(DisplayValue(item));
}

void PrintJson(const Json& value) {
  const std::string text = value.dump(2) + "\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace vt::tool
