// Item lookup over stored blobs for the formula evaluator.
#include "server/store/BlobItemSource.h"

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

}  // namespace vt::store
