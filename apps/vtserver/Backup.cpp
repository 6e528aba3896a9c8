// Pausing the router, pinning every database, resuming, then copying.
#include "Backup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "Handles.h"
#include "base/PosixFiles.h"
#include "base/UniqueFd.h"
#include "host/TaskMain.h"
#include "server/console/ConsoleQueue.h"
#include "server/console/StatusLines.h"

namespace vt::tool {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

constexpr auto kPauseWait = std::chrono::seconds(30);
constexpr char kPausedText[] = "Paused";
// A timed pause: should this process die before it resumes the router, the
// router resumes by itself.
constexpr char kPauseCommand[] = "pause30";
constexpr char kResumeCommand[] = "resume";

// Pauses a running router for as long as it lives, unless it was paused
// already (then it stays as the administrator left it).
class RouterPause {
 public:
  explicit RouterPause(const LocalNotesServices& server) : server_(server) {}
  RouterPause(const RouterPause&) = delete;
  RouterPause& operator=(const RouterPause&) = delete;
  ~RouterPause() { Resume(); }

  Outcome Pause() {
    const RouterState state = ReadRouterState(server_);
    if (!state.running || state.text == kPausedText) return Outcome();
    const fs::path& root = server_.dataDirectory().root();
    started_ = SteadyClock::now();
    const Status s =
        console::ConsoleQueue::Post(root, kQueueName, kPauseCommand);
    // Ended meanwhile: nothing moves.
    if (s.Is(err::kQueueNotFound)) return Outcome();
    if (!s.ok()) return StatusFailure("cannot pause the router", s);
    paused_ = true;
    // The status text changes between passes, never during one.
    while (SteadyClock::now() - started_ < kPauseWait) {
      const RouterState now = ReadRouterState(server_);
      if (!now.running || now.text == kPausedText) return Outcome();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return Outcome::Failure(
        "the router did not pause within 30 s; nothing copied");
  }

  void Resume() {
    if (!paused_) return;
    paused_ = false;
    millis_ = std::chrono::duration_cast<std::chrono::milliseconds>(
                  SteadyClock::now() - started_)
                  .count();
    console::ConsoleQueue::Post(server_.dataDirectory().root(), kQueueName,
                                kResumeCommand)
        .IgnoreError();
  }

  bool paused() const { return millis_ >= 0 || paused_; }
  int64_t millis() const { return millis_ < 0 ? 0 : millis_; }

 private:
  const LocalNotesServices& server_;
  SteadyClock::time_point started_;
  bool paused_ = false;
  int64_t millis_ = -1;
};

Outcome PrepareFolder(const fs::path& dest) {
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

struct Pinned {
  std::string path;
  std::unique_ptr<Database> db;
};

}  // namespace

RouterState ReadRouterState(const LocalNotesServices& server) {
  RouterState state;
  for (const console::StatusLineInfo& line :
       console::StatusLines::ReadAll(server.dataDirectory().root())) {
    if (line.name == kStatusLineName && line.running) {
      state.running = true;
      state.text = line.text;
    }
  }
  return state;
}

Outcome BackupDataDirectory(LocalNotesServices& server, const fs::path& dest,
                            BackupReport* report) {
  const auto begun = SteadyClock::now();
  Outcome outcome = PrepareFolder(dest);
  if (!outcome.ok()) return outcome;

  std::vector<Pinned> pinned;
  {
    RouterPause pause(server);
    outcome = pause.Pause();
    if (!outcome.ok()) return outcome;
    for (const std::string& path : server.dataDirectory().DatabaseFiles()) {
      auto db = std::make_unique<Database>(server);
      Status s = db->Open(path);
      store::NsfDatabase* database =
          s.ok() ? server.Database(db->handle()) : nullptr;
      if (s.ok() && database == nullptr) s = err::kInvalidHandle;
      if (s.ok()) s = database->Pin();
      if (!s.ok()) {
        report->failed.push_back(path + ": " + StatusMessage(s));
        continue;
      }
      pinned.push_back({path, std::move(db)});
    }
    pause.Resume();
    report->routerPaused = pause.paused();
    report->pausedMillis = pause.millis();
  }

  for (Pinned& p : pinned) {
    store::NsfDatabase* database = server.Database(p.db->handle());
    const fs::path target = dest / p.path;
    const Status s = database->CopyTo(target, server.fileNames());
    database->Unpin();
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
