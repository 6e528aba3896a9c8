// The notes of a database kept in PostgreSQL; see PgDatabase.h. The rules
// are the file store's (SqliteNotes.cpp), statement for statement.
#include "server/store/PgDatabase.h"

#include <algorithm>
#include <unordered_map>

#include "notes/DbInfoText.h"
#include "notes/FixedText.h"
#include "notes/ItemValue.h"
#include "server/store/ItemBlob.h"
#include "server/store/PgLayout.h"
#include "server/store/Unid.h"

namespace vt::store {

namespace {

constexpr int kScanBatch = 512;
// Whole notes (ForEachStoredNote) a batch at a time: bodies can be large.
constexpr int kStoredBatch = 64;

constexpr char kNoteColumns[] =
    "id, class, created, modified, summary, unid, sequence, added";

NoteInfo InfoFromRow(const PgResult& row, int r, uint32_t id, int firstColumn) {
  // Columns from firstColumn: unid, class, created, modified, sequence.
  NoteInfo info;
  info.id = id;
  const std::span<const uint8_t> unid = row.Bytes(r, firstColumn);
  std::copy_n(unid.begin(), std::min(unid.size(), info.unid.size()),
              info.unid.begin());
  info.noteClass = static_cast<uint16_t>(row.Int(r, firstColumn + 1));
  info.created = row.Int(r, firstColumn + 2);
  info.modified = row.Int(r, firstColumn + 3);
  info.sequence = static_cast<uint32_t>(row.Int(r, firstColumn + 4));
  return info;
}

int64_t NoteBytes(std::span<const uint8_t> summary,
                  std::span<const uint8_t> other) {
  return static_cast<int64_t>(summary.size() + other.size());
}

}  // namespace

PgDatabase::PgDatabase(std::shared_ptr<PgServer> server, std::string name,
                       int64_t id, const Unid& identity)
    : server_(std::move(server)),
      connection_(server_->connection()),
      name_(std::move(name)),
      id_(id),
      identity_(identity) {}

std::string PgDatabase::Describe() const {
  return server_->label() + "!!" + name_;
}

bool PgDatabase::IdentityKey(uint64_t* key) const {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = (value << 8) | identity_[i];
  *key = value | (uint64_t{1} << 63);
  return true;
}

Status PgDatabase::CheckInPlace() const {
  int64_t current = 0;
  const Status s = server_->CurrentId(name_, &current);
  if (!s.ok()) return s;
  return current == id_ ? Status() : Status(err::kFileReplaced);
}

Status PgDatabase::Query(const char* sql, const PgParams& params,
                         PgResult* result) {
  return connection_.Exec(sql, params, result);
}

Status PgDatabase::ReadRecord(const char* column, PgResult* row) {
  const std::string sql =
      std::string("SELECT ") + column + " FROM vt_databases WHERE id = $1";
  const Status s = Query(sql.c_str(), PgParams().Int(id_), row);
  if (!s.ok()) return s;
  return row->rows() == 0 ? Status(err::kFileReplaced) : Status();
}

// ---- Writes -----------------------------------------------------------------

Status PgDatabase::BeginWrite(Write* write, bool joinOpen) {
  Status s;
  if (joinOpen) {
    write->begun = true;
  } else if (!creating_) {
    s = connection_.Begin();
    if (!s.ok()) return s;
    write->begun = true;
  }
  PgResult row;
  // Locked first, written once at the end (FinishWrite): one new version
  // of the database's row per write.
  s = Query(
      "SELECT lastchange + 1, nextid FROM vt_databases WHERE id = $1"
      " FOR UPDATE",
      PgParams().Int(id_), &row);
  if (s.ok() && row.rows() == 0) s = err::kFileReplaced;  // removed meanwhile
  if (!s.ok()) {
    AbandonWrite(write);
    return s;
  }
  write->change = row.Int(0, 0);
  write->nextId = write->startNextId = row.Int(0, 1);
  return Status();
}

Status PgDatabase::FinishWrite(Write* write) {
  if (write->finished && write->nextId == write->startNextId &&
      write->usedDelta == 0) {
    return Status();
  }
  PgResult ignored;
  const Status s = Query(
      "UPDATE vt_databases SET lastchange = $2, nextid = $3, used = used + $4"
      " WHERE id = $1",
      PgParams()
          .Int(id_)
          .Int(write->change)
          .Int(write->nextId)
          .Int(write->usedDelta),
      &ignored);
  if (s.ok()) {
    write->finished = true;
    write->startNextId = write->nextId;
    write->usedDelta = 0;
  }
  return s;
}

Status PgDatabase::CommitWrite(Write* write) {
  Status s = FinishWrite(write);
  if (s.ok() && write->begun) {
    write->begun = false;
    s = connection_.Commit();
  }
  if (!s.ok()) AbandonWrite(write);
  return s;
}

void PgDatabase::AbandonWrite(Write* write) {
  if (write->begun) connection_.Rollback();
  write->begun = false;
}

Status PgDatabase::InWrite(const std::function<Status(Write&)>& body) {
  Write write;
  Status s = BeginWrite(&write);
  if (!s.ok()) return s;
  s = body(write);
  if (!s.ok()) {
    AbandonWrite(&write);
    return s;
  }
  return CommitWrite(&write);
}

// ---- Notes ------------------------------------------------------------------

Status PgDatabase::MissingNoteStatus(uint32_t id) {
  PgResult row;
  const Status s = Query("SELECT 1 FROM vt_stubs WHERE db = $1 AND id = $2",
                         PgParams().Int(id_).Int(id), &row);
  if (!s.ok()) return s;
  return row.rows() > 0 ? Status(err::kNoteDeleted) : Status(err::kInvalidNote);
}

Status PgDatabase::FirstOfClass(uint16_t noteClass, uint32_t* id) {
  PgResult row;
  const Status s = Query(
      "SELECT id FROM vt_notes WHERE db = $1 AND class = $2"
      " ORDER BY id LIMIT 1",
      PgParams().Int(id_).Int(noteClass), &row);
  if (!s.ok()) return s;
  if (row.rows() == 0) return err::kInvalidNote;
  *id = static_cast<uint32_t>(row.Int(0, 0));
  return Status();
}

Status PgDatabase::GetNoteInfo(uint32_t noteId, NoteInfo* info) {
  uint32_t id = 0;
  Status s = ResolveNoteId(noteId, &id);
  if (!s.ok()) return s;
  PgResult row;
  s = Query(
      "SELECT unid, class, created, modified, sequence FROM vt_notes"
      " WHERE db = $1 AND id = $2",
      PgParams().Int(id_).Int(id), &row);
  if (!s.ok()) return s;
  if (row.rows() == 0) return MissingNoteStatus(id);
  *info = InfoFromRow(row, 0, id, 0);
  return Status();
}

Status PgDatabase::ReadStoredNote(uint32_t noteId, StoredNote* note) {
  uint32_t id = 0;
  Status s = ResolveNoteId(noteId, &id);
  if (!s.ok()) return s;
  PgResult row;
  s = Query(
      "SELECT unid, class, created, modified, sequence, summary, items"
      " FROM vt_notes WHERE db = $1 AND id = $2",
      PgParams().Int(id_).Int(id), &row);
  if (!s.ok()) return s;
  if (row.rows() == 0) return MissingNoteStatus(id);
  note->info = InfoFromRow(row, 0, id, 0);
  const std::span<const uint8_t> summary = row.Bytes(0, 5);
  const std::span<const uint8_t> other = row.Bytes(0, 6);
  note->summary.assign(summary.begin(), summary.end());
  note->other.assign(other.begin(), other.end());
  return Status();
}

Status PgDatabase::ReadNote(uint32_t noteId, NoteRecord* note) {
  StoredNote stored;
  Status s = ReadStoredNote(noteId, &stored);
  if (!s.ok()) return s;
  NoteRecord record;
  s = record.items.Load(stored.summary, stored.other);
  if (!s.ok()) return s;
  record.id = stored.info.id;
  record.unid = stored.info.unid;
  record.noteClass = stored.info.noteClass;
  record.created = stored.info.created;
  record.modified = stored.info.modified;
  record.sequence = stored.info.sequence;
  *note = std::move(record);
  return Status();
}

Status PgDatabase::FindByUnid(const Unid& unid, uint32_t* noteId,
                              uint32_t* sequence) {
  PgResult rows;
  const Status s = Query(
      "SELECT id, sequence, 0 FROM vt_notes WHERE db = $1 AND unid = $2"
      " UNION ALL SELECT id, sequence, 1 FROM vt_stubs"
      " WHERE db = $1 AND unid = $2",
      PgParams().Int(id_).Bytes(unid), &rows);
  if (!s.ok()) return s;
  // The note, else the stub of the latest version deleted.
  bool found = false;
  int64_t bestSequence = -1;
  int64_t bestId = 0;
  for (int r = 0; r < rows.rows(); ++r) {
    const int64_t id = rows.Int(r, 0);
    const int64_t version = rows.Int(r, 1);
    if (rows.Int(r, 2) == 0) {
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
  if (!found) return err::kNotFound;
  *noteId = static_cast<uint32_t>(bestId) | kDeletedNoteFlag;
  *sequence = static_cast<uint32_t>(bestSequence);
  return Status();
}

Status PgDatabase::AllocateNoteId(Write& write, uint32_t* id) {
  // IDs are handed out from the database's row, locked by this write, and
  // never again: a deleted note leaves its stub.
  const int64_t next = std::max<int64_t>(write.nextId, kFirstNoteId);
  if (next % kNoteIdStep != 0) return err::kCorruptDatabase;
  if (next >= kNoteIdLimit) return err::kDiskError;
  *id = static_cast<uint32_t>(next);
  write.nextId = next + kNoteIdStep;
  return Status();
}

Status PgDatabase::InsertNote(Write& write, const NoteInfo& info,
                              int64_t addedCentis,
                              std::span<const uint8_t> summary,
                              std::span<const uint8_t> other) {
  PgResult ignored;
  const Status s = Query(
      "INSERT INTO vt_notes(db, id, unid, class, created, modified, sequence,"
      " summary, items, changed, added)"
      " VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11)",
      PgParams()
          .Int(id_)
          .Int(info.id)
          .Bytes(info.unid)
          .Int(info.noteClass)
          .Int(info.created)
          .Int(info.modified)
          .Int(info.sequence)
          .Bytes(summary)
          .BytesOrNull(other)
          .Int(write.change)
          .Int(addedCentis),
      &ignored);
  if (s.ok()) write.usedDelta += NoteBytes(summary, other);
  return s;
}

Status PgDatabase::UpdateNoteRow(Write& write, const NoteInfo& info,
                                 std::span<const uint8_t> summary,
                                 std::span<const uint8_t> other,
                                 int64_t oldBytes) {
  PgResult ignored;
  const Status s = Query(
      "UPDATE vt_notes SET class = $3, created = $4, modified = $5,"
      " sequence = $6, summary = $7, items = $8, changed = $9"
      " WHERE db = $1 AND id = $2",
      PgParams()
          .Int(id_)
          .Int(info.id)
          .Int(info.noteClass)
          .Int(info.created)
          .Int(info.modified)
          .Int(info.sequence)
          .Bytes(summary)
          .BytesOrNull(other)
          .Int(write.change),
      &ignored);
  if (s.ok()) write.usedDelta += NoteBytes(summary, other) - oldBytes;
  return s;
}

Status PgDatabase::WriteNoteInWrite(Write& write, NoteRecord* note,
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
    s = AllocateNoteId(write, &info.id);
    if (!s.ok()) return s;
    info.modified = nowCentis;
    info.sequence = 1;
    s = InsertNote(write, info, nowCentis, summary, other);
  } else {
    PgResult row;
    s = Query(
        "SELECT modified, sequence,"
        " octet_length(summary) + coalesce(octet_length(items), 0)"
        " FROM vt_notes WHERE db = $1 AND id = $2",
        PgParams().Int(id_).Int(note->id), &row);
    if (!s.ok()) return s;
    if (row.rows() == 0) return MissingNoteStatus(note->id);
    // Someone else saved the note since it was read: writing the whole note
    // back would silently undo that change.
    if (row.Int(0, 1) != note->sequence) return err::kUpdateConflict;
    info.id = note->id;
    info.modified = NextModified(row.Int(0, 0), nowCentis);
    info.sequence = static_cast<uint32_t>(row.Int(0, 1) + 1);
    s = UpdateNoteRow(write, info, summary, other, row.Int(0, 2));
  }
  if (!s.ok()) return s;
  note->id = info.id;
  note->modified = info.modified;
  note->sequence = info.sequence;
  return Status();
}

Status PgDatabase::WriteNote(NoteRecord* note, int64_t nowCentis) {
  NoteRecord written = *note;
  const Status s = InWrite([&](Write& write) {
    return WriteNoteInWrite(write, &written, nowCentis);
  });
  if (!s.ok()) return s;
  note->id = written.id;
  note->modified = written.modified;
  note->sequence = written.sequence;
  return Status();
}

Status PgDatabase::WriteNotes(std::span<NoteRecord> notes, int64_t nowCentis) {
  std::vector<NoteRecord> written(notes.begin(), notes.end());
  const Status s = InWrite([&](Write& write) {
    for (NoteRecord& note : written) {
      const Status w = WriteNoteInWrite(write, &note, nowCentis);
      if (!w.ok()) return w;
    }
    return Status();
  });
  if (!s.ok()) return s;
  for (size_t i = 0; i < notes.size(); ++i) {
    notes[i].id = written[i].id;
    notes[i].modified = written[i].modified;
    notes[i].sequence = written[i].sequence;
  }
  return Status();
}

Status PgDatabase::DeleteNoteInWrite(Write& write, uint32_t id,
                                     int64_t nowCentis, uint32_t sequence) {
  // One statement: the note of that version goes and its stub is made (the
  // stub is written after the note's row is gone, within the statement).
  PgResult row;
  Status s = Query(
      "WITH gone AS (DELETE FROM vt_notes WHERE db = $1 AND id = $2"
      " AND ($3 = 0 OR sequence = $3) RETURNING unid, class, sequence,"
      " octet_length(summary) + coalesce(octet_length(items), 0) AS bytes)"
      " INSERT INTO vt_stubs(db, id, unid, class, deleted, sequence, changed)"
      " SELECT $1, $2, unid, class, $4, sequence, $5 FROM gone"
      " ON CONFLICT (db, id) DO UPDATE SET unid = excluded.unid,"
      " class = excluded.class, deleted = excluded.deleted,"
      " sequence = excluded.sequence, changed = excluded.changed"
      " RETURNING (SELECT bytes FROM gone)",
      PgParams().Int(id_).Int(id).Int(sequence).Int(nowCentis).Int(
          write.change),
      &row);
  if (!s.ok()) return s;
  if (row.rows() == 1) {
    write.usedDelta += kPgStubBytes - row.Int(0, 0);
    return Status();
  }
  // Nothing went: another version is here, or none.
  PgResult here;
  s = Query("SELECT 1 FROM vt_notes WHERE db = $1 AND id = $2",
            PgParams().Int(id_).Int(id), &here);
  if (!s.ok()) return s;
  return here.rows() > 0 ? Status(err::kUpdateConflict) : MissingNoteStatus(id);
}

Status PgDatabase::DeleteNote(uint32_t noteId, int64_t nowCentis,
                              uint32_t sequence) {
  return InWrite([&](Write& write) {
    uint32_t id = 0;
    Status s = ResolveNoteId(noteId, &id);
    if (s.ok()) s = DeleteNoteInWrite(write, id, nowCentis, sequence);
    return s;
  });
}

Status PgDatabase::DeleteNotes(std::span<const uint32_t> ids, int64_t nowCentis,
                               uint32_t* deleted,
                               std::span<const uint32_t> sequences) {
  if (!sequences.empty() && sequences.size() != ids.size()) {
    return err::kInvalidArgument;
  }
  *deleted = 0;
  uint32_t count = 0;
  const Status s = InWrite([&](Write& write) {
    for (size_t i = 0; i < ids.size(); ++i) {
      const Status d =
          DeleteNoteInWrite(write, ids[i], nowCentis,
                            sequences.empty() ? kAnyVersion : sequences[i]);
      if (d.ok()) {
        ++count;
      } else if (!d.Is(err::kNoteDeleted) && !d.Is(err::kInvalidNote) &&
                 !d.Is(err::kUpdateConflict)) {
        return d;
      }
    }
    return Status();
  });
  if (s.ok()) *deleted = count;
  return s;
}

Status PgDatabase::PutStoredNoteInWrite(Write& write, const StoredNote& note,
                                        int64_t nowCentis, uint32_t* noteId) {
  // A damaged source must not spread into the destination.
  if (!ItemBlobIsValid(note.summary) || !ItemBlobIsValid(note.other)) {
    return err::kCorruptDatabase;
  }
  *noteId = 0;
  NoteInfo info = note.info;
  PgResult row;
  // The note of that universal ID here, and the latest version deleted here.
  Status s = Query(
      "SELECT n.id, n.modified, n.sequence,"
      " octet_length(n.summary) + coalesce(octet_length(n.items), 0),"
      " (SELECT coalesce(max(sequence), 0) FROM vt_stubs"
      "  WHERE db = $1 AND unid = $2)"
      " FROM (SELECT 1) one LEFT JOIN vt_notes n"
      " ON n.db = $1 AND n.unid = $2",
      PgParams().Int(id_).Bytes(note.info.unid), &row);
  if (!s.ok()) return s;
  const bool here = !row.IsNull(0, 0);
  if (here) {
    // This version is here already, or a later one: nothing to write, and
    // the stale copy must not undo a change.
    if (static_cast<uint32_t>(row.Int(0, 2)) >= note.info.sequence) {
      return Status();
    }
    info.id = static_cast<uint32_t>(row.Int(0, 0));
    info.modified = NextModified(row.Int(0, 1), nowCentis);
    s = UpdateNoteRow(write, info, note.summary, note.other, row.Int(0, 3));
  } else {
    // This version, or a later one, already passed through here and was
    // deleted: a stale copy must not make a second trip.
    const int64_t deletedSequence = row.Int(0, 4);
    if (deletedSequence != 0 && deletedSequence >= note.info.sequence) {
      return Status();
    }
    s = AllocateNoteId(write, &info.id);
    if (!s.ok()) return s;
    info.modified = nowCentis;
    info.sequence = std::max<uint32_t>(note.info.sequence, 1);
    s = InsertNote(write, info, nowCentis, note.summary, note.other);
  }
  if (s.ok()) *noteId = info.id;
  return s;
}

Status PgDatabase::PutStoredNote(const StoredNote& note, int64_t nowCentis,
                                 uint32_t* noteId) {
  uint32_t id = 0;
  const Status s = InWrite([&](Write& write) {
    return PutStoredNoteInWrite(write, note, nowCentis, &id);
  });
  if (s.ok()) *noteId = id;
  return s;
}

Status PgDatabase::PutStoredNoteHeld(const StoredNote& note, int64_t nowCentis,
                                     uint32_t* noteId, uint64_t* ticket) {
  *ticket = 0;
  Write write;
  Status s = BeginWrite(&write);
  if (!s.ok()) return s;
  uint32_t id = 0;
  s = PutStoredNoteInWrite(write, note, nowCentis, &id);
  if (s.ok()) s = FinishWrite(&write);
  if (!s.ok()) {
    AbandonWrite(&write);
    return s;
  }
  *noteId = id;
  *ticket = connection_.HoldTransaction();
  return Status();
}

Status PgDatabase::DeleteCompletingMove(uint64_t ticket, uint32_t noteId,
                                        int64_t nowCentis, uint32_t sequence) {
  if (!connection_.Resume(ticket)) {
    const Status outcome = connection_.Outcome(ticket);
    // Committed by another statement meanwhile: a deletion of its own.
    if (outcome.ok()) return DeleteNote(noteId, nowCentis, sequence);
    return err::kServerNotResponding;
  }
  // A statement that fails rolls the whole transaction back: neither copy
  // nor deletion, and the message stays in its source alone.
  Write write;
  Status s = BeginWrite(&write, /*joinOpen=*/true);
  if (!s.ok()) return s;
  uint32_t id = 0;
  s = ResolveNoteId(noteId, &id);
  if (s.ok()) s = DeleteNoteInWrite(write, id, nowCentis, sequence);
  if (s.ok()) return CommitWrite(&write);
  if (!connection_.inTransaction() || s.Is(err::kServerNotResponding) ||
      !connection_.lastError().empty()) {
    AbandonWrite(&write);
    return s;
  }
  // A deletion refused by the rules (the note changed or went meanwhile)
  // wrote nothing: the copy stands alone, as it would have been committed
  // by itself.
  const Status committed = CommitWrite(&write);
  return committed.ok() ? s : committed;
}

// ---- Scans ------------------------------------------------------------------

Status PgDatabase::VisitNotes(const PgResult& rows, const ScanVisitor& visit,
                              bool withChange) {
  // The result is held whole: no statement is open while visitors work.
  for (int r = 0; r < rows.rows(); ++r) {
    ScanEntry entry;
    entry.id = static_cast<uint32_t>(rows.Int(r, 0));
    entry.noteClass = static_cast<uint16_t>(rows.Int(r, 1));
    entry.created = rows.Int(r, 2);
    entry.modified = rows.Int(r, 3);
    entry.summary = rows.Bytes(r, 4);
    const std::span<const uint8_t> unid = rows.Bytes(r, 5);
    if (unid.size() == entry.unid.size()) {
      std::copy(unid.begin(), unid.end(), entry.unid.begin());
    }
    entry.sequence = static_cast<uint32_t>(rows.Int(r, 6));
    entry.added = rows.Int(r, 7);
    if (withChange) entry.changed = rows.Int(r, 8);
    const Status s = visit(entry);
    if (!s.ok()) return s;
  }
  return Status();
}

Status PgDatabase::ForEachNote(uint16_t classMask, const ScanVisitor& visit) {
  const std::string sql = std::string("SELECT ") + kNoteColumns +
                          " FROM vt_notes WHERE db = $1 AND (class & $2) <> 0"
                          " AND id > $3 ORDER BY id LIMIT $4";
  int64_t after = 0;
  while (true) {
    PgResult rows;
    Status s = Query(
        sql.c_str(),
        PgParams().Int(id_).Int(classMask).Int(after).Int(kScanBatch), &rows);
    if (!s.ok()) return s;
    s = VisitNotes(rows, visit, false);
    if (!s.ok()) return s;
    if (rows.rows() < kScanBatch) return Status();
    after = rows.Int(rows.rows() - 1, 0);
  }
}

Status PgDatabase::GetChangeMark(ChangeMark* mark) {
  // Every write raises the row's change number, whoever makes it.
  int64_t change = 0;
  const Status s = GetLastChange(&change);
  if (!s.ok()) return s;
  mark->dataVersion = change;
  mark->localChanges = 0;
  return Status();
}

Status PgDatabase::GetLastChange(int64_t* change) {
  PgResult row;
  const Status s = ReadRecord("lastchange", &row);
  if (!s.ok()) return s;
  *change = row.Int(0, 0);
  return Status();
}

Status PgDatabase::ForEachChangeSince(int64_t since, const ScanVisitor& written,
                                      const StubVisitor& deleted) {
  const std::string sql =
      std::string("SELECT ") + kNoteColumns +
      ", changed FROM vt_notes WHERE db = $1 AND changed >= $2"
      " AND (changed > $2 OR id > $3) ORDER BY changed, id LIMIT $4";
  int64_t afterChange = since;
  int64_t afterId = INT64_MAX;  // none of change `since` itself
  while (true) {
    PgResult rows;
    Status s =
        Query(sql.c_str(),
              PgParams().Int(id_).Int(afterChange).Int(afterId).Int(kScanBatch),
              &rows);
    if (!s.ok()) return s;
    s = VisitNotes(rows, written, true);
    if (!s.ok()) return s;
    if (rows.rows() < kScanBatch) break;
    afterChange = rows.Int(rows.rows() - 1, 8);
    afterId = rows.Int(rows.rows() - 1, 0);
  }
  PgResult stubs;
  Status s = Query(
      "SELECT id, class, deleted, changed FROM vt_stubs"
      " WHERE db = $1 AND changed > $2",
      PgParams().Int(id_).Int(since), &stubs);
  for (int r = 0; s.ok() && r < stubs.rows(); ++r) {
    StubEntry entry;
    entry.id = static_cast<uint32_t>(stubs.Int(r, 0));
    entry.noteClass = static_cast<uint16_t>(stubs.Int(r, 1));
    entry.deleted = stubs.Int(r, 2);
    entry.changed = stubs.Int(r, 3);
    s = deleted(entry);
  }
  return s;
}

Status PgDatabase::ForEachNoteOf(std::span<const uint32_t> ids,
                                 const ScanVisitor& visit) {
  const std::string sql = std::string("SELECT ") + kNoteColumns +
                          ", changed FROM vt_notes WHERE db = $1"
                          " AND id = ANY($2)";
  for (size_t i = 0; i < ids.size(); i += kScanBatch) {
    const std::span<const uint32_t> batch =
        ids.subspan(i, std::min<size_t>(kScanBatch, ids.size() - i));
    PgResult rows;
    Status s = Query(sql.c_str(), PgParams().Int(id_).IntArray(batch), &rows);
    if (!s.ok()) return s;
    // In the order given.
    std::unordered_map<uint32_t, int> rowOf;
    for (int r = 0; r < rows.rows(); ++r) {
      rowOf[static_cast<uint32_t>(rows.Int(r, 0))] = r;
    }
    for (const uint32_t id : batch) {
      const auto it = rowOf.find(id);
      if (it == rowOf.end()) continue;
      ScanEntry entry;
      const int r = it->second;
      entry.id = id;
      entry.noteClass = static_cast<uint16_t>(rows.Int(r, 1));
      entry.created = rows.Int(r, 2);
      entry.modified = rows.Int(r, 3);
      entry.summary = rows.Bytes(r, 4);
      const std::span<const uint8_t> unid = rows.Bytes(r, 5);
      if (unid.size() == entry.unid.size()) {
        std::copy(unid.begin(), unid.end(), entry.unid.begin());
      }
      entry.sequence = static_cast<uint32_t>(rows.Int(r, 6));
      entry.added = rows.Int(r, 7);
      entry.changed = rows.Int(r, 8);
      s = visit(entry);
      if (!s.ok()) return s;
    }
  }
  return Status();
}

Status PgDatabase::ForEachStub(int64_t sinceCentis, const StubVisitor& visit) {
  PgResult stubs;
  Status s = Query(
      "SELECT id, class, deleted FROM vt_stubs WHERE db = $1"
      " AND deleted >= $2 ORDER BY id",
      PgParams().Int(id_).Int(sinceCentis), &stubs);
  for (int r = 0; s.ok() && r < stubs.rows(); ++r) {
    StubEntry entry;
    entry.id = static_cast<uint32_t>(stubs.Int(r, 0));
    entry.noteClass = static_cast<uint16_t>(stubs.Int(r, 1));
    entry.deleted = stubs.Int(r, 2);
    s = visit(entry);
  }
  return s;
}

Status PgDatabase::ForEachStoredNote(
    uint16_t classMask, const std::function<Status(const StoredNote&)>& fn) {
  int64_t after = 0;
  StoredNote note;
  while (true) {
    PgResult rows;
    Status s = Query(
        "SELECT id, unid, class, created, modified, sequence, summary, items"
        " FROM vt_notes WHERE db = $1 AND (class & $2) <> 0 AND id > $3"
        " ORDER BY id LIMIT $4",
        PgParams().Int(id_).Int(classMask).Int(after).Int(kStoredBatch), &rows);
    if (!s.ok()) return s;
    for (int r = 0; r < rows.rows(); ++r) {
      note.info =
          InfoFromRow(rows, r, static_cast<uint32_t>(rows.Int(r, 0)), 1);
      const std::span<const uint8_t> summary = rows.Bytes(r, 6);
      const std::span<const uint8_t> other = rows.Bytes(r, 7);
      note.summary.assign(summary.begin(), summary.end());
      note.other.assign(other.begin(), other.end());
      s = fn(note);
      if (!s.ok()) return s;
    }
    if (rows.rows() < kStoredBatch) return Status();
    after = rows.Int(rows.rows() - 1, 0);
  }
}

// ---- Database-level records -------------------------------------------------

Status PgDatabase::GetInfo(DbInfo* info) {
  PgResult row;
  const Status s = ReadRecord("info", &row);
  if (!s.ok()) return s;
  const std::span<const uint8_t> blob = row.Bytes(0, 0);
  info->fill('\0');
  std::copy_n(blob.begin(), std::min(blob.size(), info->size() - 1),
              info->begin());
  return Status();
}

Status PgDatabase::SetInfo(const DbInfo& info, int64_t nowCentis) {
  DbInfo stored{};
  CopyBounded(stored, std::string_view(info.data(), BoundedLength(info)));
  const auto* bytes = reinterpret_cast<const uint8_t*>(stored.data());
  return InWrite([&](Write& write) {
    PgResult ignored;
    Status s =
        Query("UPDATE vt_databases SET info = $2 WHERE id = $1",
              PgParams().Int(id_).Bytes({bytes, stored.size()}), &ignored);
    if (s.ok()) s = SyncIconTitle(write, stored, nowCentis);
    return s;
  });
}

Status PgDatabase::SyncIconTitle(Write& write, const DbInfo& info,
                                 int64_t nowCentis) {
  uint32_t iconId = 0;
  Status s = ResolveNoteId(kIconNoteId, &iconId);
  if (s.Is(err::kInvalidNote)) return Status();
  if (!s.ok()) return s;
  NoteRecord icon;
  s = ReadNote(iconId, &icon);
  if (!s.ok() || !TakeTitle(info, &icon)) return s;
  return WriteNoteInWrite(write, &icon, nowCentis);
}

Status PgDatabase::GetSpace(uint64_t* usedBytes, uint64_t* freeBytes) {
  PgResult row;
  const Status s = ReadRecord("used", &row);
  if (!s.ok()) return s;
  *usedBytes = static_cast<uint64_t>(std::max<int64_t>(row.Int(0, 0), 0));
  *freeBytes = 0;
  return Status();
}

Status PgDatabase::CheckIntegrity(bool quick, std::string* problem) {
  problem->clear();
  PgResult row;
  Status s = Query(
      "SELECT (SELECT count(*) FROM vt_notes WHERE db = d.id"
      "   AND id >= d.nextid)"
      " + (SELECT count(*) FROM vt_stubs WHERE db = d.id AND id >= d.nextid),"
      " (SELECT count(*) FROM vt_notes n JOIN vt_stubs t"
      "   ON t.db = n.db AND t.id = n.id WHERE n.db = d.id),"
      " greatest((SELECT max(changed) FROM vt_notes WHERE db = d.id),"
      "   (SELECT max(changed) FROM vt_stubs WHERE db = d.id)) > d.lastchange,"
      " d.used, coalesce((SELECT sum(octet_length(summary)"
      "   + coalesce(octet_length(items), 0)) FROM vt_notes WHERE db = d.id),"
      "   0)::bigint + $2 * (SELECT count(*) FROM vt_stubs WHERE db = d.id)"
      " FROM vt_databases d WHERE d.id = $1",
      PgParams().Int(id_).Int(kPgStubBytes), &row);
  if (!s.ok()) return s;
  if (row.rows() == 0) return err::kFileReplaced;
  if (row.Int(0, 0) != 0) {
    *problem = std::to_string(row.Int(0, 0)) +
               " notes or stubs have an ID at or past the next one to hand out";
  } else if (row.Int(0, 1) != 0) {
    *problem = std::to_string(row.Int(0, 1)) +
               " note IDs are both a note and a deletion stub";
  } else if (!row.IsNull(0, 2) && row.Bytes(0, 2)[0] != 0) {
    *problem = "changes are numbered past the database's last change";
  } else if (row.Int(0, 3) != row.Int(0, 4)) {
    *problem = "the space recorded (" + std::to_string(row.Int(0, 3)) +
               " bytes) is not what the notes take (" +
               std::to_string(row.Int(0, 4)) + " bytes)";
  }
  if (quick || !problem->empty()) return Status();
  return ForEachStoredNote(0xFFFF, [&](const StoredNote& note) {
    const bool sound =
        ItemBlobIsValid(note.summary) && ItemBlobIsValid(note.other);
    if (!sound && problem->empty()) {
      *problem =
          "note " + std::to_string(note.info.id) + ": its items cannot be read";
    }
    return Status();
  });
}

Status PgDatabase::GetDbClass(uint16_t* dbClass) {
  PgResult row;
  const Status s = ReadRecord("class", &row);
  if (!s.ok()) return s;
  *dbClass = static_cast<uint16_t>(row.Int(0, 0));
  return Status();
}

Status PgDatabase::GetSettings(std::vector<uint8_t>* settings) {
  PgResult row;
  const Status s = ReadRecord("settings", &row);
  if (!s.ok()) return s;
  const std::span<const uint8_t> blob = row.Bytes(0, 0);
  settings->assign(blob.begin(), blob.end());
  return Status();
}

Status PgDatabase::AdoptSettings(std::span<const uint8_t> settings,
                                 std::span<const StoredNote> acl,
                                 int64_t nowCentis) {
  // Read before the write: ForEachStoredNote runs statements of its own.
  std::vector<uint32_t> own;
  Status s = ForEachStoredNote(kNoteClassAcl, [&](const StoredNote& note) {
    if (!ContainsUnid(acl, note.info.unid)) own.push_back(note.info.id);
    return Status();
  });
  if (!s.ok()) return s;
  return InWrite([&](Write& write) {
    PgResult ignored;
    Status w = Query("UPDATE vt_databases SET settings = $2 WHERE id = $1",
                     PgParams().Int(id_).Bytes(settings), &ignored);
    for (const uint32_t id : own) {
      if (!w.ok()) break;
      w = DeleteNoteInWrite(write, id, nowCentis, kAnyVersion);
      if (w.Is(err::kNoteDeleted) || w.Is(err::kInvalidNote)) w = Status();
    }
    for (const StoredNote& note : acl) {
      if (!w.ok()) break;
      uint32_t id = 0;
      w = PutStoredNoteInWrite(write, note, nowCentis, &id);
    }
    return w;
  });
}

Status PgDatabase::AdoptContent(const DbInfo& info,
                                std::span<const uint8_t> settings,
                                std::span<const StoredNote> notes,
                                int64_t nowCentis) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(info.data());
  return InWrite([&](Write& write) {
    PgResult ignored;
    Status s =
        Query("UPDATE vt_databases SET info = $2, settings = $3 WHERE id = $1",
              PgParams().Int(id_).Bytes({bytes, info.size()}).Bytes(settings),
              &ignored);
    for (const StoredNote& note : notes) {
      if (!s.ok()) break;
      s = InsertNote(write, note.info, nowCentis, note.summary, note.other);
      write.nextId =
          std::max<int64_t>(write.nextId, note.info.id + kNoteIdStep);
    }
    return s;
  });
}

}  // namespace vt::store
