// Moving selected messages by copy and delete. A message is deleted from the
// source only after its copy is durable in a destination (or a mail rule
// refused it there), so no failure in between can lose it. A failure after
// the copy leaves it in both places until a later pass copies it again: that
// copy replaces the earlier one (same universal ID) or finds it already
// delivered and removed (its deletion stub), and it goes to the same
// database as before, so it is never delivered twice. It counts once, when
// it has left the source.
//
// Other writers change messages between the search and the move. Deletion
// stubs stand for "this version was here", so a move takes exactly one
// version from the source to the destination: the copy takes the note only
// as the search's formula still selects it, and the deletion takes only the
// version that was copied. Every route then changes a message before it can
// come back (the scanner's verdict, a release), and no stub a move leaves
// can be mistaken for the delivery of a later trip.
#include "engine/MessageMover.h"

#include <array>

#include "engine/NoteIdTable.h"
#include "engine/RouterEngine.h"
#include "log/TaskLog.h"

namespace vt {
namespace {

constexpr uint16_t kDeleteUpdateFlags = 0x0200;
// A note changed again and again by another writer while it moves: after
// this many copies it waits for the next pass.
constexpr int kCopyAttempts = 3;

enum class Presence { kAbsent, kPresent, kBusy };

// Whether db holds the message already: a note of its universal ID, or the
// deletion stub of this version or a later one (it was delivered there and
// has been removed since). A stub of an older version is where the message
// came from before it was scanned, which does not count. A database that
// cannot be read at all does not hold it in any way that counts: what it
// holds is lost to the router and to its readers alike. One that is busy
// may, so the message waits for a later pass.
Presence Holds(NotesServices& notes, DbHandle db, const OriginatorId& oid,
               Status* status) {
  uint32_t noteId = 0;
  uint32_t sequence = 0;
  *status = notes.GetNoteInfoByUnid(db, oid.unid, &noteId, &sequence);
  if (status->Is(err::kDatabaseBusy)) return Presence::kBusy;
  if (!status->ok()) return Presence::kAbsent;
  const bool present =
      (noteId & kDeletedNoteFlag) == 0 || sequence >= oid.sequence;
  return present ? Presence::kPresent : Presence::kAbsent;
}

// The databases, besides the destination, that an earlier move may have
// left the message in: the alternative and the other places, without the
// source itself.
struct Places {
  std::array<DbHandle, kMaxMailboxes + 1> handles{};
  size_t count = 0;

  std::span<const DbHandle> view() const { return {handles.data(), count}; }
};

// Tells whether a database is the source, asking for the source's identity
// once.
class SourceIdentity {
 public:
  SourceIdentity(NotesServices& notes, DbHandle source)
      : notes_(notes),
        source_(source),
        known_(notes.GetDatabaseId(source, &id_).ok()) {}

  bool Is(DbHandle db) const {
    if (db == source_) return true;
    DatabaseId other{};
    return known_ && notes_.GetDatabaseId(db, &other).ok() && other == id_;
  }

 private:
  NotesServices& notes_;
  DbHandle source_;
  DatabaseId id_{};
  bool known_;
};

Places OtherPlaces(const SourceIdentity& source, DbHandle destination,
                   DbHandle alternative, std::span<const DbHandle> others) {
  Places places;
  auto add = [&](DbHandle db) {
    if (!db || db == destination || places.count == places.handles.size()) {
      return;
    }
    if (source.Is(db)) return;
    places.handles[places.count++] = db;
  };
  add(alternative);
  for (const DbHandle db : others) add(db);
  return places;
}

// Where this message goes: the database of the places that holds it
// already, else the destination. kDatabaseBusy when a place could not tell.
Status ChooseTarget(NotesServices& notes, const OriginatorId& oid,
                    std::span<const DbHandle> places, DbHandle* target) {
  for (const DbHandle place : places) {
    Status status;
    switch (Holds(notes, place, oid, &status)) {
      case Presence::kPresent:
        *target = place;
        return Status();
      case Presence::kBusy:
        return status;
      case Presence::kAbsent:
        break;
    }
  }
  return Status();
}

// How one message's move ended.
enum class Moved {
  kYes,     // it has left the source
  kStayed,  // a change took it off this route; it is in the source only
  kFailed,  // it is still in the source (and maybe in the target too)
};

// One call's walk over the selected messages: the copies and deletions of
// each, and the counts and lines of the summary.
class Walk {
 public:
  Walk(NotesServices& notes, DbHandle source, MemHandle formula,
       const char* destinationName, FailureEpisodes* episodes)
      : notes_(notes),
        log_(notes),
        source_(source),
        formula_(formula),
        destinationName_(destinationName),
        episodes_(episodes) {}

  // Copies the note as its formula selects it into target.
  Status Copy(uint32_t noteId, DbHandle target, OriginatorId* copied) {
    return notes_.CopySelectedNote(source_, noteId, formula_, target, copied);
  }

