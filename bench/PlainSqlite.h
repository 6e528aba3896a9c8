// The baselines the router's moves are measured against: the same message
// rows copied and deleted with plain SQLite in WAL mode, one transaction per
// copy and one per delete; the copy with synchronous=FULL, the delete with
// FULL too (two durable commits per move) or with NORMAL (one: the delete
// is made durable by the next sync of its log).
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"

namespace vt::bench {

// Plain SQLite: the same rows, one transaction per copy and one per delete.
class PlainDb {
 public:
  PlainDb() = default;
  PlainDb(const PlainDb&) = delete;
  PlainDb& operator=(const PlainDb&) = delete;
  ~PlainDb() {
    for (sqlite3_stmt* s : statements_) sqlite3_finalize(s);
    sqlite3_close(db_);
  }
  bool Open(const fs::path& file) {
    if (sqlite3_open(file.c_str(), &db_) != SQLITE_OK) return false;
    return Exec(
        "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
        "CREATE TABLE msg(id INTEGER PRIMARY KEY, unid BLOB NOT NULL UNIQUE,"
        " created INTEGER, modified INTEGER, summary BLOB, body BLOB);");
  }
  bool Exec(const char* sql) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  sqlite3_stmt* Prepare(const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr);
    statements_.push_back(stmt);
    return stmt;
  }

 private:
  sqlite3* db_ = nullptr;
  std::vector<sqlite3_stmt*> statements_;
};

bool StepDone(sqlite3_stmt* stmt) {
  const int rc = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  return rc == SQLITE_DONE;
}

class PlainSide {
 public:
  bool Setup(const fs::path& dir, int count, bool durableDelete) {
    if (!a_.Open(dir / "plain_a.db") || !b_.Open(dir / "plain_b.db")) {
      return false;
    }
    sqlite3_stmt* fill = a_.Prepare(
        "INSERT INTO msg(id, unid, created, modified, summary, body)"
        " VALUES(?1, ?2, ?3, ?3, ?4, ?5)");
    const std::string summary(160, 's');
    a_.Exec("BEGIN");
    for (int i = 0; i < count; ++i) {
      const std::string body = Body(i);
      uint8_t unid[16] = {};
      std::memcpy(unid, &i, sizeof i);
      sqlite3_bind_int64(fill, 1, (i + 1) * 4);
      sqlite3_bind_blob(fill, 2, unid, sizeof unid, SQLITE_TRANSIENT);
      sqlite3_bind_int64(fill, 3, 170929440000 + i);
      sqlite3_bind_blob(fill, 4, summary.data(),
                        static_cast<int>(summary.size()), SQLITE_TRANSIENT);
      sqlite3_bind_blob(fill, 5, body.data(), static_cast<int>(body.size()),
                        SQLITE_TRANSIENT);
      if (!StepDone(fill)) return false;
    }
    a_.Exec("COMMIT");
    if (!durableDelete && !a_.Exec("PRAGMA synchronous=NORMAL")) return false;
    read_ = a_.Prepare(
        "SELECT unid, created, modified, summary, body FROM msg WHERE id = ?1");
    insert_ = b_.Prepare(
        "INSERT INTO msg(id, unid, created, modified, summary, body)"
        " VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
    remove_ = a_.Prepare("DELETE FROM msg WHERE id = ?1");
    beginA_ = a_.Prepare("BEGIN IMMEDIATE");
    commitA_ = a_.Prepare("COMMIT");
    beginB_ = b_.Prepare("BEGIN IMMEDIATE");
    commitB_ = b_.Prepare("COMMIT");
    return true;
  }

  double Move(int from, int to) {
    const auto start = SteadyClock::now();
    for (int i = from; i < to; ++i) {
      const int64_t id = (i + 1) * 4;
      sqlite3_bind_int64(read_, 1, id);
      if (sqlite3_step(read_) != SQLITE_ROW) return -1;
      if (!StepDone(beginB_)) return -1;
      sqlite3_bind_int64(insert_, 1, id);
      for (int c = 0; c < 5; ++c) {
        if (c == 1 || c == 2) {
          sqlite3_bind_int64(insert_, c + 2, sqlite3_column_int64(read_, c));
        } else {
          sqlite3_bind_blob(insert_, c + 2, sqlite3_column_blob(read_, c),
                            sqlite3_column_bytes(read_, c), SQLITE_STATIC);
        }
      }
      const bool inserted = StepDone(insert_);
      sqlite3_reset(read_);
      if (!inserted || !StepDone(commitB_)) return -1;
      if (!StepDone(beginA_)) return -1;
      sqlite3_bind_int64(remove_, 1, id);
      if (!StepDone(remove_) || !StepDone(commitA_)) return -1;
    }
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
  }

 private:
  PlainDb a_;
  PlainDb b_;
  sqlite3_stmt* read_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* remove_ = nullptr;
  sqlite3_stmt* beginA_ = nullptr;
  sqlite3_stmt* commitA_ = nullptr;
  sqlite3_stmt* beginB_ = nullptr;
  sqlite3_stmt* commitB_ = nullptr;
};

}  // namespace vt::bench
