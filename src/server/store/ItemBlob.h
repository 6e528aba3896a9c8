// How a note's items are stored: two blobs per note, the summary items (the
// ones a search reads) and the rest, each a run of records
//   u16 name length, u16 type, u16 flags, u32 value length, name, value
// little-endian. The reader walks a blob in place, without copying, and stops
// at the first malformed record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace vt::store {

inline constexpr size_t kItemRecordHeader = 10;

struct ItemView {
  std::string_view name;
  uint16_t type = 0;
  uint16_t flags = 0;
  std::span<const uint8_t> value;
};

class ItemBlobReader {
 public:
  explicit ItemBlobReader(std::span<const uint8_t> blob) : blob_(blob) {}

  // False at the end or at a malformed record (then malformed() is true).
  bool Next(ItemView* item);
  bool malformed() const { return malformed_; }

 private:
  std::span<const uint8_t> blob_;
  size_t pos_ = 0;
  bool malformed_ = false;
};

// Whether the whole blob is well formed.
bool ItemBlobIsValid(std::span<const uint8_t> blob);

void AppendItemRecord(std::vector<uint8_t>& blob, std::string_view name,
                      uint16_t type, uint16_t flags,
                      std::span<const uint8_t> value);

// The first item of that name in the blob.
bool FindInBlob(std::span<const uint8_t> blob, std::string_view name,
                ItemView* item);

}  // namespace vt::store
