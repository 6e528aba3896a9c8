// The engine's databases over a real server: opening the mail boxes and scan
// boxes, and the quarantines' roll-over to a new numbered database, by size
// in a pass or on request, with the new name written back into the
// configuration document.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/EngineDatabases.h"
#include "engine/RouterEngine.h"
#include "server/LocalStoreAccess.h"
#include "support/EngineRig.h"
#include "support/MailMessages.h"
#include "support/TestDatabases.h"

namespace vt {
namespace {

using testing::CreateDatabaseAt;
using testing::DepositMessage;
using testing::EngineRig;
using testing::FindMessage;
using testing::InfoTitle;
using testing::Items;
using testing::kQuarantineB;
using testing::kQuarantineD;
using testing::kScanBox1;
using Texts = std::vector<std::string>;

constexpr uint32_t kTenMiB = 10u << 20;
constexpr char kSaveLock[] = "VeltraneSaveConfig";

std::string Title(EngineRig& rig, const std::string& path) {
  DbHandle db;
  if (!rig.server().OpenDatabase(path.c_str(), &db).ok()) return "<missing>";
  const std::string title = InfoTitle(rig.server(), db);
  rig.server().CloseDatabase(db).IgnoreError();
  return title;
}

std::string ConfigItem(EngineRig& rig, const char* item) {
  return testing::TextItem(rig.server(), testing::kAdminPath,
                           rig.world.configNoteId(), item);
}

bool Exists(EngineRig& rig, const char* relative) {
  return std::filesystem::exists(rig.world.dir().File(relative));
}

// ---- Mail boxes
// ----------------------------------------------------------------

TEST(EngineDatabasesTest, MailBoxesThatDoNotOpenAreSkippedWithoutGaps) {
  EngineRig rig({{"MailboxNsf", std::vector<std::string>{
                                    "mail.box", "nothere.box", "mail3.box"}}});
  CreateDatabaseAt(rig.server(), "mail3.box");
  ASSERT_EQ(rig.Start(), 0);
  EXPECT_EQ(rig.engine.openMailboxCount, 2);
  ASSERT_TRUE(static_cast<bool>(rig.engine.mailboxHandles[1]));
  store::NsfDatabase* second =
      LocalStoreAccess::Database(rig.server(), rig.engine.mailboxHandles[1]);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->file().filename().string(), "mail3.box");
  EXPECT_FALSE(static_cast<bool>(rig.engine.mailboxHandles[2]));
  EXPECT_EQ(rig.CountLine("VTRouter: Unable to open database 'nothere.box'.  "
                          "Skipping database."),
            0)
      << "the line carries the status text";
  int skipped = 0;
  for (const std::string& line : rig.LogSince(0)) {
    if (line.rfind("VTRouter: Unable to open database 'nothere.box'.  "
                   "Skipping database.",
                   0) == 0) {
      ++skipped;
    }
  }
  EXPECT_EQ(skipped, 1);
  EXPECT_FALSE(Exists(rig, "nothere.box")) << "a mail box is never created";
}

TEST(EngineDatabasesTest, NamedMailBoxServerOpensNetworkPaths) {
  EngineRig rig(
      {{"MailboxServer", "CN=Mail1/O=Example"},
       {"MailboxNsf", std::vector<std::string>{"mail.box", "nothere.box"}}});
  ASSERT_EQ(rig.Start(), 0);
  EXPECT_EQ(rig.engine.openMailboxCount, 1);
  int skipped = 0;
  for (const std::string& line : rig.LogSince(0)) {
    if (line.rfind("VTRouter: Unable to open database "
                   "'CN=Mail1/O=Example!!nothere.box'.  Skipping database.",
                   0) == 0) {
      ++skipped;
    }
  }
  EXPECT_EQ(skipped, 1);
}

TEST(EngineDatabasesTest, LocalInAnyCaseOpensThePathsThemselves) {
  EngineRig rig(Items{{"MailboxServer", "LOCAL"}});
  ASSERT_EQ(rig.Start(), 0);
  EXPECT_EQ(rig.engine.openMailboxCount, 1);
  EXPECT_EQ(rig.notes.Calls(NotesOp::kConstructNetPath), 0);
}

TEST(EngineDatabasesTest, ReopeningMailBoxesClosesTheOldHandles) {
  EngineRig rig;
  ASSERT_EQ(rig.Start(), 0);
  const int open = rig.notes.openDatabases();
  CloseMailBoxes(rig.engine);
  EXPECT_EQ(rig.engine.openMailboxCount, 0);
  EXPECT_EQ(rig.notes.openDatabases(), open - 1);
  EXPECT_EQ(OpenMailBoxes(rig.engine), 1);
  EXPECT_EQ(rig.notes.openDatabases(), open);
}

// ---- Scan boxes
// ----------------------------------------------------------------

TEST(EngineDatabasesTest, OpeningScanBoxesTwiceKeepsOneRecordEach) {
  EngineRig rig;
  ASSERT_EQ(rig.Start(), 0);
  const int open = rig.notes.openDatabases();
  EXPECT_EQ(OpenScanBoxes(rig.engine), 2);
  EXPECT_EQ(rig.engine.scanBoxes->Count(), 2u);
  EXPECT_EQ(rig.notes.openDatabases(), open);
  EXPECT_EQ(rig.CountLine("VTRouter: Created new Quarantine database "
                          "Veltrane\\Scan\\Scan_1.box "),
            1)
      << "opened the second time, not created";
}

TEST(EngineDatabasesTest, ScanBoxWithoutTemplateIsCreatedBlankWithItsView) {
  EngineRig rig;
  std::filesystem::remove(rig.world.dir().File("Veltrane/scan.ntf"));
  ASSERT_EQ(rig.Start(), 0);
  EXPECT_EQ(rig.CountLine("VTRouter: Created new database "
                          "'Veltrane\\Scan\\Scan_1.box' "),
            1);
  EXPECT_EQ(Title(rig, kScanBox1), "Veltrane Scan Box #1");
  // Routing works over the blank scan box all the same.
  DepositMessage(rig.server(), "mail.box", "u1");
  rig.Pass();
  EXPECT_NE(FindMessage(rig.server(), kScanBox1, "u1"), 0u);
}

TEST(EngineDatabasesTest, ConfiguredScanBoxesAreUsedInTheirOrder) {
  EngineRig rig({{"ScanningNsf",
                  std::vector<std::string>{"Veltrane\\Scan\\Other_7.box",
                                           "Veltrane\\Scan\\Scan_1.box"}}});
  ASSERT_EQ(rig.Start(), 0);
  EXPECT_EQ(Title(rig, "Veltrane\\Scan\\Other_7.box"), "Veltrane Scan Box #7");
  DepositMessage(rig.server(), "mail.box", "u1");
  rig.Pass();
  EXPECT_NE(FindMessage(rig.server(), "Veltrane\\Scan\\Other_7.box", "u1"), 0u);
}

// ---- Quarantines: opening
// ------------------------------------------------------

TEST(EngineDatabasesTest, ConfiguredQuarantinePathsAreOpenedOrCreated) {
  EngineRig rig(Items{{"CatCQNsfD", "Spam\\Perimeter_C.nsf"}});
  ASSERT_EQ(rig.Start(), 0);
  EXPECT_EQ(rig.engine.quarantineC->path, "Spam\\Perimeter_C.nsf");
  EXPECT_EQ(Title(rig, "Spam\\Perimeter_C.nsf"), "Perimeter 'C' #C");
  EXPECT_TRUE(rig.engine.quarantineC->IsOpen());
}

TEST(EngineDatabasesTest, ClosingQuarantinesKeepsTheRecords) {
  EngineRig rig;
  ASSERT_EQ(rig.Start(), 0);
  const int open = rig.notes.openDatabases();
  CloseQuarantines(rig.engine);
  EXPECT_EQ(rig.notes.openDatabases(), open - 3);
  ASSERT_NE(rig.engine.quarantineB, nullptr);
  EXPECT_FALSE(rig.engine.quarantineB->IsOpen());
  EXPECT_EQ(OpenQuarantines(rig.engine), Status());
  EXPECT_TRUE(rig.engine.quarantineD->IsOpen());
  EXPECT_EQ(rig.notes.openDatabases(), open);
}

// ---- Quarantines: roll-over by size
// --------------------------------------------

class RollOverTest : public ::testing::Test {
 protected:
  RollOverTest() : rig_({{"MaxQuarantineSize", 10}}) {}
  void SetUp() override {
    ASSERT_EQ(rig_.Start(), 0);
    ASSERT_EQ(rig_.engine.config->maxQuarantineBytes, kTenMiB);
  }
  int Saves() { return rig_.system.mutexCreations[kSaveLock]; }

