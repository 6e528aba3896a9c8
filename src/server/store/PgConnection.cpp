// libpq behind the PostgreSQL store; see PgConnection.h.
#include "server/store/PgConnection.h"

#include <cstring>

namespace vt::store {

namespace {

// PostgreSQL's type OIDs for the parameters we send.
constexpr unsigned kByteaOid = 17;
constexpr unsigned kInt8Oid = 20;
constexpr unsigned kTextOid = 25;
constexpr unsigned kInt8ArrayOid = 1016;

// What a failed statement means for the caller, by its SQLSTATE.
Status StatusFromSqlState(std::string_view state) {
  // A lock waited on past lock_timeout, a deadlock or a serialization
  // failure: the database is busy, and trying later succeeds.
  if (state == "55P03" || state == "40P01" || state == "40001") {
    return err::kDatabaseBusy;
  }
  if (state == "53100") return err::kDiskFull;
  if (state == "53200") return err::kNoMemory;
  // A standby that cannot take writes (a failover under way).
  if (state == "25006") return err::kReadOnly;
  if (state == "42501") return err::kPermissionDenied;
  // Connection faults (08), a statement timeout or cancel (57014), an
  // administrator's or a crash's shutdown (57P01 to 57P03), and
  // insufficient resources for a connection (53300).
  if (state.substr(0, 2) == "08" || state.substr(0, 2) == "57" ||
      state == "53300") {
    return err::kServerNotResponding;
  }
  return err::kDiskError;
}

// PostgreSQL's binary integers are big-endian.
uint64_t LoadBigEndian(const uint8_t* p, int size) {
  uint64_t value = 0;
  for (int i = 0; i < size; ++i) value = (value << 8) | p[i];
  return value;
}

}  // namespace

// ---- PgParams ---------------------------------------------------------------

void PgParams::Add(unsigned type, std::string bytes, int format, bool null) {
  types_.push_back(type);
  lengths_.push_back(static_cast<int>(bytes.size()));
  data_.push_back(std::move(bytes));
  null_.push_back(null);
  formats_.push_back(format);
}

PgParams& PgParams::Int(int64_t value) {
  std::string bytes(8, '\0');
  for (int i = 0; i < 8; ++i) {
    bytes[i] = static_cast<char>(static_cast<uint64_t>(value) >> (56 - 8 * i));
  }
  Add(kInt8Oid, std::move(bytes), 1);
  return *this;
}

PgParams& PgParams::Bytes(std::span<const uint8_t> value) {
  Add(kByteaOid, std::string(value.begin(), value.end()), 1);
  return *this;
}

PgParams& PgParams::BytesOrNull(std::span<const uint8_t> value) {
  Add(kByteaOid, std::string(value.begin(), value.end()), 1, value.empty());
  return *this;
}

PgParams& PgParams::Text(std::string_view value) {
  Add(kTextOid, std::string(value), 1);
  return *this;
}

PgParams& PgParams::IntArray(std::span<const uint32_t> values) {
  std::string text = "{";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) text.push_back(',');
    text.append(std::to_string(values[i]));
  }
  text.push_back('}');
  Add(kInt8ArrayOid, std::move(text), 0);
  return *this;
}

const char* const* PgParams::values() const {
  pointers_.clear();
  for (size_t i = 0; i < data_.size(); ++i) {
    pointers_.push_back(null_[i] ? nullptr : data_[i].data());
  }
  return pointers_.data();
}

// ---- PgResult ---------------------------------------------------------------

void PgResult::Reset(PGresult* result) {
  if (result_ != nullptr) PQclear(result_);
  result_ = result;
}

int64_t PgResult::Int(int row, int column) const {
  if (IsNull(row, column)) return 0;
  const auto* bytes =
      reinterpret_cast<const uint8_t*>(PQgetvalue(result_, row, column));
  switch (PQgetlength(result_, row, column)) {
    case 8:
      return static_cast<int64_t>(LoadBigEndian(bytes, 8));
    case 4:
      return static_cast<int32_t>(LoadBigEndian(bytes, 4));
    case 2:
      return static_cast<int16_t>(LoadBigEndian(bytes, 2));
    default:
      return 0;
  }
}

std::span<const uint8_t> PgResult::Bytes(int row, int column) const {
  if (IsNull(row, column)) return {};
  return {reinterpret_cast<const uint8_t*>(PQgetvalue(result_, row, column)),
          static_cast<size_t>(PQgetlength(result_, row, column))};
}

std::string PgResult::Text(int row, int column) const {
  const std::span<const uint8_t> bytes = Bytes(row, column);
  return std::string(bytes.begin(), bytes.end());
}

// ---- PgConnection -----------------------------------------------------------

PgConnection::PgConnection(std::string conninfo)
    : conninfo_(std::move(conninfo)) {}

PgConnection::~PgConnection() { Drop(); }

void PgConnection::Drop() {
  if (held_ != 0) {
    settledTicket_ = held_;
    settledStatus_ = err::kServerNotResponding;
    held_ = 0;
  }
  if (conn_ != nullptr) PQfinish(conn_);
  conn_ = nullptr;
  prepared_.clear();
  inTransaction_ = false;
}

