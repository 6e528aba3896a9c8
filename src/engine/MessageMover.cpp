// Moving selected messages by copy and delete. A message is deleted from the
// source only after its copy is durable in a destination (or a mail rule
// refused it there), so no failure in between can lose it. A failure after
// the copy leaves it in both places until a later pass copies it again: that
// copy replaces the earlier one (same universal ID) or finds it already
// delivered and removed (its deletion stub), and it goes to the same
// database as before, so it is never delivered twice. It counts once, when
// it has left the source.
#include "engine/MessageMover.h"

#include <array>

#include "engine/NoteIdTable.h"
#include "engine/RouterEngine.h"
#include "log/TaskLog.h"

namespace vt {
namespace {

constexpr uint32_t kCopyOpenFlags = 0x03000000;
constexpr uint16_t kCopyUpdateFlags = 1;
constexpr uint16_t kDeleteUpdateFlags = 0x0200;

Status Copy(NotesServices& notes, DbHandle source, uint32_t noteId,
            DbHandle destination) {
  uint32_t newNoteId = 0;
  uint16_t newNoteClass = 0;
  return notes.CopyNote(source, 0, 0, noteId, destination, 0, 0, kCopyOpenFlags,
                        kCopyUpdateFlags, &newNoteId, &newNoteClass);
}

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

class Walk {
 public:
  Walk(NotesServices& notes, DbHandle source, const char* destinationName)
      : notes_(notes),
        log_(notes),
        source_(source),
        destinationName_(destinationName) {}

  // Deletes a message that is safely elsewhere from the source. A failed
  // deletion leaves it in both places; a later pass finishes the move.
  bool Finish(uint32_t noteId) {
    const Status deleted =
        notes_.DeleteNote(source_, noteId, kDeleteUpdateFlags);
    if (deleted.ok()) return true;
    // A deletion reported as failed may still have been made; then the
    // message has left and counts now, as no later pass will meet it.
    uint32_t sequence = 0;
    if (notes_.GetNoteInfo(source_, noteId, &sequence, nullptr, nullptr)
            .Is(err::kNoteDeleted)) {
      return true;
    }
    log_.Log(deleted, "Error deleting mail message %lX after copying it to %s.",
             static_cast<unsigned long>(noteId), destinationName_);
    return false;
  }

  TaskLog& log() { return log_; }

  int32_t moved = 0, rejected = 0, errors = 0;

 private:
  NotesServices& notes_;
  TaskLog log_;
  DbHandle source_;
  const char* destinationName_;
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
  if (s.ok()) s = Copy(notes, source, noteId, *target);
  if (!s.ok()) return s;
  s = notes.DeleteNote(source, noteId, kDeleteUpdateFlags);
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
                            std::span<const DbHandle> otherPlaces) {
  if (!source || !destination) return err::kNoDatabaseHandle;
  // One database in two roles: its messages are where they would go.
  const SourceIdentity sourceIdentity(notes, source);
  if (sourceIdentity.Is(destination)) return Status();
  Walk walk(notes, source, destinationName);
  CollectStage failed;
  const Status collected =
      CollectMatchingNotes(notes, idTable, source, formula, &failed);
  if (!collected.ok()) {
    if (failed == CollectStage::kSearch) {
      walk.log().Log(collected, "Error reading messages to process.");
    }
    return collected;
  }
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
      if (s.ok()) s = ChooseTarget(notes, oid, places.view(), &target);
      if (!s.ok()) {
        walk.log().Log(s, "Error moving message.  ");
        ++walk.errors;
        continue;
      }
    }
    const Status copied = Copy(notes, source, noteId, target);
    if (copied.ok()) {
      if (walk.Finish(noteId)) {
        ++walk.moved;
      } else {
        ++walk.errors;
      }
    } else if (copied.Is(err::kMailRuleRefused)) {
      walk.log().Log(Status(),
                     "Message rejected by mail rule.  Deleting message.");
      if (walk.Finish(noteId)) {
        ++walk.rejected;
      } else {
        ++walk.errors;
      }
    } else {
      walk.log().Log(copied, "Error moving message.  ");
      ++walk.errors;
      if (!alternative || target != destination) continue;
      // A copy reported as failed may still have been made: a second one
      // into the alternative would leave the message in both.
      Status status;
      if (Holds(notes, destination, oid, &status) != Presence::kAbsent) {
        continue;
      }
      if (Copy(notes, source, noteId, alternative).ok() &&
          walk.Finish(noteId)) {
        ++walk.moved;
      }
    }
  }

  *counter += walk.moved;
  if (logLevel == 1) Summarize(walk.log(), walk, destinationName);
  return Status();
}

}  // namespace vt
