// Reading, writing and editing compiled formula blobs. Every read is bounds
// checked against the blob; counts are bounded by kMaxColumns and by the
// bytes actually present, so no input can make a loop run long.
#include "server/formula/FormulaBlob.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "base/Ascii.h"
#include "notes/ItemValue.h"
#include "server/formula/FormulaCode.h"

namespace vt::formula {
namespace {

uint32_t CrcUpdate(uint32_t crc, std::span<const uint8_t> bytes) {
  // Blobs are far below zlib's 4 GB length limit per call.
  return static_cast<uint32_t>(
      ::crc32(crc, bytes.data(), static_cast<uInt>(bytes.size())));
}

bool ValidName(std::string_view name) {
  return !name.empty() && name.size() <= kMaxNameLength;
}

// Names are few (kMaxColumns), so a quadratic check is cheap and needs no
// allocation.
bool NamesUnique(const BlobParts& parts) {
  auto nameAt = [&parts](size_t i) {
    return i < parts.columns.size()
               ? parts.columns[i].name
               : parts.summaryNames[i - parts.columns.size()];
  };
  const size_t n = parts.columns.size() + parts.summaryNames.size();
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = i + 1; j < n; ++j) {
      if (EqualsIgnoreCase(nameAt(i), nameAt(j))) return false;
    }
  }
  return true;
}

// A cursor that refuses every read past the end.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  size_t pos() const { return pos_; }
  bool AtEnd() const { return pos_ == bytes_.size(); }
  bool U8(uint8_t* v) {
    if (bytes_.size() - pos_ < 1) return false;
    *v = bytes_[pos_++];
    return true;
  }
  bool U16(uint16_t* v) {
    if (bytes_.size() - pos_ < 2) return false;
    *v = LoadLe16(bytes_.data() + pos_);
    pos_ += 2;
    return true;
  }
  bool Bytes(size_t n, std::span<const uint8_t>* v) {
    if (bytes_.size() - pos_ < n) return false;
    *v = bytes_.subspan(pos_, n);
    pos_ += n;
    return true;
  }
  bool Name(std::string_view* name) {
    uint8_t length;
    std::span<const uint8_t> bytes;
    if (!U8(&length) || length == 0 || !Bytes(length, &bytes)) return false;
    *name = std::string_view(reinterpret_cast<const char*>(bytes.data()),
                             bytes.size());
    return true;
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

void PutName(std::vector<uint8_t>& out, std::string_view name) {
  out.push_back(static_cast<uint8_t>(name.size()));
  out.insert(out.end(), name.begin(), name.end());
}

}  // namespace

uint32_t FormulaChecksum(std::span<const uint8_t> blob) {
  const size_t end = kBlobChecksumOffset + 4;
  uint32_t crc =
      CrcUpdate(0, blob.first(std::min(blob.size(), kBlobChecksumOffset)));
  if (blob.size() > end) crc = CrcUpdate(crc, blob.subspan(end));
  return crc;
}

Status ParseFormulaBlob(std::span<const uint8_t> blob, BlobParts* parts) {
  const Status corrupt(err::kFormulaCorrupt);
  if (blob.size() < kBlobHeaderSize || blob.size() > kMaxFormulaSize) {
    return corrupt;
  }
  if (std::memcmp(blob.data(), kBlobMagic, sizeof kBlobMagic) != 0 ||
      blob[4] != kBlobVersion) {
    return corrupt;
  }
  if (LoadLe16(blob.data() + kBlobLengthOffset) != blob.size() ||
      LoadLe32(blob.data() + kBlobChecksumOffset) != FormulaChecksum(blob)) {
    return corrupt;
  }
  const uint8_t flags = blob[5];
  if ((flags & ~kBlobHasSelection) != 0) return corrupt;

  BlobParts out;
  out.hasSelection = (flags & kBlobHasSelection) != 0;
  Reader r(blob);
  std::span<const uint8_t> skipped;
  uint16_t selectionLength, columnCount, summaryCount;
  if (!r.Bytes(12, &skipped) || !r.U16(&selectionLength) ||
      !r.U16(&columnCount) || !r.U16(&summaryCount)) {
    return corrupt;
  }
  if (out.hasSelection != (selectionLength != 0)) return corrupt;
  if (static_cast<size_t>(columnCount) + summaryCount > kMaxColumns) {
    return corrupt;
  }
  if (out.hasSelection) {
    out.selectionOffset = r.pos();
    if (!r.Bytes(selectionLength, &out.selection)) return corrupt;
    if (!DecodeCode(out.selection, out.selectionOffset, nullptr).ok()) {
      return corrupt;
    }
  }
  out.columns.reserve(columnCount);
  for (uint16_t i = 0; i < columnCount; ++i) {
    BlobColumn column;
    uint16_t codeLength;
    if (!r.Name(&column.name) || !r.U16(&codeLength)) return corrupt;
    column.codeOffset = r.pos();
    if (!r.Bytes(codeLength, &column.code)) return corrupt;
    if (!DecodeCode(column.code, column.codeOffset, nullptr).ok()) {
      return corrupt;
    }
    out.columns.push_back(column);
  }
  out.summaryNames.reserve(summaryCount);
  for (uint16_t i = 0; i < summaryCount; ++i) {
    std::string_view name;
    if (!r.Name(&name)) return corrupt;
    out.summaryNames.push_back(name);
  }
  if (!r.AtEnd() || !NamesUnique(out)) return corrupt;
  *parts = std::move(out);
  return Status();
}

