// The items of an open note, held in memory between OpenNote and UpdateNote.
// Names compare without regard to case; several items may share a name (the
// first one is the one read).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "notes/NoteItem.h"
#include "notes/Status.h"

namespace vt::store {

// Bounds that keep a note storable in one row and its header fields exact.
inline constexpr size_t kMaxItemNameLength = 0xFFFF;
inline constexpr size_t kMaxItemValueLength = 64u * 1024 * 1024;

using Item = NoteItem;

class ItemList {
 public:
  const Item* Find(std::string_view name) const;
  // Removes every item of that name; returns how many there were.
  size_t RemoveAll(std::string_view name);
  void Append(Item item);
  // Replaces every item of the item's name with it, at the first one's place.
  void Replace(Item item);

  // kCorruptDatabase when a blob is malformed; the list is then unchanged.
  Status Load(std::span<const uint8_t> summary, std::span<const uint8_t> other);
  void Serialize(std::vector<uint8_t>* summary,
                 std::vector<uint8_t>* other) const;

  const std::vector<Item>& items() const { return items_; }
  size_t size() const { return items_.size(); }

 private:
  std::vector<Item> items_;
};

}  // namespace vt::store
