// Walking a database (notes, stubs, whole stored notes, the change mark)
// and its database-level records: information text, class, settings, space.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "notes/DbInfoText.h"
#include "notes/FixedText.h"
#include "notes/ItemValue.h"
#include "server/store/SqliteDatabase.h"
#include "server/store/SqliteLayout.h"
#include "server/store/Unid.h"

namespace vt::store {

// ---- Scans ------------------------------------------------------------------

Status SqliteDatabase::GetChangeMark(ChangeMark* mark) {
  // data_version moves with other connections' commits; this connection's
  // own changes are counted by total_changes (rolled-back ones included,
  // which only costs a needless rescan).
  int64_t version = 0;
  const Status s = db_.QueryInt("PRAGMA data_version", &version);
  if (!s.ok()) return s;
  mark->dataVersion = version;
  mark->localChanges = sqlite3_total_changes64(db_.get());
  return Status();
}

namespace {

// A batch of notes read with no statement left active, so that visitors may
// write (see kScanSql); the summaries live in one buffer.
class NoteBatch {
 public:
  // Appends the rows the statement yields: id, class, created, modified,
  // summary, unid, sequence, added and, with a ninth column, the change
  // number.
  Status Read(Statement& stmt) {
    while (true) {
      const int rc = stmt.Step();
      if (rc == SQLITE_DONE) return Status();
      if (rc != SQLITE_ROW) return StatusFromSqlite(rc);
      Row row;
      row.entry.id = static_cast<uint32_t>(stmt.ColumnInt(0));
      row.entry.noteClass = static_cast<uint16_t>(stmt.ColumnInt(1));
      row.entry.created = stmt.ColumnInt(2);
      row.entry.modified = stmt.ColumnInt(3);
      const std::span<const uint8_t> summary = stmt.ColumnBlob(4);
      const std::span<const uint8_t> unid = stmt.ColumnBlob(5);
      if (unid.size() == row.entry.unid.size()) {
        std::copy(unid.begin(), unid.end(), row.entry.unid.begin());
      }
      row.entry.sequence = static_cast<uint32_t>(stmt.ColumnInt(6));
      row.entry.added = stmt.ColumnInt(7);
      if (sqlite3_column_count(stmt.get()) > 8) {
        row.entry.changed = stmt.ColumnInt(8);
      }
      row.offset = summaries_.size();
      row.size = summary.size();
      summaries_.insert(summaries_.end(), summary.begin(), summary.end());
      rows_.push_back(row);
    }
  }
  size_t size() const { return rows_.size(); }
  const ScanEntry& back() const { return rows_.back().entry; }
  void Clear() {
    rows_.clear();
    summaries_.clear();
  }
  Status Visit(const SqliteDatabase::ScanVisitor& visit) {
    for (Row& row : rows_) {
      row.entry.summary = {summaries_.data() + row.offset, row.size};
      const Status s = visit(row.entry);
      if (!s.ok()) return s;
    }
    return Status();
  }

 private:
  struct Row {
    ScanEntry entry;
    size_t offset = 0;
    size_t size = 0;
  };
  std::vector<Row> rows_;
  std::vector<uint8_t> summaries_;
};

// The stubs a query with one bound value yields (id, class, deleted and,
// with a fourth column, the change number): read first, visited after, so
// that no snapshot is held while the visitor works.
Status VisitStubs(SqliteConnection& db, const char* sql, int64_t value,
                  const SqliteDatabase::StubVisitor& visit) {
  std::vector<StubEntry> stubs;
  {
    Statement stmt;
    const Status s = stmt.Prepare(db, sql);
    if (!s.ok()) return s;
    stmt.BindInt(1, value);
    while (true) {
      const int rc = stmt.Step();
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) return StatusFromSqlite(rc);
      StubEntry entry;
      entry.id = static_cast<uint32_t>(stmt.ColumnInt(0));
      entry.noteClass = static_cast<uint16_t>(stmt.ColumnInt(1));
      entry.deleted = stmt.ColumnInt(2);
      if (sqlite3_column_count(stmt.get()) > 3) {
        entry.changed = stmt.ColumnInt(3);
      }
      stubs.push_back(entry);
    }
  }
  for (const StubEntry& entry : stubs) {
    const Status s = visit(entry);
    if (!s.ok()) return s;
  }
  return Status();
}

}  // namespace

Status SqliteDatabase::ForEachNote(uint16_t classMask,
                                   const ScanVisitor& visit) {
  NoteBatch batch;
  int64_t after = 0;
  while (true) {
    batch.Clear();
    {
      StatementUse use(scan_);
      use->BindInt(1, classMask);
      use->BindInt(2, after);
      use->BindInt(3, kScanBatch);
      const Status s = batch.Read(use.get());
      if (!s.ok()) return s;
    }
    const Status s = batch.Visit(visit);
    if (!s.ok()) return s;
    if (batch.size() < static_cast<size_t>(kScanBatch)) return Status();
    after = batch.back().id;
  }
}

