// The outcome of searches, kept to be brought up to date: the router
// searches every database every two seconds, and most of them have not
// changed since the last time, or by a few notes. Bounded in results and in
// the notes they hold; the least recently used go first, and those of
// databases no longer open go at once.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "notes/NotesServices.h"
#include "server/store/NsfDatabase.h"

namespace vt {

// In a kept result only: the note's match rests on the time (see
// FormulaProgram::EvaluateSelection), so each search evaluates it again.
inline constexpr uint8_t kMatchDependsOnTime = 0x80;

// One search's outcome: every note of its classes in ascending ID order, as
// of the database's change `change` (NsfDatabase::GetLastChange), taken while
// its change mark was `mark`.
// Shared, so that a search replays it to its callback while the callback
// searches again.
struct KeptSearch {
  store::NsfDatabase::ChangeMark mark;
  int64_t change = 0;
  std::shared_ptr<const std::vector<SearchMatch>> matches;
  // The notes whose match carries kMatchDependsOnTime.
  std::vector<uint32_t> timed;
};

class SearchCache {
 public:
  // The outcome of the same search (database, compiled formula, classes);
  // null when none is kept. Valid until the next Keep.
  KeptSearch* Find(const std::shared_ptr<store::NsfDatabase>& database,
                   std::span<const uint8_t> formula, uint16_t noteClassMask);
  // Keeps the outcome in place of the one of the same search; one too
  // large to keep is not, and the one it replaces goes.
  void Keep(const std::shared_ptr<store::NsfDatabase>& database,
            std::span<const uint8_t> formula, uint16_t noteClassMask,
            KeptSearch search);

 private:
  struct Entry {
    std::weak_ptr<store::NsfDatabase> database;
    std::vector<uint8_t> formula;
    uint16_t noteClassMask = 0;
    KeptSearch search;
    uint64_t lastUse = 0;
  };

  std::vector<Entry> entries_;
  uint64_t uses_ = 0;
};

}  // namespace vt
