// Holding every move, pinning every database, letting them go, then copying.
#include "maintenance/Backup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>

#include "base/PosixFiles.h"
#include "base/UniqueFd.h"
#include "maintenance/MovesHeld.h"
#include "notes/HandleOwners.h"

namespace vt::tool {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

// made: whether it was made here.
Outcome PrepareFolder(const fs::path& dest, bool* made) {
  *made = false;
  std::error_code ec;
  if (fs::exists(dest, ec)) {
    if (!fs::is_directory(dest, ec) || !fs::is_empty(dest, ec)) {
      return Outcome::Failure(dest.string() +
                              " exists and is not an empty folder");
    }
    return Outcome();
  }
  if (!fs::create_directories(dest, ec)) {
    return Outcome::Failure("cannot make " + dest.string() + ": " +
                            ec.message());
  }
  *made = true;
  return Outcome();
}

// A plain copy, durable on return.
Outcome CopyPlainFile(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  if (!fs::copy_file(from, to, ec)) {
    return Outcome::Failure("cannot copy " + from.string() + ": " +
                            ec.message());
  }
  const UniqueFd fd(::open(to.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd || ::fsync(fd.get()) != 0) {
    return Outcome::Failure("cannot sync " + to.string());
  }
  return Outcome();
}

// A database held open and pinned until its copy is taken; the snapshot
// goes first.
struct Pinned {
  std::string path;
  std::unique_ptr<Database> db;
  std::unique_ptr<ServerAdmin::Snapshot> snapshot;
};

}  // namespace

Outcome BackupDataDirectory(LocalNotesServices& server, const fs::path& dest,
                            BackupReport* report) {
  const auto begun = SteadyClock::now();
  bool made = false;
  Outcome outcome = PrepareFolder(dest, &made);
  if (!outcome.ok()) return outcome;

  std::vector<Pinned> pinned;
  {
    MovesHeld held(server);
    outcome = held.Hold();
    report->lockWaitMillis = held.lockWaitMillis();
    report->routerAlive = held.router().routerAlive();
    report->pauseWaitMillis = held.router().waitMillis();
    if (!outcome.ok()) {
      std::error_code ec;
      if (made) fs::remove(dest, ec);
      return Outcome::Failure(outcome.message() + "; nothing copied");
    }
    for (const std::string& path : server.dataDirectory().DatabaseFiles()) {
      auto db = std::make_unique<Database>(server);
      std::unique_ptr<ServerAdmin::Snapshot> snapshot;
      Status s = db->Open(path);
      if (s.ok()) s = server.PinDatabase(db->handle(), &snapshot);
      if (!s.ok()) {
        report->failed.push_back(path + ": " + StatusMessage(s));
        continue;
      }
      pinned.push_back({path, std::move(db), std::move(snapshot)});
    }
    held.Let();
    report->routerPaused = held.router().pauseSent();
    report->routerWasPaused = held.router().alreadyPaused();
    report->pausedMillis = held.router().pausedMillis();
  }

  for (Pinned& p : pinned) {
    const fs::path target = dest / p.path;
    const Status s = p.snapshot->CopyTo(target);
    // Let go at once: a pinned snapshot keeps the write-ahead log from being
    // checkpointed past it.
    p.snapshot.reset();
    p.db.reset();
    if (!s.ok()) {
      report->failed.push_back(p.path + ": " + StatusMessage(s));
      continue;
    }
    std::error_code ec;
    report->bytes += fs::file_size(target, ec);
    ++report->databases;
  }
  outcome =
      CopyPlainFile(server.dataDirectory().IniFile(), dest / "server.ini");
  if (outcome.ok() && !SyncFolder(dest).ok()) {
    outcome = Outcome::Failure("cannot sync " + dest.string());
  }
  report->seconds =
      std::chrono::duration<double>(SteadyClock::now() - begun).count();
  if (!outcome.ok()) return outcome;
  if (!report->failed.empty()) {
    return Outcome::Failure(std::to_string(report->failed.size()) +
                            " databases not copied");
  }
  return Outcome();
}

}  // namespace vt::tool
