// Finding an item by name.
#include "notes/NoteItem.h"

#include "base/Ascii.h"
#include "notes/ItemValue.h"
#include "notes/TimeDate.h"

namespace vt {

const NoteItem* FindItem(const std::vector<NoteItem>& items,
                         std::string_view name) {
  for (const NoteItem& item : items) {
    if (EqualsIgnoreCase(item.name, name)) return &item;
  }
  return nullptr;
}

std::string ItemText(const NoteItem* item) {
  if (item == nullptr) return std::string();
  if (item->type == kTypeTextList) {
    const auto list = item::DecodeTextList(item->value);
    return list && !list->empty() ? std::string(list->front()) : std::string();
  }
  if (item->type != kTypeText) return std::string();
  return std::string(item->value.begin(), item->value.end());
}

std::vector<std::string> ItemTextList(const NoteItem* item) {
  std::vector<std::string> entries;
  if (item == nullptr) return entries;
  if (item->type != kTypeTextList) {
    if (item->type == kTypeText) entries.push_back(ItemText(item));
    return entries;
  }
  const auto list = item::DecodeTextList(item->value);
  if (list) entries.assign(list->begin(), list->end());
  return entries;
}

std::optional<int64_t> ItemUnixCentis(const NoteItem* item) {
  if (item == nullptr || item->type != kTypeTime) return std::nullopt;
  const auto td = item::DecodeTime(item->value);
  if (!td) return std::nullopt;
  return UnixCentisFromTimeDate(*td);
}

double ItemNumber(const NoteItem* item) {
  if (item == nullptr || item->type != kTypeNumber) return 0;
  return item::DecodeNumber(item->value).value_or(0);
}

}  // namespace vt
