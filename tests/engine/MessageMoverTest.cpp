// The message mover on its own, between real databases: what it moves, what
// it counts and summarises, how each single failure is handled, and that a
// message is never lost nor left twice by a failed step.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/MessageMover.h"
#include "engine/RouterEngine.h"
#include "server/LocalStoreAccess.h"
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
using testing::MessageItem;
using Mode = testing::FaultyNotes::Mode;
using Texts = std::vector<std::string>;

constexpr char kErrorLine[] = "VTRouter: Error moving message.  ";

class MessageMoverTest : public ::testing::Test {
 protected:
  explicit MessageMoverTest(std::string_view ini = {}) : rig_({}, ini) {}

  void SetUp() override { ASSERT_EQ(rig_.Start(), 0); }

  DbHandle MailBox() { return rig_.engine.mailboxHandles[0]; }
  DbHandle Scan1() { return rig_.engine.scanBoxes->At(0)->dbHandle; }
  DbHandle Scan2() { return rig_.engine.scanBoxes->At(1)->dbHandle; }
  MemHandle Formula(int slot) {
    return rig_.engine.formulas[slot]->formulaHandle;
  }

  // Verified ordinary mail in scan box 1.
  void AddMail(const std::string& id, Items extra = {}) {
    extra.insert_or_assign("VeltraneVerified", "1");
    extra.insert_or_assign("Kesto_Router", "M");
    DepositMessage(rig_.server(), kScanBox1, id, extra);
  }

  // Delivery of verified ordinary mail out of scan box 1.
  Status Deliver(DbHandle destination, uint16_t logLevel = 1) {
    return MoveSelectedMessages(rig_.notes, Scan1(), destination, DbHandle(),
                                rig_.engine.idTable, Formula(kSlotMail),
                                "mail.box", logLevel, &counter_);
  }
  // Interception out of the mail box, with or without an alternative.
  Status Intercept(DbHandle alternative) {
    return MoveSelectedMessages(rig_.notes, MailBox(), Scan1(), alternative,
                                rig_.engine.idTable, Formula(kSlotIntercept),
                                "Scan box", 1, &counter_);
  }

  bool In(const char* db, const std::string& id) {
    return FindMessage(rig_.server(), db, id) != 0;
  }
  int Count(const Texts& lines, const std::string& prefix) {
    int n = 0;
    for (const std::string& line : lines) {
      if (line.rfind(prefix, 0) == 0) ++n;
    }
    return n;
  }

  EngineRig rig_;
  int32_t counter_ = 5;
};

// ---- What it moves, counts and writes ---------------------------------------

TEST_F(MessageMoverTest, MovesEverySelectedMessageAndAddsToTheCounter) {
  AddMail("m1");
  AddMail("m2");
  DepositMessage(rig_.server(), kScanBox1, "unverified");
  const size_t mark = rig_.LogSize();
  EXPECT_EQ(Deliver(MailBox()), Status());
  EXPECT_TRUE(In(kMailBox, "m1"));
  EXPECT_TRUE(In(kMailBox, "m2"));
  EXPECT_FALSE(In(kScanBox1, "m1"));
  EXPECT_FALSE(In(kScanBox1, "m2"));
  EXPECT_TRUE(In(kScanBox1, "unverified"));
  EXPECT_EQ(counter_, 7);
  EXPECT_EQ(rig_.LogSince(mark),
            Texts{"VTRouter: Moved 2 messages to mail.box"});
}

TEST_F(MessageMoverTest, OneMessageStillReadsMessagesWithoutAFullStop) {
  AddMail("m1");
  const size_t mark = rig_.LogSize();
  EXPECT_EQ(Deliver(MailBox()), Status());
  EXPECT_EQ(rig_.LogSince(mark),
            Texts{"VTRouter: Moved 1 messages to mail.box"});
}

TEST_F(MessageMoverTest, NothingSelectedWritesNothingAndCountsNothing) {
  DepositMessage(rig_.server(), kScanBox1, "unverified");
  const size_t mark = rig_.LogSize();
  EXPECT_EQ(Deliver(MailBox()), Status());
  EXPECT_EQ(counter_, 5);
  EXPECT_EQ(rig_.LogSince(mark), Texts{});
  EXPECT_EQ(rig_.notes.Calls(NotesOp::kCopySelectedNote), 0);
}

