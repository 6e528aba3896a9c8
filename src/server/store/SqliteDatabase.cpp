// Opening and making a database: the schema, the connection's settings, the
// layout upgrade, the checks of a file before it is trusted, and the
// identity that keeps another file's leftovers out.
#include "server/store/SqliteDatabase.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <system_error>

#include "notes/FixedText.h"
#include "server/store/DatabaseFiles.h"
#include "server/store/FileIdentity.h"
#include "server/store/SqliteLayout.h"
#include "server/store/Unid.h"

namespace vt::store {

namespace fs = std::filesystem;

SqliteDatabase::SqliteDatabase(fs::path file) : file_(std::move(file)) {}

SqliteDatabase::~SqliteDatabase() = default;

Status NsfDatabase::Open(const fs::path& file,
                         std::unique_ptr<NsfDatabase>* out,
                         std::vector<fs::path>* setAside,
                         const OpenOptions& options) {
  std::error_code ec;
  const fs::file_status st = fs::status(file, ec);
  if (!fs::exists(st)) {
    const bool missing = !ec || ec == std::errc::no_such_file_or_directory ||
                         ec == std::errc::not_a_directory;
    return missing ? Status(err::kFileNotFound) : Status(err::kDiskError);
  }
  if (!fs::is_regular_file(st)) return err::kCorruptDatabase;
  const auto checkFile = [&file, &options] {
    return CheckFileHeader(file, kApplicationId, options.duringHeaderCheck);
  };
  Status s = checkFile();
  if (!s.ok()) return s;
  if (options.readOnly && ::access(file.parent_path().c_str(), W_OK) != 0) {
    return SqliteDatabase::OpenAsItLies(file, out, options);
  }

  // What lies beside the file is judged, and SQLite opens its log, with no
  // other opener of ours in between.
  WalOwner owner;
  s = owner.Lock(file);
  if (!s.ok()) return s;
  PosixFileNames posix;
  FileNames& names = options.names != nullptr ? *options.names : posix;
  std::unique_ptr<SqliteDatabase> db;
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
      s = SetAsideLeftovers(file, setAside, names);
      // Without a log to hold them, missing pages now show.
      if (s.ok() && setAside->size() != moved) s = checkFile();
      if (!s.ok()) return s;
    }
    if (identity && identity != recorded) {
      s = owner.Record(*identity);
      if (!s.ok()) return s;
    }
    std::unique_ptr<SqliteDatabase> opened(new SqliteDatabase(file));
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
  if (s.ok()) s = db->FinishOpen(options);
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

Status SqliteDatabase::OpenAsItLies(const fs::path& file,
                                    std::unique_ptr<NsfDatabase>* out,
                                    const OpenOptions& options) {
  // Only read-only media are sure to hold still: there the file is read
  // without any log; anywhere else (another user's folder) another process
  // may be writing, and SQLite reads its log as usual.
  struct statvfs media {};
  const bool still = ::statvfs(file.parent_path().c_str(), &media) == 0 &&
                     (media.f_flag & ST_RDONLY) != 0;
  struct stat st {};
  fs::path log = file;
  log += "-wal";
  if (still && ::stat(log.c_str(), &st) == 0 && st.st_size > 0) {
    return err::kReadOnly;
  }
  if (::stat(file.c_str(), &st) != 0) {
    return errno == ENOENT ? Status(err::kFileNotFound)
                           : Status(err::kDiskError);
  }
  std::unique_ptr<SqliteDatabase> db(new SqliteDatabase(file));
  Status s = still ? db->db_.OpenWithoutLog(file) : db->db_.OpenReadOnly(file);
  if (!s.ok()) return s;
  db->RememberFile(st);
  sqlite3_busy_timeout(db->db_.get(), 10000);
  sqlite3_db_config(db->db_.get(), SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  s = db->db_.Exec("PRAGMA trusted_schema=OFF; PRAGMA cell_size_check=ON;");
  OpenOptions reading = options;
  reading.upgrade = false;
  if (s.ok()) s = db->FinishOpen(reading);
  if (!s.ok()) return s;
  *out = std::move(db);
  return Status();
}

Status SqliteDatabase::FinishOpen(const OpenOptions& options) {
  Status s;
  if (options.quickCheck) {
    std::string problem;
    s = CheckIntegrity(/*quick=*/true, &problem);
    if (s.ok() && !problem.empty()) s = err::kCorruptDatabase;
  }
  if (s.ok()) s = UpgradeLayout(options.upgrade);
  if (s.ok()) s = PrepareStatements();
  if (s.ok()) s = CheckStructure();
  return s;
}

Status NsfDatabase::Create(const fs::path& file, uint16_t dbClass,
                           int64_t nowCentis, const Filler& fill,
                           FileNames& names) {
  std::error_code ec;
  if (fs::exists(fs::symlink_status(file, ec))) return err::kFileExists;
  Status s = MakeFolders(file.parent_path(), names);
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
    FileNames& names;
    bool keep = false;
    ~TempFile() {
      if (!keep) RemoveFileAndJournal(path, names);
    }
  } tempFile{temp, names};

  {
    std::unique_ptr<SqliteDatabase> db(new SqliteDatabase(temp));
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
  s = LinkIntoPlace(temp, file, names);
  if (!s.ok()) return s;
  tempFile.keep = true;
  RemoveFileAndJournal(temp, names);  // the temporary name's leftovers only
  return names.SyncFolder(file.parent_path());
}

Status SqliteDatabase::Configure() {
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

void SqliteDatabase::RememberFile(const struct stat& st) {
  fileKnown_ = true;
  fileDevice_ = st.st_dev;
  fileInode_ = st.st_ino;
}

Status SqliteDatabase::CheckInPlace() const {
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

bool SqliteDatabase::IdentityKey(uint64_t* key) const {
  if (!fileKnown_) return false;
  // Device and inode tell apart the files open at one time; they fit eight
  // bytes as long as the inode needs at most 40 bits and the device 23,
  // which local file systems keep to. The top bit stays clear: keys of
  // databases kept elsewhere have it set.
  const uint64_t value = (static_cast<uint64_t>(fileDevice_) << 40) ^
                         static_cast<uint64_t>(fileInode_);
  *key = value & ~(uint64_t{1} << 63);
  return true;
}

Status SqliteDatabase::BeginWrite(WriteTransaction& txn, bool durable) {
  // Switched only when it changes: a run of deletions (a mail box emptied
  // into the scan boxes) switches once.
  // SQLite opens a file it may not write read-only, and only the first
  // write into it fails, saying "read-only". A file of another user (a
  // restore run as root) is a matter of permission, not of a read-only disk.
  if (sqlite3_db_readonly(db_.get(), "main") == 1) {
    const bool denied = ::access(file_.c_str(), W_OK) != 0 &&
                        (errno == EACCES || errno == EPERM);
    return denied ? err::kPermissionDenied : err::kReadOnly;
  }
  Status s = db_.SetDurableCommits(durable);
  if (s.ok()) s = txn.Begin();
  if (s.ok()) s = CheckInPlace();
  return s;  // a transaction begun is rolled back when txn goes
}

namespace {

// Whether the file has the tables of that layout: an older layout's tables
// differ from today's only in the columns that each step adds. Anything
// else is a file we do not know (kCorruptDatabase).
Status CheckOlderLayout(SqliteConnection& db, int64_t layout) {
  int64_t stubColumns = 0;
  Status s = db.QueryInt(
      "SELECT count(*) FROM pragma_table_info('stubs') WHERE name IN"
      " ('id', 'unid', 'class', 'deleted', 'sequence', 'changed')",
      &stubColumns);
  int64_t noteColumns = 0;
  if (s.ok()) {
    s = db.QueryInt(
        "SELECT count(*) FROM pragma_table_info('notes') WHERE name IN"
        " ('id', 'unid', 'class', 'created', 'modified', 'sequence',"
        " 'summary', 'changed', 'added')",
        &noteColumns);
  }
  if (!s.ok()) return s;
  const bool known = (layout == 1 && stubColumns == 4 && noteColumns == 7) ||
                     (layout == 2 && stubColumns == 5 && noteColumns == 7) ||
                     (layout == 3 && stubColumns == 6 && noteColumns == 8);
  return known ? Status() : Status(err::kCorruptDatabase);
}

}  // namespace

Status SqliteDatabase::UpgradeLayout(bool upgrade) {
  int64_t value = 0;
  Status s = db_.QueryInt("PRAGMA application_id", &value);
  if (!s.ok() || value != kApplicationId) return s;  // refused later
  s = db_.QueryInt("PRAGMA user_version", &value);
  if (s.ok() && value > kSchemaVersion) return err::kNewerFormat;
  if (!s.ok() || value < 1 || value == kSchemaVersion) return s;
  // An older file, unless it is no file of that layout at all.
  if (!upgrade) {
    s = CheckOlderLayout(db_, value);
    return s.ok() ? Status(err::kOlderFormat) : s;
  }
  // Once, under the write lock: another process may be doing the same, so
  // the version is read again inside the transaction.
  s = db_.Exec("BEGIN IMMEDIATE");
  if (!s.ok()) return s;
  s = db_.QueryInt("PRAGMA user_version", &value);
  if (s.ok() && value >= 1 && value < kSchemaVersion) {
    s = CheckOlderLayout(db_, value);
    for (; s.ok() && value < kSchemaVersion; ++value) {
      s = db_.Exec(kLayoutSteps[value + 1]);
    }
    if (s.ok()) {
      s = db_.Exec(
          ("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
    }
  }
  if (s.ok()) s = db_.Exec("COMMIT");
  if (!s.ok()) db_.Exec("ROLLBACK").IgnoreError();
  return s;
}

Status SqliteDatabase::PrepareStatements() {
  const std::string nextChange = std::string("(") + kLastChangeSql + ") + 1";
  const std::string insertNote =
      "INSERT INTO notes(id, unid, class, created, modified, sequence,"
      " summary, added, changed) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, " +
      nextChange + ")";
  const std::string updateNote =
      "UPDATE notes SET class = ?2, created = ?3, modified = ?4,"
      " sequence = ?5, summary = ?6, changed = " +
      nextChange + " WHERE id = ?1";
  const std::string highestId =
      std::string(
          "SELECT max(ifnull((SELECT max(id) FROM notes), 0),"
          " ifnull((SELECT max(id) FROM stubs), 0)),"
          " (SELECT value FROM meta WHERE key = '") +
      kMetaNextId + "')";
  const std::string insertStub =
      "INSERT OR REPLACE INTO stubs(id, unid, class, deleted, sequence,"
      " changed) VALUES(?1, ?2, ?3, ?4, ?5, " +
      nextChange + ")";
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
      {&highestId_, highestId.c_str()},
      {&insertNote_, insertNote.c_str()},
      {&updateNote_, updateNote.c_str()},
      {&putBody_, "INSERT OR REPLACE INTO bodies(id, items) VALUES(?1, ?2)"},
      {&deleteBody_, "DELETE FROM bodies WHERE id = ?1"},
      {&deleteNote_, "DELETE FROM notes WHERE id = ?1"},
      {&insertStub_, insertStub.c_str()},
      {&stubSequence_,
       "SELECT ifnull(max(sequence), 0) FROM stubs WHERE unid = ?1"},
      // The note of a universal ID and its deletion stubs: one statement,
      // so one read of the file, and no sorting (which would build a
      // temporary table every time).
      {&lookUpUnid_,
       "SELECT id, sequence, 0 FROM notes WHERE unid = ?1"
       " UNION ALL SELECT id, sequence, 1 FROM stubs WHERE unid = ?1"},
      {&scan_, kScanSql},
      {&lastChange_, kLastChangeSql},
      {&changed_, kChangedSql},
      {&noteOf_,
       "SELECT id, class, created, modified, summary, unid, sequence,"
       " added, changed FROM notes WHERE id = ?1"},
  };
  for (const auto& entry : all) {
    const Status s = entry.stmt->Prepare(db_, entry.sql);
    if (!s.ok()) return s;
  }
  return Status();
}

Status SqliteDatabase::CheckStructure() {
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

}  // namespace vt::store
