// How item values are laid out in the store, in AppendItem and for the
// formula evaluator: text is its bytes (no terminator); a text list is a
// 16-bit count, that many 16-bit lengths, then the texts back to back; a
// number is an IEEE double; a time is the time word then the date word. All
// multi-byte values are little-endian.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/ByteOrder.h"
#include "notes/Handles.h"
#include "notes/TimeDate.h"

namespace vt::item {

inline std::vector<uint8_t> EncodeText(std::string_view text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

// Entries longer than 65535 bytes are cut; more than 65535 entries are
// dropped. Callers that care check sizes first.
inline std::vector<uint8_t> EncodeTextList(
    const std::vector<std::string>& entries) {
  std::vector<uint8_t> out;
  const size_t count = entries.size() > 0xFFFF ? 0xFFFF : entries.size();
  AppendLe16(out, static_cast<uint16_t>(count));
  for (size_t i = 0; i < count; ++i) {
    const size_t n = entries[i].size() > 0xFFFF ? 0xFFFF : entries[i].size();
    AppendLe16(out, static_cast<uint16_t>(n));
  }
  for (size_t i = 0; i < count; ++i) {
    const size_t n = entries[i].size() > 0xFFFF ? 0xFFFF : entries[i].size();
    out.insert(out.end(), entries[i].begin(), entries[i].begin() + n);
  }
  return out;
}

inline std::vector<uint8_t> EncodeNumber(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  std::vector<uint8_t> out;
  AppendLe32(out, static_cast<uint32_t>(bits));
  AppendLe32(out, static_cast<uint32_t>(bits >> 32));
  return out;
}

inline std::vector<uint8_t> EncodeTime(const TimeDate& td) {
  std::vector<uint8_t> out;
  AppendLe32(out, td.time);
  AppendLe32(out, td.date);
  return out;
}

// Decoders validate sizes; a malformed value gives nullopt, never a read past
// the span.
inline std::optional<std::vector<std::string_view>> DecodeTextList(
    std::span<const uint8_t> v) {
  if (v.size() < 2) return std::nullopt;
  const uint16_t count = LoadLe16(v.data());
  size_t pos = 2 + static_cast<size_t>(count) * 2;
  if (pos > v.size()) return std::nullopt;
  std::vector<std::string_view> entries;
  entries.reserve(count);
  for (uint16_t i = 0; i < count; ++i) {
    const uint16_t n = LoadLe16(v.data() + 2 + i * 2);
    if (pos + n > v.size()) return std::nullopt;
    entries.emplace_back(reinterpret_cast<const char*>(v.data() + pos), n);
    pos += n;
  }
  if (pos != v.size()) return std::nullopt;
  return entries;
}

inline std::optional<double> DecodeNumber(std::span<const uint8_t> v) {
  if (v.size() != 8) return std::nullopt;
  const uint64_t bits = static_cast<uint64_t>(LoadLe32(v.data())) |
                        (static_cast<uint64_t>(LoadLe32(v.data() + 4)) << 32);
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

inline std::optional<TimeDate> DecodeTime(std::span<const uint8_t> v) {
  if (v.size() != 8) return std::nullopt;
  return TimeDate{LoadLe32(v.data()), LoadLe32(v.data() + 4)};
}

}  // namespace vt::item
