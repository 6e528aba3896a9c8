// Whole processing passes over a real server: the road of a message from the
// mail box through a scan box to its destination, the day's counters, the
// summary lines, and the pass's own decisions (re-initialisation, processing
// switched off, the mail box chosen at random, a closed quarantine, a single
// scan box, a termination request).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/RouterEngine.h"
#include "support/EngineRig.h"
#include "support/MailMessages.h"

namespace vt {
namespace {

using testing::CreateDatabaseAt;
using testing::DepositMessage;
using testing::EngineRig;
using testing::FindMessage;
using testing::GiveVerdict;
using Mode = testing::FaultyNotes::Mode;
using testing::Items;
using testing::kMailBox;
using testing::kQuarantineB;
using testing::kQuarantineC;
using testing::kQuarantineD;
using testing::kScanBox1;
using testing::kScanBox2;
using testing::MessageHasItem;
using testing::MessageItem;
using Texts = std::vector<std::string>;

constexpr int64_t kMinute = 60 * 100;  // in centiseconds

const std::vector<std::string> kAllDatabases = {
    kMailBox, kScanBox1, kScanBox2, kQuarantineB, kQuarantineC, kQuarantineD};

// The databases that hold the message.
std::vector<std::string> Where(EngineRig& rig, const std::string& id) {
  const testing::Census census =
      testing::TakeCensus(rig.server(), kAllDatabases);
  auto it = census.find(id);
  return it == census.end() ? std::vector<std::string>{} : it->second;
}
using Places = std::vector<std::string>;

// The summary lines ("Moved ...") the log gained since first.
Texts MovedLines(EngineRig& rig, size_t first) {
  Texts moved;
  for (const std::string& line : rig.LogSince(first)) {
    if (line.find("Moved ") != std::string::npos) moved.push_back(line);
  }
  return moved;
}

// A verified message put straight into a scan box, as the scanner leaves it.
void AddVerified(EngineRig& rig, const std::string& db, const std::string& id,
                 const std::string& route, Items extra = {}) {
  extra.insert_or_assign("VeltraneVerified", "1");
  extra.insert_or_assign("Kesto_Router", route);
  DepositMessage(rig.server(), db, id, extra);
}

// ---- The road of one message
// -------------------------------------------------

TEST(ProcessingPassTest, MessageIsInterceptedThenDeliveredToTheMailBox) {
  EngineRig rig;
  ASSERT_EQ(rig.Start(), 0);
  DepositMessage(rig.server(), kMailBox, "m1");

  size_t mark = rig.LogSize();
  rig.Pass();
  EXPECT_EQ(Where(rig, "m1"), Places{kScanBox1});
  // The dead-mail selection found nothing and writes no summary.
  EXPECT_EQ(MovedLines(rig, mark),
            Texts{"VTRouter: Moved 1 messages to Scan box"});
  EXPECT_EQ(rig.totals.Mail, 0) << "interception is not counted";

  // Nothing to do while the scanner has not decided.
  mark = rig.LogSize();
  rig.Pass();
  EXPECT_EQ(Where(rig, "m1"), Places{kScanBox1});
  EXPECT_EQ(MovedLines(rig, mark), Texts{});

  ASSERT_TRUE(GiveVerdict(rig.server(), kScanBox1, "m1", "M"));
  mark = rig.LogSize();
  rig.Pass();
  EXPECT_EQ(Where(rig, "m1"), Places{kMailBox});
  EXPECT_EQ(MovedLines(rig, mark),
            Texts{"VTRouter: Moved 1 messages to mail.box"});
  EXPECT_EQ(rig.totals.Mail, 1);
  EXPECT_EQ(rig.totals.SpamB + rig.totals.SpamC + rig.totals.SpamD, 0);
  // The mover changes no item: the verdict travels with the message.
  EXPECT_EQ(MessageItem(rig.server(), kMailBox, "m1", "VeltraneVerified"), "1");
  EXPECT_EQ(MessageItem(rig.server(), kMailBox, "m1", "Kesto_Router"), "M");
  EXPECT_EQ(MessageItem(rig.server(), kMailBox, "m1", "Subject"), "Message m1");

  // A verified message is never intercepted again.
  rig.Pass();
  EXPECT_EQ(Where(rig, "m1"), Places{kMailBox});
}

struct SpamRoute {
  const char* route;
  const char* quarantine;
  const char* summary;
  int32_t MessageCounts::*counter;
};

class SpamRoadTest : public ::testing::TestWithParam<SpamRoute> {};

TEST_P(SpamRoadTest, VerifiedSpamGoesToItsQuarantineAndIsCounted) {
  const SpamRoute r = GetParam();
  EngineRig rig;
  ASSERT_EQ(rig.Start(), 0);
  DepositMessage(rig.server(), kMailBox, "s1");
  rig.Pass();
  ASSERT_TRUE(GiveVerdict(rig.server(), kScanBox1, "s1", r.route));
  const size_t mark = rig.LogSize();
  rig.Pass();
  EXPECT_EQ(Where(rig, "s1"), Places{r.quarantine});
  EXPECT_EQ(MovedLines(rig, mark), Texts{r.summary});
  EXPECT_EQ(rig.totals.*r.counter, 1);
  EXPECT_EQ(
      rig.totals.Mail + rig.totals.SpamB + rig.totals.SpamC + rig.totals.SpamD,
      1);
}

INSTANTIATE_TEST_SUITE_P(
    ProcessingPassTest, SpamRoadTest,
    ::testing::Values(SpamRoute{"B", kQuarantineB,
                                "VTRouter: Moved 1 messages to Quarantine B",
                                &MessageCounts::SpamB},
                      SpamRoute{"C", kQuarantineC,
                                "VTRouter: Moved 1 messages to Quarantine C",
                                &MessageCounts::SpamC},
                      SpamRoute{"D", kQuarantineD,
                                "VTRouter: Moved 1 messages to Quarantine D",
                                &MessageCounts::SpamD}));

TEST(ProcessingPassTest, HeldMessageLosesItsHoldWhenItComesBackVerified) {
  EngineRig rig;
  ASSERT_EQ(rig.Start(), 0);
  DepositMessage(rig.server(), kMailBox, "h1",
                 {{"RoutingState", "HOLD"}, {"DeadFailureReason", "held"}});
  rig.Pass();
  ASSERT_EQ(Where(rig, "h1"), Places{kScanBox1});
  ASSERT_TRUE(GiveVerdict(rig.server(), kScanBox1, "h1", "M"));
  rig.Pass();
  ASSERT_EQ(Where(rig, "h1"), Places{kMailBox});
  // Delivery and hold removal in the same pass.
  EXPECT_FALSE(MessageHasItem(rig.server(), kMailBox, "h1", "RoutingState"));
  EXPECT_FALSE(
      MessageHasItem(rig.server(), kMailBox, "h1", "DeadFailureReason"));
  EXPECT_EQ(MessageItem(rig.server(), kMailBox, "h1", "VeltraneVerified"), "1");
  EXPECT_EQ(MessageItem(rig.server(), kMailBox, "h1", "Kesto_Router"), "M");
  EXPECT_EQ(MessageItem(rig.server(), kMailBox, "h1", "VeltraneProcess"), "1");
  EXPECT_EQ(MessageItem(rig.server(), kMailBox, "h1", "Subject"), "Message h1");
}

TEST(ProcessingPassTest, DeadMailIsScannedAndComesBackStillDead) {
  EngineRig rig;
  ASSERT_EQ(rig.Start(), 0);
  DepositMessage(rig.server(), kMailBox, "d1",
                 {{"RoutingState", "DEAD"}, {"DeadFailureReason", "No route"}});
  // Dead mail without the processing flag is the mail server's business.
  Items plainDead = testing::MemoItems("d2", {{"RoutingState", "DEAD"}});
  plainDead.erase("VeltraneProcess");
  testing::AddDocument(rig.server(), kMailBox, plainDead);
  rig.Pass();
  EXPECT_EQ(Where(rig, "d1"), Places{kScanBox1});
  EXPECT_EQ(Where(rig, "d2"), Places{kMailBox});
  ASSERT_TRUE(GiveVerdict(rig.server(), kScanBox1, "d1", "M"));
  rig.Pass();
  rig.Pass();
  EXPECT_EQ(Where(rig, "d1"), Places{kMailBox});
  // Only "HOLD" is taken away.
  EXPECT_EQ(MessageItem(rig.server(), kMailBox, "d1", "RoutingState"), "DEAD");
  EXPECT_EQ(MessageItem(rig.server(), kMailBox, "d1", "DeadFailureReason"),
            "No route");
}

TEST(ProcessingPassTest, UnscannedMessageIsReleasedAndDeliveredNextPass) {
  EngineRig rig({{"ReleaseMailMinutes", 10}});
  ASSERT_EQ(rig.Start(), 0);
  const int64_t now = rig.world.clock().NowUnixCentis();
  DepositMessage(rig.server(), kMailBox, "old", {}, now - 11 * kMinute);
  DepositMessage(rig.server(), kMailBox, "young", {}, now - 9 * kMinute);
  rig.Pass();
  ASSERT_EQ(Where(rig, "old"), Places{kScanBox1});
  EXPECT_EQ(
      rig.CountLine("VTRouter: Releasing 1 unscanned messages from scan.box."),
      0)
      << "release is not enabled yet";

  rig.engine.releaseEnabled = 1;  // enablerelease
  rig.Pass();
  EXPECT_EQ(
      rig.CountLine("VTRouter: Releasing 1 unscanned messages from scan.box."),
      1);
  EXPECT_EQ(Where(rig, "old"), Places{kScanBox1}) << "released, not moved";

  const size_t mark = rig.LogSize();
  rig.Pass();
  EXPECT_EQ(Where(rig, "old"), Places{kMailBox});
  EXPECT_EQ(MessageItem(rig.server(), kMailBox, "old", "VTRouterReleased"),
            "1");
  EXPECT_EQ(rig.totals.Mail, 1);
  EXPECT_EQ(MovedLines(rig, mark),
            Texts{"VTRouter: Moved 1 messages to mail.box"});
  EXPECT_EQ(Where(rig, "young"), Places{kScanBox1});
  EXPECT_EQ(rig.engine.releaseEnabled, 1) << "the pass never clears it";
}

// ---- Mail rules
// ----------------------------------------------------------------

TEST(ProcessingPassTest, MessageRefusedByAMailRuleIsDeletedAndNotCounted) {
  EngineRig rig({}, "[MailRules]\nNoSpam=SELECT Subject = \"blocked\"\n");
  ASSERT_EQ(rig.Start(), 0);
  AddVerified(rig, kScanBox1, "blocked", "M", {{"Subject", "blocked"}});
  AddVerified(rig, kScanBox1, "fine", "M");
  const size_t mark = rig.LogSize();
  rig.Pass();
  EXPECT_EQ(Where(rig, "blocked"), Places{});
  EXPECT_EQ(Where(rig, "fine"), Places{kMailBox});
  EXPECT_EQ(rig.CountLine("VTRouter: Message rejected by mail rule.  Deleting "
                          "message."),
            1);
  EXPECT_EQ(MovedLines(rig, mark),
            Texts{"VTRouter: Moved 1 messages to mail.box.  1 rejected."});
  EXPECT_EQ(rig.totals.Mail, 1);
}

// ---- Scan boxes
// ----------------------------------------------------------------

TEST(ProcessingPassTest, SecondScanBoxTakesOnlyWhatTheFirstRefused) {
  EngineRig rig;
  ASSERT_EQ(rig.Start(), 0);
  DepositMessage(rig.server(), kMailBox, "a1");
  DepositMessage(rig.server(), kMailBox, "a2");
  rig.notes.FailCall(NotesOp::kCopySelectedNote, 1, err::kDiskError);
  const size_t mark = rig.LogSize();
  rig.Pass();
  EXPECT_EQ(Where(rig, "a1"), Places{kScanBox2});
  EXPECT_EQ(Where(rig, "a2"), Places{kScanBox1});
  const Texts log = rig.LogSince(mark);
  int errors = 0;
  for (const std::string& line : log) {
    if (line.rfind("VTRouter: Error moving message.  ", 0) == 0) {
      ++errors;
      EXPECT_GT(line.size(),
                std::string("VTRouter: Error moving message.  ").size())
          << "the status text follows the two blanks";
    }
  }
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(MovedLines(rig, mark),
            Texts{"VTRouter: Moved 2 messages to Scan box.  1 errors."});

  // Scan box 2 is delivered from like any other.
  ASSERT_TRUE(GiveVerdict(rig.server(), kScanBox2, "a1", "D"));
  rig.Pass();
  EXPECT_EQ(Where(rig, "a1"), Places{kQuarantineD});
  EXPECT_EQ(rig.totals.SpamD, 1);
}

TEST(ProcessingPassTest, WithOneScanBoxAFailedCopyLeavesTheMessageInPlace) {
  EngineRig rig({{"ScanningNsf",
                  std::vector<std::string>{"Veltrane\\Scan\\Scan_1.box"}}});
  ASSERT_EQ(rig.Start(), 0);
  ASSERT_EQ(rig.engine.scanBoxes->Count(), 1u);
  DepositMessage(rig.server(), kMailBox, "a1");
  rig.notes.FailCall(NotesOp::kCopySelectedNote, 1, err::kDiskError);
  const size_t mark = rig.LogSize();
  rig.Pass();
  EXPECT_EQ(Where(rig, "a1"), Places{kMailBox});
  EXPECT_EQ(rig.notes.Calls(NotesOp::kCopySelectedNote), 1)
      << "no alternative is tried";
  EXPECT_EQ(MovedLines(rig, mark),
            Texts{"VTRouter: Moved 0 messages to Scan box.  1 errors."});
  rig.Pass();
  EXPECT_EQ(Where(rig, "a1"), Places{kScanBox1});
}

// A full disk fails every copy of every pass: one line when it begins, and
// one with the count held back when the first move after it succeeds.
TEST(ProcessingPassTest, AFullDiskIsLoggedOncePerEpisode) {
  EngineRig rig;
  ASSERT_EQ(rig.Start(), 0);
  for (const char* id : {"a1", "a2", "a3", "a4", "a5"}) {
    DepositMessage(rig.server(), kMailBox, id);
  }
  rig.notes.FailCall(NotesOp::kCopySelectedNote, 1, err::kDiskFull,
                     Mode::kFromThen);
  const size_t mark = rig.LogSize();
  rig.Pass();
  rig.Pass();
  rig.notes.ClearFaults();
  rig.Pass();
  int errors = 0;
  for (const std::string& line : rig.LogSince(mark)) {
    if (line.rfind("VTRouter: Error moving message.  ", 0) == 0) ++errors;
  }
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(rig.CountLine("VTRouter: 9 further messages could not be moved "
                          "while the disk was full."),
            1);
  EXPECT_EQ(MovedLines(rig, mark),
            (Texts{"VTRouter: Moved 0 messages to Scan box.  5 errors.",
                   "VTRouter: Moved 0 messages to Scan box.  5 errors.",
                   "VTRouter: Moved 5 messages to Scan box"}));
  EXPECT_EQ(Where(rig, "a5"), Places{kScanBox1});
}

// A database server that does not respond fails every search and every
// move while it lasts: one line when the episode begins, whichever fails
// first, and one with the messages held back once it answers again; a
// second outage is said again.
TEST(ProcessingPassTest, AServerNotRespondingIsLoggedOncePerEpisode) {
  EngineRig rig;
  ASSERT_EQ(rig.Start(), 0);
  for (const char* id : {"a1", "a2", "a3"}) {
    DepositMessage(rig.server(), kMailBox, id);
  }
  const auto failures = [&](size_t mark) {
    int n = 0;
    for (const std::string& line : rig.LogSince(mark)) {
      if (line.find("Server not responding") != std::string::npos) ++n;
    }
    return n;
  };
  size_t mark = rig.LogSize();
  rig.notes.FailCall(NotesOp::kCopySelectedNote, 1, err::kServerNotResponding,
                     Mode::kFromThen);
  rig.Pass();
  rig.notes.FailCall(NotesOp::kSearchDatabase, 1, err::kServerNotResponding,
                     Mode::kFromThen);
  rig.Pass();
  rig.Pass();
  EXPECT_EQ(failures(mark), 1);
  rig.notes.ClearFaults();
  rig.Pass();
  EXPECT_EQ(rig.CountLine("VTRouter: 2 further messages could not be moved "
                          "while a database server did not respond."),
            1);
  EXPECT_EQ(Where(rig, "a3"), Places{kScanBox1});

  // The next outage is an episode of its own, begun by a search.
  mark = rig.LogSize();
  rig.notes.FailCall(NotesOp::kSearchDatabase, 1, err::kServerNotResponding,
                     Mode::kFromThen);
  rig.Pass();
  rig.Pass();
  EXPECT_EQ(failures(mark), 1);
}

TEST(ProcessingPassTest, EveryScanBoxIsDeliveredFrom) {
  EngineRig rig;
  ASSERT_EQ(rig.Start(), 0);
  AddVerified(rig, kScanBox1, "m1", "M");
  AddVerified(rig, kScanBox2, "m2", "M");
  AddVerified(rig, kScanBox2, "b2", "B");
  const size_t mark = rig.LogSize();
  rig.Pass();
  EXPECT_EQ(Where(rig, "m1"), Places{kMailBox});
  EXPECT_EQ(Where(rig, "m2"), Places{kMailBox});
  EXPECT_EQ(Where(rig, "b2"), Places{kQuarantineB});
  EXPECT_EQ(MovedLines(rig, mark),
            (Texts{"VTRouter: Moved 1 messages to mail.box",
                   "VTRouter: Moved 1 messages to mail.box",
                   "VTRouter: Moved 1 messages to Quarantine B"}));
  EXPECT_EQ(rig.totals.Mail, 2);
  EXPECT_EQ(rig.totals.SpamB, 1);
}

// ---- Quarantines
// -------------------------------------------------------------

TEST(ProcessingPassTest, SpamForAClosedQuarantineWaitsInTheScanBox) {
  EngineRig rig({{"ReleaseMailMinutes", 10}});
  ASSERT_EQ(rig.Start(), 0);
  rig.engine.releaseEnabled = 1;
  const int64_t old = rig.world.clock().NowUnixCentis() - 30 * kMinute;
  for (const char* box : {kScanBox1, kScanBox2}) {
    const std::string n = box == kScanBox1 ? "1" : "2";
    AddVerified(rig, box, "b" + n, "B");
    DepositMessage(rig.server(), box, "c" + n,
                   {{"VeltraneVerified", "1"}, {"Kesto_Router", "C"}}, old);
    AddVerified(rig, box, "d" + n, "D");
  }
  ASSERT_EQ(rig.engine.quarantineC->Close(), Status());
  ASSERT_NE(rig.engine.quarantineC, nullptr);

  const size_t mark = rig.LogSize();
  rig.Pass();
  for (const char* n : {"1", "2"}) {
    EXPECT_EQ(Where(rig, std::string("b") + n), Places{kQuarantineB});
    EXPECT_EQ(Where(rig, std::string("d") + n), Places{kQuarantineD});
  }
  EXPECT_EQ(Where(rig, "c1"), Places{kScanBox1});
  EXPECT_EQ(Where(rig, "c2"), Places{kScanBox2});
  for (const std::string& line : MovedLines(rig, mark)) {
    EXPECT_EQ(line.find("Quarantine C"), std::string::npos) << line;
  }
  EXPECT_EQ(rig.totals.SpamB, 2);
  EXPECT_EQ(rig.totals.SpamC, 0);
  EXPECT_EQ(rig.totals.SpamD, 2);
  // Verified spam is never released, however long it waits.
  EXPECT_EQ(MessageItem(rig.server(), kScanBox1, "c1", "Kesto_Router"), "C");
  EXPECT_FALSE(
      MessageHasItem(rig.server(), kScanBox1, "c1", "VTRouterReleased"));
}

// ---- Re-initialisation and processing switched off
// ----------------------------

TEST(ProcessingPassTest, ReinitialisingPassMovesNothing) {
  EngineRig rig;
  ASSERT_EQ(rig.Start(), 0);
  AddVerified(rig, kScanBox1, "m1", "M");
  DepositMessage(rig.server(), kMailBox, "u1");
  rig.engine.reinitRequested = 1;
  const size_t mark = rig.LogSize();
  rig.Pass();
  EXPECT_EQ(rig.engine.reinitRequested, 0);
  EXPECT_EQ(Where(rig, "m1"), Places{kScanBox1});
  EXPECT_EQ(Where(rig, "u1"), Places{kMailBox});
  EXPECT_EQ(MovedLines(rig, mark), Texts{});
  EXPECT_EQ(rig.notes.Calls(NotesOp::kCopySelectedNote), 0);
  // Everything was reopened and processing stays on.
  EXPECT_EQ(rig.engine.openMailboxCount, 1);
  EXPECT_EQ(rig.engine.config->processingMode, 1);
  EXPECT_TRUE(rig.engine.quarantineB->IsOpen());
  EXPECT_EQ(rig.engine.scanBoxes->Count(), 2u);
  EXPECT_EQ(rig.notes.openDatabases(), 1 + 2 + 3 + 1)
      << "mail box, scan boxes, quarantines and the administration database, "
         "each once";

  rig.Pass();
  EXPECT_EQ(Where(rig, "m1"), Places{kMailBox});
  EXPECT_EQ(Where(rig, "u1"), Places{kScanBox1});
}

TEST(ProcessingPassTest, ReinitialisationPicksUpAChangedConfiguration) {
  EngineRig rig;
  ASSERT_EQ(rig.Start(), 0);
  CreateDatabaseAt(rig.server(), "mail2.box");
  rig.world.clock().AdvanceMillis(1000);
  rig.world.EditConfig({{"MailboxNsf", std::vector<std::string>{"mail2.box"}},
                        {"ReleaseMailMinutes", 10}});
  ASSERT_EQ(rig.engine.config->Reinitialize(), kReinitReread);
  EXPECT_FALSE(rig.engine.formulas[kSlotRelease]->IsCompiled());
  rig.engine.reinitRequested = 1;
  rig.Pass();
  EXPECT_TRUE(rig.engine.formulas[kSlotRelease]->IsCompiled());
  AddVerified(rig, kScanBox1, "m1", "M");
  DepositMessage(rig.server(), kMailBox, "u1");
  rig.Pass();
  EXPECT_EQ(FindMessage(rig.server(), "mail2.box", "m1") != 0, true);
  EXPECT_EQ(Where(rig, "u1"), Places{kMailBox}) << "mail.box is not ours now";
}

TEST(ProcessingPassTest, FailedReinitialisationSwitchesProcessingOff) {
  EngineRig rig;
  ASSERT_EQ(rig.Start(), 0);
  AddVerified(rig, kScanBox1, "m1", "M");
  rig.engine.reinitRequested = 1;
  // Opens: mail box, scan box 1 and 2, then quarantine B.
  rig.notes.FailCall(NotesOp::kOpenDatabase, 4, err::kDiskError);
  rig.Pass();
  EXPECT_EQ(rig.engine.config->processingMode, 0);
  ASSERT_NE(rig.engine.quarantineB, nullptr);
  EXPECT_FALSE(rig.engine.quarantineB->IsOpen());

  rig.Pass();
  rig.Pass();
  EXPECT_EQ(Where(rig, "m1"), Places{kScanBox1});
  EXPECT_EQ(rig.notes.Calls(NotesOp::kSearchDatabase), 0);

  // An edit of the document brings processing back at the next change check.
  rig.world.clock().AdvanceMillis(1000);
  rig.world.EditConfig({{"Subject", "touched"}});
  ASSERT_EQ(rig.engine.config->Reinitialize(), kReinitReread);
  EXPECT_EQ(rig.engine.config->processingMode, 1);
  rig.engine.reinitRequested = 1;
  rig.Pass();
  rig.Pass();
  EXPECT_EQ(Where(rig, "m1"), Places{kMailBox});
}

TEST(ProcessingPassTest, FailedMailBoxReopeningSwitchesProcessingOff) {
  EngineRig rig;
  ASSERT_EQ(rig.Start(), 0);
  rig.world.clock().AdvanceMillis(1000);
  rig.world.EditConfig({{"MailboxNsf", std::vector<std::string>{"gone.box"}}});
  ASSERT_EQ(rig.engine.config->Reinitialize(), kReinitReread);
  rig.engine.reinitRequested = 1;
  rig.Pass();
  EXPECT_EQ(rig.engine.config->processingMode, 0);
  EXPECT_EQ(rig.engine.openMailboxCount, 0);
  EXPECT_EQ(rig.CountLine("VTRouter: Unable to open any mail boxes on the mail "
                          "box list.  Veltrane disabled."),
            1);
}

TEST(ProcessingPassTest, NoScanBoxAfterReinitialisationSwitchesProcessingOff) {
  EngineRig rig;
  ASSERT_EQ(rig.Start(), 0);
  DepositMessage(rig.server(), kMailBox, "u1");
  rig.world.clock().AdvanceMillis(1000);
  // A path that leaves the data directory can be neither opened nor created.
  rig.world.EditConfig(
      {{"ScanningNsf", std::vector<std::string>{"..\\outside_1.box"}}});
  ASSERT_EQ(rig.engine.config->Reinitialize(), kReinitReread);
  rig.engine.reinitRequested = 1;
  rig.Pass();
  EXPECT_EQ(rig.engine.config->processingMode, 0);
  EXPECT_EQ(rig.engine.scanBoxes->Count(), 0u);
  rig.Pass();
  EXPECT_EQ(Where(rig, "u1"), Places{kMailBox});
  EXPECT_EQ(rig.notes.Calls(NotesOp::kCopySelectedNote), 0);
}

TEST(ProcessingPassTest, ProcessingSwitchedOffDoesNothingAtAll) {
  EngineRig rig(Items{{"MailProcessingOptions", "0"}});
  ASSERT_EQ(rig.Start(), 0);
  EXPECT_EQ(rig.CountLine("VTRouter: *** Veltrane is currently disabled. ***"),
            1);
  AddVerified(rig, kScanBox1, "m1", "M");
  DepositMessage(rig.server(), kMailBox, "u1");
  rig.notes.reportedSizes["QuarantineB_1.nsf"] = 0xFFFFFFFFu;
  const int calls = rig.notes.TotalCalls();
  rig.Pass();
  EXPECT_EQ(rig.notes.TotalCalls(), calls) << "not even the size check";
  EXPECT_EQ(Where(rig, "m1"), Places{kScanBox1});
  EXPECT_EQ(Where(rig, "u1"), Places{kMailBox});
}

TEST(ProcessingPassTest, WithoutAnIdTableThePassEndsBeforeAnyMove) {
  EngineRig rig;
  ASSERT_EQ(rig.Start(), 0);
  AddVerified(rig, kScanBox1, "m1", "M");
  const IdTableHandle table = rig.engine.idTable;
  rig.engine.idTable = IdTableHandle();
  const size_t mark = rig.LogSize();
  rig.Pass();
  rig.engine.idTable = table;
  const Texts log = rig.LogSince(mark);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind("VTRouter: Error accessing message ID table.", 0), 0u)
      << log[0];
  EXPECT_EQ(Where(rig, "m1"), Places{kScanBox1});
}

// ---- Which mail box
// -------------------------------------------------------------

TEST(ProcessingPassTest, EachScanBoxDrawsOneMailBoxPerPass) {
  EngineRig rig({{"MailboxNsf", std::vector<std::string>{
                                    "mail.box", "mail2.box", "mail3.box"}}});
  CreateDatabaseAt(rig.server(), "mail2.box");
  CreateDatabaseAt(rig.server(), "mail3.box");
  ASSERT_EQ(rig.Start(), 0);
  ASSERT_EQ(rig.engine.openMailboxCount, 3);
  // r = 32767 with three boxes: index 2, never 3. r = 0: index 0.
  rig.system.randomValues = {32767, 0, 21845};
  AddVerified(rig, kScanBox1, "x1", "M");
  AddVerified(rig, kScanBox1, "x2", "M");
  AddVerified(rig, kScanBox2, "y1", "M");
  rig.Pass();
  EXPECT_NE(FindMessage(rig.server(), "mail3.box", "x1"), 0u);
  EXPECT_NE(FindMessage(rig.server(), "mail3.box", "x2"), 0u);
  EXPECT_NE(FindMessage(rig.server(), kMailBox, "y1"), 0u);
  EXPECT_EQ(rig.system.randomValues.size(), 1u) << "one draw per scan box";
  EXPECT_EQ(rig.totals.Mail, 3);

  // 21845 * 3 / 32768 is just below 2: the scale is 1/32768, not 1/32767.
  AddVerified(rig, kScanBox1, "x3", "M");
  rig.Pass();
  EXPECT_NE(FindMessage(rig.server(), "mail2.box", "x3"), 0u);
}

TEST(ProcessingPassTest, RandomValueScalesToTheMailBoxIndex) {
  EngineRig rig(
      {{"MailboxNsf", std::vector<std::string>{"mail.box", "mail2.box"}}});
  CreateDatabaseAt(rig.server(), "mail2.box");
  ASSERT_EQ(rig.Start(), 0);
  // 16383 / 32768 * 2 is just below 1; 16384 gives exactly 1.
  rig.system.randomValues = {16383, 16384};
  AddVerified(rig, kScanBox1, "x1", "M");
  AddVerified(rig, kScanBox2, "y1", "M");
  rig.Pass();
  EXPECT_NE(FindMessage(rig.server(), kMailBox, "x1"), 0u);
  EXPECT_NE(FindMessage(rig.server(), "mail2.box", "y1"), 0u);
}

TEST(ProcessingPassTest, OneMailBoxDrawsNoRandomValue) {
  EngineRig rig;
  ASSERT_EQ(rig.Start(), 0);
  rig.system.randomValues = {32767};
  AddVerified(rig, kScanBox1, "x1", "M");
  rig.Pass();
  EXPECT_EQ(Where(rig, "x1"), Places{kMailBox});
  EXPECT_EQ(rig.system.randomValues.size(), 1u);
}

TEST(ProcessingPassTest, MailInEveryMailBoxIsIntercepted) {
  EngineRig rig(
      {{"MailboxNsf", std::vector<std::string>{"mail.box", "mail2.box"}}});
  CreateDatabaseAt(rig.server(), "mail2.box");
  ASSERT_EQ(rig.Start(), 0);
  DepositMessage(rig.server(), kMailBox, "u1");
  DepositMessage(rig.server(), "mail2.box", "u2");
  rig.Pass();
  EXPECT_EQ(Where(rig, "u1"), Places{kScanBox1});
  EXPECT_EQ(Where(rig, "u2"), Places{kScanBox1});
}

// ---- Log level
// -------------------------------------------------------------------

TEST(ProcessingPassTest, LogLevelTwoMovesAndCountsWithoutSummaries) {
  EngineRig rig(Items{{"ConsoleLogLevel", "1"}});
  ASSERT_EQ(rig.Start(), 0);
  ASSERT_EQ(rig.engine.config->logLevel, 2);
  DepositMessage(rig.server(), kMailBox, "u1");
  DepositMessage(rig.server(), kMailBox, "u2");
  AddVerified(rig, kScanBox1, "m1", "M");
  AddVerified(rig, kScanBox1, "b1", "B");
  // The first interception copy fails: its own line is still written.
  rig.notes.FailCall(NotesOp::kCopySelectedNote, 3, err::kDiskError);
  const size_t mark = rig.LogSize();
  rig.Pass();
  EXPECT_EQ(MovedLines(rig, mark), Texts{});
  int errors = 0;
  for (const std::string& line : rig.LogSince(mark)) {
    if (line.rfind("VTRouter: Error moving message.  ", 0) == 0) ++errors;
  }
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(Where(rig, "m1"), Places{kMailBox});
  EXPECT_EQ(Where(rig, "b1"), Places{kQuarantineB});
  EXPECT_EQ(Where(rig, "u1"), Places{kScanBox2});
  EXPECT_EQ(Where(rig, "u2"), Places{kScanBox1});
  EXPECT_EQ(rig.totals.Mail, 1);
  EXPECT_EQ(rig.totals.SpamB, 1);
}

// ---- Termination
// ------------------------------------------------------------------

TEST(ProcessingPassTest,
     TerminationStopsBetweenMessagesAndSummarisesWhatMoved) {
  EngineRig rig({{"ReleaseMailMinutes", 10}});
  ASSERT_EQ(rig.Start(), 0);
  rig.engine.releaseEnabled = 1;
  const int64_t old = rig.world.clock().NowUnixCentis() - 30 * kMinute;
  for (const char* id : {"m1", "m2", "m3"})
    AddVerified(rig, kScanBox1, id, "M");
  AddVerified(rig, kScanBox1, "b1", "B");
  AddVerified(rig, kScanBox2, "m4", "M");
  DepositMessage(rig.server(), kMailBox, "u1");
  DepositMessage(rig.server(), kScanBox2, "stale", {}, old);
  AddVerified(rig, kMailBox, "held", "M", {{"RoutingState", "HOLD"}});
  // Two answers of "go on", one for each of the first two messages.
  rig.notes.TerminateAfter(2);
  const size_t mark = rig.LogSize();
  rig.Pass();
  EXPECT_EQ(MovedLines(rig, mark),
            Texts{"VTRouter: Moved 2 messages to mail.box"});
  EXPECT_EQ(rig.totals.Mail, 2);
  EXPECT_EQ(Where(rig, "m1"), Places{kMailBox});
  EXPECT_EQ(Where(rig, "m2"), Places{kMailBox});
  EXPECT_EQ(Where(rig, "m3"), Places{kScanBox1});
  EXPECT_EQ(Where(rig, "b1"), Places{kScanBox1});
  EXPECT_EQ(Where(rig, "m4"), Places{kScanBox2});
  EXPECT_EQ(Where(rig, "u1"), Places{kMailBox});
  // Nothing after the request: no hold removal, no release.
  EXPECT_EQ(MessageItem(rig.server(), kMailBox, "held", "RoutingState"),
            "HOLD");
  EXPECT_EQ(MessageItem(rig.server(), kScanBox2, "stale", "VeltraneVerified"),
            "");
  EXPECT_EQ(rig.notes.Calls(NotesOp::kCopySelectedNote), 2);
}

}  // namespace
}  // namespace vt
