// One connection to a PostgreSQL database through libpq, as the PostgreSQL
// store uses it: statements with parameters and results in binary form, and
// every fault a network brings turned into a status. A lost connection, a
// server restart, a statement timeout or a failover fails the statement
// under way (kServerNotResponding, or kDatabaseBusy for a lock waited on too
// long); the next statement connects again. Nothing waits past a bounded
// time: connecting, a lock, a statement and a silent peer each have a limit.
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "notes/Status.h"

namespace vt::store {

// The parameters of one statement: 64-bit integers, byte strings and texts,
// $1 onward in the order added.
class PgParams {
 public:
  PgParams& Int(int64_t value);
  PgParams& Bytes(std::span<const uint8_t> value);
  // A byte string that is NULL when empty.
  PgParams& BytesOrNull(std::span<const uint8_t> value);
  PgParams& Text(std::string_view value);
  // An int8[] in PostgreSQL's text form.
  PgParams& IntArray(std::span<const uint32_t> values);

  int size() const { return static_cast<int>(types_.size()); }
  const unsigned* types() const { return types_.data(); }
  const char* const* values() const;
  const int* lengths() const { return lengths_.data(); }
  const int* formats() const { return formats_.data(); }

 private:
  void Add(unsigned type, std::string bytes, int format, bool null = false);

  std::vector<unsigned> types_;
  std::vector<std::string> data_;
  std::vector<bool> null_;
  std::vector<int> lengths_;
  std::vector<int> formats_;
  mutable std::vector<const char*> pointers_;
};

// A statement's rows, read in binary form: int8 columns as integers,
// bytea and text as bytes.
class PgResult {
 public:
  PgResult() = default;
  PgResult(const PgResult&) = delete;
  PgResult& operator=(const PgResult&) = delete;
  ~PgResult() { Reset(nullptr); }

  int rows() const { return result_ != nullptr ? PQntuples(result_) : 0; }
  bool IsNull(int row, int column) const {
    return PQgetisnull(result_, row, column) != 0;
  }
  // An int8, int4 or int2 column.
  int64_t Int(int row, int column) const;
  std::span<const uint8_t> Bytes(int row, int column) const;
  std::string Text(int row, int column) const;

  void Reset(PGresult* result);

 private:
  PGresult* result_ = nullptr;
};

class PgConnection {
 public:
  // conninfo: a libpq connection string or URI; its own settings override
  // the limits set here.
  explicit PgConnection(std::string conninfo);
  PgConnection(const PgConnection&) = delete;
  PgConnection& operator=(const PgConnection&) = delete;
  ~PgConnection();

  const std::string& conninfo() const { return conninfo_; }

  // Runs one statement, connecting first when there is no connection. A
  // failed statement inside a transaction leaves it to be rolled back.
  // Each statement is prepared once per connection and run by name after.
  Status Exec(const char* sql, const PgParams& params, PgResult* result);
  // One or more statements without parameters.
  Status Exec(const char* sql);
  // Transactions; Rollback never fails (a lost connection rolls back by
  // itself).
  Status Begin();
  Status Commit();
  void Rollback();
  bool inTransaction() const { return inTransaction_; }

  // A transaction held open past its last statement: a copy's, kept for
  // the deletion that completes its move, so that the two commit together.
  // Any other statement commits it first, as if it had never been held.
  // The ticket names it.
  uint64_t HoldTransaction();
  // True while the held transaction of ticket is still open: it is the
  // caller's again, to run statements in and to end. False once another
  // statement committed it, or its connection was lost.
  bool Resume(uint64_t ticket);
  // How the transaction of ticket ended when another statement committed
  // it: 0, or the failure that lost it. 0 for a ticket it knows nothing of.
  Status Outcome(uint64_t ticket) const {
    return ticket == settledTicket_ ? settledStatus_ : Status();
  }

  // What the server said last, for messages; empty when all went well.
  const std::string& lastError() const { return lastError_; }
  // How many times the connection was made again after it was lost.
  int64_t reconnects() const { return reconnects_; }

 private:
  Status Connect();
  // Commits a held transaction before any other statement.
  Status EnsureConnected();
  void Settle();
  // The status for a failed statement; drops a connection that is gone.
  Status Failure(const PGresult* result);
  void Drop();

  std::string conninfo_;
  PGconn* conn_ = nullptr;
  bool inTransaction_ = false;
  // The statements prepared on this connection: SQL text to name.
  std::unordered_map<std::string, std::string> prepared_;
  uint64_t held_ = 0;  // the ticket of the transaction held open, or 0
  uint64_t lastTicket_ = 0;
  uint64_t settledTicket_ = 0;
  Status settledStatus_;
  bool everConnected_ = false;
  int64_t reconnects_ = 0;
  std::string lastError_;
};

}  // namespace vt::store
