// In-memory items of an open note and their conversion to the stored blobs.
#include "server/store/ItemList.h"

#include <algorithm>

#include "base/Ascii.h"
#include "notes/Handles.h"
#include "server/store/ItemBlob.h"

namespace vt::store {

const Item* ItemList::Find(std::string_view name) const {
  for (const Item& item : items_) {
    if (EqualsIgnoreCase(item.name, name)) return &item;
  }
  return nullptr;
}

size_t ItemList::RemoveAll(std::string_view name) {
  const size_t before = items_.size();
  std::erase_if(items_, [&](const Item& item) {
    return EqualsIgnoreCase(item.name, name);
  });
  return before - items_.size();
}

void ItemList::Append(Item item) { items_.push_back(std::move(item)); }

void ItemList::Replace(Item item) {
  auto first = std::find_if(items_.begin(), items_.end(), [&](const Item& i) {
    return EqualsIgnoreCase(i.name, item.name);
  });
  if (first == items_.end()) {
    items_.push_back(std::move(item));
    return;
  }
  const size_t at = static_cast<size_t>(first - items_.begin());
  const std::string name = item.name;
  items_[at] = std::move(item);
  // Drop the later namesakes only; the first keeps its place.
  auto rest = items_.begin() + static_cast<ptrdiff_t>(at) + 1;
  items_.erase(std::remove_if(rest, items_.end(),
                              [&](const Item& i) {
                                return EqualsIgnoreCase(i.name, name);
                              }),
               items_.end());
}

Status ItemList::Load(std::span<const uint8_t> summary,
                      std::span<const uint8_t> other) {
  std::vector<Item> loaded;
  for (std::span<const uint8_t> blob : {summary, other}) {
    ItemBlobReader reader(blob);
    ItemView view;
    while (reader.Next(&view)) {
      Item item;
      item.name.assign(view.name);
      item.type = view.type;
      item.flags = view.flags;
      item.value.assign(view.value.begin(), view.value.end());
      loaded.push_back(std::move(item));
    }
    if (reader.malformed()) return err::kCorruptDatabase;
  }
  items_ = std::move(loaded);
  return Status();
}

void ItemList::Serialize(std::vector<uint8_t>* summary,
                         std::vector<uint8_t>* other) const {
  summary->clear();
  other->clear();
  for (const Item& item : items_) {
    std::vector<uint8_t>& out =
        (item.flags & kItemFlagSummary) != 0 ? *summary : *other;
    AppendItemRecord(out, item.name, item.type, item.flags, item.value);
  }
}

}  // namespace vt::store