  // Takes a copied note out of the source: only the version copied, so
  // that a change made after the copy is never lost. A note changed
  // meanwhile is copied again (its new version replaces the copy) while
  // the formula still selects it; one that a change took off this route
  // stays in the source, and its copy is taken back. written is false when
  // nothing was written (a mail rule refused the copy): then a changed note
  // simply stays, to be judged again.
  Moved Finish(uint32_t noteId, DbHandle target, OriginatorId copied,
               bool written) {
    for (int attempt = 1;; ++attempt) {
      const Status deleted = notes_.DeleteNoteVersion(
          source_, noteId, copied.sequence, kDeleteUpdateFlags);
      if (deleted.ok() || deleted.Is(err::kNoteDeleted)) return Moved::kYes;
      if (!deleted.Is(err::kUpdateConflict))
        return DeletionFailed(noteId, deleted);
      if (!written) return Moved::kStayed;
      if (attempt == kCopyAttempts) {
        LogFailure(deleted, "Error moving message.  ");
        return Moved::kFailed;
      }
      const OriginatorId earlier = copied;
      const Status again = Copy(noteId, target, &copied);
      if (again.Is(err::kNoLongerSelected)) return TakeBack(target, earlier);
      if (!again.ok()) {
        LogFailure(again, "Error moving message.  ");
        return Moved::kFailed;
      }
    }
  }

  // A line for a message that failed, unless its failure is already being
  // told as an episode.
  void LogFailure(Status status, const char* text) {
    if (episodes_ == nullptr || episodes_->ShouldLog(status)) {
      log_.Write(status, text);
    }
  }

  void Succeeded() {
    if (episodes_ != nullptr) episodes_->Succeeded(log_);
  }

  TaskLog& log() { return log_; }

  int32_t moved = 0, rejected = 0, errors = 0;

 private:
  // A deletion reported as failed may still have been made; then the
  // message has left and counts now, as no later pass will meet it.
  Moved DeletionFailed(uint32_t noteId, Status deleted) {
    uint32_t sequence = 0;
    if (notes_.GetNoteInfo(source_, noteId, &sequence, nullptr, nullptr)
            .Is(err::kNoteDeleted)) {
      return Moved::kYes;
    }
    if (episodes_ == nullptr || episodes_->ShouldLog(deleted)) {
      log_.Log(deleted,
               "Error deleting mail message %lX after copying it to %s.",
               static_cast<unsigned long>(noteId), destinationName_);
    }
    return Moved::kFailed;
  }

  // The copy of a version the source has moved on from, while the source's
  // note no longer belongs on this route: the copy goes, so that the
  // message stays in one place. A copy changed meanwhile in its own
  // database cannot be told from a new message and is left, named.
  Moved TakeBack(DbHandle target, const OriginatorId& copied) {
    uint32_t copyId = 0;
    uint32_t sequence = 0;
    Status s =
        notes_.GetNoteInfoByUnid(target, copied.unid, &copyId, &sequence);
    if (s.ok() && (copyId & kDeletedNoteFlag) == 0) {
      s = notes_.DeleteNoteVersion(target, copyId, copied.sequence,
                                   kDeleteUpdateFlags);
    }
    if (s.ok() || s.Is(err::kNoteDeleted) || s.Is(err::kNotFound) ||
        (copyId & kDeletedNoteFlag) != 0) {
      return Moved::kStayed;
    }
    log_.Log(s,
             "Message %lX was changed in both databases during its move to "
             "%s and is left in both.",
             static_cast<unsigned long>(copyId), destinationName_);
    return Moved::kFailed;
  }

