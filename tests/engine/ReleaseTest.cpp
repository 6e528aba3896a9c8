// Release of messages that waited too long for a verdict, over real scan
// boxes and a fake clock: which messages are released, what is written on
// them, the one line per scan box, and the conditions under which release
// does nothing at all.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/RouterEngine.h"
#include "support/EngineRig.h"
#include "support/MailMessages.h"

namespace vt {
namespace {

using testing::DepositMessage;
using testing::EngineRig;
using testing::FindMessage;
using testing::Items;
using testing::kMailBox;
using testing::kScanBox1;
using testing::kScanBox2;
using testing::MessageHasItem;
using testing::MessageItem;
using Texts = std::vector<std::string>;

constexpr int64_t kMinute = 60 * 100;  // in centiseconds
constexpr char kReleasedOne[] =
    "VTRouter: Releasing 1 unscanned messages from scan.box.";

int64_t MinutesAgo(EngineRig& rig, double minutes) {
  return rig.world.clock().NowUnixCentis() -
         static_cast<int64_t>(minutes * kMinute);
}

void Wait(const char* db, EngineRig& rig, const std::string& id, double minutes,
          const Items& extra = {}) {
  DepositMessage(rig.server(), db, id, extra, MinutesAgo(rig, minutes));
}

bool Released(EngineRig& rig, const char* db, const std::string& id) {
  return MessageItem(rig.server(), db, id, "VTRouterReleased") == "1";
}

TEST(ReleaseTest, MarksOldUnverifiedMessagesAsReleasedOrdinaryMail) {
  EngineRig rig({{"ReleaseMailMinutes", 10}});
  ASSERT_EQ(rig.Start(), 0);
  Wait(kScanBox1, rig, "old", 11,
       {{"RoutingState", "HOLD"},
        {"DeadFailureReason", "x"},
        {"Kesto_Router", "B"},
        {"Body", "kept"}});
  Wait(kScanBox1, rig, "young", 9);
  const size_t mark = rig.LogSize();
  EXPECT_EQ(ReleaseUnscannedMessages(rig.engine), 0);
  EXPECT_EQ(rig.LogSince(mark), Texts{kReleasedOne});

  LocalNotesServices& s = rig.server();
  EXPECT_EQ(MessageItem(s, kScanBox1, "old", "VeltraneVerified"), "1");
  EXPECT_EQ(MessageItem(s, kScanBox1, "old", "Kesto_Router"), "M");
  EXPECT_EQ(MessageItem(s, kScanBox1, "old", "VTRouterReleased"), "1");
  EXPECT_FALSE(MessageHasItem(s, kScanBox1, "old", "RoutingState"));
  EXPECT_FALSE(MessageHasItem(s, kScanBox1, "old", "DeadFailureReason"));
  EXPECT_FALSE(MessageHasItem(s, kScanBox1, "old", "VeltraneProcess"));
  EXPECT_EQ(MessageItem(s, kScanBox1, "old", "Body"), "kept");
  EXPECT_EQ(MessageItem(s, kScanBox1, "old", "Subject"), "Message old");

  EXPECT_FALSE(MessageHasItem(s, kScanBox1, "young", "VeltraneVerified"));
  EXPECT_EQ(MessageItem(s, kScanBox1, "young", "VeltraneProcess"), "1");
  EXPECT_EQ(rig.notes.openNotes(), 0);

  // Once the young one is old enough, it goes too.
  rig.world.clock().AdvanceMillis(2 * 60 * 1000);
  EXPECT_EQ(ReleaseUnscannedMessages(rig.engine), 0);
  EXPECT_TRUE(Released(rig, kScanBox1, "young"));
}

TEST(ReleaseTest, TheConfiguredMinutesAreTheBoundary) {
  EngineRig rig({{"ReleaseMailMinutes", 25}});
  ASSERT_EQ(rig.Start(), 0);
  Wait(kScanBox1, rig, "exactly", 25);
  Wait(kScanBox1, rig, "over", 25.01);
  Wait(kScanBox1, rig, "under", 24.9);
  ReleaseUnscannedMessages(rig.engine);
  EXPECT_FALSE(Released(rig, kScanBox1, "exactly"));
  EXPECT_TRUE(Released(rig, kScanBox1, "over"));
  EXPECT_FALSE(Released(rig, kScanBox1, "under"));
}

TEST(ReleaseTest, VerifiedMessagesAreNeverReleased) {
  EngineRig rig({{"ReleaseMailMinutes", 10}});
  ASSERT_EQ(rig.Start(), 0);
  Wait(kScanBox1, rig, "c1", 60,
       {{"VeltraneVerified", "1"}, {"Kesto_Router", "C"}});
  const size_t mark = rig.LogSize();
  EXPECT_EQ(ReleaseUnscannedMessages(rig.engine), 0);
  EXPECT_EQ(rig.LogSince(mark), Texts{});
  EXPECT_EQ(MessageItem(rig.server(), kScanBox1, "c1", "Kesto_Router"), "C");
  EXPECT_FALSE(Released(rig, kScanBox1, "c1"));
}

TEST(ReleaseTest, EachScanBoxGetsItsOwnLineAndCount) {
  EngineRig rig({{"ReleaseMailMinutes", 10}});
  ASSERT_EQ(rig.Start(), 0);
  Wait(kScanBox1, rig, "a1", 20);
  Wait(kScanBox1, rig, "a2", 30);
  Wait(kScanBox2, rig, "b1", 40);
  const size_t mark = rig.LogSize();
  EXPECT_EQ(ReleaseUnscannedMessages(rig.engine), 0);
  EXPECT_EQ(rig.LogSince(mark),
            (Texts{"VTRouter: Releasing 2 unscanned messages from scan.box.",
                   kReleasedOne}));
}

TEST(ReleaseTest, NothingHappensWithoutAReleaseTime) {
  for (int minutes : {0, 9}) {
    EngineRig rig({{"ReleaseMailMinutes", minutes}});
    ASSERT_EQ(rig.Start(), 0);
    EXPECT_EQ(rig.engine.config->releaseMinutes, 0u);
    Wait(kScanBox1, rig, "old", 600);
    rig.engine.releaseEnabled = 1;
    const size_t mark = rig.LogSize();
    EXPECT_EQ(ReleaseUnscannedMessages(rig.engine), 1);
    rig.Pass();
    rig.Pass();
    EXPECT_EQ(rig.LogSince(mark), Texts{}) << minutes;
    EXPECT_FALSE(Released(rig, kScanBox1, "old")) << minutes;
  }
}

TEST(ReleaseTest, NothingHappensWithoutACompiledFormulaOrIdTable) {
  EngineRig rig({{"ReleaseMailMinutes", 10}});
  ASSERT_EQ(rig.Start(), 0);
  Wait(kScanBox1, rig, "old", 60);

  const IdTableHandle table = rig.engine.idTable;
  rig.engine.idTable = IdTableHandle();
  size_t mark = rig.LogSize();
  EXPECT_EQ(ReleaseUnscannedMessages(rig.engine), 1);
  rig.engine.idTable = table;
  const Texts log = rig.LogSince(mark);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind("VTRouter: Error accessing message ID table.", 0), 0u);

