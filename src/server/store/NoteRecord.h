// One note as the store reads and writes it: header fields and items. Time
// stamps are Unix centiseconds, the store's own unit.
#pragma once

#include <array>
#include <cstdint>

#include "notes/Handles.h"
#include "server/store/ItemList.h"

namespace vt::store {

using Unid = std::array<uint8_t, 16>;

struct NoteRecord {
  uint32_t id = 0;  // 0 until the first UpdateNote gives it one
  Unid unid{};
  uint16_t noteClass = kNoteClassDocument;
  int64_t created = 0;
  int64_t modified = 0;
  uint32_t sequence = 0;
  ItemList items;
};

// The header of a stored note, as GetNoteInfo and the search see it.
struct NoteInfo {
  uint32_t id = 0;
  Unid unid{};
  uint16_t noteClass = 0;
  int64_t created = 0;
  int64_t modified = 0;
  uint32_t sequence = 0;
};

}  // namespace vt::store