TEST_F(MessageMoverTest, MissingSourceOrDestinationIsRefusedUntouched) {
  AddMail("m1");
  const size_t mark = rig_.LogSize();
  EXPECT_EQ(Deliver(DbHandle()), Status(err::kNoDatabaseHandle));
  EXPECT_EQ(MoveSelectedMessages(rig_.notes, DbHandle(), MailBox(), DbHandle(),
                                 rig_.engine.idTable, Formula(kSlotMail),
                                 "mail.box", 1, &counter_),
            Status(err::kNoDatabaseHandle));
  EXPECT_EQ(rig_.notes.Calls(NotesOp::kClearIdTable), 0);
  EXPECT_EQ(rig_.notes.Calls(NotesOp::kSearchDatabase), 0);
  EXPECT_EQ(rig_.LogSince(mark), Texts{});
  EXPECT_TRUE(In(kScanBox1, "m1"));
  EXPECT_EQ(counter_, 5);
}

TEST_F(MessageMoverTest, CopyKeepsItemsAndCreationTime) {
  const int64_t created = rig_.world.clock().NowUnixCentis() - 123456;
  DepositMessage(rig_.server(), kScanBox1, "m1",
                 {{"VeltraneVerified", "1"},
                  {"Kesto_Router", "M"},
                  {"RoutingState", "HOLD"},
                  {"Body", "text"}},
                 created);
  ASSERT_EQ(Deliver(MailBox()), Status());
  LocalNotesServices& server = rig_.server();
  EXPECT_EQ(MessageItem(server, kMailBox, "m1", "RoutingState"), "HOLD");
  EXPECT_EQ(MessageItem(server, kMailBox, "m1", "Body"), "text");
  EXPECT_EQ(MessageItem(server, kMailBox, "m1", "Kesto_Router"), "M");
  DbHandle db;
  ASSERT_TRUE(server.OpenDatabase(kMailBox, &db).ok());
  NoteHandle note;
  ASSERT_TRUE(
      server.OpenNote(db, FindMessage(server, kMailBox, "m1"), 0, &note).ok());
  EXPECT_EQ(LocalStoreAccess::Note(server, note)->created, created);
  server.CloseNote(note).IgnoreError();
  server.CloseDatabase(db).IgnoreError();
}

// ---- Single failures
// ------------------------------------------------------------

TEST_F(MessageMoverTest, FailedCopiesWithoutAlternativeStayInTheSource) {
  AddMail("m1");
  AddMail("m2");
  rig_.notes.FailCall(NotesOp::kCopySelectedNote, 1, err::kDiskError,
                      Mode::kFromThen);
  const size_t mark = rig_.LogSize();
  EXPECT_EQ(Deliver(MailBox()), Status());
  EXPECT_TRUE(In(kScanBox1, "m1"));
  EXPECT_TRUE(In(kScanBox1, "m2"));
  EXPECT_FALSE(In(kMailBox, "m1"));
  EXPECT_EQ(counter_, 5);
  EXPECT_EQ(rig_.notes.Calls(NotesOp::kDeleteNoteVersion), 0);
  const Texts log = rig_.LogSince(mark);
  EXPECT_EQ(Count(log, kErrorLine), 2);
  for (const std::string& line : log) {
    if (line.rfind(kErrorLine, 0) == 0) {
      EXPECT_GT(line.size(), sizeof kErrorLine - 1) << "status text expected";
    }
  }
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "VTRouter: Moved 0 messages to mail.box.  2 errors.");
}

TEST_F(MessageMoverTest, AlternativeTakesAMessageWhoseFirstCopyFailed) {
  DepositMessage(rig_.server(), kMailBox, "u1");
  DepositMessage(rig_.server(), kMailBox, "u2");
  rig_.notes.FailCall(NotesOp::kCopySelectedNote, 1, err::kDiskError);
  const size_t mark = rig_.LogSize();
  EXPECT_EQ(Intercept(Scan2()), Status());
  EXPECT_TRUE(In(kScanBox2, "u1"));
  EXPECT_TRUE(In(kScanBox1, "u2"));
  EXPECT_FALSE(In(kMailBox, "u1"));
  EXPECT_FALSE(In(kMailBox, "u2"));
  EXPECT_EQ(counter_, 7) << "the message counts as moved";
  const Texts log = rig_.LogSince(mark);
  EXPECT_EQ(Count(log, kErrorLine), 1);
  EXPECT_EQ(log.back(), "VTRouter: Moved 2 messages to Scan box.  1 errors.");
}

