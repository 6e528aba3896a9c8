// The SQLite side of a database: schema, durable note writes, scans and the
// database-level records (information text, class, settings).
#include "server/store/NsfDatabase.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <system_error>

#include "notes/FixedText.h"
#include "server/store/DatabaseFiles.h"
#include "server/store/DbInfoText.h"
#include "server/store/FileIdentity.h"
#include "server/store/ItemBlob.h"
#include "server/store/ItemValue.h"
#include "server/store/Unid.h"

namespace vt::store {

namespace fs = std::filesystem;

namespace {

constexpr char kSchema[] =
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value) WITHOUT ROWID;"
    "CREATE TABLE notes(id INTEGER PRIMARY KEY, unid BLOB NOT NULL UNIQUE,"
    " class INTEGER NOT NULL, created INTEGER NOT NULL,"
    " modified INTEGER NOT NULL, sequence INTEGER NOT NULL,"
    " summary BLOB NOT NULL);"
    "CREATE TABLE bodies(id INTEGER PRIMARY KEY, items BLOB NOT NULL);"
    "CREATE TABLE stubs(id INTEGER PRIMARY KEY, unid BLOB NOT NULL,"
    " class INTEGER NOT NULL, deleted INTEGER NOT NULL,"
    " sequence INTEGER NOT NULL);"
    "CREATE INDEX stubs_unid ON stubs(unid);";

// A scan reads a batch at a time and visits it with no statement active:
// a visitor may then write to this database even after another process
// wrote (a read snapshot held across the visit would make that write fail),
// and memory stays bounded however large the database.
constexpr char kScanSql[] =
    "SELECT id, class, created, modified, summary FROM notes"
    " WHERE (class & ?1) != 0 AND id > ?2 ORDER BY id LIMIT ?3";
constexpr int kScanBatch = 512;

constexpr char kMetaInfo[] = "info";
constexpr char kMetaNextId[] = "nextid";
constexpr char kMetaClass[] = "class";
constexpr char kMetaSettings[] = "settings";

constexpr char kTitleItem[] = "$TITLE";

// Beyond this the ID would collide with the deleted-note flag.
constexpr int64_t kNoteIdLimit = 0x80000000LL;

uint32_t BigEndian32(const unsigned char* p) {
  return (static_cast<uint32_t>(p[0]) << 24) |
         (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

// Looks at the 100-byte SQLite header before SQLite does: a file that is not
// SQLite, is not ours, or has lost pages it says it has, is refused at once.
Status CheckFileHeader(const fs::path& file, uintmax_t fileSize) {
  if (fileSize < 100) return err::kCorruptDatabase;
  std::ifstream in(file, std::ios::binary);
  unsigned char h[100];
  if (!in.read(reinterpret_cast<char*>(h), sizeof h)) return err::kDiskError;
  static constexpr char kMagic[] = "SQLite format 3";
  if (std::memcmp(h, kMagic, sizeof kMagic) != 0) return err::kCorruptDatabase;
  if (static_cast<int32_t>(BigEndian32(h + 68)) != kApplicationId) {
    return err::kCorruptDatabase;
  }
  uint32_t pageSize = (static_cast<uint32_t>(h[16]) << 8) | h[17];
  if (pageSize == 1) pageSize = 65536;
  const uint32_t pages = BigEndian32(h + 28);
  // SQLite trusts the page count only when these two agree; so do we. A
  // write-ahead log may hold pages a crashed checkpoint had not yet placed,
  // so the size is only checked when there is none.
  const bool countValid = BigEndian32(h + 24) == BigEndian32(h + 92);
  std::error_code ec;
  fs::path wal = file;
  wal += "-wal";
  const uintmax_t walSize = fs::file_size(wal, ec);
  const bool hasWal = !ec && walSize > 0;
  if (countValid && !hasWal &&
      static_cast<uintmax_t>(pages) * pageSize > fileSize) {
    return err::kCorruptDatabase;
  }
  return Status();
}

void RemoveFileAndJournal(const fs::path& file) {
  std::error_code ec;
  fs::remove(file, ec);
  for (const char* suffix : {"-wal", "-shm", "-journal"}) {
    fs::path p = file;
    p += suffix;
    fs::remove(p, ec);
  }
}

// Links the finished file under its name, failing if the name is taken, so
// that two creators cannot overwrite each other.
Status LinkIntoPlace(const fs::path& temp, const fs::path& file) {
  if (::link(temp.c_str(), file.c_str()) == 0) {
    std::error_code ec;
    fs::remove(temp, ec);
    return Status();
  }
  if (errno == EEXIST) return err::kFileExists;
  // File systems without hard links: rename after a check (not atomic, but
  // the best such a file system allows).
  std::error_code ec;
  if (fs::exists(fs::symlink_status(file, ec))) return err::kFileExists;
  fs::rename(temp, file, ec);
  return ec ? Status(err::kDiskError) : Status();
}

NoteInfo InfoFromRow(const Statement& row, uint32_t id, int firstColumn) {
  // Columns from firstColumn: unid, class, created, modified, sequence.
  NoteInfo info;
  info.id = id;
  const std::span<const uint8_t> unid = row.ColumnBlob(firstColumn);
  std::copy_n(unid.begin(), std::min(unid.size(), info.unid.size()),
              info.unid.begin());
  info.noteClass = static_cast<uint16_t>(row.ColumnInt(firstColumn + 1));
  info.created = row.ColumnInt(firstColumn + 2);
  info.modified = row.ColumnInt(firstColumn + 3);
  info.sequence = static_cast<uint32_t>(row.ColumnInt(firstColumn + 4));
  return info;
}

// Every edit must be visible as a change even when the clock stands still.
int64_t NextModified(int64_t previous, int64_t now) {
  return now > previous ? now : previous + 1;
}

}  // namespace

NsfDatabase::NsfDatabase(fs::path file) : file_(std::move(file)) {}

NsfDatabase::~NsfDatabase() = default;

Status NsfDatabase::Open(const fs::path& file,
                         std::unique_ptr<NsfDatabase>* out,
                         std::vector<fs::path>* setAside) {
  std::error_code ec;
  const fs::file_status st = fs::status(file, ec);
  if (!fs::exists(st)) {
    const bool missing = !ec || ec == std::errc::no_such_file_or_directory ||
                         ec == std::errc::not_a_directory;
    return missing ? Status(err::kFileNotFound) : Status(err::kDiskError);
  }
  if (!fs::is_regular_file(st)) return err::kCorruptDatabase;
  const auto checkFile = [&file] {
    std::error_code sizeError;
    const uintmax_t size = fs::file_size(file, sizeError);
    return sizeError ? Status(err::kDiskError) : CheckFileHeader(file, size);
  };
  Status s = checkFile();
  if (!s.ok()) return s;

  // What lies beside the file is judged, and SQLite opens its log, with no
  // other opener of ours in between.
  WalOwner owner;
  s = owner.Lock(file);
  if (!s.ok()) return s;
  std::unique_ptr<NsfDatabase> db;
  std::optional<FileIdentity> identity;
  // A file put in place between the judging and the open would meet the
  // leftovers judged for the one before it: then it is judged again.
  for (int attempt = 0; db == nullptr; ++attempt) {
    if (attempt == 3) return err::kFileReplaced;
    struct stat before {};
    if (::stat(file.c_str(), &before) != 0) {
      return errno == ENOENT ? Status(err::kFileNotFound)
                             : Status(err::kDiskError);
    }
    identity = ReadIdentityWithoutLog(file);
    const std::optional<FileIdentity> recorded = owner.Recorded();
    // When either is unknown (a file made before identities, a record
    // lost) the log is trusted, as SQLite itself would.
    if (identity && recorded && *identity != *recorded) {
      const size_t moved = setAside->size();
      s = SetAsideLeftovers(file, setAside);
      // Without a log to hold them, missing pages now show.
      if (s.ok() && setAside->size() != moved) s = checkFile();
      if (!s.ok()) return s;
    }
    if (identity && identity != recorded) {
      s = owner.Record(*identity);
      if (!s.ok()) return s;
    }
    std::unique_ptr<NsfDatabase> opened(new NsfDatabase(file));
    // SQLite touches neither log nor shared memory before the first
    // statement (in Configure).
    s = opened->db_.Open(file, /*create=*/false);
    if (!s.ok()) return s;
    struct stat after {};
    if (::stat(file.c_str(), &after) == 0 && after.st_dev == before.st_dev &&
        after.st_ino == before.st_ino) {
      opened->RememberFile(before);
      db = std::move(opened);
    }
  }
  // Damage found on the way is reported as such by the SQLite codes; an
  // unreadable file or folder stays a disk error.
  s = db->Configure();
  if (s.ok()) s = db->UpgradeLayout();
  if (s.ok()) s = db->PrepareStatements();
  if (s.ok()) s = db->CheckStructure();
  if (!s.ok()) return s;
  if (!identity) {
    // Without an identity the next opener could not tell this file's log
    // from another's; one that cannot be given now is tried again then.
    FileIdentity given{};
    if (EnsureFileIdentity(db->db_, &given).ok() && given != owner.Recorded()) {
      s = owner.Record(given);
      if (!s.ok()) return s;
    }
  }
  *out = std::move(db);
  return Status();
}

Status NsfDatabase::Create(const fs::path& file, uint16_t dbClass,
                           int64_t nowCentis, const Filler& fill) {
  std::error_code ec;
  if (fs::exists(fs::symlink_status(file, ec))) return err::kFileExists;
  Status s = MakeFolders(file.parent_path());
  if (!s.ok()) return s;

  const Unid random = NewUnid();
  FixedText<24> suffix;
  suffix.Format(".new-%02x%02x%02x%02x%02x%02x", random[0], random[1],
                random[2], random[3], random[4], random[5]);
  // Hidden, beside the final name (a link cannot cross file systems).
  std::string tempName(1, '.');
  tempName.append(file.filename().string());
  tempName.append(suffix.view());
  const fs::path temp = file.parent_path() / tempName;

  // Removes the half-made file on every way out but success.
  struct TempFile {
    fs::path path;
    bool keep = false;
    ~TempFile() {
      if (!keep) RemoveFileAndJournal(path);
    }
  } tempFile{temp};

  {
    std::unique_ptr<NsfDatabase> db(new NsfDatabase(temp));
    s = db->db_.Open(temp, /*create=*/true);
    if (!s.ok()) return s;
    s = db->Configure();
    if (!s.ok()) return s;
    FixedText<160> pragmas;
    pragmas.Format("PRAGMA application_id=%d;PRAGMA user_version=%d;",
                   kApplicationId, kSchemaVersion);
    s = db->db_.Exec(pragmas.c_str());
    if (s.ok()) s = db->db_.Exec(kSchema);
    if (s.ok()) s = db->db_.Exec(kFileIdentitySchema);
    if (s.ok()) s = db->PrepareStatements();
    if (!s.ok()) return s;
    {
      WriteTransaction txn(db->begin_, db->commit_, db->rollback_);
      s = txn.Begin();
      const std::vector<uint8_t> emptyInfo(kDbInfoSize, 0);
      if (s.ok()) s = db->PutMetaBlob(kMetaInfo, emptyInfo);
      if (s.ok()) s = db->PutMetaInt(kMetaNextId, kFirstNoteId);
      if (s.ok()) s = db->PutMetaInt(kMetaClass, dbClass);
      if (s.ok()) s = db->PutMetaBlob(kMetaSettings, {});
      if (s.ok()) s = StoreFileIdentity(db->db_, NewFileIdentity());
      if (s.ok()) s = txn.Commit();
      if (!s.ok()) return s;
    }
    if (fill) {
      s = fill(*db);
      if (!s.ok()) return s;
    }
    s = db->EnsureIconNote(nowCentis);
    if (!s.ok()) return s;
    // Everything into the main file before it is linked: the log is not
    // linked along with it.
    int64_t busy = 1;
    s = db->db_.QueryInt("PRAGMA wal_checkpoint(TRUNCATE)", &busy);
    if (!s.ok()) return s;
    if (busy != 0) return err::kDatabaseBusy;
  }
  fs::path wal = temp;
  wal += "-wal";
  const uintmax_t walSize = fs::file_size(wal, ec);
  if (!ec && walSize > 0) return err::kDiskError;

  // Whatever lies beside the free name was left by a database removed from
  // it, maybe one made before identities: it is disowned, and the first
  // opener sets it aside and says so. Under the lock, and only while the
  // name is still free: once another creator's file is there, what lies
  // beside it may be that file's own log.
  WalOwner owner;
  if (HasLeftovers(file)) {
    s = owner.Lock(file);
    if (!s.ok()) return s;
    if (fs::exists(fs::symlink_status(file, ec))) return err::kFileExists;
    s = owner.Record(kNoDatabase);
    if (!s.ok()) return s;
  }
  s = LinkIntoPlace(temp, file);
  if (!s.ok()) return s;
  tempFile.keep = true;
  RemoveFileAndJournal(temp);  // the temporary name's leftovers only
  return SyncFolder(file.parent_path());
}

Status NsfDatabase::Configure() {
  sqlite3_busy_timeout(db_.get(), 10000);
  // This file may come from anywhere: no schema tricks, damaged cells are
  // reported rather than trusted.
  sqlite3_db_config(db_.get(), SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  return db_.Exec(
      "PRAGMA trusted_schema=OFF;"
      "PRAGMA cell_size_check=ON;"
      "PRAGMA journal_mode=WAL;"
      "PRAGMA synchronous=FULL;"
      // The log outlives every connection (see SqliteConnection::Open): a
      // clean close leaves it empty, and one grown by a large transaction
      // shrinks back.
      "PRAGMA journal_size_limit=4194304;");
}

void NsfDatabase::RememberFile(const struct stat& st) {
  fileKnown_ = true;
  fileDevice_ = st.st_dev;
  fileInode_ = st.st_ino;
}

Status NsfDatabase::CheckInPlace() const {
  if (!fileKnown_) return Status();
  struct stat st {};
  if (::stat(file_.c_str(), &st) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? Status(err::kFileReplaced)
                                               : Status(err::kDiskError);
  }
  if (st.st_dev != fileDevice_ || st.st_ino != fileInode_) {
    return err::kFileReplaced;
  }
  return Status();
}

bool NsfDatabase::DeviceAndInode(dev_t* device, ino_t* inode) const {
  if (!fileKnown_) return false;
  *device = fileDevice_;
  *inode = fileInode_;
  return true;
}

Status NsfDatabase::BeginWrite(WriteTransaction& txn) {
  Status s = txn.Begin();
  if (s.ok()) s = CheckInPlace();
  return s;  // a transaction begun is rolled back when txn goes
}

Status NsfDatabase::UpgradeLayout() {
  int64_t value = 0;
  Status s = db_.QueryInt("PRAGMA application_id", &value);
  if (!s.ok() || value != kApplicationId) return s;  // refused later
  s = db_.QueryInt("PRAGMA user_version", &value);
  if (!s.ok() || value != 1) return s;
  // Once, under the write lock: another process may be doing the same, so
  // the version is read again inside the transaction. A stub of layout 1
  // knows no version and blocks no copy.
  s = db_.Exec("BEGIN IMMEDIATE");
  if (!s.ok()) return s;
  s = db_.QueryInt("PRAGMA user_version", &value);
  if (s.ok() && value == 1) {
    // Only the stubs table of layout 1 is changed; anything else is a file
    // we do not know.
    int64_t columns = 0;
    s = db_.QueryInt(
        "SELECT count(*) FROM pragma_table_info('stubs') WHERE name IN"
        " ('id', 'unid', 'class', 'deleted', 'sequence')",
        &columns);
    if (s.ok() && columns != 4) s = err::kCorruptDatabase;
  }
  if (s.ok() && value == 1) {
    s = db_.Exec(
        "ALTER TABLE stubs ADD COLUMN sequence INTEGER NOT NULL DEFAULT 0;"
        "CREATE INDEX IF NOT EXISTS stubs_unid ON stubs(unid);"
        "PRAGMA user_version=2;");
  }
  if (s.ok()) s = db_.Exec("COMMIT");
  if (!s.ok()) db_.Exec("ROLLBACK").IgnoreError();
  return s;
}

Status NsfDatabase::PrepareStatements() {
  struct {
    Statement* stmt;
    const char* sql;
  } const all[] = {
      {&begin_, "BEGIN IMMEDIATE"},
      {&commit_, "COMMIT"},
      {&rollback_, "ROLLBACK"},
      {&readNote_,
       "SELECT n.unid, n.class, n.created, n.modified, n.sequence, n.summary,"
       " b.items FROM notes n LEFT JOIN bodies b ON b.id = n.id"
       " WHERE n.id = ?1"},
      {&noteInfo_,
       "SELECT unid, class, created, modified, sequence FROM notes"
       " WHERE id = ?1"},
      {&stubExists_, "SELECT 1 FROM stubs WHERE id = ?1"},
      {&firstOfClass_,
       "SELECT id FROM notes WHERE class = ?1 ORDER BY id LIMIT 1"},
      {&findByUnid_,
       "SELECT id, modified, sequence FROM notes WHERE unid = ?1"},
      {&getMeta_, "SELECT value FROM meta WHERE key = ?1"},
      {&putMeta_, "INSERT OR REPLACE INTO meta(key, value) VALUES(?1, ?2)"},
      {&insertNote_,
       "INSERT INTO notes(id, unid, class, created, modified, sequence,"
       " summary) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)"},
      {&updateNote_,
       "UPDATE notes SET class = ?2, created = ?3, modified = ?4,"
       " sequence = ?5, summary = ?6 WHERE id = ?1"},
      {&putBody_, "INSERT OR REPLACE INTO bodies(id, items) VALUES(?1, ?2)"},
      {&deleteBody_, "DELETE FROM bodies WHERE id = ?1"},
      {&deleteNote_, "DELETE FROM notes WHERE id = ?1"},
      {&insertStub_,
       "INSERT OR REPLACE INTO stubs(id, unid, class, deleted, sequence)"
       " VALUES(?1, ?2, ?3, ?4, ?5)"},
      {&stubSequence_,
       "SELECT ifnull(max(sequence), 0) FROM stubs WHERE unid = ?1"},
      {&latestStub_,
       "SELECT id, sequence FROM stubs WHERE unid = ?1"
       " ORDER BY sequence DESC, id DESC LIMIT 1"},
      {&scan_, kScanSql},
  };
  for (const auto& entry : all) {
    const Status s = entry.stmt->Prepare(db_, entry.sql);
    if (!s.ok()) return s;
  }
  return Status();
}

Status NsfDatabase::CheckStructure() {
  int64_t value = 0;
  Status s = db_.QueryInt("PRAGMA application_id", &value);
  if (!s.ok()) return s;
  if (value != kApplicationId) return err::kCorruptDatabase;
  s = db_.QueryInt("PRAGMA user_version", &value);
  if (!s.ok()) return s;
  if (value < 1 || value > kSchemaVersion) return err::kCorruptDatabase;
  std::vector<uint8_t> info;
  s = GetMetaBlob(kMetaNextId, &info);
  if (s.ok()) s = GetMetaBlob(kMetaInfo, &info);
  if (s.Is(err::kItemNotFound)) return err::kCorruptDatabase;
  if (!s.ok()) return s;
  // Both ends of every table: a file that lost pages fails here, at open,
  // rather than in the middle of a pass.
  for (const char* sql :
       {"SELECT count(*) FROM meta", "SELECT ifnull(min(id), 0) FROM notes",
        "SELECT ifnull(max(id), 0) FROM notes",
        "SELECT ifnull(min(id), 0) FROM bodies",
        "SELECT ifnull(max(id), 0) FROM bodies",
        "SELECT ifnull(max(id), 0) FROM stubs"}) {
    s = db_.QueryInt(sql, &value);
    if (!s.ok()) return s;
  }
  return Status();
}

// ---- Notes ------------------------------------------------------------------

Status NsfDatabase::MissingNoteStatus(uint32_t id) {
  StatementUse use(stubExists_);
  use->BindInt(1, id);
  const int rc = use->Step();
  if (rc == SQLITE_ROW) return err::kNoteDeleted;
  if (rc == SQLITE_DONE) return err::kInvalidNote;
  return StatusFromSqlite(rc);
}

Status NsfDatabase::ResolveNoteId(uint32_t noteId, uint32_t* resolved) {
  if ((noteId & 0xFFFF0000) == kClassNoteIdPrefix) {
    StatementUse use(firstOfClass_);
    use->BindInt(1, noteId & 0xFFFF);
    const int rc = use->Step();
    if (rc == SQLITE_ROW) {
      *resolved = static_cast<uint32_t>(use->ColumnInt(0));
      return Status();
    }
    return rc == SQLITE_DONE ? Status(err::kInvalidNote) : StatusFromSqlite(rc);
  }
  if ((noteId & kDeletedNoteFlag) != 0) {
    // A search hands out stubs with the flag set; they are deleted notes.
    return MissingNoteStatus(noteId & ~kDeletedNoteFlag);
  }
  if (noteId == 0 || noteId % kNoteIdStep != 0) return err::kInvalidNote;
  *resolved = noteId;
  return Status();
}

Status NsfDatabase::GetNoteInfo(uint32_t noteId, NoteInfo* info) {
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

Status NsfDatabase::ReadNoteUnlocked(uint32_t id, NoteRecord* note) {
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

Status NsfDatabase::ReadNote(uint32_t noteId, NoteRecord* note) {
  uint32_t id = 0;
  const Status s = ResolveNoteId(noteId, &id);
  if (!s.ok()) return s;
  return ReadNoteUnlocked(id, note);
}

Status NsfDatabase::ReadStoredNote(uint32_t noteId, StoredNote* note) {
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

Status NsfDatabase::FindByUnid(const Unid& unid, uint32_t* noteId,
                               uint32_t* sequence) {
  {
    StatementUse use(findByUnid_);
    use->BindBlob(1, unid);
    const int rc = use->Step();
    if (rc == SQLITE_ROW) {
      *noteId = static_cast<uint32_t>(use->ColumnInt(0));
      *sequence = static_cast<uint32_t>(use->ColumnInt(2));
      return Status();
    }
    if (rc != SQLITE_DONE) return StatusFromSqlite(rc);
  }
  StatementUse use(latestStub_);
  use->BindBlob(1, unid);
  const int rc = use->Step();
  if (rc == SQLITE_DONE) return err::kNotFound;
  if (rc != SQLITE_ROW) return StatusFromSqlite(rc);
  *noteId = static_cast<uint32_t>(use->ColumnInt(0)) | kDeletedNoteFlag;
  *sequence = static_cast<uint32_t>(use->ColumnInt(1));
  return Status();
}

Status NsfDatabase::AllocateNoteId(uint32_t* id) {
  int64_t next = 0;
  {
    StatementUse use(getMeta_);
    use->BindText(1, kMetaNextId);
    const int rc = use->Step();
    if (rc == SQLITE_DONE) return err::kCorruptDatabase;
    if (rc != SQLITE_ROW) return StatusFromSqlite(rc);
    next = use->ColumnInt(0);
  }
  if (next <= 0 || next % kNoteIdStep != 0) return err::kCorruptDatabase;
  if (next >= kNoteIdLimit) return err::kDiskError;
  *id = static_cast<uint32_t>(next);
  return PutMetaInt(kMetaNextId, next + kNoteIdStep);
}

Status NsfDatabase::RaiseNextNoteId(uint32_t atLeast) {
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

Status NsfDatabase::InsertNote(const NoteInfo& info,
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
    const Status s = StatusFromSqlite(use->Step());
    if (!s.ok()) return s;
  }
  if (other.empty()) return Status();
  StatementUse use(putBody_);
  use->BindInt(1, info.id);
  use->BindBlob(2, other);
  return StatusFromSqlite(use->Step());
}

Status NsfDatabase::UpdateStoredNote(const NoteInfo& info,
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

Status NsfDatabase::WriteNoteInTransaction(NoteRecord* note,
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
    s = InsertNote(info, summary, other);
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

Status NsfDatabase::WriteNote(NoteRecord* note, int64_t nowCentis) {
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

Status NsfDatabase::WriteNotes(std::span<NoteRecord> notes, int64_t nowCentis) {
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

Status NsfDatabase::DeleteNoteInTransaction(uint32_t id, int64_t nowCentis) {
  NoteInfo info;
  {
    StatementUse use(noteInfo_);
    use->BindInt(1, id);
    const int rc = use->Step();
    if (rc == SQLITE_DONE) return MissingNoteStatus(id);
    if (rc != SQLITE_ROW) return StatusFromSqlite(rc);
    info = InfoFromRow(use.get(), id, 0);
  }
  for (Statement* stmt : {&deleteNote_, &deleteBody_}) {
    StatementUse use(*stmt);
    use->BindInt(1, id);
    const Status s = StatusFromSqlite(use->Step());
    if (!s.ok()) return s;
  }
  StatementUse use(insertStub_);
  use->BindInt(1, id);
  use->BindBlob(2, info.unid);
  use->BindInt(3, info.noteClass);
  use->BindInt(4, nowCentis);
  use->BindInt(5, info.sequence);
  return StatusFromSqlite(use->Step());
}

Status NsfDatabase::DeleteNote(uint32_t noteId, int64_t nowCentis) {
  WriteTransaction txn(begin_, commit_, rollback_);
  Status s = BeginWrite(txn);
  uint32_t id = 0;
  if (s.ok()) s = ResolveNoteId(noteId, &id);
  if (s.ok()) s = DeleteNoteInTransaction(id, nowCentis);
  if (s.ok()) s = txn.Commit();
  return s;
}

Status NsfDatabase::PutStoredNoteInTransaction(const StoredNote& note,
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
    s = InsertNote(info, note.summary, note.other);
  }
  if (s.ok()) *noteId = info.id;
  return s;
}

Status NsfDatabase::PutStoredNote(const StoredNote& note, int64_t nowCentis,
                                  uint32_t* noteId) {
  uint32_t id = 0;
  WriteTransaction txn(begin_, commit_, rollback_);
  Status s = BeginWrite(txn);
  if (s.ok()) s = PutStoredNoteInTransaction(note, nowCentis, &id);
  if (s.ok()) s = txn.Commit();
  if (s.ok()) *noteId = id;
  return s;
}

// ---- Scans ------------------------------------------------------------------

Status NsfDatabase::GetChangeMark(ChangeMark* mark) {
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

Status NsfDatabase::ForEachNote(uint16_t classMask, const ScanVisitor& visit) {
  struct Row {
    ScanEntry entry;
    size_t offset = 0;
    size_t size = 0;
  };
  std::vector<Row> rows;
  std::vector<uint8_t> summaries;
  int64_t after = 0;
  while (true) {
    rows.clear();
    summaries.clear();
    {
      StatementUse use(scan_);
      use->BindInt(1, classMask);
      use->BindInt(2, after);
      use->BindInt(3, kScanBatch);
      while (true) {
        const int rc = use->Step();
        if (rc == SQLITE_DONE) break;
        if (rc != SQLITE_ROW) return StatusFromSqlite(rc);
        Row row;
        row.entry.id = static_cast<uint32_t>(use->ColumnInt(0));
        row.entry.noteClass = static_cast<uint16_t>(use->ColumnInt(1));
        row.entry.created = use->ColumnInt(2);
        row.entry.modified = use->ColumnInt(3);
        const std::span<const uint8_t> summary = use->ColumnBlob(4);
        row.offset = summaries.size();
        row.size = summary.size();
        summaries.insert(summaries.end(), summary.begin(), summary.end());
        rows.push_back(row);
      }
    }
    for (Row& row : rows) {
      row.entry.summary = {summaries.data() + row.offset, row.size};
      const Status s = visit(row.entry);
      if (!s.ok()) return s;
    }
    if (rows.size() < static_cast<size_t>(kScanBatch)) return Status();
    after = rows.back().entry.id;
  }
}

Status NsfDatabase::ForEachStub(int64_t sinceCentis, const StubVisitor& visit) {
  // Read first, visit after: no snapshot is held while the visitor works.
  std::vector<StubEntry> stubs;
  {
    Statement stmt;
    const Status s = stmt.Prepare(db_,
                                  "SELECT id, class, deleted FROM stubs"
                                  " WHERE deleted >= ?1 ORDER BY id");
    if (!s.ok()) return s;
    stmt.BindInt(1, sinceCentis);
    while (true) {
      const int rc = stmt.Step();
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) return StatusFromSqlite(rc);
      StubEntry entry;
      entry.id = static_cast<uint32_t>(stmt.ColumnInt(0));
      entry.noteClass = static_cast<uint16_t>(stmt.ColumnInt(1));
      entry.deleted = stmt.ColumnInt(2);
      stubs.push_back(entry);
    }
  }
  for (const StubEntry& entry : stubs) {
    const Status s = visit(entry);
    if (!s.ok()) return s;
  }
  return Status();
}

Status NsfDatabase::ForEachStoredNote(
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

Status NsfDatabase::GetMetaBlob(const char* key, std::vector<uint8_t>* value) {
  StatementUse use(getMeta_);
  use->BindText(1, key);
  const int rc = use->Step();
  if (rc == SQLITE_DONE) return err::kItemNotFound;
  if (rc != SQLITE_ROW) return StatusFromSqlite(rc);
  const std::span<const uint8_t> blob = use->ColumnBlob(0);
  value->assign(blob.begin(), blob.end());
  return Status();
}

Status NsfDatabase::PutMetaBlob(const char* key,
                                std::span<const uint8_t> value) {
  StatementUse use(putMeta_);
  use->BindText(1, key);
  use->BindBlob(2, value);
  return StatusFromSqlite(use->Step());
}

Status NsfDatabase::PutMetaInt(const char* key, int64_t value) {
  StatementUse use(putMeta_);
  use->BindText(1, key);
  use->BindInt(2, value);
  return StatusFromSqlite(use->Step());
}

Status NsfDatabase::GetInfo(DbInfo* info) {
  std::vector<uint8_t> blob;
  const Status s = GetMetaBlob(kMetaInfo, &blob);
  if (s.Is(err::kItemNotFound)) return err::kCorruptDatabase;
  if (!s.ok()) return s;
  info->fill('\0');
  std::copy_n(blob.begin(), std::min(blob.size(), info->size() - 1),
              info->begin());
  return Status();
}

Status NsfDatabase::SetInfo(const DbInfo& info, int64_t nowCentis) {
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

Status NsfDatabase::SyncIconTitle(const DbInfo& info, int64_t nowCentis) {
  uint32_t iconId = 0;
  Status s = ResolveNoteId(kIconNoteId, &iconId);
  // A database copied without its icon note gets one at creation; until
  // then there is nothing to keep in step.
  if (s.Is(err::kInvalidNote)) return Status();
  if (!s.ok()) return s;
  NoteRecord icon;
  s = ReadNoteUnlocked(iconId, &icon);
  if (!s.ok()) return s;
  const std::string_view title = DbInfoField(info, kDbInfoFieldTitle);
  const Item* current = icon.items.Find(kTitleItem);
  if (current != nullptr && current->type == kTypeText &&
      std::string_view(reinterpret_cast<const char*>(current->value.data()),
                       current->value.size()) == title) {
    return Status();
  }
  icon.items.Replace(
      Item{kTitleItem, kTypeText, kItemFlagSummary, item::EncodeText(title)});
  return WriteNoteInTransaction(&icon, nowCentis);
}

Status NsfDatabase::EnsureIconNote(int64_t nowCentis) {
  uint32_t iconId = 0;
  Status s = ResolveNoteId(kIconNoteId, &iconId);
  if (s.ok() || !s.Is(err::kInvalidNote)) return s;
  DbInfo info{};
  s = GetInfo(&info);
  if (!s.ok()) return s;
  NoteRecord icon;
  icon.unid = NewUnid();
  icon.noteClass = kNoteClassIcon;
  icon.created = nowCentis;
  icon.items.Append(Item{kTitleItem, kTypeText, kItemFlagSummary,
                         item::EncodeText(DbInfoField(info, 0))});
  return WriteNote(&icon, nowCentis);
}

Status NsfDatabase::GetSpace(uint64_t* usedBytes, uint64_t* freeBytes) {
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

Status NsfDatabase::GetDbClass(uint16_t* dbClass) {
  StatementUse use(getMeta_);
  use->BindText(1, kMetaClass);
  const int rc = use->Step();
  if (rc == SQLITE_DONE) return err::kCorruptDatabase;
  if (rc != SQLITE_ROW) return StatusFromSqlite(rc);
  *dbClass = static_cast<uint16_t>(use->ColumnInt(0));
  return Status();
}

Status NsfDatabase::CopySettingsTo(NsfDatabase& to, int64_t nowCentis) {
  if (&to == this) return Status();
  std::vector<uint8_t> settings;
  Status s = GetMetaBlob(kMetaSettings, &settings);
  if (s.Is(err::kItemNotFound)) s = Status();
  if (!s.ok()) return s;
  std::vector<StoredNote> acl;
  s = ForEachStoredNote(kNoteClassAcl, [&](const StoredNote& note) {
    acl.push_back(note);
    return Status();
  });
  if (!s.ok()) return s;

  WriteTransaction txn(to.begin_, to.commit_, to.rollback_);
  s = to.BeginWrite(txn);
  if (s.ok()) s = to.PutMetaBlob(kMetaSettings, settings);
  // The destination's own ACL notes give way to the source's; a note of the
  // same universal ID is replaced in place, the others are deleted.
  std::vector<uint32_t> theirs;
  if (s.ok()) {
    s = to.ForEachStoredNote(kNoteClassAcl, [&](const StoredNote& note) {
      const bool kept =
          std::any_of(acl.begin(), acl.end(), [&](const StoredNote& mine) {
            return mine.info.unid == note.info.unid;
          });
      if (!kept) theirs.push_back(note.info.id);
      return Status();
    });
  }
  for (const uint32_t id : theirs) {
    if (!s.ok()) break;
    s = to.DeleteNoteInTransaction(id, nowCentis);
  }
  for (const StoredNote& note : acl) {
    if (!s.ok()) break;
    uint32_t id = 0;
    s = to.PutStoredNoteInTransaction(note, nowCentis, &id);
  }
  if (s.ok()) s = txn.Commit();
  return s;
}

Status NsfDatabase::CopyContentInto(NsfDatabase& fresh, uint16_t classMask) {
  DbInfo info{};
  Status s = GetInfo(&info);
  if (!s.ok()) return s;
  std::vector<uint8_t> settings;
  s = GetMetaBlob(kMetaSettings, &settings);
  if (s.Is(err::kItemNotFound)) s = Status();
  if (!s.ok()) return s;

  WriteTransaction txn(fresh.begin_, fresh.commit_, fresh.rollback_);
  s = txn.Begin();
  const auto* bytes = reinterpret_cast<const uint8_t*>(info.data());
  if (s.ok()) s = fresh.PutMetaBlob(kMetaInfo, {bytes, info.size()});
  if (s.ok()) s = fresh.PutMetaBlob(kMetaSettings, settings);
  if (s.ok()) {
    s = ForEachStoredNote(classMask, [&](const StoredNote& note) {
      Status w = fresh.InsertNote(note.info, note.summary, note.other);
      if (w.ok()) w = fresh.RaiseNextNoteId(note.info.id + kNoteIdStep);
      return w;
    });
  }
  if (s.ok()) s = txn.Commit();
  return s;
}

}  // namespace vt::store
