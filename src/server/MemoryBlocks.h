// Platform memory: blocks the caller allocates, locks to reach and frees by
// handle (compiled formulas and view entries travel in them). Blocks are
// zero-filled; a stale handle reaches nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "notes/Handles.h"
#include "notes/Status.h"
#include "server/HandleTable.h"

namespace vt {

class MemoryBlocks {
 public:
  // Larger requests are refused rather than attempted.
  static constexpr uint32_t kMaxBlockSize = 256u * 1024 * 1024;

  Status Allocate(uint32_t size, MemHandle* handle);
  // Null for an unknown handle.
  void* Lock(MemHandle handle);
  void Unlock(MemHandle handle);
  // False for an unknown handle.
  bool Free(MemHandle handle);
  // The block's bytes; empty for an unknown handle.
  std::span<uint8_t> Block(MemHandle handle) const;
  // False for an unknown handle.
  bool Size(MemHandle handle, uint32_t* size) const;
  // Gives the block new contents (and size) under the same handle, as a
  // formula grows when names or columns are merged into it. Refused while
  // the block is locked: a caller may hold its address.
  Status Replace(MemHandle handle, std::span<const uint8_t> bytes);
  size_t count() const { return blocks_.size(); }

 private:
  struct Entry {
    std::unique_ptr<uint8_t[]> bytes;
    uint32_t size = 0;
    uint32_t locks = 0;
  };
  HandleTable<Entry> blocks_;
};

}  // namespace vt
