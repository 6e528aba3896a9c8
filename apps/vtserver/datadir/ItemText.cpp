// Decoding item values for display; a malformed value shows as such rather
// than being read past its end.
#include "datadir/ItemText.h"

#include <array>
#include <cstdio>
#include <ctime>

#include "notes/FixedText.h"
#include "notes/ItemValue.h"

namespace vt::tool {
namespace {

std::string_view AsText(const std::vector<uint8_t>& value) {
  return std::string_view(reinterpret_cast<const char*>(value.data()),
                          value.size());
}

std::string OtherValue(const NoteItem& item) {
  std::array<char, 64> text{};
  FormatBounded(text, "(%zu bytes of type 0x%04X)", item.value.size(),
                static_cast<unsigned>(item.type));
  return text.data();
}

std::string TimeValue(const NoteItem& item) {
  const auto td = item::DecodeTime(item.value);
  if (!td) return OtherValue(item);
  const int64_t centis = UnixCentisFromTimeDate(*td);
  const time_t seconds = static_cast<time_t>(centis / 100);
  std::tm utc{};
  if (gmtime_r(&seconds, &utc) == nullptr) return OtherValue(item);
  std::array<char, 40> text{};
  std::strftime(text.data(), text.size(), "%Y-%m-%d %H:%M:%S UTC", &utc);
  return text.data();
}

}  // namespace

std::string FormatNumber(double value) {
  std::array<char, 40> text{};
  FormatBounded(text, "%.15g", value);
  return text.data();
}

std::string Printable(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return text;
}

std::string UtcText(int64_t centis) {
  const time_t seconds = static_cast<time_t>(centis / 100);
  std::tm utc{};
  if (gmtime_r(&seconds, &utc) == nullptr) return "?";
  std::array<char, 32> text{};
  std::strftime(text.data(), text.size(), "%Y-%m-%d %H:%M:%S", &utc);
  return text.data();
}

std::string IsoUtcText(int64_t centis) {
  std::string text = UtcText(centis);
  if (text.size() == 19) {
    text[10] = 'T';
    text.push_back('Z');
  }
  return text;
}

std::string NoteIdText(uint32_t id) {
  std::array<char, 16> text{};
  FormatBounded(text, "0x%X", static_cast<unsigned>(id));
  return text.data();
}

std::string DisplayValue(const NoteItem& item) {
  switch (item.type) {
    case kTypeText:
      return std::string(AsText(item.value));
    case kTypeTextList: {
      const auto entries = item::DecodeTextList(item.value);
      if (!entries) return OtherValue(item);
      std::string joined;
      for (size_t i = 0; i < entries->size(); ++i) {
        if (i > 0) joined.push_back(';');
        joined.append((*entries)[i]);
      }
      return joined;
    }
    case kTypeNumber: {
      const auto number = item::DecodeNumber(item.value);
      return number ? FormatNumber(*number) : OtherValue(item);
    }
    case kTypeTime:
      return TimeValue(item);
    default:
      return OtherValue(item);
  }
}

}  // namespace vt::tool
