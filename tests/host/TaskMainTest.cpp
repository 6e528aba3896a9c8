// The task main, driven turn by turn: start-up and its failures, the order
// of a turn's work, pauses, the guarded passes and the shutdown lines.
#include <gtest/gtest.h>

#include <stdexcept>

#include "host/InstanceGuard.h"
#include "host/TaskMain.h"
#include "support/FakeSystem.h"
#include "support/RouterWorld.h"
#include "support/ScriptedNotes.h"

namespace vt {
namespace {

using testing::FakeMachine;
using testing::FakeSystem;
using testing::RouterWorld;
using testing::ScriptedNotes;

constexpr char kRunning[] = "Routes mail messages to mail.box and quarantine";

class TaskMainTest : public ::testing::Test {
 protected:
  Status Run() {
    return TaskMain(notes_, system_, ModuleHandle(1), 0, nullptr);
  }
  std::vector<std::string> Log() { return testing::LogTexts(world_.server()); }
  int Count(std::string_view text) {
    return testing::CountLog(world_.server(), text);
  }
  // Every turn is a pass turn.
  void PassEveryTurn(int turns) {
    notes_.turns = turns;
    for (int t = 1; t <= turns; ++t) notes_.timers[2].insert(t);
  }
  void SendMail(const char* id) {
    testing::AddDocument(
        world_.server(), "mail.box",
        {{"Form", "Memo"}, {"VeltraneProcess", "1"}, {"VTMessageId", id}});
  }
  size_t InMailBox() {
    return testing::DocumentIds(world_.server(), "mail.box").size();
  }