Status PgConnection::Connect() {
  // Our limits first: what the connection string says overrides them.
  // keepalives and tcp_user_timeout find a peer gone silent over TCP (a
  // link down); they do not apply to a Unix socket. A lock waits as long
  // as SQLite's busy timeout; no statement of ours runs long, and a
  // transaction left idle (a process stopped in a debugger) does not hold
  // its locks for ever.
  const char* keys[] = {"connect_timeout",  "keepalives",
                        "keepalives_idle",  "keepalives_interval",
                        "keepalives_count", "tcp_user_timeout",
                        "application_name", "options",
                        "dbname",           nullptr};
  const char* values[] = {"5",
                          "1",
                          "5",
                          "2",
                          "3",
                          "10000",
                          "vtrouter",
                          "-c lock_timeout=10s -c statement_timeout=30s"
                          " -c idle_in_transaction_session_timeout=60s"
                          " -c synchronous_commit=on",
                          conninfo_.c_str(),
                          nullptr};
  conn_ = PQconnectdbParams(keys, values, /*expand_dbname=*/1);
  if (conn_ == nullptr) return err::kNoMemory;
  if (PQstatus(conn_) != CONNECTION_OK) {
    lastError_ = PQerrorMessage(conn_);
    Drop();
    // A refused password or a missing database or role is no passing
    // fault: the entry in [Servers] or PostgreSQL's set-up needs mending.
    if (lastError_.find("authentication") != std::string::npos ||
        lastError_.find("permission denied") != std::string::npos) {
      return err::kPermissionDenied;
    }
    if (lastError_.find("does not exist") != std::string::npos) {
      return err::kServerNotFound;
    }
    return err::kServerNotResponding;
  }
  // The server's notices ("terminating connection due to ...") come with
  // the error each call returns; libpq would print them on standard error
  // too, outside the server log.
  PQsetNoticeProcessor(
      conn_, [](void*, const char*) {}, nullptr);
  if (everConnected_) ++reconnects_;
  everConnected_ = true;
  return Status();
}

Status PgConnection::Failure(const PGresult* result) {
  const char* state = result != nullptr
                          ? PQresultErrorField(result, PG_DIAG_SQLSTATE)
                          : nullptr;
  lastError_ = conn_ != nullptr ? PQerrorMessage(conn_) : "";
  // No SQLSTATE: libpq's own failure, which is the connection's (a server
  // gone says "server closed the connection unexpectedly" before libpq
  // marks the connection bad).
  if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK ||
      state == nullptr) {
    Drop();
    return err::kServerNotResponding;
  }
  const Status s = StatusFromSqlState(state);
  if (s.Is(err::kServerNotResponding)) Drop();
  return s;
}

uint64_t PgConnection::HoldTransaction() {
  held_ = ++lastTicket_;
  return held_;
}

bool PgConnection::Resume(uint64_t ticket) {
  if (ticket == 0 || held_ != ticket) return false;
  held_ = 0;
  if (conn_ != nullptr && inTransaction_) return true;
  // Lost with its connection.
  settledTicket_ = ticket;
  settledStatus_ = err::kServerNotResponding;
  return false;
}

void PgConnection::Settle() {
  const uint64_t ticket = held_;
  held_ = 0;
  settledTicket_ = ticket;
  settledStatus_ = inTransaction_ && conn_ != nullptr
                       ? Commit()
                       : Status(err::kServerNotResponding);
}

Status PgConnection::EnsureConnected() {
  if (held_ != 0) Settle();
  if (conn_ != nullptr) return Status();
  // A transaction cannot outlive its connection: what it did is gone.
  if (inTransaction_) return err::kServerNotResponding;
  return Connect();
}

Status PgConnection::Exec(const char* sql) {
  Status s = EnsureConnected();
  if (!s.ok()) return s;
  PGresult* raw = PQexec(conn_, sql);
  const ExecStatusType status = PQresultStatus(raw);
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
    lastError_.clear();
  } else {
    s = Failure(raw);
  }
  PQclear(raw);
  return s;
}

Status PgConnection::Exec(const char* sql, const PgParams& params,
                          PgResult* result) {
  result->Reset(nullptr);
  const Status connected = EnsureConnected();
  if (!connected.ok()) return connected;
  auto it = prepared_.find(sql);
  if (it == prepared_.end()) {
    const std::string name = "vt" + std::to_string(prepared_.size() + 1);
    PGresult* made =
        PQprepare(conn_, name.c_str(), sql, params.size(), params.types());
    if (PQresultStatus(made) != PGRES_COMMAND_OK) {
      const Status s = Failure(made);
      PQclear(made);
      return s;
    }
    PQclear(made);
    it = prepared_.emplace(sql, name).first;
  }
  PGresult* raw =
      PQexecPrepared(conn_, it->second.c_str(), params.size(), params.values(),
                     params.lengths(), params.formats(), /*resultFormat=*/1);
  const ExecStatusType status = PQresultStatus(raw);
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
    lastError_.clear();
    result->Reset(raw);
    return Status();
  }
  const Status s = Failure(raw);
  PQclear(raw);
  return s;
}

Status PgConnection::Begin() {
  const Status s = Exec("BEGIN");
  inTransaction_ = s.ok();
  return s;
}

Status PgConnection::Commit() {
  // A commit whose answer was lost may or may not have happened: the
  // caller treats it as failed, and the store's rules make a repeat safe.
  const Status s = Exec("COMMIT");
  inTransaction_ = false;
  return s;
}

void PgConnection::Rollback() {
  if (conn_ != nullptr && inTransaction_) {
    PGresult* result = PQexec(conn_, "ROLLBACK");
    PQclear(result);
    if (PQstatus(conn_) != CONNECTION_OK) Drop();
  }
  inTransaction_ = false;
}

}  // namespace vt::store
