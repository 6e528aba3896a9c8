// A set of note IDs kept in ascending order without duplicates, scanned from
// the lowest. Appending in ascending order (the usual case: a search visits
// notes in ID order) costs nothing extra.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "notes/Status.h"

namespace vt {

class IdTable {
 public:
  static constexpr size_t kMaxEntries = 16u * 1024 * 1024;

  // kIdTableFull at the cap; inserted is false for an ID already present.
  Status Insert(uint32_t id, bool* inserted);
  // True while an ID is returned; first starts again from the lowest.
  bool Scan(bool first, uint32_t* id);
  uint32_t Count() const { return static_cast<uint32_t>(ids_.size()); }
  void Clear();
  bool Contains(uint32_t id) const;
  const std::vector<uint32_t>& ids() const { return ids_; }

 private:
  std::vector<uint32_t> ids_;
  size_t cursor_ = 0;
};

}  // namespace vt