  EngineRig rig_;
};

TEST_F(RollOverTest, QuarantineAtTheLimitRollsOverInThePass) {
  // Spam already in the full quarantine stays there.
  DepositMessage(rig_.server(), kQuarantineB, "old",
                 {{"VeltraneVerified", "1"}, {"Kesto_Router", "B"}});
  rig_.notes.reportedSizes["QuarantineB_1.nsf"] = kTenMiB;
  const size_t mark = rig_.LogSize();
  rig_.Pass();
  EXPECT_EQ(
      rig_.LogSince(mark),
      Texts{"VTRouter: Created new database Veltrane\\QuarantineB_2.nsf."});
  EXPECT_EQ(rig_.engine.quarantineB->path, "Veltrane\\QuarantineB_2.nsf");
  EXPECT_TRUE(rig_.engine.quarantineB->IsOpen());
  EXPECT_EQ(rig_.engine.config->quarantinePathB, "Veltrane\\QuarantineB_2.nsf");
  EXPECT_EQ(ConfigItem(rig_, "CatBQNsfD"), "Veltrane\\QuarantineB_2.nsf");
  EXPECT_EQ(ConfigItem(rig_, "CatCQNsfD"), "Veltrane\\QuarantineC_1.nsf");
  EXPECT_EQ(Saves(), 1);
  EXPECT_EQ(Title(rig_, "Veltrane\\QuarantineB_2.nsf"), "Perimeter 'B' #2");
  EXPECT_NE(FindMessage(rig_.server(), kQuarantineB, "old"), 0u);
  // The new database copies the design, not the documents.
  EXPECT_EQ(
      testing::DocumentIds(rig_.server(), "Veltrane\\QuarantineB_2.nsf").size(),
      0u);
  DbHandle db;
  ASSERT_TRUE(
      rig_.server().OpenDatabase("Veltrane\\QuarantineB_2.nsf", &db).ok());
  EXPECT_GE(testing::NoteClassCounts(rig_.server(), db)[kNoteClassView], 1);
  rig_.server().CloseDatabase(db).IgnoreError();
  // Our own save is no outside change to re-read.
  EXPECT_EQ(rig_.engine.config->Reinitialize(), kReinitUnchanged);
  // The old database stays open as the one B rolled over from, so that a
  // message copied there before the roll-over is finished there.
  EXPECT_EQ(rig_.notes.openDatabases(), 1 + 2 + 3 + 1 + 1);
  EXPECT_EQ(rig_.engine.earlierQuarantines[0].handles().size(), 1u);

  // Spam now goes into the new quarantine, and nothing rolls over again.
  DepositMessage(rig_.server(), kScanBox1, "new",
                 {{"VeltraneVerified", "1"}, {"Kesto_Router", "B"}});
  rig_.Pass();
  EXPECT_NE(FindMessage(rig_.server(), "Veltrane\\QuarantineB_2.nsf", "new"),
            0u);
  EXPECT_EQ(Saves(), 1);
}

TEST_F(RollOverTest, QuarantineBelowTheLimitStays) {
  rig_.notes.reportedSizes["QuarantineB_1.nsf"] = kTenMiB - 1;
  rig_.Pass();
  EXPECT_EQ(rig_.engine.quarantineB->path, "Veltrane\\QuarantineB_1.nsf");
  EXPECT_EQ(Saves(), 0);
  EXPECT_FALSE(Exists(rig_, "Veltrane/QuarantineB_2.nsf"));
}

TEST_F(RollOverTest, TwoFullQuarantinesInOnePassSaveOnce) {
  rig_.notes.reportedSizes["QuarantineB_1.nsf"] = 0xFFFFFFFFu;
  rig_.notes.reportedSizes["QuarantineD_1.nsf"] = kTenMiB + 1;
  const size_t mark = rig_.LogSize();
  rig_.Pass();
  EXPECT_EQ(
      rig_.LogSince(mark),
      (Texts{"VTRouter: Created new database Veltrane\\QuarantineB_2.nsf.",
             "VTRouter: Created new database "
             "Veltrane\\QuarantineD_2.nsf."}));
  EXPECT_EQ(Saves(), 1);
  EXPECT_EQ(ConfigItem(rig_, "CatBQNsfD"), "Veltrane\\QuarantineB_2.nsf");
  EXPECT_EQ(ConfigItem(rig_, "CatDQNsfD"), "Veltrane\\QuarantineD_2.nsf");
  EXPECT_EQ(Title(rig_, "Veltrane\\QuarantineD_2.nsf"), "Perimeter 'D' #2");
  EXPECT_EQ(rig_.engine.config->Reinitialize(), kReinitUnchanged);
}

TEST_F(RollOverTest, NextFreeNumberIsTaken) {
  CreateDatabaseAt(rig_.server(), "Veltrane/QuarantineC_2.nsf");
  CreateDatabaseAt(rig_.server(), "Veltrane/QuarantineC_3.nsf");
  rig_.notes.reportedSizes["QuarantineC_1.nsf"] = kTenMiB;
  rig_.Pass();
  EXPECT_EQ(rig_.engine.quarantineC->path, "Veltrane\\QuarantineC_4.nsf");
  EXPECT_EQ(rig_.CountLine(
                "VTRouter: Created new database Veltrane\\QuarantineC_4.nsf."),
            1);
  EXPECT_EQ(ConfigItem(rig_, "CatCQNsfD"), "Veltrane\\QuarantineC_4.nsf");
  EXPECT_EQ(Title(rig_, "Veltrane\\QuarantineC_4.nsf"), "Perimeter 'C' #4");
}

TEST_F(RollOverTest, ClosedQuarantineNeverRollsOverOnSize) {
  rig_.notes.reportedSizes["QuarantineB_1.nsf"] = 0xFFFFFFFFu;
  ASSERT_EQ(rig_.engine.quarantineB->Close(), Status());
  EXPECT_EQ(CheckQuarantineSizes(rig_.engine), 0);
  EXPECT_EQ(rig_.engine.quarantineB->path, "Veltrane\\QuarantineB_1.nsf");
  EXPECT_EQ(Saves(), 0);
}

TEST_F(RollOverTest, FailedRollOverKeepsTheQuarantineAndIsRetriedNextPass) {
  rig_.notes.reportedSizes["QuarantineB_1.nsf"] = kTenMiB;
  DepositMessage(rig_.server(), kScanBox1, "b1",
                 {{"VeltraneVerified", "1"}, {"Kesto_Router", "B"}});
  rig_.notes.FailCall(NotesOp::kCreateDatabaseCopy, 1, err::kDiskError);
  size_t mark = rig_.LogSize();
  rig_.Pass();
  Texts log = rig_.LogSince(mark);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].rfind("VTRouter: Unable to create new database "
                         "'Veltrane\\QuarantineB_2.nsf'",
                         0),
            0u)
      << log[0];
  EXPECT_EQ(log[1], "VTRouter: Moved 1 messages to Quarantine B");
  // Spam is still delivered into the full one meanwhile.
  EXPECT_NE(FindMessage(rig_.server(), kQuarantineB, "b1"), 0u);
  EXPECT_EQ(rig_.engine.quarantineB->path, "Veltrane\\QuarantineB_1.nsf");
  EXPECT_TRUE(rig_.engine.quarantineB->IsOpen());
  EXPECT_EQ(Saves(), 0);
  mark = rig_.LogSize();
  rig_.Pass();
  EXPECT_EQ(
      rig_.LogSince(mark),
      Texts{"VTRouter: Created new database Veltrane\\QuarantineB_2.nsf."});
  EXPECT_EQ(rig_.engine.quarantineB->path, "Veltrane\\QuarantineB_2.nsf");
  EXPECT_EQ(Saves(), 1);
}

