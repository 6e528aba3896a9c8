// Remembered search results; see SearchCache.h.
#include "server/SearchCache.h"

#include <algorithm>

namespace vt {
namespace {

// At most this many remembered results (the router keeps three for each
// mail box and four for each scan box), and this many notes in them all.
constexpr size_t kMaxCachedSearches = 256;
constexpr size_t kMaxCachedMatches = 2'000'000;

}  // namespace

KeptSearch* SearchCache::Find(
    const std::shared_ptr<store::NsfDatabase>& database,
    std::span<const uint8_t> formula, uint16_t noteClassMask) {
  for (Entry& entry : entries_) {
    if (entry.noteClassMask == noteClassMask &&
        entry.database.lock() == database &&
        std::equal(entry.formula.begin(), entry.formula.end(), formula.begin(),
                   formula.end())) {
      entry.lastUse = ++uses_;
      return &entry.search;
    }
  }
  return nullptr;
}

void SearchCache::Keep(const std::shared_ptr<store::NsfDatabase>& database,
                       std::span<const uint8_t> formula, uint16_t noteClassMask,
                       KeptSearch search) {
  // The result this one supersedes goes, as do those of closed databases.
  std::erase_if(entries_, [&](const Entry& e) {
    return e.database.expired() ||
           (e.noteClassMask == noteClassMask && e.database.lock() == database &&
            std::equal(e.formula.begin(), e.formula.end(), formula.begin(),
                       formula.end()));
  });
  if (!search.matches || search.matches->size() > kMaxCachedMatches) return;
  size_t total = search.matches->size();
  for (const Entry& e : entries_) total += e.search.matches->size();
  while (!entries_.empty() &&
         (entries_.size() >= kMaxCachedSearches || total > kMaxCachedMatches)) {
    auto oldest = std::min_element(
        entries_.begin(), entries_.end(),
        [](const Entry& a, const Entry& b) { return a.lastUse < b.lastUse; });
    total -= oldest->search.matches->size();
    entries_.erase(oldest);
  }
  Entry entry;
  entry.database = database;
  entry.formula.assign(formula.begin(), formula.end());
  entry.noteClassMask = noteClassMask;
  entry.search = std::move(search);
  entry.lastUse = ++uses_;
  entries_.push_back(std::move(entry));
}

}  // namespace vt
