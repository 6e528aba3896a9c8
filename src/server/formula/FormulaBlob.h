// The compiled formula as bytes: what CompileFormula hands out, items store
// and MergeFormulas / AddFormulaSummaryName edit. Little-endian throughout:
//
//   0  4  magic "VTFm"
//   4  1  version (1)
//   5  1  flags: 0x01 the formula has a selection part; other bits zero
//   6  2  total length of the blob
//   8  4  CRC-32 of the blob with these four bytes left out
//  12  2  selection code length (0 without a selection part)
//  14  2  number of named columns
//  16  2  number of summary names
//  18     selection code (FormulaCode.h)
//         per column: u8 name length, name, u16 code length, code
//         per summary name: u8 name length, name
//
// Names are 1..255 bytes and unique without regard to case across columns
// and summary names. The checksum makes any damaged byte an error rather
// than a formula that silently selects something else.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "notes/Status.h"

namespace vt::formula {

inline constexpr uint8_t kBlobMagic[4] = {'V', 'T', 'F', 'm'};
inline constexpr uint8_t kBlobVersion = 1;
inline constexpr uint8_t kBlobHasSelection = 0x01;
inline constexpr size_t kBlobHeaderSize = 18;
inline constexpr size_t kBlobLengthOffset = 6;
inline constexpr size_t kBlobChecksumOffset = 8;

struct BlobColumn {
  std::string_view name;
  std::span<const uint8_t> code;
  size_t codeOffset = 0;  // within the blob
};

// The parts of a blob, pointing into it (or, when building, into whatever
// the caller holds).
struct BlobParts {
  bool hasSelection = false;
  std::span<const uint8_t> selection;
  size_t selectionOffset = 0;
  std::vector<BlobColumn> columns;
  std::vector<std::string_view> summaryNames;
};

// CRC-32 (IEEE) over the blob without its checksum field.
uint32_t FormulaChecksum(std::span<const uint8_t> blob);

// Validates a whole blob, code included; kFormulaCorrupt for anything wrong.
Status ParseFormulaBlob(std::span<const uint8_t> blob, BlobParts* parts);

// Lays out a blob from parts; kItemTooLarge when it would exceed 65535
// bytes, kInvalidArgument for bad or duplicate names. `blob` is replaced
// only on success.
Status BuildFormulaBlob(const BlobParts& parts, std::vector<uint8_t>* blob);

// The blob operations behind the platform's formula calls.
//
// GetFormulaSize: the length a valid blob declares (equal to its size).
Status GetFormulaSize(std::span<const uint8_t> blob, uint16_t* size);
// AddSummaryName: names an item whose value the formula yields as a column
// of that name. A name the formula already has (as a column or summary
// name, without regard to case) leaves it unchanged.
Status AddSummaryName(std::vector<uint8_t>* blob, std::string_view name);
// MergeFormulas: adds the source's named columns and summary names to the
// target. A source column replaces a target column or summary name of the
// same name. The source's selection part is taken only when the target has
// none; two selection parts are kInvalidArgument. The target is unchanged
// on any error.
Status MergeFormulas(std::span<const uint8_t> source,
                     std::vector<uint8_t>* target);

}  // namespace vt::formula