TEST_F(RollOverTest, SizeCheckRunsBeforeDeliveryInThePass) {
  rig_.notes.reportedSizes["QuarantineD_1.nsf"] = kTenMiB;
  DepositMessage(rig_.server(), kScanBox1, "d1",
                 {{"VeltraneVerified", "1"}, {"Kesto_Router", "D"}});
  rig_.Pass();
  EXPECT_NE(FindMessage(rig_.server(), "Veltrane\\QuarantineD_2.nsf", "d1"),
            0u);
  EXPECT_EQ(FindMessage(rig_.server(), kQuarantineD, "d1"), 0u);
}

TEST_F(RollOverTest, RolledOverNameIsReadBackAfterAnOutsideEdit) {
  rig_.notes.reportedSizes["QuarantineB_1.nsf"] = kTenMiB;
  rig_.Pass();
  rig_.world.clock().AdvanceMillis(1000);
  rig_.world.EditConfig({{"ConsoleLogLevel", "0"}});
  ASSERT_EQ(rig_.engine.config->Reinitialize(), kReinitReread);
  EXPECT_EQ(rig_.engine.config->quarantinePathB, "Veltrane\\QuarantineB_2.nsf");
  rig_.engine.reinitRequested = 1;
  rig_.Pass();
  EXPECT_EQ(rig_.engine.quarantineB->path, "Veltrane\\QuarantineB_2.nsf");
  EXPECT_TRUE(rig_.engine.quarantineB->IsOpen());
}