  RouterWorld world_;
  ScriptedNotes notes_{world_.server()};
  FakeMachine machine_;
  FakeSystem system_{machine_};
};

TEST_F(TaskMainTest, StartsRoutesAndShutsDownInOrder) {
  SendMail("m1");
  PassEveryTurn(2);
  EXPECT_TRUE(Run().ok());
  EXPECT_EQ(InMailBox(), 0u);  // intercepted
  const std::vector<std::string> log = Log();
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log.front(),
            "VTRouter: Initializing version (version unavailable)");
  EXPECT_EQ(Count("VTRouter: Version (version unavailable) started"), 1);
  EXPECT_EQ(log[log.size() - 2], "VTRouter: Shutdown is in progress");
  EXPECT_EQ(log.back(), "VTRouter: Shutdown complete");
  EXPECT_EQ(
      notes_.statusLinesCreated,
      (std::vector<std::string>{"VeltraneRouter", "VeltraneRouter moved"}));
  EXPECT_EQ(notes_.statusLinesDeleted, 1);  // the previous line
  ASSERT_GE(notes_.statusTexts.size(), 5u);
  EXPECT_EQ(notes_.statusTexts[0], "Initializing");
  EXPECT_EQ(notes_.statusTexts[1],
            "Since start - mail 0  spam-D 0  spam-C 0  spam-B 0");
  EXPECT_EQ(notes_.statusTexts[2], kRunning);
  EXPECT_EQ(
      notes_.statusTexts[3],
      "v(version unavailable) - Mail: 0  Spam-D: 0  Spam-C: 0  Spam-B: 0");
  EXPECT_EQ(notes_.statusTexts.back(), "Terminating");
  EXPECT_EQ(notes_.queueCloses, 1);
  // Everything the task held is released, the instance mutex included.
  EXPECT_EQ(notes_.openDatabases(), 0);
  EXPECT_EQ(notes_.idTables(), 0);
  EXPECT_EQ(notes_.memoryBlocks(), 0);
  EXPECT_EQ(system_.mutexesOpen, 0);
  EXPECT_NE(system_.seededWith, 0u);
}

TEST_F(TaskMainTest, AnEndRequestedBeforeTheFirstTurnRunsNoPass) {
  notes_.turns = 0;
  notes_.timers[2] = {0, 1};
  SendMail("m1");
  EXPECT_TRUE(Run().ok());
  EXPECT_EQ(InMailBox(), 1u);
  EXPECT_EQ(Log().back(), "VTRouter: Shutdown complete");
}

TEST_F(TaskMainTest, ACommandIsHandledBeforeThatTurnsPass) {
  SendMail("m1");
  PassEveryTurn(1);
  notes_.commands[1] = "PAUSE";
  EXPECT_TRUE(Run().ok());
  EXPECT_EQ(InMailBox(), 1u);  // paused before the pass of the same turn
  EXPECT_EQ(Count("VTRouter: Paused"), 1);
}

TEST_F(TaskMainTest, PauseResumeAndTheTimedPause) {
  SendMail("m1");
  // Turn 1: pause30; turns 2..31: a minute tick each; the 30th ends the
  // pause, so the pass of turn 31 runs.
  notes_.turns = 31;
  notes_.commands[1] = "pause30 please";
  for (int t = 2; t <= 31; ++t) notes_.timers[60].insert(t);
  notes_.timers[2] = {1, 30};
  notes_.onTurn = [&](int turn) {
    // Still paused at the start of the turn of the 30th tick.
    if (turn == 31) {
      EXPECT_EQ(InMailBox(), 1u);
    }
  };
  notes_.timers[2].insert(31);
  EXPECT_TRUE(Run().ok());
  EXPECT_EQ(InMailBox(), 0u);
  EXPECT_EQ(Count("VTRouter: Paused for 30 minutes"), 1);
}

TEST_F(TaskMainTest, APlainPauseOutlastsTheMinutesOfAnEarlierTimedPause) {
  SendMail("m1");
  notes_.turns = 40;
  notes_.commands[1] = "pause30";
  for (int t = 2; t <= 40; ++t) notes_.timers[60].insert(t);
  notes_.commands[33] = "pause";  // after the timed pause has ended
  notes_.timers[2] = {40};
  notes_.onTurn = [&](int turn) {
    if (turn == 33) SendMail("m2");
  };
  EXPECT_TRUE(Run().ok());
  // The plain pause holds: nothing is intercepted on turn 40.
  EXPECT_EQ(InMailBox(), 2u);
}

TEST_F(TaskMainTest, TheReleaseTimerSetsTheFlagForGood) {
  world_.EditConfig({{"ReleaseMailMinutes", 10}});
  const int64_t old =
      world_.clock().NowUnixCentis() - 11 * 60 * 100;  // 11 minutes ago
  testing::CreateDatabaseAt(world_.server(), "Veltrane/Scan/Scan_1.box");
  testing::AddDocument(world_.server(), "Veltrane/Scan/Scan_1.box",
                       {{"Form", "Memo"}, {"VTMessageId", "old"}}, old);
  notes_.turns = 3;
  notes_.timers[2700] = {1};
  notes_.timers[2] = {2, 3};
  EXPECT_TRUE(Run().ok());
  EXPECT_EQ(Count("VTRouter: Releasing 1 unscanned messages from scan.box."),
            1);
  // Released on turn 2, delivered into mail.box on turn 3.
  EXPECT_EQ(
      testing::ItemValues(world_.server(), "mail.box", "VTRouterReleased"),
      std::vector<std::string>{"1"});
}

class ThrowingNotes : public ScriptedNotes {
 public:
  using ScriptedNotes::ScriptedNotes;
  bool throwInCheck = false;
  bool throwInPass = false;
  Status GetNoteInfo(DbHandle db, uint32_t id, uint32_t* seq, TimeDate* m,
                     uint16_t* c) override {
    if (throwInCheck) throw std::runtime_error("check");
    return ScriptedNotes::GetNoteInfo(db, id, seq, m, c);
  }
  Status SearchDatabase(DbHandle db, MemHandle f, const char* v, uint16_t s,
                        uint16_t mask, const TimeDate* since, SearchCallback cb,
                        void* ctx, TimeDate* until) override {
    if (throwInPass) throw std::runtime_error("pass");
    return ScriptedNotes::SearchDatabase(db, f, v, s, mask, since, cb, ctx,
                                         until);
  }
};

TEST(TaskMainGuards, AnExceptionInEitherBlockNeverEndsTheTask) {
  RouterWorld world;
  ThrowingNotes notes(world.server());
  FakeMachine machine;
  FakeSystem system(machine);
  testing::AddDocument(world.server(), "mail.box",
                       {{"VeltraneProcess", "1"}, {"VTMessageId", "x"}});
  notes.turns = 3;
  notes.timers[2] = {1, 2, 3};
  notes.onTurn = [&](int turn) {
    notes.throwInCheck = turn == 1;  // block 1 throws: block 2 still runs
    notes.throwInPass = turn == 2;   // block 2 throws: no status text
  };
  EXPECT_TRUE(TaskMain(notes, system, ModuleHandle(1), 0, nullptr).ok());
  EXPECT_EQ(testing::DocumentIds(world.server(), "mail.box").size(), 0u);
  int totals = 0;
  for (const std::string& text : notes.statusTexts) {
    if (text.rfind("v(version", 0) == 0) ++totals;
  }
  EXPECT_EQ(totals, 2);  // turns 1 and 3
  EXPECT_EQ(testing::LogTexts(world.server()).back(),
            "VTRouter: Shutdown complete");
}

TEST_F(TaskMainTest, NoServerNameEndsSilently) {
  notes_.serverNameStatus = err::kMissingValue;
  EXPECT_TRUE(Run().ok());
  EXPECT_TRUE(Log().empty());
  EXPECT_TRUE(notes_.statusTexts.empty());
  EXPECT_TRUE(notes_.statusLinesCreated.empty());
}

TEST_F(TaskMainTest, ASecondInstanceIsRefusedAndTheFirstKeepsItsMutex) {
  FakeSystem first(machine_);
  const MutexHandle held = AcquireInstanceMutex(world_.server(), first);
  ASSERT_TRUE(held);
  EXPECT_TRUE(Run().ok());
  EXPECT_EQ(Log(), std::vector<std::string>{
                       "VTRouter: The Veltrane Router is already running."});
  EXPECT_TRUE(notes_.statusTexts.empty());
  EXPECT_EQ(
      machine_.holders.count(std::string(machine_.holders.begin()->first)), 1u);
  first.CloseMutex(held);
  EXPECT_TRUE(machine_.holders.empty());
}

TEST_F(TaskMainTest, ARouterWhoseLockAnotherTookOverEndsBeforeItsNextPass) {
  SendMail("m1");
  PassEveryTurn(3);
  notes_.onTurn = [&](int turn) {
    if (turn != 2) return;
    SendMail("m2");
    system_.mutexPlace = MutexPlace::kReplaced;
    system_.retakeOutcomes = {MutexPlace::kReplaced};
  };
  EXPECT_TRUE(Run().ok());
  EXPECT_EQ(InMailBox(), 1u);  // m2 is left to the other router
  EXPECT_EQ(notes_.turn, 2);
  const std::vector<std::string> log = Log();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[log.size() - 3],
            "VTRouter: Another Veltrane Router took over this server's lock "
            "file; this one ends.");
  EXPECT_EQ(log[log.size() - 2], "VTRouter: Shutdown is in progress");
  EXPECT_EQ(log.back(), "VTRouter: Shutdown complete");
  EXPECT_EQ(system_.mutexesOpen, 0);
}

