// Ordered note-ID sets for the ID table operations.
#include "server/IdTable.h"

#include <algorithm>
#include <new>

namespace vt {

Status IdTable::Insert(uint32_t id, bool* inserted) {
  bool added = false;
  if (ids_.empty() || ids_.back() < id) {
    if (ids_.size() >= kMaxEntries) return err::kIdTableFull;
    ids_.push_back(id);
    added = true;
  } else {
    const auto it = std::lower_bound(ids_.begin(), ids_.end(), id);
    if (it == ids_.end() || *it != id) {
      if (ids_.size() >= kMaxEntries) return err::kIdTableFull;
      const size_t at = static_cast<size_t>(it - ids_.begin());
      ids_.insert(it, id);
      // Keep a scan in progress on the ID it would have returned next.
      if (at < cursor_) ++cursor_;
      added = true;
    }
  }
  if (inserted != nullptr) *inserted = added;
  return Status();
}

bool IdTable::Scan(bool first, uint32_t* id) {
  if (first) cursor_ = 0;
  if (cursor_ >= ids_.size()) return false;
  *id = ids_[cursor_++];
  return true;
}

void IdTable::Clear() {
  ids_.clear();
  cursor_ = 0;
}

bool IdTable::Contains(uint32_t id) const {
  return std::binary_search(ids_.begin(), ids_.end(), id);
}

}  // namespace vt
