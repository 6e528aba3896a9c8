// The databases of one server kept in a PostgreSQL database: one
// connection, shared by every database of that server a process has open,
// and the tables they all live in. Each database there has a name (its path
// on the server, as "vtscan/scan1.nsf") and a row of its own; its notes and
// stubs are rows tagged with it. A database appears whole or not at all: it
// is made in one transaction.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/store/NsfDatabase.h"
#include "server/store/PgConnection.h"

namespace vt::store {

class PgServer : public std::enable_shared_from_this<PgServer> {
 public:
  // label names the server in messages; conninfo is libpq's.
  PgServer(std::string label, std::string conninfo)
      : label_(std::move(label)), connection_(std::move(conninfo)) {}

  const std::string& label() const { return label_; }
  PgConnection& connection() { return connection_; }

  // A database path as a name there: '/' separators, no leading one.
  // kInvalidArgument for an empty path or one with "." or ".." in it.
  static Status NameOf(std::string_view path, std::string* name);

  // kFileNotFound when there is no database of that name.
  Status Open(const std::string& name, std::unique_ptr<NsfDatabase>* out);
  // kFileExists when there is one already.
  Status Create(const std::string& name, uint16_t dbClass, int64_t nowCentis,
                const NsfDatabase::Filler& fill);
  // kFileNotFound when there is none.
  Status Remove(const std::string& name);
  // The names of every database there, sorted.
  Status List(std::vector<std::string>* names);
  // The row that names hold now: 0 when none.
  Status CurrentId(const std::string& name, int64_t* id);

 private:
  // Makes the tables once per connection, when they are missing.
  Status EnsureSchema();

  std::string label_;
  PgConnection connection_;
  int64_t schemaCheckedAt_ = -1;  // the reconnect count it was checked at
};

}  // namespace vt::store
