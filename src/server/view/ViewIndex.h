// The index of one view: the documents its "$Formula" selects, sorted by the
// keys of its "$Collation". The router's "Default" view and the
// administration database's "AdminServerConfig" view are both read by it.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "notes/Status.h"
#include "notes/TimeDate.h"
#include "server/formula/FormulaProgram.h"
#include "server/formula/ItemSource.h"
#include "server/view/StoredFormCodec.h"

namespace vt::view {

struct ViewDesign {
  formula::FormulaProgram program;
  std::vector<CollationKey> keys;
};

// Decodes a view's "$Formula" and "$Collation" values. A view without a
// collation is indexed in note-ID order.
Status LoadViewDesign(std::span<const uint8_t> formula,
                      std::span<const uint8_t> collation, ViewDesign* design);

// Visits documents: calls visit(noteId, note) for each, in any order; a
// nonzero status from the scan aborts the build.
using NoteVisitor = std::function<void(uint32_t, const ItemSource&)>;
using NoteScan = std::function<Status(const NoteVisitor&)>;

class ViewIndex {
 public:
  Status Build(const ViewDesign& design, const NoteScan& scan, TimeDate now);

  size_t size() const { return entries_.size(); }
  uint32_t NoteIdAt(size_t index) const { return entries_[index].noteId; }
  // The entries whose first key equals key as a whole (ASCII case folded
  // when caseInsensitive): the first one's index and how many there are.
  // err::kNotFound when none.
  Status FindByName(std::string_view key, bool caseInsensitive, uint32_t* index,
                    uint32_t* count) const;

 private:
  struct SortValue {
    // Order of kinds in a sorted view: empty, numbers, times, texts.
    int kind = 0;
    double number = 0;
    int64_t time = 0;
    std::string text;  // the first entry of a text list
  };
  struct Entry {
    uint32_t noteId = 0;
    std::vector<SortValue> keys;
  };
  static int Compare(const SortValue& a, const SortValue& b);

  std::vector<Entry> entries_;
};

}  // namespace vt::view