TEST_F(MessageMoverTest, MessageStaysWhenTheAlternativeFailsToo) {
  DepositMessage(rig_.server(), kMailBox, "u1");
  rig_.notes.FailCall(NotesOp::kCopySelectedNote, 1, err::kDiskError,
                      Mode::kFromThen);
  const size_t mark = rig_.LogSize();
  EXPECT_EQ(Intercept(Scan2()), Status());
  EXPECT_EQ(rig_.notes.Calls(NotesOp::kCopySelectedNote), 2);
  EXPECT_TRUE(In(kMailBox, "u1"));
  EXPECT_FALSE(In(kScanBox1, "u1"));
  EXPECT_FALSE(In(kScanBox2, "u1"));
  const Texts log = rig_.LogSince(mark);
  EXPECT_EQ(Count(log, kErrorLine), 1) << "the second failure is not logged";
  EXPECT_EQ(log.back(), "VTRouter: Moved 0 messages to Scan box.  1 errors.");
  EXPECT_EQ(counter_, 5);
}

TEST_F(MessageMoverTest, FailedDeletionIsMadeGoodByTheNextMove) {
  AddMail("m1");
  rig_.notes.FailCall(NotesOp::kDeleteNoteVersion, 1, err::kDiskError);
  EXPECT_EQ(Deliver(MailBox()), Status());
  // The copy is durable before the deletion is tried: twice, never lost.
  EXPECT_TRUE(In(kScanBox1, "m1"));
  EXPECT_TRUE(In(kMailBox, "m1"));
  EXPECT_EQ(Deliver(MailBox()), Status());
  EXPECT_FALSE(In(kScanBox1, "m1"));
  EXPECT_EQ(testing::ItemValues(rig_.server(), kMailBox, "VTMessageId"),
            Texts{"m1"})
      << "the second copy replaced the first";
}

TEST_F(MessageMoverTest, FailedSearchIsLoggedAndReturned) {
  AddMail("m1");
  rig_.notes.FailCall(NotesOp::kSearchDatabase, 1, err::kDiskError);
  const size_t mark = rig_.LogSize();
  EXPECT_EQ(Deliver(MailBox()), Status(err::kDiskError));
  const Texts log = rig_.LogSince(mark);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind("VTRouter: Error reading messages to process.", 0), 0u)
      << log[0];
  EXPECT_NE(log[0], "VTRouter: Error reading messages to process.");
  EXPECT_TRUE(In(kScanBox1, "m1"));
  EXPECT_EQ(counter_, 5);
}

TEST_F(MessageMoverTest, FailedInsertionEndsTheSearchAndNothingMoves) {
  AddMail("m1");
  AddMail("m2");
  rig_.notes.FailCall(NotesOp::kInsertId, 2, err::kIdTableFull);
  EXPECT_EQ(Deliver(MailBox()), Status(err::kIdTableFull));
  EXPECT_TRUE(In(kScanBox1, "m1"));
  EXPECT_TRUE(In(kScanBox1, "m2"));
  EXPECT_EQ(rig_.notes.Calls(NotesOp::kCopySelectedNote), 0);
}

TEST_F(MessageMoverTest, FailedClearingIsLoggedAndNoSearchRuns) {
  AddMail("m1");
  rig_.notes.FailCall(NotesOp::kClearIdTable, 1, err::kDiskError);
  const size_t mark = rig_.LogSize();
  EXPECT_EQ(Deliver(MailBox()), Status(err::kDiskError));
  EXPECT_EQ(rig_.notes.Calls(NotesOp::kSearchDatabase), 0);
  const Texts log = rig_.LogSince(mark);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(
      log[0].rfind("VTRouter: Error clearing message ID table structure.", 0),
      0u)
      << log[0];
  EXPECT_TRUE(In(kScanBox1, "m1"));
}

