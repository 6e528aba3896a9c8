// What the formula evaluator sees of a note: its items by name (without
// regard to case) and its creation and modification stamps. The store
// implements it over a note's summary items; tests implement it directly.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "notes/TimeDate.h"

namespace vt {

struct RawItem {
  uint16_t type = 0;               // kTypeText, kTypeTextList, ...
  std::span<const uint8_t> value;  // laid out as store/ItemValue.h says
};

class ItemSource {
 public:
  virtual ~ItemSource() = default;
  // The first item of that name, compared without regard to ASCII case;
  // false when the note has none.
  virtual bool FindItem(std::string_view name, RawItem* item) const = 0;
  virtual TimeDate Created() const = 0;
  virtual TimeDate Modified() const = 0;
};

}  // namespace vt
