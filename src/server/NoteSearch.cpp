// Searches brought up to date from the store's change sequence; see
// NoteSearch.h.
#include "server/NoteSearch.h"

#include <algorithm>
#include <vector>

#include "server/store/BlobItemSource.h"

namespace vt {
namespace {

// What a search learnt about one note since the kept outcome: its match
// now, or that it is gone (deleted, or no longer of the searched classes).
struct Update {
  uint32_t id = 0;
  int64_t changed = 0;
  bool present = false;
  SearchMatch match;
};

uint8_t Evaluate(const formula::FormulaProgram* program,
                 const store::ScanEntry& entry, TimeDate now) {
  if (program == nullptr) return kSearchMatchFlag;
  const store::BlobItemSource note(entry.summary, {}, entry.created,
                                   entry.modified);
  bool selected = false;
  bool dependsOnTime = false;
  // A failed evaluation selects nothing, whatever the time.
  if (!program->EvaluateSelection(note, now, &selected, &dependsOnTime).ok()) {
    return 0;
  }
  return static_cast<uint8_t>((selected ? kSearchMatchFlag : 0) |
                              (dependsOnTime ? kMatchDependsOnTime : 0));
}

SearchMatch MatchOf(const store::ScanEntry& entry, uint8_t flags) {
  SearchMatch match;
  match.noteId = entry.id;
  match.noteClass = entry.noteClass;
  match.matchFlags = flags;
  return match;
}

Status Replay(const std::vector<SearchMatch>& matches, SearchCallback callback,
              void* context) {
  for (SearchMatch match : matches) {
    match.matchFlags &= static_cast<uint8_t>(~kMatchDependsOnTime);
    const Status s = callback(context, match);
    if (!s.ok()) return s;
  }
  return Status();
}

// The kept matches with the updates applied: both in ascending ID order, the
// latest update of a note winning.
std::vector<SearchMatch> Merge(const std::vector<SearchMatch>& kept,
                               std::vector<Update>& updates) {
  std::sort(updates.begin(), updates.end(),
            [](const Update& a, const Update& b) {
              return a.id != b.id ? a.id < b.id : a.changed < b.changed;
            });
  std::vector<SearchMatch> merged;
  merged.reserve(kept.size() + updates.size());
  size_t k = 0;
  for (size_t u = 0; u < updates.size(); ++u) {
    if (u + 1 < updates.size() && updates[u + 1].id == updates[u].id) continue;
    const Update& update = updates[u];
    while (k < kept.size() && kept[k].noteId < update.id) {
      merged.push_back(kept[k++]);
    }
    if (k < kept.size() && kept[k].noteId == update.id) ++k;
    if (update.present) merged.push_back(update.match);
  }
  merged.insert(merged.end(), kept.begin() + static_cast<ptrdiff_t>(k),
                kept.end());
  return merged;
}

std::vector<uint32_t> TimedNotes(const std::vector<SearchMatch>& matches) {
  std::vector<uint32_t> timed;
  for (const SearchMatch& match : matches) {
    if ((match.matchFlags & kMatchDependsOnTime) != 0) {
      timed.push_back(match.noteId);
    }
  }
  return timed;
}

// The kept outcome brought up to date: the notes whose match rests on the
// time evaluated again, and, when the database changed, the notes written
// or deleted after the kept change.
Status Refresh(store::NsfDatabase& database,
               const formula::FormulaProgram* program, uint16_t noteClassMask,
               TimeDate now, bool changed, const KeptSearch& kept,
               std::vector<SearchMatch>* matches) {
  std::vector<Update> updates;
  auto visit = [&](const store::ScanEntry& entry) -> Status {
    Update update;
    update.id = entry.id;
    update.changed = entry.changed;
    update.present = (entry.noteClass & noteClassMask) != 0;
    if (update.present) {
      update.match = MatchOf(entry, Evaluate(program, entry, now));
    }
    updates.push_back(update);
    return Status();
  };
  // These first, as of the kept change: a note also written since has a
  // later update below, read after this one, which wins.
  Status s =
      database.ForEachNoteOf(kept.timed, [&](const store::ScanEntry& entry) {
        store::ScanEntry read = entry;
        read.changed = kept.change;
        return visit(read);
      });
  if (!s.ok()) return s;
  if (changed) {
    s = database.ForEachChangeSince(
        kept.change, visit, [&](const store::StubEntry& stub) -> Status {
          Update update;
          update.id = stub.id;
          update.changed = stub.changed;
          updates.push_back(update);
          return Status();
        });
    if (!s.ok()) return s;
  }
  *matches = Merge(*kept.matches, updates);
  return Status();
}

// Every note read; the outcome kept when `keep`.
Status FullSearch(SearchCache& cache,
                  const std::shared_ptr<store::NsfDatabase>& database,
                  std::span<const uint8_t> formula,
                  const formula::FormulaProgram* program,
                  uint16_t noteClassMask, TimeDate now, SearchCallback callback,
                  void* context, bool keep, KeptSearch search) {
  std::vector<SearchMatch> matches;
  const Status s = database->ForEachNote(
      noteClassMask, [&](const store::ScanEntry& entry) -> Status {
        SearchMatch match = MatchOf(entry, Evaluate(program, entry, now));
        if (keep) matches.push_back(match);
        match.matchFlags &= static_cast<uint8_t>(~kMatchDependsOnTime);
        return callback(context, match);
      });
  if (!s.ok() || !keep) return s;
  search.timed = TimedNotes(matches);
  search.matches =
      std::make_shared<const std::vector<SearchMatch>>(std::move(matches));
  cache.Keep(database, formula, noteClassMask, std::move(search));
  return Status();
}

}  // namespace

Status SearchNotes(SearchCache& cache,
                   const std::shared_ptr<store::NsfDatabase>& database,
                   std::span<const uint8_t> formula,
                   const formula::FormulaProgram* program,
                   uint16_t noteClassMask, TimeDate now,
                   SearchCallback callback, void* context) {
  // Both read before any note: whatever is written from here on has a
  // later change, which the next search reads again.
  KeptSearch next;
  const bool keep = program != nullptr &&
                    database->GetChangeMark(&next.mark).ok() &&
                    database->GetLastChange(&next.change).ok();
  const KeptSearch* kept =
      keep ? cache.Find(database, formula, noteClassMask) : nullptr;
  // A change number gone back means another file: read it whole.
  if (kept == nullptr || kept->change > next.change) {
    return FullSearch(cache, database, formula, program, noteClassMask, now,
                      callback, context, keep, std::move(next));
  }
  std::shared_ptr<const std::vector<SearchMatch>> matches = kept->matches;
  // The mark and the last change are two reads: a commit between them moves
  // the change but not the mark, and must still be read.
  const bool changed = kept->mark != next.mark || kept->change != next.change;
  if (changed || !kept->timed.empty()) {
    std::vector<SearchMatch> refreshed;
    const Status s = Refresh(*database, program, noteClassMask, now, changed,
                             *kept, &refreshed);
    if (!s.ok()) return s;
    next.timed = TimedNotes(refreshed);
    matches =
        std::make_shared<const std::vector<SearchMatch>>(std::move(refreshed));
    next.matches = matches;
    cache.Keep(database, formula, noteClassMask, std::move(next));
  }
  return Replay(*matches, callback, context);
}

}  // namespace vt
