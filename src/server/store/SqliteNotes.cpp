// The notes of a database: reading, durable writes that refuse to undo
// another's change, deletion stubs, and copies kept by universal ID.
#include <algorithm>
#include <vector>

#include "server/store/ItemBlob.h"
#include "server/store/SqliteDatabase.h"
#include "server/store/SqliteLayout.h"

namespace vt::store {

// ---- Notes ------------------------------------------------------------------

Status SqliteDatabase::MissingNoteStatus(uint32_t id) {
  StatementUse use(stubExists_);
  use->BindInt(1, id);
  const int rc = use->Step();
  if (rc == SQLITE_ROW) return err::kNoteDeleted;
  if (rc == SQLITE_DONE) return err::kInvalidNote;
  return StatusFromSqlite(rc);
}

Status SqliteDatabase::FirstOfClass(uint16_t noteClass, uint32_t* id) {
  StatementUse use(firstOfClass_);
  use->BindInt(1, noteClass);
  const int rc = use->Step();
  if (rc == SQLITE_ROW) {
    *id = static_cast<uint32_t>(use->ColumnInt(0));
    return Status();
  }
  return rc == SQLITE_DONE ? Status(err::kInvalidNote) : StatusFromSqlite(rc);
}

Status SqliteDatabase::GetNoteInfo(uint32_t noteId, NoteInfo* info) {
  uint32_t id = 0;
  Status s = ResolveNoteId(noteId, &id);
  if (!s.ok()) return s;
  {
    StatementUse use(noteInfo_);
    use->BindInt(1, id);
    const int rc = use->Step();
    if (rc == SQLITE_ROW) {
      *info = InfoFromRow(use.get(), id, 0);
      return Status();
    }
    if (rc != SQLITE_DONE) return StatusFromSqlite(rc);
  }
  return MissingNoteStatus(id);
}

Status SqliteDatabase::ReadNoteUnlocked(uint32_t id, NoteRecord* note) {
  {
    StatementUse use(readNote_);
    use->BindInt(1, id);
    const int rc = use->Step();
    if (rc == SQLITE_ROW) {
      const NoteInfo info = InfoFromRow(use.get(), id, 0);
      NoteRecord record;
      const Status s =
          record.items.Load(use->ColumnBlob(5), use->ColumnBlob(6));
      if (!s.ok()) return s;
      record.id = info.id;
      record.unid = info.unid;
      record.noteClass = info.noteClass;
      record.created = info.created;
      record.modified = info.modified;
      record.sequence = info.sequence;
      *note = std::move(record);
      return Status();
    }
    if (rc != SQLITE_DONE) return StatusFromSqlite(rc);
  }
  return MissingNoteStatus(id);
}

Status SqliteDatabase::ReadNote(uint32_t noteId, NoteRecord* note) {
  uint32_t id = 0;
  const Status s = ResolveNoteId(noteId, &id);
  if (!s.ok()) return s;
  return ReadNoteUnlocked(id, note);
}

Status SqliteDatabase::ReadStoredNote(uint32_t noteId, StoredNote* note) {
  uint32_t id = 0;
  Status s = ResolveNoteId(noteId, &id);
  if (!s.ok()) return s;
  {
    StatementUse use(readNote_);
    use->BindInt(1, id);
    const int rc = use->Step();
    if (rc == SQLITE_ROW) {
      note->info = InfoFromRow(use.get(), id, 0);
      const std::span<const uint8_t> summary = use->ColumnBlob(5);
      const std::span<const uint8_t> other = use->ColumnBlob(6);
      note->summary.assign(summary.begin(), summary.end());
      note->other.assign(other.begin(), other.end());
      return Status();
    }
    if (rc != SQLITE_DONE) return StatusFromSqlite(rc);
  }
  return MissingNoteStatus(id);
}

Status SqliteDatabase::FindByUnid(const Unid& unid, uint32_t* noteId,
                                  uint32_t* sequence) {
  StatementUse use(lookUpUnid_);
  use->BindBlob(1, unid);
  // The note, else the stub of the latest version deleted (the latest stub
  // of that version); a universal ID has few stubs, one per trip.
  bool found = false;
  int64_t bestSequence = -1;
  int64_t bestId = 0;
  int rc = SQLITE_ROW;
  while ((rc = use->Step()) == SQLITE_ROW) {
    const int64_t id = use->ColumnInt(0);
    const int64_t version = use->ColumnInt(1);
    if (use->ColumnInt(2) == 0) {
      *noteId = static_cast<uint32_t>(id);
      *sequence = static_cast<uint32_t>(version);
      return Status();
    }
    if (!found || version > bestSequence ||
        (version == bestSequence && id > bestId)) {
      bestSequence = version;
      bestId = id;
    }
    found = true;
  }
  if (rc != SQLITE_DONE) return StatusFromSqlite(rc);
  if (!found) return err::kNotFound;
  *noteId = static_cast<uint32_t>(bestId) | kDeletedNoteFlag;
  *sequence = static_cast<uint32_t>(bestSequence);
  return Status();
}

Status SqliteDatabase::AllocateNoteId(uint32_t* id) {
  // A new note takes the ID above every note and deletion stub in the file.
  // A deleted note leaves its stub for good, so no ID is handed out twice.
  // The meta row keeps a reservation above every ID handed out, renewed a
  // block at a time rather than with every note (a page less in each
  // write), for the readers that take the next ID from it.
  int64_t highest = 0;
  int64_t reserved = 0;
  {
    StatementUse use(highestId_);
    const int rc = use->Step();
    if (rc != SQLITE_ROW) return StatusFromSqlite(rc);
    highest = use->ColumnInt(0);
    reserved = use->ColumnInt(1);
  }
  if (highest < 0 || highest % kNoteIdStep != 0 || reserved <= 0 ||
      reserved % kNoteIdStep != 0) {
    return err::kCorruptDatabase;
  }
  const int64_t next = std::max<int64_t>(highest + kNoteIdStep, kFirstNoteId);
  if (next >= kNoteIdLimit) return err::kDiskError;
  *id = static_cast<uint32_t>(next);
  if (next < reserved) return Status();
  return PutMetaInt(kMetaNextId, std::min(next + kReservedNoteIds * kNoteIdStep,
                                          kNoteIdLimit));
}

Status SqliteDatabase::RaiseNextNoteId(uint32_t atLeast) {
  int64_t next = 0;
  {
    StatementUse use(getMeta_);
    use->BindText(1, kMetaNextId);
    const int rc = use->Step();
    if (rc != SQLITE_ROW) {
      return rc == SQLITE_DONE ? Status(err::kCorruptDatabase)
                               : StatusFromSqlite(rc);
    }
    next = use->ColumnInt(0);
  }
  if (next >= atLeast) return Status();
  return PutMetaInt(kMetaNextId, atLeast);
}

Status SqliteDatabase::InsertNote(const NoteInfo& info, int64_t addedCentis,
                                  std::span<const uint8_t> summary,
                                  std::span<const uint8_t> other) {
  {
    StatementUse use(insertNote_);
    use->BindInt(1, info.id);
    use->BindBlob(2, info.unid);
    use->BindInt(3, info.noteClass);
    use->BindInt(4, info.created);
    use->BindInt(5, info.modified);
    use->BindInt(6, info.sequence);
    use->BindBlob(7, summary);
    use->BindInt(8, addedCentis);
    const Status s = StatusFromSqlite(use->Step());
    if (!s.ok()) return s;
  }
  if (other.empty()) return Status();
  StatementUse use(putBody_);
  use->BindInt(1, info.id);
  use->BindBlob(2, other);
  return StatusFromSqlite(use->Step());
}

Status SqliteDatabase::UpdateStoredNote(const NoteInfo& info,
                                        std::span<const uint8_t> summary,
                                        std::span<const uint8_t> other) {
  {
    StatementUse use(updateNote_);
    use->BindInt(1, info.id);
    use->BindInt(2, info.noteClass);
    use->BindInt(3, info.created);
    use->BindInt(4, info.modified);
    use->BindInt(5, info.sequence);
    use->BindBlob(6, summary);
    const Status s = StatusFromSqlite(use->Step());
    if (!s.ok()) return s;
  }
  if (other.empty()) {
    StatementUse use(deleteBody_);
    use->BindInt(1, info.id);
    return StatusFromSqlite(use->Step());
  }
  StatementUse use(putBody_);
  use->BindInt(1, info.id);
  use->BindBlob(2, other);
  return StatusFromSqlite(use->Step());
}

Status SqliteDatabase::WriteNoteInTransaction(NoteRecord* note,
                                              int64_t nowCentis) {
  std::vector<uint8_t> summary;
  std::vector<uint8_t> other;
  note->items.Serialize(&summary, &other);

  NoteInfo info;
  info.unid = note->unid;
  info.noteClass = note->noteClass;
  info.created = note->created;
  Status s;
  if (note->id == 0) {
    s = AllocateNoteId(&info.id);
    if (!s.ok()) return s;
    info.modified = nowCentis;
    info.sequence = 1;
    s = InsertNote(info, nowCentis, summary, other);
  } else {
    int64_t previousModified = 0;
    int64_t previousSequence = 0;
    {
      StatementUse use(noteInfo_);
      use->BindInt(1, note->id);
      const int rc = use->Step();
      if (rc == SQLITE_ROW) {
        previousModified = use->ColumnInt(3);
        previousSequence = use->ColumnInt(4);
      } else if (rc != SQLITE_DONE) {
        return StatusFromSqlite(rc);
      } else {
        return MissingNoteStatus(note->id);
      }
    }
    // Someone else saved the note since it was read: writing the whole note
    // back would silently undo that change.
    if (previousSequence != note->sequence) return err::kUpdateConflict;
    info.id = note->id;
    info.modified = NextModified(previousModified, nowCentis);
    info.sequence = static_cast<uint32_t>(previousSequence + 1);
    s = UpdateStoredNote(info, summary, other);
  }
  if (!s.ok()) return s;
  note->id = info.id;
  note->modified = info.modified;
  note->sequence = info.sequence;
  return Status();
}

Status SqliteDatabase::WriteNote(NoteRecord* note, int64_t nowCentis) {
  // The note changes only once the write is durable.
  NoteRecord written = *note;
  WriteTransaction txn(begin_, commit_, rollback_);
  Status s = BeginWrite(txn);
  if (s.ok()) s = WriteNoteInTransaction(&written, nowCentis);
  if (s.ok()) s = txn.Commit();
  if (!s.ok()) return s;
  note->id = written.id;
  note->modified = written.modified;
  note->sequence = written.sequence;
  return Status();
}

Status SqliteDatabase::WriteNotes(std::span<NoteRecord> notes,
                                  int64_t nowCentis) {
  // All or nothing: the records change only once the whole batch is durable.
  std::vector<NoteRecord> written(notes.begin(), notes.end());
  WriteTransaction txn(begin_, commit_, rollback_);
  Status s = BeginWrite(txn);
  for (size_t i = 0; s.ok() && i < written.size(); ++i) {
    s = WriteNoteInTransaction(&written[i], nowCentis);
  }
  if (s.ok()) s = txn.Commit();
  if (!s.ok()) return s;
  for (size_t i = 0; i < notes.size(); ++i) {
    notes[i].id = written[i].id;
    notes[i].modified = written[i].modified;
    notes[i].sequence = written[i].sequence;
  }
  return Status();
}

Status SqliteDatabase::DeleteNoteInTransaction(uint32_t id, int64_t nowCentis,
                                               uint32_t sequence) {
  NoteInfo info;
  {
    StatementUse use(noteInfo_);
    use->BindInt(1, id);
    const int rc = use->Step();
    if (rc == SQLITE_DONE) return MissingNoteStatus(id);
    if (rc != SQLITE_ROW) return StatusFromSqlite(rc);
    info = InfoFromRow(use.get(), id, 0);
  }
  if (sequence != kAnyVersion && info.sequence != sequence) {
    return err::kUpdateConflict;
  }
  {
    // The stub first: its change number must pass the note's, which the
    // file no longer holds once the note is gone.
    StatementUse use(insertStub_);
    use->BindInt(1, id);
    use->BindBlob(2, info.unid);
    use->BindInt(3, info.noteClass);
    use->BindInt(4, nowCentis);
    use->BindInt(5, info.sequence);
    const Status s = StatusFromSqlite(use->Step());
    if (!s.ok()) return s;
  }
  for (Statement* stmt : {&deleteNote_, &deleteBody_}) {
    StatementUse use(*stmt);
    use->BindInt(1, id);
    const Status s = StatusFromSqlite(use->Step());
    if (!s.ok()) return s;
  }
  return Status();
}

Status SqliteDatabase::DeleteNote(uint32_t noteId, int64_t nowCentis,
                                  uint32_t sequence) {
  WriteTransaction txn(begin_, commit_, rollback_);
  Status s = BeginWrite(txn, /*durable=*/false);
  uint32_t id = 0;
  if (s.ok()) s = ResolveNoteId(noteId, &id);
  if (s.ok()) s = DeleteNoteInTransaction(id, nowCentis, sequence);
  if (s.ok()) s = txn.Commit();
  return s;
}

Status SqliteDatabase::DeleteNotes(std::span<const uint32_t> ids,
                                   int64_t nowCentis, uint32_t* deleted,
                                   std::span<const uint32_t> sequences) {
  if (!sequences.empty() && sequences.size() != ids.size()) {
    return err::kInvalidArgument;
  }
  *deleted = 0;
  WriteTransaction txn(begin_, commit_, rollback_);
  Status s = BeginWrite(txn);
  uint32_t count = 0;
  for (size_t i = 0; s.ok() && i < ids.size(); ++i) {
    s = DeleteNoteInTransaction(ids[i], nowCentis,
                                sequences.empty() ? kAnyVersion : sequences[i]);
    if (s.ok()) {
      ++count;
    } else if (s.Is(err::kNoteDeleted) || s.Is(err::kInvalidNote) ||
               s.Is(err::kUpdateConflict)) {
      s = Status();
    }
  }
  if (s.ok()) s = txn.Commit();
  if (s.ok()) *deleted = count;
  return s;
}

Status SqliteDatabase::PutStoredNoteInTransaction(const StoredNote& note,
                                                  int64_t nowCentis,
                                                  uint32_t* noteId) {
  // A damaged source must not spread into the destination.
  if (!ItemBlobIsValid(note.summary) || !ItemBlobIsValid(note.other)) {
    return err::kCorruptDatabase;
  }
  *noteId = 0;
  NoteInfo info = note.info;
  bool replace = false;
  {
    StatementUse use(findByUnid_);
    use->BindBlob(1, note.info.unid);
    const int rc = use->Step();
    if (rc == SQLITE_ROW) {
      // This version is here already (a copy repeated after its source was
      // left behind), or a later one (the scanner's verdict given to such a
      // copy): nothing to write, and the stale copy must not undo a change.
      if (static_cast<uint32_t>(use->ColumnInt(2)) >= note.info.sequence) {
        return Status();
      }
      replace = true;
      info.id = static_cast<uint32_t>(use->ColumnInt(0));
      info.modified = NextModified(use->ColumnInt(1), nowCentis);
    } else if (rc != SQLITE_DONE) {
      return StatusFromSqlite(rc);
    }
  }
  if (!replace) {
    // This version, or a later one, already passed through here and was
    // deleted (moved on, or refused): a stale copy left behind in its
    // source by an interrupted move must not make a second trip.
    StatementUse use(stubSequence_);
    use->BindBlob(1, note.info.unid);
    const int rc = use->Step();
    if (rc != SQLITE_ROW) return StatusFromSqlite(rc);
    const int64_t deletedSequence = use->ColumnInt(0);
    if (deletedSequence != 0 && deletedSequence >= note.info.sequence) {
      return Status();
    }
  }
  Status s;
  if (replace) {
    s = UpdateStoredNote(info, note.summary, note.other);
  } else {
    s = AllocateNoteId(&info.id);
    if (!s.ok()) return s;
    info.modified = nowCentis;
    // The copy continues the note's history: later versions count on.
    info.sequence = std::max<uint32_t>(note.info.sequence, 1);
    s = InsertNote(info, nowCentis, note.summary, note.other);
  }
  if (s.ok()) *noteId = info.id;
  return s;
}

Status SqliteDatabase::PutStoredNote(const StoredNote& note, int64_t nowCentis,
                                     uint32_t* noteId) {
  uint32_t id = 0;
  WriteTransaction txn(begin_, commit_, rollback_);
  Status s = BeginWrite(txn);
  if (s.ok()) s = PutStoredNoteInTransaction(note, nowCentis, &id);
  if (s.ok()) s = txn.Commit();
  if (s.ok()) *noteId = id;
  return s;
}

}  // namespace vt::store
