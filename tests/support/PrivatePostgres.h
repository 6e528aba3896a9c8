// A private PostgreSQL cluster for tests: made by initdb in a temporary
// folder, listening only on a Unix socket in that folder (no TCP port), and
// run as a user that is not root, as PostgreSQL demands (as root, the
// package's "postgres" user). The system's clusters are never touched. The
// cluster trusts every local connection: it is reachable only through the
// folder, which only its owner and root may enter. A watchdog process
// stops the cluster and removes its folder when the test process ends, a
// test process killed included.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace vt::testing {

class PrivatePostgres {
 public:
  PrivatePostgres() = default;
  PrivatePostgres(const PrivatePostgres&) = delete;
  PrivatePostgres& operator=(const PrivatePostgres&) = delete;
  ~PrivatePostgres();

  // Before Start: the server runs in that network namespace (another
  // machine, as far as the network goes) and listens on TCP at those
  // addresses (a comma-separated list) as well, trusting every client of
  // 10.0.0.0/8.
  void ListenIn(std::string netns, std::string addresses) {
    netns_ = std::move(netns);
    addresses_ = std::move(addresses);
  }

  // Makes the cluster and starts it; false with the reason in problem.
  bool Start(std::string* problem);
  // pg_ctl stop: mode "fast" (a clean shut-down) or "immediate" (as a
  // crash: no checkpoint, recovery at the next start).
  bool Stop(std::string_view mode = "fast");
  bool Restart();
  bool running() const { return running_; }

  // A libpq URI for a database of the cluster.
  std::string Uri(std::string_view database) const;
  // Creates a database (and drops one of that name first).
  bool CreateDatabase(std::string_view database);
  // Drops the store's tables in it, for the next test's store to make.
  bool EmptyDatabase(std::string_view database);
  // Runs SQL with psql in a database: true when it succeeded, with what it
  // printed (unaligned, tuples only) in output.
  bool Run(std::string_view database, std::string_view sql,
           std::string* output) const;
  // The same, for the output alone: empty on failure.
  std::string Sql(std::string_view database, std::string_view sql) const {
    std::string output;
    return Run(database, sql, &output) ? output : std::string();
  }

  const std::filesystem::path& folder() const { return folder_; }

 private:
  // A command line run as the cluster's user; its exit status.
  int RunAsOwner(const std::string& command) const;
  bool StartWatchdog();

  std::filesystem::path folder_;
  std::filesystem::path bin_;
  std::string owner_;  // empty: this process's own user
  std::string netns_;
  std::string addresses_;
  bool running_ = false;
  int lifeline_ = -1;  // the write end of the watchdog's standard input
  int watchdog_ = 0;
};

// One cluster per test process, started when first asked for and stopped
// when the process ends; null (with the reason) when it cannot start.
PrivatePostgres* SharedPostgres(std::string* problem);

}  // namespace vt::testing
