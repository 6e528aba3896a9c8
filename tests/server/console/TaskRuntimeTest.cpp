// When a task is told to end, how it pauses, and its interval timers, with
// the clock and the pauses scripted so nothing here sleeps.
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <vector>

#include "server/console/TaskRuntime.h"

namespace vt::console {
namespace {

// A clock the test moves by hand, and a pause that records what it was
// asked to wait for and moves the clock on instead of sleeping.
struct Script {
  int64_t now = 1'000'000;
  std::vector<std::vector<int>> waitedFds;
  std::vector<int> timeouts;
  std::function<void()> duringWait;

  TaskRuntime::MonotonicMillis Clock() {
    return [this] { return now; };
  }
  TaskRuntime::Wait Wait() {
    return [this](std::span<pollfd> fds, int timeoutMillis) {
      std::vector<int> watched;
      for (const pollfd& p : fds) watched.push_back(p.fd);
      waitedFds.push_back(watched);
      timeouts.push_back(timeoutMillis);
      if (duringWait) duringWait();
      now += timeoutMillis;
    };
  }
};

bool Blocked(int signal) {
  sigset_t mask;
  sigemptyset(&mask);
  ::pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return sigismember(&mask, signal) == 1;
}

TEST(TaskEnding, NothingPendingMeansCarryOn) {
  Script script;
  TaskRuntime runtime(script.Clock(), script.Wait());
  EXPECT_FALSE(runtime.IdlePoll());
  EXPECT_FALSE(runtime.ShouldTerminate());
  EXPECT_EQ(runtime.terminationSignal(), 0);
}

TEST(TaskEnding, IdlePollEndsAfterSigterm) {
  Script script;
  TaskRuntime runtime(script.Clock(), script.Wait());
  ASSERT_TRUE(runtime.watchesSignals());
  ASSERT_EQ(::raise(SIGTERM), 0);
  EXPECT_TRUE(runtime.IdlePoll());
  EXPECT_EQ(runtime.terminationSignal(), SIGTERM);
  // The answer stays: the task may ask again on its way out.
  EXPECT_TRUE(runtime.ShouldTerminate());
  EXPECT_TRUE(runtime.IdlePoll());
}

TEST(TaskEnding, ShouldTerminateNoticesSigintWithoutWaiting) {
  Script script;
  TaskRuntime runtime(script.Clock(), script.Wait());
  ASSERT_EQ(::raise(SIGINT), 0);
  EXPECT_TRUE(runtime.ShouldTerminate());
  EXPECT_EQ(runtime.terminationSignal(), SIGINT);
  EXPECT_TRUE(script.timeouts.empty());
}

TEST(TaskEnding, SignalDuringThePauseEndsThatPoll) {
  Script script;
  script.duringWait = [] { ::raise(SIGTERM); };
  TaskRuntime runtime(script.Clock(), script.Wait());
  EXPECT_TRUE(runtime.IdlePoll());
  EXPECT_EQ(script.timeouts.size(), 1u);
}

TEST(TaskEnding, RequestedTerminationEndsBothAsks) {
  Script script;
  TaskRuntime runtime(script.Clock(), script.Wait());
  EXPECT_FALSE(runtime.ShouldTerminate());
  runtime.RequestTermination();
  EXPECT_TRUE(runtime.ShouldTerminate());
  EXPECT_TRUE(runtime.IdlePoll());
  EXPECT_EQ(runtime.terminationSignal(), 0);
  // Already ending: no pause.
  EXPECT_TRUE(script.timeouts.empty());
}

// What a service manager sends: SIGHUP and SIGUSR1 ask for the log to be
// reopened (once, however many came) and never end the task; each of the
// others ends it the orderly way.
TEST(TaskEnding, ReopenSignalsCarryOnAndEveryOtherSignalEnds) {
  for (const int end : {SIGTERM, SIGINT, SIGQUIT, SIGUSR2}) {
    Script script;
    TaskRuntime runtime(script.Clock(), script.Wait());
    EXPECT_FALSE(runtime.TakeLogReopenRequest());
    ASSERT_EQ(::raise(SIGHUP), 0);
    ASSERT_EQ(::raise(SIGUSR1), 0);
    EXPECT_FALSE(runtime.IdlePoll()) << end;
    EXPECT_TRUE(runtime.TakeLogReopenRequest());
    EXPECT_FALSE(runtime.TakeLogReopenRequest());
    ASSERT_EQ(::raise(end), 0);
    ASSERT_EQ(::raise(SIGHUP), 0);
    EXPECT_TRUE(runtime.IdlePoll()) << end;
    EXPECT_EQ(runtime.terminationSignal(), end);
    EXPECT_TRUE(runtime.TakeLogReopenRequest());
  }
}

TEST(TaskEnding, SignalMaskIsPutBack) {
  const int watched[] = {SIGTERM, SIGINT, SIGQUIT, SIGUSR2, SIGHUP, SIGUSR1};
  for (const int signal : watched) ASSERT_FALSE(Blocked(signal)) << signal;
  {
    Script script;
    TaskRuntime runtime(script.Clock(), script.Wait());
    for (const int signal : watched) EXPECT_TRUE(Blocked(signal)) << signal;
  }
  for (const int signal : watched) EXPECT_FALSE(Blocked(signal)) << signal;
}

TEST(TaskEnding, SignalNobodyAskedAboutDoesNotKillOnTheWayOut) {
  {
    Script script;
    TaskRuntime runtime(script.Clock(), script.Wait());
    ASSERT_EQ(::raise(SIGTERM), 0);
    ASSERT_EQ(::raise(SIGHUP), 0);
  }
  // Still here.
  EXPECT_FALSE(Blocked(SIGTERM));
}

TEST(TaskPause, PauseWatchesSignalsAndTheWakeDescriptor) {
  Script script;
  TaskRuntime runtime(script.Clock(), script.Wait());
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  runtime.SetWakeFd(pipeFds[0]);
  EXPECT_FALSE(runtime.IdlePoll());
  ASSERT_EQ(script.waitedFds.size(), 1u);
  ASSERT_EQ(script.waitedFds[0].size(), 2u);
  EXPECT_EQ(script.waitedFds[0][1], pipeFds[0]);
  EXPECT_EQ(script.timeouts[0], TaskRuntime::kIdleMillis);

  runtime.SetWakeFd(-1);
  EXPECT_FALSE(runtime.IdlePoll());
  EXPECT_EQ(script.waitedFds[1].size(), 1u);
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
}

TEST(TaskPause, ReadableWakeDescriptorIsNoReasonToEnd) {
  // The real poll(): with the descriptor readable it returns at once.
  TaskRuntime runtime;
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  ASSERT_EQ(::write(pipeFds[1], "x", 1), 1);
  runtime.SetWakeFd(pipeFds[0]);
  EXPECT_FALSE(runtime.IdlePoll());
  EXPECT_FALSE(runtime.IdlePoll());
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
}

TEST(TaskTimers, FirstPassComesOneIntervalAfterStart) {
  Script script;
  const int64_t start = script.now;
  TaskRuntime runtime(script.Clock(), script.Wait());
  EXPECT_FALSE(runtime.SecondsElapsed(2));
  script.now = start + 1999;
  EXPECT_FALSE(runtime.SecondsElapsed(2));
  script.now = start + 2000;
  EXPECT_TRUE(runtime.SecondsElapsed(2));
}

TEST(TaskTimers, TrueOncePerInterval) {
  Script script;
  const int64_t start = script.now;
  TaskRuntime runtime(script.Clock(), script.Wait());
  script.now = start + 2000;
  EXPECT_TRUE(runtime.SecondsElapsed(2));
  EXPECT_FALSE(runtime.SecondsElapsed(2));
  script.now = start + 3999;
  EXPECT_FALSE(runtime.SecondsElapsed(2));
  script.now = start + 4000;
  EXPECT_TRUE(runtime.SecondsElapsed(2));
  EXPECT_FALSE(runtime.SecondsElapsed(2));
}

TEST(TaskTimers, LateAskCountsFromTheLastTrue) {
  Script script;
  const int64_t start = script.now;
  TaskRuntime runtime(script.Clock(), script.Wait());
  // Asked long after: one true, not one per missed interval.
  script.now = start + 10'500;
  EXPECT_TRUE(runtime.SecondsElapsed(2));
  EXPECT_FALSE(runtime.SecondsElapsed(2));
  script.now = start + 12'499;
  EXPECT_FALSE(runtime.SecondsElapsed(2));
  script.now = start + 12'500;
  EXPECT_TRUE(runtime.SecondsElapsed(2));
}

TEST(TaskTimers, EachNumberKeepsItsOwnClock) {
  Script script;
  const int64_t start = script.now;
  TaskRuntime runtime(script.Clock(), script.Wait());
  script.now = start + 2000;
  EXPECT_TRUE(runtime.SecondsElapsed(2));
  // 5 has never been asked, but still counts from the start.
  EXPECT_FALSE(runtime.SecondsElapsed(5));
  script.now = start + 4000;
  EXPECT_TRUE(runtime.SecondsElapsed(2));
  EXPECT_FALSE(runtime.SecondsElapsed(5));
  script.now = start + 5000;
  EXPECT_TRUE(runtime.SecondsElapsed(5));
  EXPECT_FALSE(runtime.SecondsElapsed(2));
  script.now = start + 6000;
  EXPECT_TRUE(runtime.SecondsElapsed(2));
  EXPECT_FALSE(runtime.SecondsElapsed(5));
}

TEST(TaskTimers, IdlePausesMoveTheTimersOn) {
  Script script;
  TaskRuntime runtime(script.Clock(), script.Wait());
  int polls = 0;
  while (!runtime.SecondsElapsed(1)) {
    ASSERT_FALSE(runtime.IdlePoll());
    ++polls;
  }
  EXPECT_EQ(polls, 1000 / TaskRuntime::kIdleMillis);
}

TEST(TaskTimers, ZeroSecondsIsAlwaysDue) {
  Script script;
  TaskRuntime runtime(script.Clock(), script.Wait());
  EXPECT_TRUE(runtime.SecondsElapsed(0));
  EXPECT_TRUE(runtime.SecondsElapsed(0));
}

}  // namespace
}  // namespace vt::console
