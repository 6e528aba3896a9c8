// Keeping the configuration and its document in step: the change check
// before each pass, and the write-back of quarantine names under the lock
// that every writer of the document takes.
#include <gtest/gtest.h>

#include "config/ServerConfig.h"
#include "support/FakeSystem.h"
#include "support/FaultyNotes.h"
#include "support/RouterWorld.h"

namespace vt {
namespace {

using testing::FakeMachine;
using testing::FakeSystem;
using testing::FaultyNotes;
using testing::RouterWorld;

class ConfigChangesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config_ = std::make_unique<ServerConfig>(notes_, system_, "local",
                                             "\\Veltrane\\VeltraneAdmin.nsf");
    ASSERT_TRUE(config_->Read().ok());
  }
  size_t LogSize() { return world_.server().LogLines().size(); }
  std::string Item(const char* name) {
    return testing::TextItem(world_.server(), testing::kAdminPath,
                             world_.configNoteId(), name);
  }

  RouterWorld world_;
  FaultyNotes notes_{world_.server()};
  FakeMachine machine_;
  FakeSystem system_{machine_};
  std::unique_ptr<ServerConfig> config_;
};

TEST_F(ConfigChangesTest, AnUnchangedDocumentIsNotReadAgain) {
  const size_t before = LogSize();
  for (int i = 0; i < 3; ++i) {
    world_.clock().AdvanceMillis(2000);
    EXPECT_EQ(config_->Reinitialize(), kReinitUnchanged);
  }
  EXPECT_EQ(LogSize(), before);
}

TEST_F(ConfigChangesTest, AnEditIsReadOnceThenTheDocumentIsUnchanged) {
  world_.EditConfig({{"ReleaseMailMinutes", 15}});
  EXPECT_EQ(config_->Reinitialize(), kReinitReread);
  EXPECT_EQ(config_->releaseMinutes, 15u);
  EXPECT_EQ(
      testing::CountLog(world_.server(), "VTRouter: Reinitialize successful."),
      1);
  EXPECT_EQ(config_->Reinitialize(), kReinitUnchanged);
}

TEST_F(ConfigChangesTest, EditsWithinOneClockTickAreStillSeen) {
  // The clock stands still: the store must still give each edit its own
  // last-modified stamp.
  world_.EditConfig({{"ReleaseMailMinutes", 15}});
  EXPECT_EQ(config_->Reinitialize(), kReinitReread);
  world_.EditConfig({{"ReleaseMailMinutes", 20}});
  EXPECT_EQ(config_->Reinitialize(), kReinitReread);
  EXPECT_EQ(config_->releaseMinutes, 20u);
}

TEST_F(ConfigChangesTest, OurOwnSaveDoesNotCountAsAnEdit) {
  config_->quarantinePathB.Assign("Veltrane\\QuarantineB_2.nsf");
  EXPECT_TRUE(config_->SaveQuarantineNames().ok());
  EXPECT_EQ(Item("CatBQNsfD"), "Veltrane\\QuarantineB_2.nsf");
  EXPECT_EQ(Item("CatCQNsfD"), "Veltrane\\QuarantineC_1.nsf");
  EXPECT_EQ(config_->Reinitialize(), kReinitUnchanged);
  EXPECT_EQ(system_.lastWaitMs, 0u);  // the lock was free: no wait
  EXPECT_EQ(system_.mutexesOpen, 0);
}

TEST_F(ConfigChangesTest, AnEditJustBeforeOurSaveIsStillReadAfterIt) {
  // The administrator's edit lands between the last check and the save
  // that a roll-over (or "newqc") makes.
  world_.EditConfig({{"ReleaseMailMinutes", 21}});
  config_->quarantinePathC.Assign("Veltrane\\QuarantineC_2.nsf");
  EXPECT_TRUE(config_->SaveQuarantineNames().ok());
  EXPECT_EQ(config_->Reinitialize(), kReinitReread);
  EXPECT_EQ(config_->releaseMinutes, 21u);
  EXPECT_EQ(Item("CatCQNsfD"), "Veltrane\\QuarantineC_2.nsf");
  EXPECT_EQ(config_->Reinitialize(), kReinitUnchanged);
}

