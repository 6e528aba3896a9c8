// Holding every move, pinning every database, letting them go, then copying.
#include "maintenance/Backup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "base/PosixFiles.h"
#include "base/UniqueFd.h"
#include "maintenance/MovesHeld.h"
#include "notes/HandleOwners.h"

namespace vt::tool {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

mode_t ModeOf(const fs::path& path, mode_t otherwise) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : otherwise;
}

}  // namespace

Outcome MakeCopyFolder(const fs::path& dest, const fs::path& like, bool* made) {
  *made = false;
  const mode_t mode = ModeOf(like, 0700);
  std::error_code ec;
  if (fs::exists(dest, ec)) {
    if (!fs::is_directory(dest, ec) || !fs::is_empty(dest, ec)) {
      return Outcome::Failure(dest.string() +
                              " exists and is not an empty folder");
    }
    // Mail must not become readable where it is copied to.
    if (::chmod(dest.c_str(), mode) != 0) {
      return Outcome::Failure("cannot make " + dest.string() +
                              " private: " + std::strerror(errno));
    }
    return Outcome();
  }
  const fs::path parent = dest.parent_path();
  if (!parent.empty() && !fs::exists(parent, ec)) {
    fs::create_directories(parent, ec);
  }
  if (::mkdir(dest.c_str(), mode) != 0 || ::chmod(dest.c_str(), mode) != 0) {
    return Outcome::Failure("cannot make the folder " + dest.string() + ": " +
                            std::strerror(errno));
  }
  *made = true;
  return Outcome();
}

Outcome MakeCopyFolders(const fs::path& root, const fs::path& path,
                        const fs::path& dest) {
  fs::path relative;
  for (const fs::path& part : path.parent_path()) {
    relative /= part;
    const fs::path folder = dest / relative;
    if (::mkdir(folder.c_str(), 0700) == 0) {
      if (::chmod(folder.c_str(), ModeOf(root / relative, 0700)) != 0) {
        return Outcome::Failure("cannot make " + folder.string() +
                                " private: " + std::strerror(errno));
      }
    } else if (errno != EEXIST) {
      return Outcome::Failure("cannot make the folder " + folder.string() +
                              ": " + std::strerror(errno));
    }
  }
  return Outcome();
}

Outcome CopyFileDurably(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  if (!fs::copy_file(from, to, ec)) {
    return Outcome::Failure("cannot copy " + from.string() + " to " +
                            to.string() + ": " + ec.message());
  }
  if (::chmod(to.c_str(), ModeOf(from, 0600)) != 0) {
    return Outcome::Failure("cannot make " + to.string() + " private");
  }
  const UniqueFd fd(::open(to.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd || ::fsync(fd.get()) != 0) {
    return Outcome::Failure("cannot sync " + to.string());
  }
  return Outcome();
}

namespace {

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
  const fs::path root = server.dataDirectory().root();
  bool made = false;
  Outcome outcome = MakeCopyFolder(dest, root, &made);
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
    const Outcome folders = MakeCopyFolders(root, p.path, dest);
    const Status s = folders.ok() ? p.snapshot->CopyTo(target) : Status();
    // Let go at once: a pinned snapshot keeps the write-ahead log from being
    // checkpointed past it.
    p.snapshot.reset();
    p.db.reset();
    if (!folders.ok() || !s.ok()) {
      report->failed.push_back(
          p.path + ": " +
          (folders.ok() ? StatusMessage(s) : folders.message()));
      continue;
    }
    if (::chmod(target.c_str(), ModeOf(root / p.path, 0600)) != 0) {
      report->failed.push_back(p.path + ": cannot make the copy private");
      continue;
    }
    std::error_code ec;
    report->bytes += fs::file_size(target, ec);
    ++report->databases;
  }
  outcome =
      CopyFileDurably(server.dataDirectory().IniFile(), dest / "server.ini");
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