// ---- Quarantines: roll-over on request
// -----------------------------------------

TEST_F(RollOverTest, ReplaceRollsOverWhateverTheSize) {
  const size_t mark = rig_.LogSize();
  EXPECT_EQ(
      ReplaceQuarantine(kTitleC, *rig_.engine.config, rig_.engine.quarantineC,
                        rig_.engine.earlierQuarantines[1],
                        rig_.engine.config->quarantinePathC),
      1);
  EXPECT_EQ(
      rig_.LogSince(mark),
      Texts{"VTRouter: Created new database Veltrane\\QuarantineC_2.nsf."});
  EXPECT_EQ(rig_.engine.quarantineC->path, "Veltrane\\QuarantineC_2.nsf");
  EXPECT_EQ(ConfigItem(rig_, "CatCQNsfD"), "Veltrane\\QuarantineC_2.nsf");
  EXPECT_EQ(Title(rig_, "Veltrane\\QuarantineC_2.nsf"), "Perimeter 'C' #2");
  EXPECT_EQ(Saves(), 1);
  EXPECT_EQ(rig_.engine.config->Reinitialize(), kReinitUnchanged);

  EXPECT_EQ(
      ReplaceQuarantine(kTitleC, *rig_.engine.config, rig_.engine.quarantineC,
                        rig_.engine.earlierQuarantines[1],
                        rig_.engine.config->quarantinePathC),
      1);
  EXPECT_EQ(rig_.engine.quarantineC->path, "Veltrane\\QuarantineC_3.nsf");
  EXPECT_EQ(ConfigItem(rig_, "CatCQNsfD"), "Veltrane\\QuarantineC_3.nsf");
  EXPECT_EQ(Saves(), 2);
}