Status BuildFormulaBlob(const BlobParts& parts, std::vector<uint8_t>* blob) {
  if (parts.hasSelection == parts.selection.empty()) {
    return Status(err::kInvalidArgument);
  }
  for (const BlobColumn& column : parts.columns) {
    if (!ValidName(column.name) || column.code.empty()) {
      return Status(err::kInvalidArgument);
    }
  }
  for (std::string_view name : parts.summaryNames) {
    if (!ValidName(name)) return Status(err::kInvalidArgument);
  }
  if (parts.columns.size() + parts.summaryNames.size() > kMaxColumns ||
      !NamesUnique(parts)) {
    return Status(err::kInvalidArgument);
  }
  // Size first, so that nothing oversized is ever laid out.
  size_t size = kBlobHeaderSize + parts.selection.size();
  for (const BlobColumn& column : parts.columns) {
    size += 1 + column.name.size() + 2 + column.code.size();
  }
  for (std::string_view name : parts.summaryNames) size += 1 + name.size();
  if (size > kMaxFormulaSize) return Status(err::kItemTooLarge);

  std::vector<uint8_t> out;
  out.reserve(size);
  out.insert(out.end(), std::begin(kBlobMagic), std::end(kBlobMagic));
  out.push_back(kBlobVersion);
  out.push_back(parts.hasSelection ? kBlobHasSelection : 0);
  AppendLe16(out, static_cast<uint16_t>(size));
  AppendLe32(out, 0);  // checksum, set last
  AppendLe16(out, static_cast<uint16_t>(parts.selection.size()));
  AppendLe16(out, static_cast<uint16_t>(parts.columns.size()));
  AppendLe16(out, static_cast<uint16_t>(parts.summaryNames.size()));
  out.insert(out.end(), parts.selection.begin(), parts.selection.end());
  for (const BlobColumn& column : parts.columns) {
    PutName(out, column.name);
    AppendLe16(out, static_cast<uint16_t>(column.code.size()));
    out.insert(out.end(), column.code.begin(), column.code.end());
  }
  for (std::string_view name : parts.summaryNames) PutName(out, name);
  const uint32_t crc = FormulaChecksum(out);
  for (int i = 0; i < 4; ++i) {
    out[kBlobChecksumOffset + i] = static_cast<uint8_t>(crc >> (8 * i));
  }
  *blob = std::move(out);
  return Status();
}

Status GetFormulaSize(std::span<const uint8_t> blob, uint16_t* size) {
  BlobParts parts;
  if (Status s = ParseFormulaBlob(blob, &parts); !s.ok()) return s;
  *size = static_cast<uint16_t>(blob.size());
  return Status();
}

Status AddSummaryName(std::vector<uint8_t>* blob, std::string_view name) {
  if (!ValidName(name)) return Status(err::kInvalidArgument);
  BlobParts parts;
  if (Status s = ParseFormulaBlob(*blob, &parts); !s.ok()) return s;
  for (const BlobColumn& column : parts.columns) {
    if (EqualsIgnoreCase(column.name, name)) return Status();
  }
  for (std::string_view existing : parts.summaryNames) {
    if (EqualsIgnoreCase(existing, name)) return Status();
  }
  parts.summaryNames.push_back(name);
  return BuildFormulaBlob(parts, blob);
}

Status MergeFormulas(std::span<const uint8_t> source,
                     std::vector<uint8_t>* target) {
  BlobParts from, into;
  if (Status s = ParseFormulaBlob(source, &from); !s.ok()) return s;
  if (Status s = ParseFormulaBlob(*target, &into); !s.ok()) return s;
  if (from.hasSelection) {
    if (into.hasSelection) return Status(err::kInvalidArgument);
    into.hasSelection = true;
    into.selection = from.selection;
  }
  for (const BlobColumn& column : from.columns) {
    bool replaced = false;
    for (BlobColumn& existing : into.columns) {
      if (EqualsIgnoreCase(existing.name, column.name)) {
        existing = column;
        replaced = true;
        break;
      }
    }
    if (replaced) continue;
    std::erase_if(into.summaryNames, [&column](std::string_view name) {
      return EqualsIgnoreCase(name, column.name);
    });
    into.columns.push_back(column);
  }
  for (std::string_view name : from.summaryNames) {
    bool known = false;
    for (const BlobColumn& existing : into.columns) {
      known = known || EqualsIgnoreCase(existing.name, name);
    }
    for (std::string_view existing : into.summaryNames) {
      known = known || EqualsIgnoreCase(existing, name);
    }
    if (!known) into.summaryNames.push_back(name);
  }
  return BuildFormulaBlob(into, target);
}

}  // namespace vt::formula
