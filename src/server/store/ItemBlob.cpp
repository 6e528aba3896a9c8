// Walking and writing the stored item records.
#include "server/store/ItemBlob.h"

#include "base/Ascii.h"
#include "notes/ItemValue.h"

namespace vt::store {

bool ItemBlobReader::Next(ItemView* item) {
  if (malformed_ || pos_ >= blob_.size()) return false;
  if (blob_.size() - pos_ < kItemRecordHeader) {
    malformed_ = true;
    return false;
  }
  const uint8_t* p = blob_.data() + pos_;
  const size_t nameLength = LoadLe16(p);
  const size_t valueLength = LoadLe32(p + 6);
  const size_t rest = blob_.size() - pos_ - kItemRecordHeader;
  if (nameLength > rest || valueLength > rest - nameLength) {
    malformed_ = true;
    return false;
  }
  item->type = LoadLe16(p + 2);
  item->flags = LoadLe16(p + 4);
  item->name = std::string_view(
      reinterpret_cast<const char*>(p + kItemRecordHeader), nameLength);
  item->value =
      std::span<const uint8_t>(p + kItemRecordHeader + nameLength, valueLength);
  pos_ += kItemRecordHeader + nameLength + valueLength;
  return true;
}

bool ItemBlobIsValid(std::span<const uint8_t> blob) {
  ItemBlobReader reader(blob);
  ItemView item;
  while (reader.Next(&item)) {
  }
  return !reader.malformed();
}

void AppendItemRecord(std::vector<uint8_t>& blob, std::string_view name,
                      uint16_t type, uint16_t flags,
                      std::span<const uint8_t> value) {
  AppendLe16(blob, static_cast<uint16_t>(name.size()));
  AppendLe16(blob, type);
  AppendLe16(blob, flags);
  AppendLe32(blob, static_cast<uint32_t>(value.size()));
  blob.insert(blob.end(), name.begin(), name.end());
  blob.insert(blob.end(), value.begin(), value.end());
}

bool FindInBlob(std::span<const uint8_t> blob, std::string_view name,
                ItemView* item) {
  ItemBlobReader reader(blob);
  ItemView candidate;
  while (reader.Next(&candidate)) {
    if (EqualsIgnoreCase(candidate.name, name)) {
      *item = candidate;
      return true;
    }
  }
  return false;
}

}  // namespace vt::store