TEST_F(RollOverTest, ReplaceWithoutARecordOrWithAFailedCopyKeepsThings) {
  std::unique_ptr<MailDatabase> none;
  FixedText<kPathSize> path("Veltrane\\QuarantineX_1.nsf");
  EarlierQuarantines earlier;
  EXPECT_EQ(
      ReplaceQuarantine(kTitleB, *rig_.engine.config, none, earlier, path), 0);
  EXPECT_EQ(path, "Veltrane\\QuarantineX_1.nsf");

  rig_.notes.FailCall(NotesOp::kCreateDatabaseCopy, 1, err::kFileNotFound);
  MailDatabase* before = rig_.engine.quarantineB.get();
  EXPECT_EQ(
      ReplaceQuarantine(kTitleB, *rig_.engine.config, rig_.engine.quarantineB,
                        rig_.engine.earlierQuarantines[0],
                        rig_.engine.config->quarantinePathB),
      0);
  EXPECT_EQ(rig_.engine.quarantineB.get(), before);
  EXPECT_TRUE(rig_.engine.quarantineB->IsOpen());
  EXPECT_EQ(rig_.engine.config->quarantinePathB, "Veltrane\\QuarantineB_1.nsf");
  EXPECT_EQ(Saves(), 0);
}

}  // namespace
}  // namespace vt
