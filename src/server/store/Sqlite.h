// Thin RAII owners for SQLite connections and statements, and the one place
// where SQLite result codes become platform statuses.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>

#include "notes/Status.h"

namespace vt::store {

// The platform status for a SQLite result code (0 for SQLITE_OK, SQLITE_ROW
// and SQLITE_DONE).
Status StatusFromSqlite(int rc);

class SqliteConnection {
 public:
  SqliteConnection() = default;
  SqliteConnection(const SqliteConnection&) = delete;
  SqliteConnection& operator=(const SqliteConnection&) = delete;
  ~SqliteConnection();

  // Opens an existing file, or creates one when create is set. No close of
  // the connection ever removes the write-ahead log or shared memory: SQLite
  // removes them by path, and another file may take the path between its
  // check that the file is still in place and the removal.
  Status Open(const std::filesystem::path& file, bool create);
  // Opens the main file alone, read-only, ignoring any write-ahead log or
  // shared memory beside it (SQLite's immutable=1). Only for reading what
  // is never rewritten once the file is in place.
  Status OpenWithoutLog(const std::filesystem::path& file);
  // Opens an existing file read-only, its write-ahead log read as usual
  // (through shared memory another process made, when this one may not).
  Status OpenReadOnly(const std::filesystem::path& file);
  void Close();
  // Runs one or more statements that return no rows. Outside a transaction
  // it makes commits durable first (see SetDurableCommits).
  Status Exec(const char* sql);
  // A single integer result (PRAGMA x), or the status of the failure.
  Status QueryInt(const char* sql, int64_t* value);
  // Whether a commit waits for the disk (synchronous=FULL, which the store
  // sets on every database's connection) or not (NORMAL: in WAL mode the
  // next durable commit or checkpoint makes it durable). Issued only when
  // it changes; it cannot change inside a transaction. A caller that
  // relaxes it restores it before its next durable write; Exec does so by
  // itself.
  Status SetDurableCommits(bool durable);

  sqlite3* get() const { return db_; }
  bool isOpen() const { return db_ != nullptr; }

 private:
  Status OpenWith(const char* name, int flags);

  sqlite3* db_ = nullptr;
  bool durable_ = true;
};

class Statement {
 public:
  Statement() = default;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement();

  Status Prepare(const SqliteConnection& db, std::string_view sql);
  bool prepared() const { return stmt_ != nullptr; }
  void Reset();

  void BindInt(int index, int64_t value);
  // The bytes must outlive the step (SQLITE_STATIC): callers bind their own
  // buffers and step at once.
  void BindBlob(int index, std::span<const uint8_t> bytes);
  void BindText(int index, std::string_view text);

  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step();

  int64_t ColumnInt(int index) const;
  // Valid until the next Step or Reset.
  std::span<const uint8_t> ColumnBlob(int index) const;

  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// Resets a statement when a use of it ends, whatever the way out, so that no
// statement keeps a read snapshot open (a stale snapshot would make the next
// BEGIN IMMEDIATE fail with SQLITE_BUSY_SNAPSHOT).
class StatementUse {
 public:
  explicit StatementUse(Statement& stmt) : stmt_(&stmt) {}
  StatementUse(const StatementUse&) = delete;
  StatementUse& operator=(const StatementUse&) = delete;
  ~StatementUse() { stmt_->Reset(); }

  Statement* operator->() const { return stmt_; }
  Statement& get() const { return *stmt_; }

 private:
  Statement* stmt_;
};

// A write transaction taken at once (BEGIN IMMEDIATE), so that two writers
// wait for each other in the busy handler instead of failing on upgrade.
// Rolls back unless committed.
class WriteTransaction {
 public:
  WriteTransaction(Statement& begin, Statement& commit, Statement& rollback)
      : begin_(&begin), commit_(&commit), rollback_(&rollback) {}
  WriteTransaction(const WriteTransaction&) = delete;
  WriteTransaction& operator=(const WriteTransaction&) = delete;
  ~WriteTransaction();

  Status Begin();
  Status Commit();

 private:
  Statement* begin_;
  Statement* commit_;
  Statement* rollback_;
  bool open_ = false;
};

}  // namespace vt::store
