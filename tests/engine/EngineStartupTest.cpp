// Engine start-up and shutdown over a real server: what a successful start
// opens and creates, that a start failing at any step reports it with its own
// line and returns 1, and that shutdown afterwards leaves no handle behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/RouterEngine.h"
#include "support/EngineRig.h"
#include "support/MailMessages.h"
#include "support/TestDatabases.h"

namespace vt {
namespace {

using testing::CountLog;
using testing::EngineRig;
using testing::FaultyNotes;
using testing::InfoTitle;
using testing::Items;
using testing::kMailBox;
using testing::kScanBox1;
using testing::LogTexts;
using testing::MemoItems;
using Mode = FaultyNotes::Mode;
using Texts = std::vector<std::string>;

bool Logged(EngineRig& rig, const std::string& text) {
  return rig.CountLine(text) > 0;
}

// Every handle the engine took through the wrapper has been given back.
void ExpectNothingHeld(const EngineRig& rig) {
  EXPECT_EQ(rig.notes.openDatabases(), 0);
  EXPECT_EQ(rig.notes.openNotes(), 0);
  EXPECT_EQ(rig.notes.idTables(), 0);
  EXPECT_EQ(rig.notes.memoryBlocks(), 0);
  EXPECT_EQ(rig.notes.collections(), 0);
}

void ExpectShutDownCleanly(EngineRig& rig) {
  ShutdownEngine(rig.engine);
  ExpectNothingHeld(rig);
  EXPECT_EQ(rig.engine.stateFlags, 0u);
  EXPECT_EQ(rig.engine.config, nullptr);
  EXPECT_EQ(rig.engine.scanBoxes, nullptr);
  EXPECT_EQ(rig.engine.quarantineB, nullptr);
  EXPECT_EQ(rig.engine.openMailboxCount, 0);
  // A second shutdown finds nothing left to release.
  ShutdownEngine(rig.engine);
  ExpectNothingHeld(rig);
}

std::string Title(EngineRig& rig, const char* path) {
  DbHandle db;
  if (!rig.server().OpenDatabase(path, &db).ok()) return "<missing>";
  const std::string title = InfoTitle(rig.server(), db);
  rig.server().CloseDatabase(db).IgnoreError();
  return title;
}

// ---- A successful start
// ------------------------------------------------------

TEST(EngineStartupTest, OpensMailBoxAndCreatesScanBoxesAndQuarantines) {
  EngineRig rig;
  ASSERT_EQ(rig.Start(), 0);
  RouterEngine& e = rig.engine;

  EXPECT_EQ(e.stateFlags, kEngineConfigCreated | kEngineIdTableCreated);
  EXPECT_TRUE(static_cast<bool>(e.idTable));
  EXPECT_EQ(e.openMailboxCount, 1);
  EXPECT_TRUE(static_cast<bool>(e.mailboxHandles[0]));
  ASSERT_NE(e.scanBoxes, nullptr);
  ASSERT_EQ(e.scanBoxes->Count(), 2u);
  EXPECT_EQ(e.scanBoxes->At(0)->path, "Veltrane\\Scan\\Scan_1.box");
  EXPECT_EQ(e.scanBoxes->At(1)->path, "Veltrane\\Scan\\Scan_2.box");
  for (auto* q :
       {e.quarantineB.get(), e.quarantineC.get(), e.quarantineD.get()}) {
    ASSERT_NE(q, nullptr);
    EXPECT_TRUE(q->IsOpen()) << q->path.c_str();
  }
  EXPECT_EQ(e.quarantineD->path, "Veltrane\\QuarantineD_1.nsf");

  EXPECT_EQ(Title(rig, kScanBox1), "Veltrane Scan Box #1");
  EXPECT_EQ(Title(rig, "Veltrane\\Scan\\Scan_2.box"), "Veltrane Scan Box #2");
  EXPECT_EQ(Title(rig, "Veltrane\\QuarantineB_1.nsf"), "Perimeter 'B' #1");
  EXPECT_EQ(Title(rig, "Veltrane\\QuarantineC_1.nsf"), "Perimeter 'C' #1");
  EXPECT_EQ(Title(rig, "Veltrane\\QuarantineD_1.nsf"), "Perimeter 'D' #1");
  for (const char* created :
       {"Veltrane\\Scan\\Scan_1.box", "Veltrane\\Scan\\Scan_2.box",
        "Veltrane\\QuarantineB_1.nsf", "Veltrane\\QuarantineC_1.nsf",
        "Veltrane\\QuarantineD_1.nsf"}) {
    EXPECT_TRUE(Logged(rig, std::string("VTRouter: Created new Quarantine "
                                        "database ") +
                                created + " "))
        << created;
  }
  for (int slot = 0; slot < kSlotRelease; ++slot) {
    ASSERT_NE(e.formulas[slot], nullptr);
    EXPECT_TRUE(e.formulas[slot]->IsCompiled()) << slot;
  }
  // No release time configured: the release formula stays uncompiled.
  ASSERT_NE(e.formulas[kSlotRelease], nullptr);
  EXPECT_FALSE(e.formulas[kSlotRelease]->IsCompiled());
  EXPECT_EQ(rig.notes.Calls(NotesOp::kCompileFormula), 7);

  ExpectShutDownCleanly(rig);
}

TEST(EngineStartupTest, ASecondStartOpensWhatTheFirstCreated) {
  EngineRig rig;
  ASSERT_EQ(rig.Start(), 0);
  ShutdownEngine(rig.engine);
  const int created = CountLog(rig.server(), "Created new");

  RouterEngine again(rig.notes, rig.system);
  ASSERT_EQ(StartEngine(again), 0);
  EXPECT_EQ(CountLog(rig.server(), "Created new"), created);
  EXPECT_EQ(again.scanBoxes->Count(), 2u);
  EXPECT_TRUE(again.quarantineC->IsOpen());
  ShutdownEngine(again);
  ExpectNothingHeld(rig);
}

TEST(EngineStartupTest, ReleaseFormulaIsCompiledFromTenMinutesOn) {
  {
    EngineRig rig({{"ReleaseMailMinutes", 9}});
    ASSERT_EQ(rig.Start(), 0);
    EXPECT_FALSE(rig.engine.formulas[kSlotRelease]->IsCompiled());
  }
  EngineRig rig({{"ReleaseMailMinutes", 10}});
  ASSERT_EQ(rig.Start(), 0);
  EXPECT_TRUE(rig.engine.formulas[kSlotRelease]->IsCompiled());
  EXPECT_EQ(rig.notes.Calls(NotesOp::kCompileFormula), 8);
  ExpectShutDownCleanly(rig);
}

TEST(EngineStartupTest, ShutdownAfterPassesReleasesEverything) {
  EngineRig rig({{"ReleaseMailMinutes", 10}});
  ASSERT_EQ(rig.Start(), 0);
  rig.engine.releaseEnabled = 1;
  testing::DepositMessage(rig.server(), kMailBox, "m1");
  rig.Pass();
  ASSERT_TRUE(testing::GiveVerdict(rig.server(), kScanBox1, "m1", "B"));
  rig.Pass();
  rig.engine.reinitRequested = 1;
  rig.Pass();
  rig.Pass();
  ExpectShutDownCleanly(rig);
}

// ---- Which mail is intercepted
// -------------------------------------------------

struct InterceptCase {
  int alternateInterceptor;
  bool takesProcessFlag;
  bool takesHeld;
};

class InterceptorModeTest : public ::testing::TestWithParam<InterceptCase> {};

TEST_P(InterceptorModeTest, ChoosesTheInterceptionFormulaAtStart) {
  const InterceptCase c = GetParam();
  EngineRig rig({{"AlternateInterceptor", c.alternateInterceptor}});
  ASSERT_EQ(rig.Start(), 0);
  testing::AddDocument(rig.server(), kMailBox,
                       MemoItems("flagged", {{"VeltraneProcess", "1"}}));
  Items held = MemoItems("held", {{"RoutingState", "HOLD"}});
  held.erase("VeltraneProcess");
  testing::AddDocument(rig.server(), kMailBox, held);
  rig.Pass();
  EXPECT_EQ(testing::FindMessage(rig.server(), kScanBox1, "flagged") != 0,
            c.takesProcessFlag);
  EXPECT_EQ(testing::FindMessage(rig.server(), kScanBox1, "held") != 0,
            c.takesHeld);
  EXPECT_EQ(testing::FindMessage(rig.server(), kMailBox, "flagged") != 0,
            !c.takesProcessFlag);
  EXPECT_EQ(testing::FindMessage(rig.server(), kMailBox, "held") != 0,
            !c.takesHeld);
}

INSTANTIATE_TEST_SUITE_P(EngineStartupTest, InterceptorModeTest,
                         ::testing::Values(InterceptCase{0, true, false},
                                           InterceptCase{1, false, true},
                                           InterceptCase{2, true, false}));

// ---- A start that fails
// --------------------------------------------------------

TEST(EngineStartupTest, FailsWithoutAConfigurationDocumentForThisServer) {
  EngineRig rig;
  rig.world.EditConfig({{"ServerName", "CN=Other/O=Example"}});
  EXPECT_EQ(rig.Start(), 1);
  EXPECT_TRUE(Logged(
      rig, "VTRouter: Unable to read configuration view 'AdminServerConfig'."));
  EXPECT_EQ(rig.engine.openMailboxCount, 0);
  EXPECT_EQ(rig.engine.scanBoxes, nullptr);
  ExpectShutDownCleanly(rig);
}

TEST(EngineStartupTest, FailsWhenNoMailBoxOpens) {
  EngineRig rig({{"MailboxNsf", std::vector<std::string>{"missing.box"}}});
  EXPECT_EQ(rig.Start(), 1);
  EXPECT_EQ(CountLog(rig.server(),
                     "VTRouter: Unable to open database 'missing.box'.  "
                     "Skipping database."),
            1);
  EXPECT_TRUE(Logged(rig,
                     "VTRouter: Unable to open any mail boxes on the mail box "
                     "list.  Veltrane disabled."));
  // Nothing after the mail boxes was tried.
  EXPECT_EQ(rig.engine.scanBoxes, nullptr);
  EXPECT_FALSE(std::filesystem::exists(
      rig.world.dir().File("Veltrane/Scan/Scan_1.box")));
  ExpectShutDownCleanly(rig);
}

TEST(EngineStartupTest, FailsWhenNoScanBoxCanBeOpenedOrCreated) {
  EngineRig rig;
  rig.notes.FailCall(NotesOp::kCreateDatabaseCopy, 1, err::kDiskError,
                     Mode::kFromThen);
  EXPECT_EQ(rig.Start(), 1);
  EXPECT_EQ(CountLog(rig.server(),
                     "VTRouter: Unable to create new database "
                     "'Veltrane\\Scan\\Scan_1.box' from template "
                     "'Veltrane\\scan.ntf' "),
            1);
  EXPECT_EQ(CountLog(rig.server(),
                     "VTRouter: Unable to create new database "
                     "'Veltrane\\Scan\\Scan_2.box' from template "
                     "'Veltrane\\scan.ntf' "),
            1);
  ASSERT_NE(rig.engine.scanBoxes, nullptr);
  EXPECT_EQ(rig.engine.scanBoxes->Count(), 0u);
  EXPECT_EQ(rig.engine.quarantineB, nullptr);
  ExpectShutDownCleanly(rig);
}

TEST(EngineStartupTest, OneScanBoxIsEnough) {
  EngineRig rig;
  // Scan box 2 cannot be created; scan box 1 can.
  rig.notes.FailCall(NotesOp::kCreateDatabaseCopy, 2, err::kDiskError);
  EXPECT_EQ(rig.Start(), 0);
  ASSERT_EQ(rig.engine.scanBoxes->Count(), 1u);
  EXPECT_EQ(rig.engine.scanBoxes->At(0)->path, "Veltrane\\Scan\\Scan_1.box");
  ExpectShutDownCleanly(rig);
}

TEST(EngineStartupTest, FailsWhenAQuarantineCannotBeOpenedOrCreated) {
  EngineRig rig;
  // Copies 1 and 2 are the scan boxes, 3 quarantine B, 4 quarantine C.
  rig.notes.FailCall(NotesOp::kCreateDatabaseCopy, 4, err::kDiskError);
  EXPECT_EQ(rig.Start(), 1);
  EXPECT_EQ(CountLog(rig.server(),
                     "VTRouter: Unable to create new database "
                     "'Veltrane\\QuarantineC_1.nsf' from template "
                     "'Veltrane\\quarantine.ntf' "),
            1);
  ASSERT_NE(rig.engine.quarantineD, nullptr);
  EXPECT_TRUE(rig.engine.quarantineB->IsOpen());
  EXPECT_FALSE(rig.engine.quarantineC->IsOpen());
  // The quarantines after the failed one are not tried.
  EXPECT_FALSE(rig.engine.quarantineD->IsOpen());
  EXPECT_EQ(rig.notes.Calls(NotesOp::kCreateDatabaseCopy), 4);
  EXPECT_EQ(rig.engine.formulas[0], nullptr);
  ExpectShutDownCleanly(rig);
}

TEST(EngineStartupTest, FailsWhenAFormulaDoesNotCompileButTriesThemAll) {
  EngineRig rig({{"ReleaseMailMinutes", 15}});
  rig.notes.FailCall(NotesOp::kCompileFormula, 3, err::kFormulaSyntax);
  EXPECT_EQ(rig.Start(), 1);
  EXPECT_EQ(rig.notes.Calls(NotesOp::kCompileFormula), 8);
  EXPECT_EQ(CountLog(rig.server(),
                     "VTRouter: Error compiling formula.  Error "
                     "offset 0.  Error length 0."),
            1);
  EXPECT_TRUE(
      Logged(rig, "VTRouter: Error compiling document selection formulas."));
  EXPECT_FALSE(rig.engine.formulas[2]->IsCompiled());
  EXPECT_TRUE(rig.engine.formulas[kSlotRelease]->IsCompiled());
  EXPECT_FALSE(static_cast<bool>(rig.engine.idTable));
  // The formulas that did compile are freed by the shutdown.
  EXPECT_EQ(rig.notes.memoryBlocks(), 7);
  ExpectShutDownCleanly(rig);
}

TEST(EngineStartupTest, FailsWhenTheReleaseFormulaDoesNotCompile) {
  EngineRig rig({{"ReleaseMailMinutes", 10}});
  rig.notes.FailCall(NotesOp::kCompileFormula, 8, err::kFormulaSyntax);
  EXPECT_EQ(rig.Start(), 1);
  EXPECT_TRUE(
      Logged(rig, "VTRouter: Error compiling document selection formulas."));
  ExpectShutDownCleanly(rig);
}

TEST(EngineStartupTest, FailsWhenTheIdTableCannotBeCreated) {
  EngineRig rig;
  rig.notes.FailCall(NotesOp::kCreateIdTable, 1, err::kNoMemory);
  EXPECT_EQ(rig.Start(), 1);
  const Texts log = LogTexts(rig.server());
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().rfind(
                "VTRouter: Error creating internal document structures.", 0),
            0u)
      << log.back();
  EXPECT_NE(log.back(),
            "VTRouter: Error creating internal document structures.")
      << "the platform's status goes with the line";
  EXPECT_EQ(rig.engine.stateFlags & kEngineIdTableCreated, 0u);
  EXPECT_FALSE(static_cast<bool>(rig.engine.idTable));
  ExpectShutDownCleanly(rig);
}

TEST(EngineStartupTest, ShutdownOfANeverStartedEngineDoesNothing) {
  EngineRig rig;
  ShutdownEngine(rig.engine);
  ShutdownEngine(rig.engine);
  ExpectNothingHeld(rig);
  EXPECT_EQ(rig.notes.TotalCalls(), 0);
}

}  // namespace
}  // namespace vt
