// Pausing the router of a data directory for a moment in which no message
// may move (backup's snapshots, check's repair). A router counts as alive
// from the moment it holds its single-instance guard, long before it listens
// on its console queue: one still starting is waited for, never taken for
// none.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "datadir/Outcome.h"
#include "server/LocalNotesServices.h"

namespace vt::tool {

// Whether a router of this data directory's server name holds its
// single-instance guard now (started, starting, or ending), or has a live
// status line.
bool RouterAlive(const LocalNotesServices& server);

// Pauses the router for as long as it lives (with pause30, so that it
// resumes by itself should this process die), unless it was paused already:
// then it stays as the administrator left it.
class RouterPause {
 public:
  explicit RouterPause(const LocalNotesServices& server) : server_(server) {}
  RouterPause(const RouterPause&) = delete;
  RouterPause& operator=(const RouterPause&) = delete;
  ~RouterPause() { Resume(); }

  // Returns once no router moves anything: none is alive, or it says it is
  // paused. A router still starting is waited for up to 30 s; one that
  // cannot be paused by then is a failure.
  Outcome Pause();
  void Resume();

  // A router was alive: paused by this or already paused.
  bool routerAlive() const { return alive_; }
  bool alreadyPaused() const { return alreadyPaused_; }
  // This sent the pause command.
  bool pauseSent() const { return sent_; }
  // From Pause's call until it returned.
  int64_t waitMillis() const { return waitMillis_; }
  // From the router saying it paused to the resume command: how long mail
  // stood still; 0 when this did not pause it.
  int64_t pausedMillis() const { return pausedMillis_; }

 private:
  using SteadyClock = std::chrono::steady_clock;

  const LocalNotesServices& server_;
  std::optional<SteadyClock::time_point> pausedAt_;
  bool paused_ = false;  // a pause command was sent and not yet undone
  bool sent_ = false;
  bool alive_ = false;
  bool alreadyPaused_ = false;
  int64_t waitMillis_ = 0;
  int64_t pausedMillis_ = 0;
};

}  // namespace vt::tool
