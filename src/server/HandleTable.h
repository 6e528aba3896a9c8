// A table of live objects behind opaque handles. Handle values are never
// reused, so a stale handle finds nothing instead of someone else's object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>

namespace vt {

template <class T>
class HandleTable {
 public:
  HandleTable() = default;
  HandleTable(const HandleTable&) = delete;
  HandleTable& operator=(const HandleTable&) = delete;

  // 0 when the values are used up (after four billion handles).
  uint32_t Add(std::unique_ptr<T> object) {
    if (next_ == 0) return 0;
    const uint32_t value = next_++;
    entries_.emplace(value, std::move(object));
    return value;
  }

  T* Find(uint32_t value) const {
    const auto it = entries_.find(value);
    return it == entries_.end() ? nullptr : it->second.get();
  }

  // The object, now owned by the caller; null when there was none.
  std::unique_ptr<T> Take(uint32_t value) {
    const auto it = entries_.find(value);
    if (it == entries_.end()) return nullptr;
    std::unique_ptr<T> object = std::move(it->second);
    entries_.erase(it);
    return object;
  }

  bool Remove(uint32_t value) { return entries_.erase(value) != 0; }

  template <class Predicate>
  void RemoveIf(Predicate pred) {
    std::erase_if(entries_,
                  [&](const auto& entry) { return pred(*entry.second); });
  }

  size_t size() const { return entries_.size(); }

 private:
  uint32_t next_ = 1;
  std::unordered_map<uint32_t, std::unique_ptr<T>> entries_;
};

}  // namespace vt
