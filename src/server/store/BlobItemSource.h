// What the formula evaluator reads of a stored note, straight from the
// stored blobs: the search hands it the summary blob only; a mail rule check
// hands it both blobs. Nothing is copied; items are looked up on demand. An
// open note is read the way a search reads it, by its summary items.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "notes/TimeDate.h"
#include "server/formula/ItemSource.h"
#include "server/store/NoteRecord.h"

namespace vt::store {

class BlobItemSource : public ItemSource {
 public:
  // The blobs must outlive this object.
  BlobItemSource(std::span<const uint8_t> summary,
                 std::span<const uint8_t> other, int64_t createdCentis,
                 int64_t modifiedCentis);

  bool FindItem(std::string_view name, RawItem* item) const override;
  TimeDate Created() const override;
  TimeDate Modified() const override;

 private:
  std::span<const uint8_t> summary_;
  std::span<const uint8_t> other_;
  int64_t created_;
  int64_t modified_;
};

// The summary items of a note held in memory, so that a formula selects an
// open note exactly as a search would select it stored.
class SummaryItemSource : public ItemSource {
 public:
  // The note must outlive this object.
  explicit SummaryItemSource(const NoteRecord& note) : note_(note) {}

  bool FindItem(std::string_view name, RawItem* item) const override;
  TimeDate Created() const override;
  TimeDate Modified() const override;

 private:
  const NoteRecord& note_;
};

}  // namespace vt::store
