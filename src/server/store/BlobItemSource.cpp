// Item lookup over stored blobs for the formula evaluator.
#include "server/store/BlobItemSource.h"

#include "base/Ascii.h"
#include "server/store/ItemBlob.h"

namespace vt::store {

BlobItemSource::BlobItemSource(std::span<const uint8_t> summary,
                               std::span<const uint8_t> other,
                               int64_t createdCentis, int64_t modifiedCentis)
    : summary_(summary),
      other_(other),
      created_(createdCentis),
      modified_(modifiedCentis) {}

bool BlobItemSource::FindItem(std::string_view name, RawItem* item) const {
  ItemView view;
  if (!FindInBlob(summary_, name, &view) && !FindInBlob(other_, name, &view)) {
    return false;
  }
  item->type = view.type;
  item->value = view.value;
  return true;
}

TimeDate BlobItemSource::Created() const {
  return TimeDateFromUnixCentis(created_);
}

TimeDate BlobItemSource::Modified() const {
  return TimeDateFromUnixCentis(modified_);
}

bool SummaryItemSource::FindItem(std::string_view name, RawItem* item) const {
  for (const Item& candidate : note_.items.items()) {
    if ((candidate.flags & kItemFlagSummary) == 0) continue;
    if (!EqualsIgnoreCase(candidate.name, name)) continue;
    item->type = candidate.type;
    item->value = candidate.value;
    return true;
  }
  return false;
}

TimeDate SummaryItemSource::Created() const {
  return TimeDateFromUnixCentis(note_.created);
}

TimeDate SummaryItemSource::Modified() const {
  return TimeDateFromUnixCentis(note_.modified);
}

}  // namespace vt::store