  rig.engine.formulas[kSlotRelease]->Free();
  mark = rig.LogSize();
  EXPECT_EQ(ReleaseUnscannedMessages(rig.engine), 1);
  EXPECT_EQ(rig.LogSince(mark), Texts{});
  EXPECT_FALSE(Released(rig, kScanBox1, "old"));
}

TEST(ReleaseTest, RunsInPassesOnlyOnceEnabledAndThenInEveryPass) {
  EngineRig rig({{"ReleaseMailMinutes", 10}});
  ASSERT_EQ(rig.Start(), 0);
  Wait(kScanBox1, rig, "r1", 11);
  rig.Pass();
  EXPECT_FALSE(Released(rig, kScanBox1, "r1"));
  rig.engine.releaseEnabled = 1;
  rig.Pass();
  EXPECT_TRUE(Released(rig, kScanBox1, "r1"));
  rig.Pass();
  EXPECT_NE(FindMessage(rig.server(), kMailBox, "r1"), 0u);
  EXPECT_EQ(MessageItem(rig.server(), kMailBox, "r1", "VTRouterReleased"), "1");
  EXPECT_EQ(rig.totals.Mail, 1);
  Wait(kScanBox2, rig, "r2", 12);
  rig.Pass();
  EXPECT_TRUE(Released(rig, kScanBox2, "r2"));
}

TEST(ReleaseTest, NoteThatCannotBeOpenedIsLoggedAndSkipped) {
  EngineRig rig({{"ReleaseMailMinutes", 10}});
  ASSERT_EQ(rig.Start(), 0);
  Wait(kScanBox1, rig, "r1", 20);
  Wait(kScanBox1, rig, "r2", 20);
  const uint32_t first = FindMessage(rig.server(), kScanBox1, "r1");
  rig.notes.FailCall(NotesOp::kOpenNoteExtended, 1, err::kDiskError);
  const size_t mark = rig.LogSize();
  EXPECT_EQ(ReleaseUnscannedMessages(rig.engine), 0);
  char expected[128];
  std::snprintf(expected, sizeof expected,
                "VTRouter: Error releasing mail message %X from scan.box.",
                first);
  const Texts log = rig.LogSince(mark);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].rfind(expected, 0), 0u) << log[0];
  EXPECT_GT(log[0].size(), std::string(expected).size()) << "status text";
  EXPECT_EQ(log[1], kReleasedOne);
  EXPECT_FALSE(Released(rig, kScanBox1, "r1"));
  EXPECT_TRUE(Released(rig, kScanBox1, "r2"));
}

