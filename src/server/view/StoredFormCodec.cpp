// Packing and unpacking the view records.
#include "server/view/StoredFormCodec.h"

#include <cstring>

#include "notes/StoredForms.h"

namespace vt::view {
namespace {

class Writer {
 public:
  explicit Writer(uint8_t* p) : p_(p) {}
  void U8(uint8_t v) { *p_++ = v; }
  void U16(uint16_t v) {
    U8(static_cast<uint8_t>(v));
    U8(static_cast<uint8_t>(v >> 8));
  }
  void U32(uint32_t v) {
    U16(static_cast<uint16_t>(v));
    U16(static_cast<uint16_t>(v >> 16));
  }
  void Bytes(const uint8_t* b, size_t n) {
    std::memcpy(p_, b, n);
    p_ += n;
  }
  uint8_t* position() const { return p_; }

 private:
  uint8_t* p_;
};

void WriteOne(Writer& w, uint16_t type, const void* record) {
  switch (type) {
    case kRecordViewTableFormat: {
      const auto& r = *static_cast<const ViewTableFormat*>(record);
      w.U8(r.formatVersion);
      w.U8(r.viewType);
      w.U16(r.columns);
      w.U16(r.itemSequenceNumber);
      w.U16(r.flags);
      w.U16(r.flags2);
      break;
    }
    case kRecordViewColumnFormat: {
      const auto& r = *static_cast<const ViewColumnFormat*>(record);
      w.U16(r.signature);
      w.U16(r.flags);
      w.U16(r.itemNameLength);
      w.U16(r.titleLength);
      w.U16(r.formulaLength);
      w.U16(r.constantValueLength);
      w.U16(r.displayWidth);
      w.U32(r.fontId);
      w.U16(r.flags2);
      w.Bytes(r.numberFormat, sizeof r.numberFormat);
      w.Bytes(r.timeFormat, sizeof r.timeFormat);
      w.U16(r.formatDataType);
      w.U16(r.listSeparator);
      break;
    }
    case kRecordViewTableFormat2: {
      const auto& r = *static_cast<const ViewTableFormat2*>(record);
      w.U16(r.length);
      w.U16(r.backgroundColor);
      w.U16(r.borderColor);
      w.U32(r.titleFont);
      w.U32(r.unreadFont);
      w.U32(r.totalsFont);
      w.U16(r.autoUpdateSeconds);
      w.U16(r.alternateBackgroundColor);
      w.U16(r.signature);
      w.Bytes(r.reserved, sizeof r.reserved);
      break;
    }
    case kRecordCollation: {
      const auto& r = *static_cast<const CollationHeader*>(record);
      w.U16(r.bufferSize);
      w.U16(r.items);
      w.U8(r.flags);
      w.U8(r.signature);
      break;
    }
    case kRecordCollateDescriptor: {
      const auto& r = *static_cast<const CollateDescriptor*>(record);
      w.U8(r.flags);
      w.U8(r.signature);
      w.U8(r.keyType);
      w.U16(r.nameOffset);
      w.U16(r.nameLength);
      break;
    }
    default:
      break;
  }
}

size_t RecordStride(uint16_t type) {
  switch (type) {
    case kRecordViewTableFormat:
      return sizeof(ViewTableFormat);
    case kRecordViewColumnFormat:
      return sizeof(ViewColumnFormat);
    case kRecordViewTableFormat2:
      return sizeof(ViewTableFormat2);
    case kRecordCollation:
      return sizeof(CollationHeader);
    case kRecordCollateDescriptor:
      return sizeof(CollateDescriptor);
    default:
      return 0;
  }
}

uint16_t U16At(std::span<const uint8_t> v, size_t at) {
  return static_cast<uint16_t>(v[at] | (v[at + 1] << 8));
}

}  // namespace

uint16_t CanonicalSizeOf(uint16_t recordType) {
  switch (recordType) {
    case kRecordViewTableFormat:
      return 10;
    case kRecordViewColumnFormat:
      return 32;
    case kRecordViewTableFormat2:
      return 38;
    case kRecordCollation:
      return 6;
    case kRecordCollateDescriptor:
      return 7;
    default:
      return 0;
  }
}

void WriteCanonicalRecords(uint8_t** cursor, uint16_t recordType,
                           const void* records, uint16_t count) {
  const size_t stride = RecordStride(recordType);
  if (stride == 0 || cursor == nullptr || *cursor == nullptr) return;
  Writer w(*cursor);
  const auto* base = static_cast<const uint8_t*>(records);
  for (uint16_t i = 0; i < count; ++i)
    WriteOne(w, recordType, base + i * stride);
  *cursor = w.position();
}

std::optional<std::vector<CollationKey>> ParseCollation(
    std::span<const uint8_t> value) {
  const size_t header = CanonicalSizeOf(kRecordCollation);
  const size_t descriptor = CanonicalSizeOf(kRecordCollateDescriptor);
  if (value.size() < header) return std::nullopt;
  const uint16_t total = U16At(value, 0);
  const uint16_t keys = U16At(value, 2);
  if (value[5] != kCollationSignature || total > value.size()) {
    return std::nullopt;
  }
  const size_t namesStart = header + keys * descriptor;
  if (namesStart > total) return std::nullopt;
  std::vector<CollationKey> result;
  for (uint16_t i = 0; i < keys; ++i) {
    const size_t at = header + i * descriptor;
    if (value[at + 1] != kCollateDescriptorSignature) return std::nullopt;
    CollationKey key;
    key.flags = value[at];
    key.keyType = value[at + 2];
    const size_t offset = U16At(value, at + 3);
    const size_t length = U16At(value, at + 5);
    if (namesStart + offset + length > total) return std::nullopt;
    key.name.assign(
        reinterpret_cast<const char*>(value.data() + namesStart + offset),
        length);
    result.push_back(std::move(key));
  }
  return result;
}

}  // namespace vt::view