TEST_F(ConfigChangesTest, ADeletedDocumentIsLookedUpAgainOnEveryCall) {
  DbHandle admin;
  ASSERT_TRUE(world_.server().OpenDatabase(testing::kAdminPath, &admin).ok());
  ASSERT_TRUE(world_.server().DeleteNote(admin, world_.configNoteId(), 0).ok());
  world_.server().CloseDatabase(admin).IgnoreError();
  const std::string gone = "Unable to read configuration view";
  EXPECT_EQ(config_->Reinitialize(), kReinitError);
  EXPECT_EQ(testing::CountLog(world_.server(), gone), 1);
  EXPECT_EQ(config_->Reinitialize(), kReinitError);
  EXPECT_EQ(testing::CountLog(world_.server(), gone), 2);
}

TEST_F(ConfigChangesTest, OtherNoteInfoFailuresAreReportedNotRetried) {
  notes_.FailCall(NotesOp::kGetNoteInfo, 1, err::kDiskError);
  const int reads = notes_.Calls(NotesOp::kOpenNote);
  EXPECT_EQ(config_->Reinitialize(), kReinitError);
  EXPECT_EQ(notes_.Calls(NotesOp::kOpenNote), reads);
  EXPECT_EQ(testing::CountLog(world_.server(), "VTRouter: Reinitialize error."),
            1);
}

TEST_F(ConfigChangesTest, AServerOutOfReachIsReportedOncePerOutage) {
  const std::string line =
      "VTRouter: Reinitialize error. Server not responding";
  for (int outage = 1; outage <= 2; ++outage) {
    notes_.FailCall(NotesOp::kGetNoteInfo, 1, err::kServerNotResponding,
                    FaultyNotes::Mode::kFromThen);
    for (int pass = 0; pass < 3; ++pass) {
      EXPECT_EQ(config_->Reinitialize(), kReinitError);
    }
    EXPECT_EQ(testing::CountLog(world_.server(), line), outage);
    // Another failure in between is said as always.
    notes_.FailCall(NotesOp::kGetNoteInfo, 1, err::kDiskError);
    EXPECT_EQ(config_->Reinitialize(), kReinitError);
    notes_.ClearFaults();
    EXPECT_EQ(config_->Reinitialize(), kReinitUnchanged);
  }
  EXPECT_EQ(testing::CountLog(world_.server(), "VTRouter: Reinitialize error."),
            4);
}

TEST_F(ConfigChangesTest, AClosedAdministrationDatabaseIsReopenedAndRead) {
  ASSERT_TRUE(config_->Close().ok());
  EXPECT_EQ(config_->Reinitialize(), kReinitReread);
  EXPECT_TRUE(config_->IsOpen());
}

TEST_F(ConfigChangesTest, ALockHeldElsewhereMeansNothingIsWritten) {
  FakeSystem other(machine_);
  bool existed = false;
  const MutexHandle held =
      other.CreateNamedMutex("VeltraneSaveConfig", true, &existed);
  ASSERT_FALSE(existed);
  config_->quarantinePathC.Assign("Veltrane\\QuarantineC_9.nsf");
  const size_t before = LogSize();
  EXPECT_EQ(config_->SaveQuarantineNames().value(), 1);
  EXPECT_EQ(system_.lastWaitMs, 15000u);
  EXPECT_EQ(Item("CatCQNsfD"), "");  // never written
  EXPECT_EQ(LogSize(), before);
  EXPECT_EQ(system_.mutexesOpen, 0);
  other.CloseMutex(held);
}

TEST_F(ConfigChangesTest, OneItemFailingStillSavesTheOthers) {
  config_->quarantinePathB.Assign("B_2.nsf");
  config_->quarantinePathC.Assign("C_2.nsf");
  config_->quarantinePathD.Assign("D_2.nsf");
  notes_.FailCall(NotesOp::kSetTextItem, 2, err::kItemTooLarge);
  EXPECT_TRUE(config_->SaveQuarantineNames().ok());
  EXPECT_EQ(Item("CatBQNsfD"), "B_2.nsf");
  EXPECT_EQ(Item("CatCQNsfD"), "");
  EXPECT_EQ(Item("CatDQNsfD"), "D_2.nsf");
  EXPECT_EQ(testing::CountLog(world_.server(),
                              "VTRouter: Unable to save new Quarantine-C name "
                              "to configuration document."),
            1);
  EXPECT_EQ(notes_.openNotes(), 0);
}

TEST_F(ConfigChangesTest, NothingIsSavedWithoutAnOpenDatabase) {
  ASSERT_TRUE(config_->Close().ok());
  EXPECT_EQ(config_->SaveQuarantineNames().value(), 1);
  EXPECT_EQ(system_.mutexesOpen, 0);
}

}  // namespace
}  // namespace vt