TEST(ReleaseTest, FailedSaveIsNotCountedAndIsTriedAgain) {
  EngineRig rig({{"ReleaseMailMinutes", 10}});
  ASSERT_EQ(rig.Start(), 0);
  Wait(kScanBox1, rig, "r1", 20);
  Wait(kScanBox1, rig, "r2", 20);
  rig.notes.FailCall(NotesOp::kUpdateNote, 1, err::kDiskError);
  size_t mark = rig.LogSize();
  EXPECT_EQ(ReleaseUnscannedMessages(rig.engine), 0);
  EXPECT_EQ(rig.LogSince(mark), Texts{kReleasedOne});
  EXPECT_EQ(rig.notes.openNotes(), 0);
  EXPECT_FALSE(Released(rig, kScanBox1, "r1"));
  EXPECT_FALSE(
      MessageHasItem(rig.server(), kScanBox1, "r1", "VeltraneVerified"))
      << "the unsaved changes are dropped";
  mark = rig.LogSize();
  EXPECT_EQ(ReleaseUnscannedMessages(rig.engine), 0);
  EXPECT_EQ(rig.LogSince(mark), Texts{kReleasedOne});
  EXPECT_TRUE(Released(rig, kScanBox1, "r1"));
}

TEST(ReleaseTest, IncompleteMarkIsNotSavedAndIsTriedAgain) {
  for (int failing = 1; failing <= 3; ++failing) {
    EngineRig rig({{"ReleaseMailMinutes", 10}});
    ASSERT_EQ(rig.Start(), 0);
    // The scanner had begun: a route without a verdict.
    Wait(kScanBox1, rig, "r1", 20, {{"Kesto_Router", "B"}});
    // Writes 1, 2, 3: VeltraneVerified, Kesto_Router, VTRouterReleased.
    rig.notes.FailCall(NotesOp::kSetTextItem, failing, err::kNoMemory);
    const size_t mark = rig.LogSize();
    EXPECT_EQ(ReleaseUnscannedMessages(rig.engine), 0);
    EXPECT_EQ(rig.LogSince(mark), Texts{}) << failing;
    EXPECT_EQ(rig.notes.openNotes(), 0);
    EXPECT_FALSE(
        MessageHasItem(rig.server(), kScanBox1, "r1", "VeltraneVerified"))
        << failing << ": a verified message must carry its new route";
    EXPECT_EQ(ReleaseUnscannedMessages(rig.engine), 0);
    EXPECT_TRUE(Released(rig, kScanBox1, "r1")) << failing;
    EXPECT_EQ(MessageItem(rig.server(), kScanBox1, "r1", "Kesto_Router"), "M");
    rig.Pass();
    EXPECT_NE(FindMessage(rig.server(), kMailBox, "r1"), 0u) << failing;
  }
}

TEST(ReleaseTest, NoLineWhenEverySaveFails) {
  EngineRig rig({{"ReleaseMailMinutes", 10}});
  ASSERT_EQ(rig.Start(), 0);
  Wait(kScanBox1, rig, "r1", 20);
  rig.notes.FailCall(NotesOp::kUpdateNote, 1, err::kDiskError,
                     testing::FaultyNotes::Mode::kFromThen);
  const size_t mark = rig.LogSize();
  EXPECT_EQ(ReleaseUnscannedMessages(rig.engine), 0);
  EXPECT_EQ(rig.LogSince(mark), Texts{});
}

