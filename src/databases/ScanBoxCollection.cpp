// Ownership and iteration of the scan-box records.
#include "databases/ScanBoxCollection.h"

#include <new>

namespace vt {

std::unique_ptr<ScanBoxCollection> ScanBoxCollection::Create() {
  return std::unique_ptr<ScanBoxCollection>(new (std::nothrow)
                                                ScanBoxCollection());
}

void ScanBoxCollection::Clear() {
  if (records_.empty()) return;
  // Records are closed in list order, as their destructors run.
  for (auto& record : records_) record.reset();
  records_.clear();
  cursor_ = 0;
}

int ScanBoxCollection::Add(std::unique_ptr<MailDatabase>& record) {
  try {
    records_.push_back(nullptr);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  records_.back() = std::move(record);
  cursor_ = records_.size();
  return 1;
}

DbHandle ScanBoxCollection::HandleAtCursor() const {
  const MailDatabase* record = records_[cursor_].get();
  return record != nullptr && record->IsOpen() ? record->dbHandle : DbHandle();
}

DbHandle ScanBoxCollection::FirstHandle() {
  if (records_.empty()) return DbHandle();
  cursor_ = 0;
  return HandleAtCursor();
}

DbHandle ScanBoxCollection::NextHandle() {
  if (records_.empty() || cursor_ >= records_.size()) return DbHandle();
  ++cursor_;
  if (cursor_ >= records_.size()) return DbHandle();
  return HandleAtCursor();
}

}  // namespace vt
