// Records of the platform's stored (canonical) forms that the router writes
// into a view note: the view table format, its columns, its trailer, and the
// collation with its keys. In memory they are plain structs; WriteCanonical
// packs them little-endian at the sizes CanonicalSize reports.
#pragma once

#include <cstdint>

namespace vt {

inline constexpr uint16_t kRecordViewTableFormat = 29;    // 10 bytes
inline constexpr uint16_t kRecordViewColumnFormat = 30;   // 32 bytes
inline constexpr uint16_t kRecordViewTableFormat2 = 43;   // 38 bytes
inline constexpr uint16_t kRecordCollation = 59;          // 6 bytes
inline constexpr uint16_t kRecordCollateDescriptor = 60;  // 7 bytes

inline constexpr uint16_t kViewColumnSignature = 0x4356;
inline constexpr uint16_t kViewTableSignature = 0x2BAD;
inline constexpr uint8_t kCollationSignature = 0x44;
inline constexpr uint8_t kCollateDescriptorSignature = 0x66;

// Collation key types.
inline constexpr uint8_t kCollateKeyName = 0;     // sort by an item value
inline constexpr uint8_t kCollateKeyCreated = 7;  // sort by creation time

struct ViewTableFormat {  // kind 29
  uint8_t formatVersion = 0;
  uint8_t viewType = 0;
  uint16_t columns = 0;
  uint16_t itemSequenceNumber = 0;
  uint16_t flags = 0;
  uint16_t flags2 = 0;
};

struct ViewColumnFormat {  // kind 30
  uint16_t signature = 0;
  uint16_t flags = 0;
  uint16_t itemNameLength = 0;
  uint16_t titleLength = 0;
  uint16_t formulaLength = 0;
  uint16_t constantValueLength = 0;
  uint16_t displayWidth = 0;
  uint32_t fontId = 0;
  uint16_t flags2 = 0;
  uint8_t numberFormat[4] = {};
  uint8_t timeFormat[4] = {};
  uint16_t formatDataType = 0;
  uint16_t listSeparator = 0;
};

struct ViewTableFormat2 {  // kind 43
  uint16_t length = 0;
  uint16_t backgroundColor = 0;
  uint16_t borderColor = 0;
  uint32_t titleFont = 0;
  uint32_t unreadFont = 0;
  uint32_t totalsFont = 0;
  uint16_t autoUpdateSeconds = 0;
  uint16_t alternateBackgroundColor = 0;
  uint16_t signature = 0;
  uint8_t reserved[14] = {};
};

struct CollationHeader {  // kind 59
  uint16_t bufferSize = 0;
  uint16_t items = 0;
  uint8_t flags = 0;
  uint8_t signature = 0;
};

struct CollateDescriptor {  // kind 60
  uint8_t flags = 0;
  uint8_t signature = 0;
  uint8_t keyType = 0;
  uint16_t nameOffset = 0;
  uint16_t nameLength = 0;
};

}  // namespace vt
