// SQLite ownership and result-code translation for the store.
#include "server/store/Sqlite.h"

#include <climits>
#include <string>

#include "base/PosixFiles.h"

namespace vt::store {

Status StatusFromSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return Status();
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return err::kDatabaseBusy;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
      return err::kCorruptDatabase;
    case SQLITE_NOMEM:
      return err::kNoMemory;
    case SQLITE_TOOBIG:
      return err::kItemTooLarge;
    case SQLITE_CONSTRAINT:
    case SQLITE_MISMATCH:
    case SQLITE_RANGE:
      return err::kInvalidArgument;
    case SQLITE_FULL:
      return err::kDiskFull;
    case SQLITE_READONLY:
      return err::kReadOnly;
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return err::kPermissionDenied;
    default:
      return err::kDiskError;
  }
}

SqliteConnection::~SqliteConnection() { Close(); }

Status SqliteConnection::Open(const std::filesystem::path& file, bool create) {
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
  if (create) flags |= SQLITE_OPEN_CREATE;
  return OpenWith(file.c_str(), flags);
}

Status SqliteConnection::OpenReadOnly(const std::filesystem::path& file) {
  return OpenWith(file.c_str(), SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX);
}

Status SqliteConnection::OpenWithoutLog(const std::filesystem::path& file) {
  // A URI, so every byte of the path that could end it or start a
  // parameter is escaped; an absolute path gets an empty authority, so that
  // one starting "//" is not read as a host name.
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string uri = file.is_absolute() ? "file://" : "file:";
  for (const char c : file.native()) {
    const auto byte = static_cast<unsigned char>(c);
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       (c >= '0' && c <= '9') || c == '/' || c == '.' ||
                       c == '_' || c == '-';
    if (plain) {
      uri.push_back(c);
    } else {
      uri.push_back('%');
      uri.push_back(kHex[byte >> 4]);
      uri.push_back(kHex[byte & 0xF]);
    }
  }
  uri.append("?immutable=1");
  return OpenWith(uri.c_str(),
                  SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX);
}

Status SqliteConnection::OpenWith(const char* name, int flags) {
  Close();
  const int rc = sqlite3_open_v2(name, &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    // What the system said ("Permission denied") tells more than SQLite's
    // "unable to open".
    const int error = db_ != nullptr ? sqlite3_system_errno(db_) : 0;
    Close();
    return error != 0 ? FileErrorStatus(error, name) : StatusFromSqlite(rc);
  }
  sqlite3_extended_result_codes(db_, 1);
  // The last connection to close removes the log and shared memory by path
  // once it has seen its file still in place; a file put there in between
  // would lose its own.
  int persist = 1;
  const int fc =
      sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
  if (fc != SQLITE_OK) {
    Close();
    return StatusFromSqlite(fc);
  }
  return Status();
}

void SqliteConnection::Close() {
  if (db_ != nullptr) {
    // close_v2 defers the close until every statement is finalized; owners
    // finalize theirs first, so this closes at once.
    sqlite3_close_v2(db_);
    db_ = nullptr;
  }
  durable_ = true;
}

Status SqliteConnection::Exec(const char* sql) {
  if (db_ == nullptr) return err::kInvalidHandle;
  if (!durable_ && sqlite3_get_autocommit(db_)) {
    const Status s = SetDurableCommits(true);
    if (!s.ok()) return s;
  }
  return StatusFromSqlite(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr));
}

Status SqliteConnection::SetDurableCommits(bool durable) {
  if (db_ == nullptr) return err::kInvalidHandle;
  if (durable == durable_) return Status();
  const Status s = StatusFromSqlite(sqlite3_exec(
      db_, durable ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL",
      nullptr, nullptr, nullptr));
  if (s.ok()) durable_ = durable;
  return s;
}

Status SqliteConnection::QueryInt(const char* sql, int64_t* value) {
  Statement stmt;
  Status s = stmt.Prepare(*this, sql);
  if (!s.ok()) return s;
  const int rc = stmt.Step();
  if (rc == SQLITE_ROW) {
    *value = stmt.ColumnInt(0);
    return Status();
  }
  if (rc == SQLITE_DONE) return err::kCorruptDatabase;
  return StatusFromSqlite(rc);
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

Status Statement::Prepare(const SqliteConnection& db, std::string_view sql) {
  sqlite3_finalize(stmt_);
  stmt_ = nullptr;
  if (db.get() == nullptr) return err::kInvalidHandle;
  if (sql.size() > INT_MAX) return err::kInvalidArgument;
  const int rc =
      sqlite3_prepare_v3(db.get(), sql.data(), static_cast<int>(sql.size()),
                         SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
  // Our statements are fixed text: one that does not prepare met a schema
  // that is not ours.
  if ((rc & 0xFF) == SQLITE_ERROR) return err::kCorruptDatabase;
  return StatusFromSqlite(rc);
}

void Statement::Reset() {
  if (stmt_ == nullptr) return;
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

void Statement::BindInt(int index, int64_t value) {
  sqlite3_bind_int64(stmt_, index, value);
}

void Statement::BindBlob(int index, std::span<const uint8_t> bytes) {
  // A zero-length blob must still be a blob, not NULL.
  static constexpr uint8_t kEmpty = 0;
  const uint8_t* data = bytes.empty() ? &kEmpty : bytes.data();
  sqlite3_bind_blob64(stmt_, index, data, bytes.size(), SQLITE_STATIC);
}

void Statement::BindText(int index, std::string_view text) {
  sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_STATIC,
                      SQLITE_UTF8);
}

int Statement::Step() {
  if (stmt_ == nullptr) return SQLITE_MISUSE;
  return sqlite3_step(stmt_);
}

int64_t Statement::ColumnInt(int index) const {
  return sqlite3_column_int64(stmt_, index);
}

std::span<const uint8_t> Statement::ColumnBlob(int index) const {
  const void* data = sqlite3_column_blob(stmt_, index);
  const int size = sqlite3_column_bytes(stmt_, index);
  if (data == nullptr || size <= 0) return {};
  return {static_cast<const uint8_t*>(data), static_cast<size_t>(size)};
}

WriteTransaction::~WriteTransaction() {
  if (open_) {
    StatementUse use(*rollback_);
    use->Step();
  }
}

Status WriteTransaction::Begin() {
  StatementUse use(*begin_);
  const Status s = StatusFromSqlite(use->Step());
  open_ = s.ok();
  return s;
}

Status WriteTransaction::Commit() {
  StatementUse use(*commit_);
  const int rc = use->Step();
  if (rc == SQLITE_DONE) {
    open_ = false;
    return Status();
  }
  return StatusFromSqlite(rc);
}

}  // namespace vt::store
