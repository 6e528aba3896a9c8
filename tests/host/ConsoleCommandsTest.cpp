// Console commands: the first command word a message begins with wins,
// letters compared without regard to case; what each command does and logs.
#include <gtest/gtest.h>

#include "databases/RouterItems.h"
#include "host/ConsoleCommands.h"
#include "support/FakeSystem.h"
#include "support/RouterWorld.h"
#include "support/ScriptedNotes.h"

namespace vt {
namespace {

using testing::FakeMachine;
using testing::FakeSystem;
using testing::RouterWorld;
using testing::ScriptedNotes;

class ConsoleCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(StartEngine(engine_), 0);
    engine_.versionText.Assign("1.2.0.5");
    totals_.Mail = 4;
    totals_.SpamD = 3;
    totals_.SpamC = 2;
    totals_.SpamB = 1;
  }
  std::string Handle(const std::string& message) {
    const size_t before = world_.server().LogLines().size();
    HandleConsoleCommand(engine_, totals_, pause_, message.c_str());
    const std::vector<std::string> log = testing::LogTexts(world_.server());
    return log.size() > before ? log.back() : "";
  }

  RouterWorld world_;
  ScriptedNotes notes_{world_.server()};
  FakeMachine machine_;
  FakeSystem system_{machine_};
  RouterEngine engine_{notes_, system_};
  DailyTotals totals_;
  PauseState pause_;
};

TEST_F(ConsoleCommandsTest, PauseCommandsAndTheirStates) {
  EXPECT_EQ(Handle("PAUSE30"), "VTRouter: Paused for 30 minutes");
  EXPECT_TRUE(pause_.paused && pause_.timedPause);
  pause_.timedPauseMinutes = 12;
  // A plain pause during a timed pause changes nothing.
  EXPECT_EQ(Handle("Pause"), "VTRouter: Paused");
  EXPECT_TRUE(pause_.timedPause);
  EXPECT_EQ(pause_.timedPauseMinutes, 12);
  // pause30 again restarts the count.
  Handle("pause30xyz");
  EXPECT_EQ(pause_.timedPauseMinutes, 0);
  EXPECT_EQ(Handle("resume now"), "VTRouter: Resumed");
  EXPECT_FALSE(pause_.paused || pause_.timedPause);
  EXPECT_EQ(notes_.statusTexts.back(),
            "Routes mail messages to mail.box and quarantine");
  // "pause3" is not "pause30": it is a plain pause.
  Handle("pause3");
  EXPECT_TRUE(pause_.paused);
  EXPECT_FALSE(pause_.timedPause);
  EXPECT_EQ(notes_.statusTexts.back(), "Paused");
}

TEST_F(ConsoleCommandsTest, TheTimedPauseEndsOnItsThirtiethTick) {
  Handle("pause30");
  for (int i = 0; i < 29; ++i) TimedPauseTick(pause_);
  EXPECT_TRUE(pause_.paused);
  TimedPauseTick(pause_);
  EXPECT_FALSE(pause_.paused || pause_.timedPause);
  // A plain pause afterwards lasts until resume.
  Handle("pause");
  for (int i = 0; i < 60; ++i) TimedPauseTick(pause_);
  EXPECT_TRUE(pause_.paused);
}

TEST_F(ConsoleCommandsTest, InformationCommands) {
  EXPECT_EQ(Handle("VERSION"), "VTRouter: Version 1.2.0.5");
  EXPECT_EQ(Handle("totals please"),
            "VTRouter: Totals for today - Mail: 4  Spam-D: 3  Spam-C: 2  "
            "Spam-B: 1");
  EXPECT_EQ(Handle("EnableRelease"), "");
  EXPECT_EQ(engine_.releaseEnabled, 1);
}

// vtserver tell judges a command by the router's list of words: every
// word of it must be one the handler knows.
TEST_F(ConsoleCommandsTest, EveryListedCommandWordIsKnown) {
  for (const char* word : kRouterCommandWords) {
    EXPECT_EQ(Handle(word).find("Unknown command"), std::string::npos) << word;
  }
}

TEST_F(ConsoleCommandsTest, AnythingElseIsUnknownAndShownAsReceived) {
  EXPECT_EQ(Handle(""), "VTRouter: Unknown command ");
  EXPECT_EQ(Handle("newq"), "VTRouter: Unknown command newq");
  EXPECT_EQ(Handle("newqx"), "VTRouter: Unknown command newqx");
  EXPECT_EQ(Handle("%s%n%x"), "VTRouter: Unknown command %s%n%x");
  // Only A to Z fold: other bytes must match exactly.
  EXPECT_EQ(Handle("v\xc9rsion"), "VTRouter: Unknown command v\xc9rsion");
  EXPECT_FALSE(pause_.paused);
}

TEST_F(ConsoleCommandsTest, NewQuarantineCommandsRollOverWhateverTheSize) {
  EXPECT_EQ(Handle("NewQC"),
            "VTRouter: Created new database "
            "Veltrane\\QuarantineC_2.nsf.");
  EXPECT_EQ(engine_.config->quarantinePathC.view(),
            "Veltrane\\QuarantineC_2.nsf");
  EXPECT_EQ(testing::TextItem(world_.server(), testing::kAdminPath,
                              world_.configNoteId(), "CatCQNsfD"),
            "Veltrane\\QuarantineC_2.nsf");
  // They run while paused too.
  Handle("pause");
  Handle("newqd");
  EXPECT_EQ(engine_.config->quarantinePathD.view(),
            "Veltrane\\QuarantineD_2.nsf");
  Handle("newqb");
  EXPECT_EQ(engine_.config->quarantinePathB.view(),
            "Veltrane\\QuarantineB_2.nsf");
}

}  // namespace
}  // namespace vt