Status SqliteDatabase::GetLastChange(int64_t* change) {
  StatementUse use(lastChange_);
  const int rc = use->Step();
  if (rc != SQLITE_ROW) return StatusFromSqlite(rc);
  *change = use->ColumnInt(0);
  return Status();
}

Status SqliteDatabase::ForEachChangeSince(int64_t since,
                                          const ScanVisitor& written,
                                          const StubVisitor& deleted) {
  NoteBatch batch;
  int64_t afterChange = since;
  int64_t afterId = INT64_MAX;  // none of change `since` itself
  while (true) {
    batch.Clear();
    {
      StatementUse use(changed_);
      use->BindInt(1, afterChange);
      use->BindInt(2, afterId);
      use->BindInt(3, kScanBatch);
      const Status s = batch.Read(use.get());
      if (!s.ok()) return s;
    }
    const Status s = batch.Visit(written);
    if (!s.ok()) return s;
    if (batch.size() < static_cast<size_t>(kScanBatch)) break;
    afterChange = batch.back().changed;
    afterId = batch.back().id;
  }
  // Stubs hold no summary: all of them at once.
  return VisitStubs(db_,
                    "SELECT id, class, deleted, changed FROM stubs"
                    " WHERE changed > ?1",
                    since, deleted);
}

Status SqliteDatabase::ForEachNoteOf(std::span<const uint32_t> ids,
                                     const ScanVisitor& visit) {
  NoteBatch batch;
  for (size_t i = 0; i < ids.size(); i += kScanBatch) {
    batch.Clear();
    for (size_t j = i; j < ids.size() && j < i + kScanBatch; ++j) {
      StatementUse use(noteOf_);
      use->BindInt(1, ids[j]);
      const Status s = batch.Read(use.get());
      if (!s.ok()) return s;
    }
    const Status s = batch.Visit(visit);
    if (!s.ok()) return s;
  }
  return Status();
}

Status SqliteDatabase::ForEachStub(int64_t sinceCentis,
                                   const StubVisitor& visit) {
  return VisitStubs(db_,
                    "SELECT id, class, deleted FROM stubs"
                    " WHERE deleted >= ?1 ORDER BY id",
                    sinceCentis, visit);
}

Status SqliteDatabase::ForEachStoredNote(
    uint16_t classMask, const std::function<Status(const StoredNote&)>& fn) {
  Statement stmt;
  Status s = stmt.Prepare(
      db_,
      "SELECT n.id, n.unid, n.class, n.created, n.modified, n.sequence,"
      " n.summary, b.items FROM notes n LEFT JOIN bodies b ON b.id = n.id"
      " WHERE (n.class & ?1) != 0 ORDER BY n.id");
  if (!s.ok()) return s;
  stmt.BindInt(1, classMask);
  StoredNote note;
  while (true) {
    const int rc = stmt.Step();
    if (rc == SQLITE_DONE) return Status();
    if (rc != SQLITE_ROW) return StatusFromSqlite(rc);
    note.info = InfoFromRow(stmt, static_cast<uint32_t>(stmt.ColumnInt(0)), 1);
    const std::span<const uint8_t> summary = stmt.ColumnBlob(6);
    const std::span<const uint8_t> other = stmt.ColumnBlob(7);
    note.summary.assign(summary.begin(), summary.end());
    note.other.assign(other.begin(), other.end());
    s = fn(note);
    if (!s.ok()) return s;
  }
}

// ---- Database-level records -------------------------------------------------

Status SqliteDatabase::GetMetaBlob(const char* key,
                                   std::vector<uint8_t>* value) {
  StatementUse use(getMeta_);
  use->BindText(1, key);
  const int rc = use->Step();
  if (rc == SQLITE_DONE) return err::kItemNotFound;
  if (rc != SQLITE_ROW) return StatusFromSqlite(rc);
  const std::span<const uint8_t> blob = use->ColumnBlob(0);
  value->assign(blob.begin(), blob.end());
  return Status();
}

Status SqliteDatabase::PutMetaBlob(const char* key,
                                   std::span<const uint8_t> value) {
  StatementUse use(putMeta_);
  use->BindText(1, key);
  use->BindBlob(2, value);
  return StatusFromSqlite(use->Step());
}

Status SqliteDatabase::PutMetaInt(const char* key, int64_t value) {
  StatementUse use(putMeta_);
  use->BindText(1, key);
  use->BindInt(2, value);
  return StatusFromSqlite(use->Step());
}

Status SqliteDatabase::GetInfo(DbInfo* info) {
  std::vector<uint8_t> blob;
  const Status s = GetMetaBlob(kMetaInfo, &blob);
  if (s.Is(err::kItemNotFound)) return err::kCorruptDatabase;
  if (!s.ok()) return s;
  info->fill('\0');
  std::copy_n(blob.begin(), std::min(blob.size(), info->size() - 1),
              info->begin());
  return Status();
}