  NotesServices& notes_;
  TaskLog log_;
  DbHandle source_;
  MemHandle formula_;
  const char* destinationName_;
  FailureEpisodes* episodes_;
};

void Summarize(TaskLog& log, const Walk& walk, const char* destinationName) {
  const long moved = walk.moved;
  const long rejected = walk.rejected;
  const long errors = walk.errors;
  if (rejected == 0 && errors == 0) {
    log.Log(Status(), "Moved %ld messages to %s", moved, destinationName);
  } else if (errors == 0) {
    log.Log(Status(), "Moved %ld messages to %s.  %ld rejected.", moved,
            destinationName, rejected);
  } else if (rejected == 0) {
    log.Log(Status(), "Moved %ld messages to %s.  %ld errors.", moved,
            destinationName, errors);
  } else {
    log.Log(Status(), "Moved %ld messages to %s.  %ld rejected.  %ld errors.",
            moved, destinationName, rejected, errors);
  }
}

}  // namespace

Status MoveOneMessage(NotesServices& notes, DbHandle source, uint32_t noteId,
                      DbHandle destination,
                      std::span<const DbHandle> otherPlaces, DbHandle* target) {
  *target = destination;
  if (!source || !destination) return err::kNoDatabaseHandle;
  const SourceIdentity sourceIdentity(notes, source);
  if (sourceIdentity.Is(destination)) return err::kSameDatabase;
  const Places places =
      OtherPlaces(sourceIdentity, destination, DbHandle(), otherPlaces);
  OriginatorId oid;
  Status s = notes.GetNoteOriginatorId(source, noteId, &oid);
  if (s.ok()) s = ChooseTarget(notes, oid, places.view(), target);
  OriginatorId copied;
  if (s.ok())
    s = notes.CopySelectedNote(source, noteId, MemHandle(), *target, &copied);
  if (!s.ok()) return s;
  // Only the version copied leaves; a change made since is kept and the
  // move is repeated over it.
  s = notes.DeleteNoteVersion(source, noteId, copied.sequence,
                              kDeleteUpdateFlags);
  // Deleted meanwhile by someone else: it has left the source all the same.
  return s.Is(err::kNoteDeleted) ? Status() : s;
}

bool SameDatabase(NotesServices& notes, DbHandle a, DbHandle b) {
  if (a == b) return true;
  DatabaseId idA{}, idB{};
  return notes.GetDatabaseId(a, &idA).ok() &&
         notes.GetDatabaseId(b, &idB).ok() && idA == idB;
}

Status MoveSelectedMessages(NotesServices& notes, DbHandle source,
                            DbHandle destination, DbHandle alternative,
                            IdTableHandle idTable, MemHandle formula,
                            const char* destinationName, uint16_t logLevel,
                            int32_t* counter,
                            std::span<const DbHandle> otherPlaces,
                            FailureEpisodes* episodes) {
  if (!source || !destination) return err::kNoDatabaseHandle;
  // One database in two roles: its messages are where they would go.
  const SourceIdentity sourceIdentity(notes, source);
  if (sourceIdentity.Is(destination)) return Status();
  Walk walk(notes, source, formula, destinationName, episodes);
  CollectStage failed;
  const Status collected =
      CollectMatchingNotes(notes, idTable, source, formula, &failed);
  if (!collected.ok()) {
    if (failed == CollectStage::kSearch &&
        (episodes == nullptr || episodes->ShouldLogSearch(collected, source))) {
      walk.log().Log(collected, "Error reading messages to process.");
    }
    return collected;
  }
  if (episodes != nullptr) episodes->SearchSucceeded(source, walk.log());
  if (notes.CountIds(idTable) == 0) return Status();

  const Places places =
      OtherPlaces(sourceIdentity, destination, alternative, otherPlaces);
  if (alternative && sourceIdentity.Is(alternative)) alternative = DbHandle();
  uint32_t noteId = 0;
  for (bool more = notes.ScanIds(idTable, true, &noteId); more;
       more = notes.ScanIds(idTable, false, &noteId)) {
    if (notes.ShouldTerminate()) break;
    OriginatorId oid;
    DbHandle target = destination;
    if (places.count > 0) {
      Status s = notes.GetNoteOriginatorId(source, noteId, &oid);
      // Gone since the search (moved or removed by another): nothing to do.
      if (s.Is(err::kNoteDeleted)) continue;
      if (s.ok()) s = ChooseTarget(notes, oid, places.view(), &target);
      if (!s.ok()) {
        walk.LogFailure(s, "Error moving message.  ");
        ++walk.errors;
        continue;
      }
    }
    OriginatorId copied;
    const Status status = walk.Copy(noteId, target, &copied);
    // Changed since the search so that this route no longer selects it, or
    // gone: it is not this move's any more.
    if (status.Is(err::kNoLongerSelected) || status.Is(err::kNoteDeleted)) {
      continue;
    }
    Moved result = Moved::kFailed;
    if (status.ok()) {
      result = walk.Finish(noteId, target, copied, /*written=*/true);
      if (result == Moved::kYes) ++walk.moved;
    } else if (status.Is(err::kMailRuleRefused)) {
      walk.log().Log(Status(),
                     "Message rejected by mail rule.  Deleting message.");
      result = walk.Finish(noteId, target, copied, /*written=*/false);
      if (result == Moved::kYes) ++walk.rejected;
    } else {
      walk.LogFailure(status, "Error moving message.  ");
      ++walk.errors;
      if (!alternative || target != destination) continue;
      // A copy reported as failed may still have been made: a second one
      // into the alternative would leave the message in both.
      Status held;
      if (Holds(notes, destination, copied.sequence != 0 ? copied : oid,
                &held) != Presence::kAbsent) {
        continue;
      }
      if (walk.Copy(noteId, alternative, &copied).ok() &&
          walk.Finish(noteId, alternative, copied, /*written=*/true) ==
              Moved::kYes) {
        ++walk.moved;
        walk.Succeeded();
      }
      continue;
    }
    if (result == Moved::kFailed) {
      ++walk.errors;
    } else {
      walk.Succeeded();
    }
  }

  *counter += walk.moved;
  if (logLevel == 1) Summarize(walk.log(), walk, destinationName);
  return Status();
}

}  // namespace vt
