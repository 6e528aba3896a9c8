// A private PostgreSQL cluster for tests; see PrivatePostgres.h.
#include "support/PrivatePostgres.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <system_error>

namespace vt::testing {

namespace fs = std::filesystem;

namespace {

// The newest server binaries Debian's packages installed.
fs::path ServerBinaries() {
  fs::path best;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
    const fs::path bin = entry.path() / "bin";
    if (fs::exists(bin / "initdb", ec) && (best.empty() || bin > best)) {
      best = bin;
    }
  }
  return best;
}

std::string Quote(std::string_view text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted.append("'\\''");
    } else {
      quoted.push_back(c);
    }
  }
  quoted.push_back('\'');
  return quoted;
}

}  // namespace

PrivatePostgres::~PrivatePostgres() {
  if (running_) Stop("immediate");
  if (watchdog_ > 0) {
    ::close(lifeline_);
    ::waitpid(watchdog_, nullptr, 0);
  }
  std::error_code ec;
  if (!folder_.empty()) fs::remove_all(folder_, ec);
}

bool PrivatePostgres::StartWatchdog() {
  // The watchdog reads its standard input, a pipe only this process
  // writes, until the end: when this process is gone, however it ended,
  // the cluster is stopped and its folder removed. Its own session, so
  // that what kills this process's group spares it.
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  std::string stop = Quote((bin_ / "pg_ctl").string()) + " -D " +
                     Quote((folder_ / "data").string()) +
                     " -m immediate -w -t 60 stop";
  if (!owner_.empty()) stop = "runuser -u " + owner_ + " -- " + stop;
  const std::string script = "cat >/dev/null; " + stop +
                             " >/dev/null 2>&1; rm -rf " +
                             Quote(folder_.string());
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(ends[0]);
    ::close(ends[1]);
    return false;
  }
  if (pid == 0) {
    ::setsid();
    ::dup2(ends[0], 0);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    // Nothing of the test process stays open in the watchdog (kernels
    // before 5.9 lack close_range).
    if (::close_range(3, ~0U, 0) != 0) {
      const long limit = std::min(::sysconf(_SC_OPEN_MAX), 65536L);
      for (int fd = 3; fd < limit; ++fd) ::close(fd);
    }
    ::execl("/bin/sh", "sh", "-c", script.c_str(), nullptr);
    ::_exit(127);
  }
  ::close(ends[0]);
  lifeline_ = ends[1];
  watchdog_ = pid;
  return true;
}

int PrivatePostgres::RunAsOwner(const std::string& command) const {
  std::string line =
      owner_.empty() ? command
                     : "runuser -u " + owner_ + " -- sh -c " + Quote(command);
  if (!netns_.empty()) line = "ip netns exec " + netns_ + " " + line;
  const int status = std::system(line.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool PrivatePostgres::Start(std::string* problem) {
  bin_ = ServerBinaries();
  if (bin_.empty()) {
    *problem = "PostgreSQL's server is not installed (scripts/setup)";
    return false;
  }
  // Short: the socket's path must fit in 107 bytes.
  std::string pattern = "/tmp/vtpg-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    *problem = "mkdtemp failed";
    return false;
  }
  folder_ = pattern;
  if (::geteuid() == 0) {
    const passwd* user = ::getpwnam("postgres");
    if (user == nullptr) {
      *problem = "running as root, and there is no user postgres";
      return false;
    }
    owner_ = "postgres";
    if (::chown(folder_.c_str(), user->pw_uid, user->pw_gid) != 0) {
      *problem = "cannot give " + folder_.string() + " to postgres";
      return false;
    }
  }
  const std::string data = (folder_ / "data").string();
  if (RunAsOwner(Quote((bin_ / "initdb").string()) + " -D " + Quote(data) +
                 " -U vtrouter --auth=trust -N -E UTF8 --locale=C >" +
                 Quote((folder_ / "initdb.log").string()) + " 2>&1") != 0) {
    *problem = "initdb failed: see " + (folder_ / "initdb.log").string();
    return false;
  }
  if (!addresses_.empty()) {
    std::FILE* hba = std::fopen((folder_ / "data/pg_hba.conf").c_str(), "a");
    if (hba == nullptr) {
      *problem = "cannot add to pg_hba.conf";
      return false;
    }
    std::fputs("host all all 10.0.0.0/8 trust\n", hba);
    std::fclose(hba);
  }
  if (!StartWatchdog()) {
    *problem = "cannot start the cluster's watchdog";
    return false;
  }
  if (!Restart()) {
    *problem = "the private cluster did not start: see " +
               (folder_ / "server.log").string();
    return false;
  }
  return true;
}

bool PrivatePostgres::Restart() {
  // fsync is off: a test's crash is a process's, which the kernel's cache
  // survives; a power cut is no test's business here.
  const std::string options = "-k " + folder_.string() +
                              " -c listen_addresses=" + addresses_ +
                              " -c fsync=off -c max_connections=60";
  running_ =
      RunAsOwner(Quote((bin_ / "pg_ctl").string()) + " -D " +
                 Quote((folder_ / "data").string()) + " -l " +
                 Quote((folder_ / "server.log").string()) + " -w -t 60 -o " +
                 Quote(options) + " start >/dev/null 2>&1") == 0;
  return running_;
}

bool PrivatePostgres::Stop(std::string_view mode) {
  const bool stopped =
      RunAsOwner(Quote((bin_ / "pg_ctl").string()) + " -D " +
                 Quote((folder_ / "data").string()) + " -m " +
                 std::string(mode) + " -w -t 60 stop >/dev/null 2>&1") == 0;
  if (stopped) running_ = false;
  return stopped;
}

std::string PrivatePostgres::Uri(std::string_view database) const {
  return "postgresql:///" + std::string(database) +
         "?host=" + folder_.string() + "&user=vtrouter";
}

bool PrivatePostgres::Run(std::string_view database, std::string_view sql,
                          std::string* output) const {
  output->clear();
  const std::string command = "psql -X -q -A -t -v ON_ERROR_STOP=1 " +
                              Quote(Uri(database)) + " -c " + Quote(sql) +
                              " 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"),
                                             ::pclose);
  if (!pipe) return false;
  std::array<char, 4096> buffer{};
  size_t n = 0;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0) {
    output->append(buffer.data(), n);
  }
  const int status = ::pclose(pipe.release());
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool PrivatePostgres::CreateDatabase(std::string_view database) {
  const std::string name(database);
  std::string output;
  return Run("postgres",
             "DROP DATABASE IF EXISTS \"" + name + "\" WITH (FORCE)",
             &output) &&
         Run("postgres", "CREATE DATABASE \"" + name + "\"", &output);
}

bool PrivatePostgres::EmptyDatabase(std::string_view database) {
  std::string output;
  return Run(database,
             "DROP TABLE IF EXISTS vt_stubs, vt_notes, vt_databases, vt_meta",
             &output);
}

PrivatePostgres* SharedPostgres(std::string* problem) {
  static std::string reason;
  static std::unique_ptr<PrivatePostgres> shared = [] {
    auto cluster = std::make_unique<PrivatePostgres>();
    if (!cluster->Start(&reason)) cluster.reset();
    return cluster;
  }();
  if (!shared) *problem = reason;
  return shared.get();
}

}  // namespace vt::testing