Status SqliteDatabase::SetInfo(const DbInfo& info, int64_t nowCentis) {
  DbInfo stored{};
  CopyBounded(stored, std::string_view(info.data(), BoundedLength(info)));
  const auto* bytes = reinterpret_cast<const uint8_t*>(stored.data());
  WriteTransaction txn(begin_, commit_, rollback_);
  Status s = BeginWrite(txn);
  if (s.ok()) s = PutMetaBlob(kMetaInfo, {bytes, stored.size()});
  if (s.ok()) s = SyncIconTitle(stored, nowCentis);
  if (s.ok()) s = txn.Commit();
  return s;
}

Status SqliteDatabase::SyncIconTitle(const DbInfo& info, int64_t nowCentis) {
  uint32_t iconId = 0;
  Status s = ResolveNoteId(kIconNoteId, &iconId);
  // A database copied without its icon note gets one at creation; until
  // then there is nothing to keep in step.
  if (s.Is(err::kInvalidNote)) return Status();
  if (!s.ok()) return s;
  NoteRecord icon;
  s = ReadNoteUnlocked(iconId, &icon);
  if (!s.ok() || !TakeTitle(info, &icon)) return s;
  return WriteNoteInTransaction(&icon, nowCentis);
}

Status SqliteDatabase::GetSpace(uint64_t* usedBytes, uint64_t* freeBytes) {
  int64_t pages = 0;
  int64_t pageSize = 0;
  int64_t freePages = 0;
  Status s = db_.QueryInt("PRAGMA page_count", &pages);
  if (s.ok()) s = db_.QueryInt("PRAGMA page_size", &pageSize);
  if (s.ok()) s = db_.QueryInt("PRAGMA freelist_count", &freePages);
  if (!s.ok()) return s;
  *usedBytes = static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
  *freeBytes =
      static_cast<uint64_t>(freePages) * static_cast<uint64_t>(pageSize);
  return Status();
}

Status SqliteDatabase::GetDbClass(uint16_t* dbClass) {
  StatementUse use(getMeta_);
  use->BindText(1, kMetaClass);
  const int rc = use->Step();
  if (rc == SQLITE_DONE) return err::kCorruptDatabase;
  if (rc != SQLITE_ROW) return StatusFromSqlite(rc);
  *dbClass = static_cast<uint16_t>(use->ColumnInt(0));
  return Status();
}

Status SqliteDatabase::GetSettings(std::vector<uint8_t>* settings) {
  const Status s = GetMetaBlob(kMetaSettings, settings);
  if (!s.Is(err::kItemNotFound)) return s;
  settings->clear();
  return Status();
}

Status SqliteDatabase::AdoptSettings(std::span<const uint8_t> settings,
                                     std::span<const StoredNote> acl,
                                     int64_t nowCentis) {
  WriteTransaction txn(begin_, commit_, rollback_);
  Status s = BeginWrite(txn);
  if (s.ok()) s = PutMetaBlob(kMetaSettings, settings);
  // This database's own ACL notes give way to the others; a note of the
  // same universal ID is replaced in place, the others are deleted.
  std::vector<uint32_t> own;
  if (s.ok()) {
    s = ForEachStoredNote(kNoteClassAcl, [&](const StoredNote& note) {
      if (!ContainsUnid(acl, note.info.unid)) own.push_back(note.info.id);
      return Status();
    });
  }
  for (const uint32_t id : own) {
    if (!s.ok()) break;
    s = DeleteNoteInTransaction(id, nowCentis, kAnyVersion);
  }
  for (const StoredNote& note : acl) {
    if (!s.ok()) break;
    uint32_t id = 0;
    s = PutStoredNoteInTransaction(note, nowCentis, &id);
  }
  if (s.ok()) s = txn.Commit();
  return s;
}

Status SqliteDatabase::AdoptContent(const DbInfo& info,
                                    std::span<const uint8_t> settings,
                                    std::span<const StoredNote> notes,
                                    int64_t nowCentis) {
  WriteTransaction txn(begin_, commit_, rollback_);
  Status s = txn.Begin();
  const auto* bytes = reinterpret_cast<const uint8_t*>(info.data());
  if (s.ok()) s = PutMetaBlob(kMetaInfo, {bytes, info.size()});
  if (s.ok()) s = PutMetaBlob(kMetaSettings, settings);
  for (const StoredNote& note : notes) {
    if (!s.ok()) break;
    s = InsertNote(note.info, nowCentis, note.summary, note.other);
    if (s.ok()) s = RaiseNextNoteId(note.info.id + kNoteIdStep);
  }
  if (s.ok()) s = txn.Commit();
  return s;
}

}  // namespace vt::store
