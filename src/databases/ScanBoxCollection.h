// The scan boxes in configuration order, owned, with the cursor through which
// a pass walks their handles. A walk stops at the first record that is not
// open (in practice every record in the collection is open).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "databases/MailDatabase.h"

namespace vt {

class ScanBoxCollection {
 public:
  ScanBoxCollection() = default;
  ScanBoxCollection(const ScanBoxCollection&) = delete;
  ScanBoxCollection& operator=(const ScanBoxCollection&) = delete;

  // Null when memory is exhausted.
  static std::unique_ptr<ScanBoxCollection> Create();

  // Closes and frees every record.
  void Clear();
  // 1 when appended (the collection now owns it), 0 when the list cannot
  // grow (record is left with the caller).
  int Add(std::unique_ptr<MailDatabase>& record);
  uint32_t Count() const { return static_cast<uint32_t>(records_.size()); }

  DbHandle FirstHandle();
  DbHandle NextHandle();

  // The record at index (for the quarantine-style walk of tests and tools).
  MailDatabase* At(size_t index) const {
    return index < records_.size() ? records_[index].get() : nullptr;
  }

 private:
  DbHandle HandleAtCursor() const;

  std::vector<std::unique_ptr<MailDatabase>> records_;
  size_t cursor_ = 0;  // == records_.size() means "at the end"
};

}  // namespace vt
