// The platform's stored (canonical) form of the view records: their packed,
// little-endian sizes and layouts, written for CreateDefaultView and read
// back by the view indexer. Reading checks every length, so a damaged item
// is refused rather than read past its end.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vt::view {

// 0 for a record type this server does not know.
uint16_t CanonicalSizeOf(uint16_t recordType);

// Writes count records of recordType (structs of notes/StoredForms.h) at
// *cursor and advances it by count * CanonicalSizeOf(recordType). Unknown
// types write nothing.
void WriteCanonicalRecords(uint8_t** cursor, uint16_t recordType,
                           const void* records, uint16_t count);

struct CollationKey {
  uint8_t keyType = 0;  // kCollateKeyName, kCollateKeyCreated, ...
  uint8_t flags = 0;
  std::string name;
};

// The sort keys of a "$Collation" value; nullopt when it is malformed.
std::optional<std::vector<CollationKey>> ParseCollation(
    std::span<const uint8_t> value);

}  // namespace vt::view