TEST(ReleaseTest, FailedSearchSkipsOnlyThatScanBox) {
  EngineRig rig({{"ReleaseMailMinutes", 10}});
  ASSERT_EQ(rig.Start(), 0);
  Wait(kScanBox1, rig, "r1", 20);
  Wait(kScanBox2, rig, "r2", 20);
  rig.notes.FailCall(NotesOp::kSearchDatabase, 1, err::kDiskError);
  const size_t mark = rig.LogSize();
  EXPECT_EQ(ReleaseUnscannedMessages(rig.engine), 0);
  const Texts log = rig.LogSince(mark);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(
      log[0].rfind("VTRouter: Error reading messages to release from scan.box.",
                   0),
      0u)
      << log[0];
  EXPECT_EQ(log[1], kReleasedOne);
  EXPECT_FALSE(Released(rig, kScanBox1, "r1"));
  EXPECT_TRUE(Released(rig, kScanBox2, "r2"));
}

TEST(ReleaseTest, TerminationIsAskedBeforeEachScanBox) {
  EngineRig rig({{"ReleaseMailMinutes", 10}});
  ASSERT_EQ(rig.Start(), 0);
  Wait(kScanBox1, rig, "r1", 20);
  Wait(kScanBox1, rig, "r2", 20);
  Wait(kScanBox2, rig, "r3", 20);
  rig.notes.TerminateAfter(1);
  EXPECT_EQ(ReleaseUnscannedMessages(rig.engine), 0);
  EXPECT_TRUE(Released(rig, kScanBox1, "r1"));
  EXPECT_TRUE(Released(rig, kScanBox1, "r2"));
  EXPECT_FALSE(Released(rig, kScanBox2, "r3"));
}

TEST(ReleaseTest, ReinitialisationRecompilesWithTheNewMinutes) {
  EngineRig rig({{"ReleaseMailMinutes", 10}});
  ASSERT_EQ(rig.Start(), 0);
  rig.engine.releaseEnabled = 1;
  Wait(kScanBox1, rig, "r1", 15);

  rig.world.clock().AdvanceMillis(1000);
  rig.world.EditConfig({{"ReleaseMailMinutes", 20}});
  ASSERT_EQ(rig.engine.config->Reinitialize(), kReinitReread);
  rig.engine.reinitRequested = 1;
  rig.Pass();  // re-initialises only
  rig.Pass();
  EXPECT_FALSE(Released(rig, kScanBox1, "r1")) << "15 minutes < 20";
  rig.world.clock().AdvanceMillis(6 * 60 * 1000);
  rig.Pass();
  EXPECT_TRUE(Released(rig, kScanBox1, "r1"));

  // A release time below ten minutes switches release off.
  Wait(kScanBox1, rig, "r2", 60);
  rig.world.clock().AdvanceMillis(1000);
  rig.world.EditConfig({{"ReleaseMailMinutes", 5}});
  ASSERT_EQ(rig.engine.config->Reinitialize(), kReinitReread);
  rig.engine.reinitRequested = 1;
  rig.Pass();
  EXPECT_FALSE(rig.engine.formulas[kSlotRelease]->IsCompiled());
  rig.Pass();
  EXPECT_FALSE(Released(rig, kScanBox1, "r2"));
}

TEST(ReleaseTest, FailedRecompilationLeavesReleaseOffAndTheEngineRunning) {
  EngineRig rig({{"ReleaseMailMinutes", 10}});
  ASSERT_EQ(rig.Start(), 0);
  rig.engine.releaseEnabled = 1;
  Wait(kScanBox1, rig, "r1", 30);
  DepositMessage(rig.server(), kMailBox, "u1");
  rig.engine.reinitRequested = 1;
  rig.notes.FailCall(NotesOp::kCompileFormula, 1, err::kFormulaSyntax);
  rig.Pass();
  EXPECT_EQ(rig.CountLine("VTRouter: Error compiling formula.  Error offset "
                          "0.  Error length 0."),
            1);
  EXPECT_FALSE(rig.engine.formulas[kSlotRelease]->IsCompiled());
  EXPECT_EQ(rig.engine.config->processingMode, 1);
  rig.Pass();
  EXPECT_FALSE(Released(rig, kScanBox1, "r1"));
  EXPECT_NE(FindMessage(rig.server(), kScanBox1, "u1"), 0u);
}

}  // namespace
}  // namespace vt
