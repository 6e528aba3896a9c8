// One item of a note as a whole value: name, type, flags and its bytes laid
// out as notes/ItemValue.h says. The store keeps items so, and the server's
// tools are handed them so.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vt {

struct NoteItem {
  std::string name;
  uint16_t type = 0;
  uint16_t flags = 0;
  std::vector<uint8_t> value;
};

// The first item of that name (without regard to ASCII case), or null.
const NoteItem* FindItem(const std::vector<NoteItem>& items,
                         std::string_view name);

// An item's value by its type; each takes null (no such item) and gives the
// empty value then, or for an item of another type.
// Text, or a text list's first entry.
std::string ItemText(const NoteItem* item);
// A text list's entries, or text as one entry.
std::vector<std::string> ItemTextList(const NoteItem* item);
// A time as Unix centiseconds.
std::optional<int64_t> ItemUnixCentis(const NoteItem* item);
double ItemNumber(const NoteItem* item);

}  // namespace vt
