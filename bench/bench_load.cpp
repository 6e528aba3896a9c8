// The whole flow under load, without faults: the real vtrouter as a child
// process, mail deposited in batches, this process as the scanner. Prints
// messages per second end to end (first deposit to last delivery), the
// longest wait of a message (deposit to arrival in its final database), and
// the router's peak memory (VmHWM) and CPU share over its run.
//
//   bench_load [MESSAGES] [BATCH] [BACKLOG]   (defaults 100000, 1000, 5000)
//
// A batch is deposited whenever fewer than BACKLOG messages are on their
// way; arrivals are noticed by polling, so waits are rounded up to a poll.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "bench/BenchSupport.h"
#include "datadir/DataDirInit.h"
#include "datadir/Databases.h"
#include "server/LocalStoreAccess.h"

extern char** environ;

namespace {

using namespace vt::bench;

constexpr char kMailBox[] = "mail.box";
constexpr const char* kScanBoxes[] = {"Veltrane/Scan/Scan_1.box",
                                      "Veltrane/Scan/Scan_2.box"};
constexpr char kVerdicts[] = "MBCD";
constexpr int kPollMillis = 50;

std::string ReadText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string TextItem(const vt::store::NoteRecord& note, const char* name) {
  const vt::store::Item* item = note.items.Find(name);
  if (item == nullptr || item->type != vt::kTypeText) return {};
  return std::string(item->value.begin(), item->value.end());
}

// The message number of a "bench-N" VTMessageId, -1 for anything else.
int MessageNumber(const std::string& id) {
  if (id.rfind("bench-", 0) != 0) return -1;
  return std::atoi(id.c_str() + 6);
}

// utime + stime of a process in seconds; -1 when it cannot be read.
double CpuSeconds(pid_t pid) {
  const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  unsigned long long utime = 0;
  unsigned long long stime = 0;
  // After the name: state is field 3, utime 14 and stime 15.
  for (int n = 3; n <= 15 && fields >> field; ++n) {
    if (n == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
    if (n == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
  }
  return static_cast<double>(utime + stime) /
         static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A line of /proc/<pid>/status such as "VmHWM:", in kB; -1 when absent.
long StatusKb(pid_t pid, const char* key) {
  std::istringstream in(ReadText("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + strlen(key));
  }
  return -1;
}

class RouterChild {
 public:
  ~RouterChild() { Stop(); }
  bool Start(const std::string& program, const fs::path& dir,
             const fs::path& output) {
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return false;
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::string arg0 = program;
    std::string arg1 = "--data";
    std::string arg2 = dir.string();
    char* argv[] = {arg0.data(), arg1.data(), arg2.data(), nullptr};
    const int rc =
        posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0;
  }
  // SIGTERM and the wait for its end; its exit status.
  int Stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  bool Running() {
    int status = 0;
    return pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == 0;
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

std::string RouterPath() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return (self.parent_path().parent_path() / "apps/vtrouter/vtrouter").string();
}

// The scanner: every new unverified message of the scan boxes gets its
// verdict, one durable transaction per box and round. The router never
// touches an unverified message of a scan box, so none vanishes meanwhile.
class Scanner {
 public:
  explicit Scanner(vt::LocalNotesServices& server) : server_(server) {}
  bool Round(int* given) {
    for (const char* box : kScanBoxes) {
      vt::DbHandle db;
      if (!server_.OpenDatabase(box, &db).ok()) continue;  // not made yet
      vt::store::NsfDatabase* database =
          vt::LocalStoreAccess::Database(server_, db);
      std::vector<uint32_t> fresh;
      std::set<uint32_t>& seen = seen_[box];
      database
          ->ForEachNote(vt::kNoteClassDocument,
                        [&](const vt::store::ScanEntry& e) {
                          if (seen.insert(e.id).second) fresh.push_back(e.id);
                          return vt::Status();
                        })
          .IgnoreError();
      std::vector<vt::store::NoteRecord> batch;
      for (const uint32_t id : fresh) {
        vt::store::NoteRecord note;
        if (!database->ReadNote(id, &note).ok()) continue;
        if (TextItem(note, "VeltraneVerified") == "1") continue;
        const int n = MessageNumber(TextItem(note, "VTMessageId"));
        const std::string verdict(1, kVerdicts[(n < 0 ? 0 : n) % 4]);
        note.items.Replace(vt::store::Item{"VeltraneVerified", vt::kTypeText,
                                           vt::kItemFlagSummary,
                                           vt::item::EncodeText("1")});
        note.items.Replace(vt::store::Item{"Kesto_Router", vt::kTypeText,
                                           vt::kItemFlagSummary,
                                           vt::item::EncodeText(verdict)});
        batch.push_back(std::move(note));
      }
      bool ok = true;
      if (!batch.empty()) {
        ok = Check(database->WriteNotes(batch, server_.clock().NowUnixCentis()),
                   "verdicts");
        if (ok) *given += static_cast<int>(batch.size());
        if (!ok) {
          for (const auto& note : batch) seen.erase(note.id);  // next round
        }
      }
      server_.CloseDatabase(db).IgnoreError();
      if (!ok) return false;
    }
    return true;
  }

 private:
  vt::LocalNotesServices& server_;
  std::map<std::string, std::set<uint32_t>> seen_;
};

// Arrivals in the final databases, by message number.
class Arrivals {
 public:
  Arrivals(vt::LocalNotesServices& server, int messages)
      : server_(server), arrived_(messages, false) {}
  // Records the arrivals since the last call at time now; wrong places and
  // second copies are counted as errors.
  void Poll(SteadyClock::time_point now,
            const std::vector<SteadyClock::time_point>& deposited,
            double* longestWait) {
    for (const std::string& path : Destinations()) {
      vt::DbHandle db;
      if (!server_.OpenDatabase(path.c_str(), &db).ok()) continue;
      vt::store::NsfDatabase* database =
          vt::LocalStoreAccess::Database(server_, db);
      std::vector<uint32_t> fresh;
      std::set<uint32_t>& seen = seen_[path];
      database
          ->ForEachNote(vt::kNoteClassDocument,
                        [&](const vt::store::ScanEntry& e) {
                          if (seen.insert(e.id).second) fresh.push_back(e.id);
                          return vt::Status();
                        })
          .IgnoreError();
      for (const uint32_t id : fresh) {
        vt::store::NoteRecord note;
        if (!database->ReadNote(id, &note).ok()) continue;
        // New mail in mail.box is on its way in, not delivered.
        if (TextItem(note, "VeltraneVerified") != "1") continue;
        const int n = MessageNumber(TextItem(note, "VTMessageId"));
        if (n < 0 || n >= static_cast<int>(arrived_.size())) continue;
        const char verdict = kVerdicts[n % 4];
        const bool right =
            verdict == 'M'
                ? path == kMailBox
                : path.rfind(std::string("Veltrane/Quarantine") + verdict + "_",
                             0) == 0;
        if (!right) ++misplaced_;
        if (arrived_[n]) {
          ++duplicated_;
          continue;
        }
        arrived_[n] = true;
        ++count_;
        last_ = now;
        *longestWait =
            std::max(*longestWait,
                     std::chrono::duration<double>(now - deposited[n]).count());
      }
      server_.CloseDatabase(db).IgnoreError();
    }
  }
  int count() const { return count_; }
  int misplaced() const { return misplaced_; }
  int duplicated() const { return duplicated_; }
  SteadyClock::time_point last() const { return last_; }

 private:
  // mail.box and the quarantines, rolled-over ones included.
  std::vector<std::string> Destinations() {
    if (++listed_ % 20 == 1) {
      destinations_ = {kMailBox};
      for (const std::string& file :
           vt::tool::DatabaseFiles(server_.dataDirectory().root())) {
        if (file.rfind("Veltrane/Quarantine", 0) == 0) {
          destinations_.push_back(file);
        }
      }
    }
    return destinations_;
  }

  vt::LocalNotesServices& server_;
  std::vector<bool> arrived_;
  std::map<std::string, std::set<uint32_t>> seen_;
  std::vector<std::string> destinations_;
  int listed_ = 0;
  int count_ = 0;
  int misplaced_ = 0;
  int duplicated_ = 0;
  SteadyClock::time_point last_;
};

}  // namespace

int main(int argc, char** argv) {
  const int messages = argc > 1 ? std::atoi(argv[1]) : 100000;
  const int batch = argc > 2 ? std::atoi(argv[2]) : 1000;
  const int backlog = argc > 3 ? std::atoi(argv[3]) : 5000;
  if (messages < 1 || batch < 1 || backlog < batch) {
    std::fprintf(stderr,
                 "usage: bench_load [MESSAGES] [BATCH] [BACKLOG >= BATCH]\n");
    return 2;
  }
  ScratchDir scratch;
  const fs::path dir = scratch.path() / "data";
  const vt::tool::Outcome made = vt::tool::InitDataDirectory(
      dir.string(), "CN=Load" + std::to_string(::getpid()) + "/O=Example");
  if (!made.ok()) {
    std::fprintf(stderr, "init failed: %s\n", made.message().c_str());
    return 1;
  }
  vt::LocalNotesServices server(
      vt::LocalNotesServicesOptions{dir, nullptr, false});
  if (!Check(server.Start(), "Start")) return 1;

  const std::string router = RouterPath();
  RouterChild child;
  if (!child.Start(router, dir, scratch.path() / "router.out")) {
    std::fprintf(stderr, "cannot start %s\n", router.c_str());
    return 1;
  }
  const auto routerStart = SteadyClock::now();
  const fs::path log = dir / ".vtserver" / "server.log";
  while (ReadText(log).find(" started") == std::string::npos) {
    if (!child.Running() || Seconds(routerStart) > 30) {
      std::fprintf(stderr, "the router did not start:\n%s\n",
                   ReadText(scratch.path() / "router.out").c_str());
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::printf(
      "router %s (pid %d) started; %d messages, batches of %d, "
      "backlog at most %d\n",
      router.c_str(), static_cast<int>(child.pid()), messages, batch, backlog);
  std::fflush(stdout);

  std::vector<SteadyClock::time_point> deposited(messages);
  Scanner scanner(server);
  Arrivals arrivals(server, messages);
  int sent = 0;
  int given = 0;
  double longestWait = 0;
  SteadyClock::time_point first;
  SteadyClock::time_point lastReport = SteadyClock::now();
  SteadyClock::time_point lastProgress = SteadyClock::now();
  int lastCount = 0;
  while (arrivals.count() < messages) {
    if (!child.Running()) {
      std::fprintf(stderr, "the router ended early:\n%s\n",
                   ReadText(scratch.path() / "router.out").c_str());
      return 1;
    }
    if (sent < messages && sent - arrivals.count() + batch <= backlog) {
      const int count = std::min(batch, messages - sent);
      const auto now = SteadyClock::now();
      const std::string stamp = std::to_string(
          std::chrono::duration_cast<std::chrono::milliseconds>(
              std::chrono::system_clock::now().time_since_epoch())
              .count());
      if (!FillDatabase(
              server, kMailBox, sent, count,
              {{"VeltraneProcess", "1"}, {"BenchDepositedMillis", stamp}})) {
        return 1;
      }
      if (sent == 0) first = now;
      for (int i = sent; i < sent + count; ++i) deposited[i] = now;
      sent += count;
    }
    if (!scanner.Round(&given)) return 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMillis));
    arrivals.Poll(SteadyClock::now(), deposited, &longestWait);
    if (arrivals.count() != lastCount) {
      lastCount = arrivals.count();
      lastProgress = SteadyClock::now();
    } else if (Seconds(lastProgress) > 120) {
      std::fprintf(stderr,
                   "no delivery for 120 s: %d deposited, %d verdicts, %d "
                   "delivered\n",
                   sent, given, arrivals.count());
      return 1;
    }
    if (Seconds(lastReport) >= 10) {
      lastReport = SteadyClock::now();
      std::printf("  %.0f s: %d deposited, %d verdicts, %d delivered\n",
                  Seconds(first), sent, given, arrivals.count());
      std::fflush(stdout);
    }
  }
  const double span =
      std::chrono::duration<double>(arrivals.last() - first).count();
  const double wall = Seconds(routerStart);
  const double cpu = CpuSeconds(child.pid());
  const long hwm = StatusKb(child.pid(), "VmHWM:");
  const int exitStatus = child.Stop();

  std::printf("delivered %d of %d (misplaced %d, duplicated %d) in %.1f s\n",
              arrivals.count(), messages, arrivals.misplaced(),
              arrivals.duplicated(), span);
  std::printf("end to end: %.0f messages/s\n", messages / span);
  std::printf("longest wait: %.1f s\n", longestWait);
  std::printf("router peak memory (VmHWM): %.1f MiB\n", hwm / 1024.0);
  std::printf("router CPU: %.1f s over %.1f s wall (%.0f%% of one core)\n", cpu,
              wall, 100.0 * cpu / wall);
  std::printf("router exit status after SIGTERM: %d\n", exitStatus);
  return arrivals.misplaced() == 0 && arrivals.duplicated() == 0 &&
                 exitStatus == 0
             ? 0
             : 1;
}
