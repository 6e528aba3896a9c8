// The two stores a contract test runs on, one test body for both: database
// files in the data directory, and databases of a server whose [Servers]
// entry names a PostgreSQL database (a fresh one per test, in the process's
// private cluster).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "support/PrivatePostgres.h"
#include "support/TempDataDir.h"

namespace vt::testing {

enum class StoreKind { kFile, kPostgres };

inline constexpr StoreKind kBothStores[] = {StoreKind::kFile,
                                            StoreKind::kPostgres};

// "File" or "Postgres", for the test names.
std::string StoreKindName(const ::testing::TestParamInfo<StoreKind>& info);

class StoreUnderTest {
 public:
  // The server's name in server.ini for the databases on PostgreSQL.
  static constexpr std::string_view kServer = "Store/Example";

  // Writes dir's server.ini (its server name, then extraIni); for
  // kPostgres with a [Servers] entry for a fresh PostgreSQL database. A
  // cluster that cannot start fails the test.
  // uriExtra is added to the PostgreSQL URI's parameters
  // ("options=-c%20lock_timeout%3D1s").
  void Prepare(StoreKind kind, const TempDataDir& dir,
               std::string_view extraIni = {}, std::string_view uriExtra = {});

  StoreKind kind() const { return kind_; }
  // The path of a database on the store: "a.nsf" in the data directory,
  // or "Store/Example!!a.nsf" on PostgreSQL.
  std::string Path(std::string_view name) const;
  // The cluster and database of kPostgres (null for kFile).
  PrivatePostgres* postgres() const { return postgres_; }
  const std::string& database() const { return database_; }

 private:
  StoreKind kind_ = StoreKind::kFile;
  PrivatePostgres* postgres_ = nullptr;
  std::string database_;
};

}  // namespace vt::testing