TEST_F(TaskMainTest, ARemovedLockIsPutBackWithOneLineEvenWhileItCannotBeYet) {
  SendMail("m1");
  PassEveryTurn(4);
  notes_.commands[1] = "pause";
  notes_.commands[4] = "resume";
  system_.mutexPlace = MutexPlace::kGone;
  system_.retakeOutcomes = {MutexPlace::kGone, MutexPlace::kGone};
  EXPECT_TRUE(Run().ok());
  EXPECT_EQ(Count("VTRouter: The Veltrane Router's lock file was removed and "
                  "cannot be created again; another router could start."),
            1);
  // Put back on turn 3, while still paused.
  EXPECT_EQ(Count("VTRouter: The Veltrane Router's lock file was removed; it "
                  "has been created again."),
            1);
  EXPECT_TRUE(system_.retakeOutcomes.empty());
  EXPECT_EQ(InMailBox(), 0u);
}

TEST_F(TaskMainTest, AFailedEngineStartEndsAfterItsLine) {
  world_.EditConfig({{"MailboxNsf", std::vector<std::string>{"missing.box"}}});
  notes_.turns = 5;
  EXPECT_TRUE(Run().ok());
  EXPECT_EQ(Log().back(),
            "VTRouter: Veltrane Router did not initialize properly.");
  EXPECT_EQ(notes_.statusTexts, std::vector<std::string>{"Initializing"});
  EXPECT_EQ(notes_.turn, 0);  // the loop never ran
  EXPECT_EQ(notes_.openDatabases(), 0);
  EXPECT_EQ(system_.mutexesOpen, 0);
}

TEST_F(TaskMainTest, WithoutAQueueTheTaskStillRoutes) {
  notes_.openQueueStatus = err::kQueueNotFound;
  SendMail("m1");
  PassEveryTurn(1);
  notes_.commands[1] = "pause";
  EXPECT_TRUE(Run().ok());
  EXPECT_EQ(Count("VTRouter: Unable to create message queue."), 1);
  EXPECT_EQ(notes_.queueReads, 0);
  EXPECT_EQ(notes_.queueCloses, 0);
  EXPECT_EQ(InMailBox(), 0u);
}

}  // namespace
}  // namespace vt
