// Telling a live router by its single-instance guard, and pausing it through
// its console queue once it listens.
#include "maintenance/RouterPause.h"

#include <string>
#include <thread>

#include "databases/InstanceName.h"
#include "databases/RouterItems.h"
#include "notes/FixedText.h"
#include "stats/Stats.h"
#include "system/ScopedNamedMutex.h"
#include "system/posix/PosixSystemServices.h"

namespace vt::tool {
namespace {

constexpr auto kPauseWait = std::chrono::seconds(30);
constexpr auto kPoll = std::chrono::milliseconds(10);
// A timed pause: should this process die before it resumes the router, the
// router resumes by itself.
constexpr char kPauseCommand[] = "pause30";
constexpr char kResumeCommand[] = "resume";

int64_t MillisSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

bool RouterAlive(const LocalNotesServices& server) {
  // A live status line is a router too, whatever lock folder this process
  // was given.
  if (ReadRouterStatus(server).state != RouterState::kStopped) {
    return true;
  }
  const std::string& serverName = server.serverIni().serverName();
  // Without a server name no router can take its guard, nor run.
  if (serverName.empty()) return false;
  FixedText<260> name;
  InstanceMutexName(serverName.c_str(), name.span());
  PosixSystemServices system;
  // Asked of the kernel's lock table: taking the name, even for an instant,
  // would make a router that starts at that instant end as "already
  // running".
  if (const std::optional<bool> held = system.IsNamedMutexHeld(name.c_str())) {
    return *held;
  }
  const ScopedNamedMutex guard(system, name.c_str(), false);
  return guard.valid() && guard.alreadyExisted();
}

Outcome RouterPause::Pause() {
  const auto begun = SteadyClock::now();
  Outcome outcome;
  for (;;) {
    if (!RouterAlive(server_)) break;  // none, or it ended: nothing moves
    alive_ = true;
    // The status text changes between passes, never during one.
    const RouterStatus status = ReadRouterStatus(server_);
    if (status.state == RouterState::kPaused) {
      alreadyPaused_ = !paused_;
      if (paused_) pausedAt_ = SteadyClock::now();
      break;
    }
    if (!paused_) {
      // Until the router listens (it opens its queue last in its start),
      // the command would reach nobody.
      const Status s = server_.PostConsoleCommand(kQueueName, kPauseCommand);
      if (s.ok()) {
        paused_ = true;
        sent_ = true;
      } else if (!s.Is(err::kQueueNotFound)) {
        outcome = StatusFailure("cannot pause the router", s);
        break;
      }
    }
    if (SteadyClock::now() - begun >= kPauseWait) {
      outcome = Outcome::Failure(
          paused_ ? "the router did not pause within 30 s"
                  : "the router runs but cannot be paused (it has been "
                    "starting for 30 s, or its console queue cannot be "
                    "reached)");
      break;
    }
    std::this_thread::sleep_for(kPoll);
  }
  waitMillis_ = MillisSince(begun);
  return outcome;
}

void RouterPause::Resume() {
  if (!paused_) return;
  paused_ = false;
  if (pausedAt_) pausedMillis_ = MillisSince(*pausedAt_);
  server_.PostConsoleCommand(kQueueName, kResumeCommand).IgnoreError();
}

}  // namespace vt::tool
