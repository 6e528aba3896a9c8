// The task's turn-taking with the server: whether it must end (SIGTERM,
// SIGINT, SIGQUIT, SIGUSR2, or the console command "quit"), whether the log
// must be reopened (SIGHUP, SIGUSR1: it was rotated), a brief idle pause that
// wakes early for a console command, and the per-interval timers. Signals
// arrive through a signalfd with those signals blocked, so no handler and no
// global state is involved; the runtime should be made before any thread is
// started, as threads inherit the blocked set.
#pragma once

#include <poll.h>
#include <signal.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <span>

#include "server/console/RuntimeFiles.h"

namespace vt::console {

class TaskRuntime {
 public:
  // Milliseconds of a clock that never goes back.
  using MonotonicMillis = std::function<int64_t()>;
  // Waits until one of fds is readable or timeoutMillis have passed, as
  // poll() does; tests replace it to script the turns without sleeping.
  using Wait = std::function<void(std::span<pollfd> fds, int timeoutMillis)>;

  static constexpr int kIdleMillis = 100;

  // Empty functions mean CLOCK_MONOTONIC and poll().
  explicit TaskRuntime(MonotonicMillis clock = {}, Wait wait = {});
  TaskRuntime(const TaskRuntime&) = delete;
  TaskRuntime& operator=(const TaskRuntime&) = delete;
  // Puts the signal mask back as it was. A signal that came in but was
  // never asked about is taken first, so it does not kill a process that is
  // already on its way out.
  ~TaskRuntime();

  // False when the signals could not be routed to a descriptor; the task
  // still runs, but only RequestTermination can end it.
  bool watchesSignals() const { return static_cast<bool>(signals_); }

  // True when the task must end. Otherwise pauses up to kIdleMillis,
  // waking at once for a signal or when the extra descriptor is readable.
  bool IdlePoll();
  // The same answer without pausing.
  bool ShouldTerminate();
  // What the console command "quit" does.
  void RequestTermination() { terminate_ = true; }
  // The signal that ended the task, 0 when none did.
  int terminationSignal() const { return signal_; }
  // True once for any number of SIGHUP and SIGUSR1 since the last true.
  bool TakeLogReopenRequest();

  // Also watched by IdlePoll (the console queue's NotifyFd); -1 for none.
  void SetWakeFd(int fd) { wakeFd_ = fd; }

  // True once that many seconds have passed since it last returned true
  // for the same number; a number first asked about counts from the
  // runtime's start.
  bool SecondsElapsed(uint32_t seconds);

 private:
  // Takes pending signals from the descriptor without waiting.
  void TakeSignals();

  MonotonicMillis clock_;
  Wait wait_;
  int64_t startMillis_ = 0;
  sigset_t previousMask_;
  bool maskChanged_ = false;
  UniqueFd signals_;
  int wakeFd_ = -1;
  std::atomic<bool> terminate_ = false;
  int signal_ = 0;
  bool reopenLog_ = false;
  std::map<uint32_t, int64_t> lastElapsed_;
};

}  // namespace vt::console
