// Signals through signalfd, pauses through poll(), timers on the monotonic
// clock.
#include "server/console/TaskRuntime.h"

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace vt::console {

namespace {

int64_t SteadyMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void PollWait(std::span<pollfd> fds, int timeoutMillis) {
  // An interruption only shortens the pause; the caller asks again anyway.
  ::poll(fds.data(), fds.size(), timeoutMillis);
}

// What a service manager or an administrator sends to end a service: each
// ends the task the orderly way, with its shutdown lines, never the default
// way (at once, or with a core dump).
constexpr int kEndSignals[] = {SIGTERM, SIGINT, SIGQUIT, SIGUSR2};
// What logrotate's postrotate sends, as to most daemons.
constexpr int kReopenSignals[] = {SIGHUP, SIGUSR1};

sigset_t WatchedSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : kEndSignals) sigaddset(&set, signal);
  for (const int signal : kReopenSignals) sigaddset(&set, signal);
  return set;
}

bool IsReopenSignal(int signal) {
  for (const int s : kReopenSignals) {
    if (s == signal) return true;
  }
  return false;
}

}  // namespace

TaskRuntime::TaskRuntime(MonotonicMillis clock, Wait wait)
    : clock_(clock ? std::move(clock) : MonotonicMillis(SteadyMillis)),
      wait_(wait ? std::move(wait) : Wait(PollWait)) {
  startMillis_ = clock_();
  const sigset_t set = WatchedSignals();
  sigemptyset(&previousMask_);
  // Blocked, the signals wait in the descriptor instead of ending the
  // process, and are taken when the task next asks.
  if (::pthread_sigmask(SIG_BLOCK, &set, &previousMask_) == 0) {
    maskChanged_ = true;
    signals_ = UniqueFd(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
  }
}

TaskRuntime::~TaskRuntime() {
  if (signals_) {
    TakeSignals();
    signals_.Reset();
  }
  if (maskChanged_) ::pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

void TaskRuntime::TakeSignals() {
  if (!signals_) return;
  signalfd_siginfo info{};
  for (;;) {
    const ssize_t n = ::read(signals_.get(), &info, sizeof info);
    if (n == static_cast<ssize_t>(sizeof info)) {
      const int signal = static_cast<int>(info.ssi_signo);
      if (IsReopenSignal(signal)) {
        reopenLog_ = true;
        continue;
      }
      if (signal_ == 0) signal_ = signal;
      terminate_ = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return;  // EAGAIN: nothing more pending
  }
}

bool TaskRuntime::TakeLogReopenRequest() {
  TakeSignals();
  const bool reopen = reopenLog_;
  reopenLog_ = false;
  return reopen;
}

bool TaskRuntime::ShouldTerminate() {
  TakeSignals();
  return terminate_;
}

bool TaskRuntime::IdlePoll() {
  if (ShouldTerminate()) return true;
  pollfd fds[2] = {};
  size_t count = 0;
  if (signals_) fds[count++] = pollfd{signals_.get(), POLLIN, 0};
  if (wakeFd_ >= 0) fds[count++] = pollfd{wakeFd_, POLLIN, 0};
  wait_(std::span<pollfd>(fds, count), kIdleMillis);
  return ShouldTerminate();
}

bool TaskRuntime::SecondsElapsed(uint32_t seconds) {
  const int64_t now = clock_();
  const auto it = lastElapsed_.try_emplace(seconds, startMillis_).first;
  if (now - it->second < static_cast<int64_t>(seconds) * 1000) return false;
  it->second = now;
  return true;
}

}  // namespace vt::console
