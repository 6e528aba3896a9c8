// Database identities: drawn, checked, stored and read (see FileIdentity.h).
#include "server/store/FileIdentity.h"

#include <algorithm>

#include "server/store/Unid.h"

namespace vt::store {

namespace {

// FNV-1a over the identity: enough to tell a whole value from a torn one.
uint64_t Check(std::span<const uint8_t> bytes) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (const uint8_t b : bytes) {
    hash ^= b;
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

// kItemNotFound when the file has no identity table (made before
// identities); kCorruptDatabase when the table holds anything but one
// valid identity.
Status ReadFileIdentity(SqliteConnection& db, FileIdentity* id) {
  int64_t tables = 0;
  Status s = db.QueryInt(
      "SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND"
      " name = 'fileid'",
      &tables);
  if (!s.ok()) return s;
  if (tables == 0) return err::kItemNotFound;
  Statement stmt;
  s = stmt.Prepare(db, "SELECT value FROM fileid LIMIT 2");
  if (!s.ok()) return s;
  int rc = stmt.Step();
  if (rc != SQLITE_ROW) {
    return rc == SQLITE_DONE ? Status(err::kCorruptDatabase)
                             : StatusFromSqlite(rc);
  }
  const std::optional<FileIdentity> decoded =
      DecodeFileIdentity(stmt.ColumnBlob(0));
  rc = stmt.Step();
  if (!decoded || rc != SQLITE_DONE) {
    return rc == SQLITE_ROW || rc == SQLITE_DONE ? Status(err::kCorruptDatabase)
                                                 : StatusFromSqlite(rc);
  }
  *id = *decoded;
  return Status();
}

}  // namespace

FileIdentity NewFileIdentity() {
  FileIdentity id = NewUnid();
  if (id == kNoDatabase) id[0] = 1;
  return id;
}

std::array<uint8_t, kEncodedIdentitySize> EncodeFileIdentity(
    const FileIdentity& id) {
  std::array<uint8_t, kEncodedIdentitySize> bytes{};
  std::copy(id.begin(), id.end(), bytes.begin());
  const uint64_t check = Check(id);
  for (size_t i = 0; i < 8; ++i) {
    bytes[id.size() + i] = static_cast<uint8_t>(check >> (8 * i));
  }
  return bytes;
}

std::optional<FileIdentity> DecodeFileIdentity(std::span<const uint8_t> bytes) {
  FileIdentity id{};
  if (bytes.size() != kEncodedIdentitySize) return std::nullopt;
  std::copy_n(bytes.begin(), id.size(), id.begin());
  uint64_t check = 0;
  for (size_t i = 0; i < 8; ++i) {
    check |= static_cast<uint64_t>(bytes[id.size() + i]) << (8 * i);
  }
  if (check != Check(id)) return std::nullopt;
  return id;
}

std::optional<FileIdentity> ReadIdentityWithoutLog(
    const std::filesystem::path& file) {
  SqliteConnection db;
  if (!db.OpenWithoutLog(file).ok()) return std::nullopt;
  // The file may be anyone's: its schema is not trusted.
  sqlite3_db_config(db.get(), SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  if (!db.Exec("PRAGMA trusted_schema=OFF;PRAGMA cell_size_check=ON;").ok()) {
    return std::nullopt;
  }
  FileIdentity id{};
  if (!ReadFileIdentity(db, &id).ok()) return std::nullopt;
  return id;
}

Status StoreFileIdentity(SqliteConnection& db, const FileIdentity& id) {
  Statement stmt;
  Status s = stmt.Prepare(db, "INSERT INTO fileid(value) VALUES(?1)");
  if (!s.ok()) return s;
  const std::array<uint8_t, kEncodedIdentitySize> bytes =
      EncodeFileIdentity(id);
  stmt.BindBlob(1, bytes);
  return StatusFromSqlite(stmt.Step());
}

Status EnsureFileIdentity(SqliteConnection& db, FileIdentity* id) {
  Status s = ReadFileIdentity(db, id);
  if (!s.Is(err::kItemNotFound)) return s;
  s = db.Exec("BEGIN IMMEDIATE");
  if (!s.ok()) return s;
  // Again under the write lock: another process may have been first.
  s = ReadFileIdentity(db, id);
  if (s.Is(err::kItemNotFound)) {
    *id = NewFileIdentity();
    s = db.Exec(kFileIdentitySchema);
    if (s.ok()) s = StoreFileIdentity(db, *id);
  }
  if (s.ok()) s = db.Exec("COMMIT");
  if (!s.ok()) {
    db.Exec("ROLLBACK").IgnoreError();  // the failure is what counts
    return s;
  }
  // A reader in another process may hold the checkpoint back; the identity
  // then reaches the main file with a later one.
  int64_t busy = 0;
  db.QueryInt("PRAGMA wal_checkpoint(PASSIVE)", &busy).IgnoreError();
  return Status();
}

}  // namespace vt::store
