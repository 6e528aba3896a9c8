// One item of a note as a whole value: name, type, flags and its bytes laid
// out as notes/ItemValue.h says. The store keeps items so, and the server's
// tools are handed them so.
#pragma once

#include <cstdint>
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

}  // namespace vt
