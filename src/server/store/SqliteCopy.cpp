// Copies of a database taken while others write to it, its compaction and
// its integrity checks. A copy is read inside one read transaction, so it shows
// one moment of the database; in WAL mode that holds no writer up.
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <string>

#include "base/PosixFiles.h"
#include "base/UniqueFd.h"
#include "server/store/DatabaseFiles.h"
#include "server/store/FileIdentity.h"
#include "server/store/SqliteDatabase.h"

namespace vt::store {

namespace fs = std::filesystem;

Status SqliteDatabase::Pin() {
  Status s = db_.Exec("BEGIN");
  int64_t count = 0;
  // A read transaction takes its snapshot at its first read.
  if (s.ok()) s = db_.QueryInt("SELECT count(*) FROM meta", &count);
  if (!s.ok()) Unpin();
  return s;
}

void SqliteDatabase::Unpin() {
  if (!sqlite3_get_autocommit(db_.get())) db_.Exec("ROLLBACK").IgnoreError();
}

Status SqliteDatabase::CopyTo(const fs::path& dest, FileNames& names) {
  std::error_code ec;
  if (fs::exists(fs::symlink_status(dest, ec))) return err::kFileExists;
  Status s = MakeFolders(dest.parent_path(), names);
  if (!s.ok()) return s;
  fs::path temp = dest;
  temp += ".part";
  RemoveFileAndJournal(temp, names);
  {
    SqliteConnection copy;
    s = copy.Open(temp, /*create=*/true);
    if (!s.ok()) return s;
    sqlite3_backup* backup =
        sqlite3_backup_init(copy.get(), "main", db_.get(), "main");
    if (backup == nullptr) {
      s = StatusFromSqlite(sqlite3_errcode(copy.get()));
    } else {
      const int rc = sqlite3_backup_step(backup, -1);
      const int finished = sqlite3_backup_finish(backup);
      s = StatusFromSqlite(rc == SQLITE_DONE ? finished : rc);
    }
    if (s.ok()) s = copy.Exec("BEGIN IMMEDIATE; DELETE FROM fileid;");
    if (s.ok()) s = StoreFileIdentity(copy, NewFileIdentity());
    if (s.ok()) s = copy.Exec("COMMIT; PRAGMA wal_checkpoint(TRUNCATE);");
  }
  if (s.ok()) {
    const UniqueFd fd(::open(temp.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd || ::fsync(fd.get()) != 0) s = FileErrorStatus(errno, temp);
  }
  if (s.ok()) s = LinkIntoPlace(temp, dest, names);
  if (s.ok()) s = names.SyncFolder(dest.parent_path());
  if (!s.ok()) RemoveFileAndJournal(temp, names);
  // The copy's own log and shared memory, empty after the checkpoint.
  for (const char* suffix : {"-wal", "-shm"}) {
    fs::path beside = temp;
    beside += suffix;
    names.Remove(beside);
  }
  return s;
}

Status SqliteDatabase::Compact() {
  // Never into a file that took this one's place.
  Status s = CheckInPlace();
  if (s.ok()) s = db_.Exec("VACUUM");
  if (s.ok()) s = db_.Exec("PRAGMA wal_checkpoint(TRUNCATE)");
  return s;
}

Status SqliteDatabase::CheckIntegrity(bool quick, std::string* problem) {
  problem->clear();
  Statement check;
  Status s = check.Prepare(
      db_, quick ? "PRAGMA quick_check(1)" : "PRAGMA integrity_check(1)");
  if (!s.ok()) return s;
  const int rc = check.Step();
  if (rc != SQLITE_ROW) {
    // Damage bad enough to stop the check is itself the finding.
    *problem = sqlite3_errstr(rc);
    return Status();
  }
  const std::span<const uint8_t> text = check.ColumnBlob(0);
  const std::string result(text.begin(), text.end());
  if (result != "ok") *problem = result;
  return Status();
}

}  // namespace vt::store
