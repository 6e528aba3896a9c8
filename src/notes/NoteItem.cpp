// Finding an item by name.
#include "notes/NoteItem.h"

#include "base/Ascii.h"

namespace vt {

const NoteItem* FindItem(const std::vector<NoteItem>& items,
                         std::string_view name) {
  for (const NoteItem& item : items) {
    if (EqualsIgnoreCase(item.name, name)) return &item;
  }
  return nullptr;
}

}  // namespace vt
