// Allocation behind memory handles; failures are statuses, never throws.
#include "server/MemoryBlocks.h"

#include <cstring>
#include <new>

namespace vt {

Status MemoryBlocks::Allocate(uint32_t size, MemHandle* handle) {
  if (handle == nullptr) return err::kInvalidArgument;
  *handle = MemHandle();
  if (size > kMaxBlockSize) return err::kNoMemory;
  auto block = std::unique_ptr<Entry>(new (std::nothrow) Entry);
  if (!block) return err::kNoMemory;
  // A zero-size block still has an address to lock.
  block->bytes.reset(new (std::nothrow) uint8_t[size == 0 ? 1 : size]());
  if (!block->bytes) return err::kNoMemory;
  block->size = size;
  const uint32_t value = blocks_.Add(std::move(block));
  if (value == 0) return err::kNoMemory;
  *handle = MemHandle(value);
  return Status();
}

void* MemoryBlocks::Lock(MemHandle handle) {
  Entry* block = blocks_.Find(handle.value);
  if (block == nullptr) return nullptr;
  ++block->locks;
  return block->bytes.get();
}

void MemoryBlocks::Unlock(MemHandle handle) {
  Entry* block = blocks_.Find(handle.value);
  if (block != nullptr && block->locks > 0) --block->locks;
}

bool MemoryBlocks::Free(MemHandle handle) {
  return blocks_.Remove(handle.value);
}

std::span<uint8_t> MemoryBlocks::Block(MemHandle handle) const {
  Entry* block = blocks_.Find(handle.value);
  if (block == nullptr) return {};
  return {block->bytes.get(), block->size};
}

bool MemoryBlocks::Size(MemHandle handle, uint32_t* size) const {
  const Entry* block = blocks_.Find(handle.value);
  if (block == nullptr) return false;
  *size = block->size;
  return true;
}

Status MemoryBlocks::Replace(MemHandle handle, std::span<const uint8_t> bytes) {
  Entry* block = blocks_.Find(handle.value);
  if (block == nullptr) return err::kInvalidHandle;
  if (block->locks > 0) return err::kInvalidArgument;
  if (bytes.size() > kMaxBlockSize) return err::kNoMemory;
  std::unique_ptr<uint8_t[]> fresh(
      new (std::nothrow) uint8_t[bytes.empty() ? 1 : bytes.size()]());
  if (!fresh) return err::kNoMemory;
  if (!bytes.empty()) std::memcpy(fresh.get(), bytes.data(), bytes.size());
  block->bytes = std::move(fresh);
  block->size = static_cast<uint32_t>(bytes.size());
  return Status();
}

}  // namespace vt