TEST_F(MessageMoverTest, TerminationEndsTheWalkAndStillSummarises) {
  AddMail("m1");
  AddMail("m2");
  AddMail("m3");
  rig_.notes.TerminateAfter(1);
  const size_t mark = rig_.LogSize();
  EXPECT_EQ(Deliver(MailBox()), Status());
  EXPECT_TRUE(In(kMailBox, "m1"));
  EXPECT_TRUE(In(kScanBox1, "m2"));
  EXPECT_TRUE(In(kScanBox1, "m3"));
  EXPECT_EQ(counter_, 6);
  EXPECT_EQ(rig_.LogSince(mark),
            Texts{"VTRouter: Moved 1 messages to mail.box"});
}

TEST_F(MessageMoverTest, SecondLevelWritesNoSummaryButStillItsErrors) {
  AddMail("m1");
  AddMail("m2");
  rig_.notes.FailCall(NotesOp::kCopySelectedNote, 2, err::kDiskError);
  const size_t mark = rig_.LogSize();
  EXPECT_EQ(Deliver(MailBox(), 2), Status());
  const Texts log = rig_.LogSince(mark);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind(kErrorLine, 0), 0u);
  EXPECT_EQ(counter_, 6);
  EXPECT_TRUE(In(kMailBox, "m1"));
  EXPECT_TRUE(In(kScanBox1, "m2"));
}

// ---- Mail rules
// ------------------------------------------------------------------

class MailRuleMoverTest : public MessageMoverTest {
 protected:
  MailRuleMoverTest()
      : MessageMoverTest("[MailRules]\nNoSpam=SELECT Subject = \"blocked\"\n") {
  }
};

TEST_F(MailRuleMoverTest, RefusedMessageIsDeletedAndCountedAsRejected) {
  AddMail("r1", {{"Subject", "blocked"}});
  const size_t mark = rig_.LogSize();
  EXPECT_EQ(Deliver(MailBox()), Status());
  EXPECT_FALSE(In(kScanBox1, "r1"));
  EXPECT_FALSE(In(kMailBox, "r1"));
  EXPECT_EQ(counter_, 5);
  EXPECT_EQ(
      rig_.LogSince(mark),
      (Texts{"VTRouter: Message rejected by mail rule.  Deleting message.",
             "VTRouter: Moved 0 messages to mail.box.  1 rejected."}));
}

TEST_F(MailRuleMoverTest, SummaryNamesMovedRejectedAndErrors) {
  // Note IDs rise in order of creation, and the walk follows them.
  AddMail("r1", {{"Subject", "blocked"}});
  AddMail("m1");
  AddMail("e1");
  AddMail("e2");
  rig_.notes.FailCall(NotesOp::kCopySelectedNote, 3, err::kDiskError,
                      Mode::kFromThen);
  const size_t mark = rig_.LogSize();
  EXPECT_EQ(Deliver(MailBox()), Status());
  const Texts log = rig_.LogSince(mark);
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0],
            "VTRouter: Message rejected by mail rule.  Deleting message.");
  EXPECT_EQ(log[1].rfind(kErrorLine, 0), 0u);
  EXPECT_EQ(log[2].rfind(kErrorLine, 0), 0u);
  EXPECT_EQ(log[3],
            "VTRouter: Moved 1 messages to mail.box.  1 rejected.  2 errors.");
  EXPECT_TRUE(In(kMailBox, "m1"));
  EXPECT_TRUE(In(kScanBox1, "e1"));
  EXPECT_TRUE(In(kScanBox1, "e2"));
  EXPECT_EQ(counter_, 6);
}

TEST_F(MailRuleMoverTest, RulesGuardOnlyMailBoxes) {
  DepositMessage(rig_.server(), kMailBox, "r1", {{"Subject", "blocked"}});
  EXPECT_EQ(Intercept(Scan2()), Status());
  EXPECT_TRUE(In(kScanBox1, "r1"));
}

TEST_F(MailRuleMoverTest, RejectionWhoseDeletionFailsIsRetried) {
  AddMail("r1", {{"Subject", "blocked"}});
  rig_.notes.FailCall(NotesOp::kDeleteNoteVersion, 1, err::kDiskError);
  EXPECT_EQ(Deliver(MailBox()), Status());
  EXPECT_TRUE(In(kScanBox1, "r1"));
  EXPECT_FALSE(In(kMailBox, "r1"));
  EXPECT_EQ(Deliver(MailBox()), Status());
  EXPECT_FALSE(In(kScanBox1, "r1"));
}

}  // namespace
}  // namespace vt
