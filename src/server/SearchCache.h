// The outcome of searches, kept while their database is unchanged: the
// router searches every database every two seconds, and most of them have
// not changed since the last time. Bounded in results and in the notes they
// hold; the least recently used go first, and those of databases no longer
// open go at once.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "notes/NotesServices.h"
#include "server/store/NsfDatabase.h"

namespace vt {

class SearchCache {
 public:
  // The matches of the same search (database, compiled formula, classes)
  // made while the database's change mark was mark; null when none.
  const std::vector<SearchMatch>* Find(
      const std::shared_ptr<store::NsfDatabase>& database,
      std::span<const uint8_t> formula, uint16_t noteClassMask,
      const store::NsfDatabase::ChangeMark& mark);
  // mark must have been taken before the search began, so that a change
  // during it makes the next search scan again.
  void Keep(const std::shared_ptr<store::NsfDatabase>& database,
            std::span<const uint8_t> formula, uint16_t noteClassMask,
            const store::NsfDatabase::ChangeMark& mark,
            std::vector<SearchMatch> matches);

 private:
  struct Entry {
    std::weak_ptr<store::NsfDatabase> database;
    std::vector<uint8_t> formula;
    uint16_t noteClassMask = 0;
    store::NsfDatabase::ChangeMark mark;
    std::vector<SearchMatch> matches;
    uint64_t lastUse = 0;
  };

  std::vector<Entry> entries_;
  uint64_t uses_ = 0;
};

}  // namespace vt
