// Remembering and finding the quarantines a perimeter rolled over from.
#include "databases/EarlierQuarantines.h"

#include <new>

#include "databases/RollOver.h"

namespace vt {

void EarlierQuarantines::Remember(std::unique_ptr<MailDatabase> rolledFrom) {
  for (size_t i = kKept - 1; i > 0; --i)
    records_[i] = std::move(records_[i - 1]);
  records_[0] = std::move(rolledFrom);
  Refresh();
}

void EarlierQuarantines::Find(NotesServices& notes,
                              const MailDatabase& current) {
  Clear();
  const int64_t number = RollOverNumber(current.path.c_str());
  size_t found = 0;
  for (int64_t n = number - 1;
       n >= 0 && n >= number - kSearchedNumbers && found < kKept; --n) {
    FixedText<kPathSize> name;
    if (!NumberedName(current.path.c_str(), n, name.span())) break;
    uint32_t taken = 0;
    FixedText<kNetPathSize> fullName;
    ProbeDatabaseName(notes, current.server.c_str(), name.c_str(), &taken,
                      fullName.span())
        .IgnoreError();
    if (taken == 0) continue;
    std::unique_ptr<MailDatabase> record(new (std::nothrow)
                                             MailDatabase(notes));
    if (!record) break;
    if (!record->Open(current.server.c_str(), name.c_str()).ok()) continue;
    records_[found++] = std::move(record);
  }
  Refresh();
}

void EarlierQuarantines::Clear() {
  for (auto& record : records_) record.reset();
  Refresh();
}

void EarlierQuarantines::Refresh() {
  count_ = 0;
  for (const auto& record : records_) {
    if (record && record->IsOpen()) handles_[count_++] = record->dbHandle;
  }
}

}  // namespace vt
