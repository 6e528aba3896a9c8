// Hold removal over real mail boxes: which messages lose their HOLD state,
// which items change (only two), and how a failure with one message or one
// mail box leaves the others to be done.
#include <gtest/gtest.h>

#include <cstdio>
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
using testing::Items;
using testing::kMailBox;
using testing::MessageHasItem;
using testing::MessageItem;
using Texts = std::vector<std::string>;

// A verified message back in a mail box, with extra items.
void AddVerified(EngineRig& rig, const char* db, const std::string& id,
                 Items extra) {
  extra.insert_or_assign("VeltraneVerified", "1");
  extra.insert_or_assign("Kesto_Router", "M");
  DepositMessage(rig.server(), db, id, extra);
}

const Items kHeld = {{"RoutingState", "HOLD"},
                     {"DeadFailureReason", "waiting"}};

TEST(HoldRemovalTest, VerifiedHeldMessageLosesOnlyItsRoutingItems) {
  EngineRig rig;
  ASSERT_EQ(rig.Start(), 0);
  AddVerified(rig, kMailBox, "h1", kHeld);
  EXPECT_EQ(RemoveHoldState(rig.engine), 0);
  LocalNotesServices& s = rig.server();
  EXPECT_FALSE(MessageHasItem(s, kMailBox, "h1", "RoutingState"));
  EXPECT_FALSE(MessageHasItem(s, kMailBox, "h1", "DeadFailureReason"));
  EXPECT_EQ(MessageItem(s, kMailBox, "h1", "VeltraneVerified"), "1");
  EXPECT_EQ(MessageItem(s, kMailBox, "h1", "Kesto_Router"), "M");
  EXPECT_EQ(MessageItem(s, kMailBox, "h1", "VeltraneProcess"), "1");
  EXPECT_EQ(MessageItem(s, kMailBox, "h1", "Subject"), "Message h1");
  EXPECT_EQ(MessageItem(s, kMailBox, "h1", "Form"), "Memo");
  EXPECT_EQ(rig.notes.openNotes(), 0);
}

TEST(HoldRemovalTest, HeldWithoutDeadFailureReasonIsFine) {
  EngineRig rig;
  ASSERT_EQ(rig.Start(), 0);
  AddVerified(rig, kMailBox, "h1", {{"RoutingState", "HOLD"}});
  EXPECT_EQ(RemoveHoldState(rig.engine), 0);
  EXPECT_FALSE(MessageHasItem(rig.server(), kMailBox, "h1", "RoutingState"));
}

TEST(HoldRemovalTest, OnlyVerifiedHeldMessagesAreTouched) {
  EngineRig rig;
  ASSERT_EQ(rig.Start(), 0);
  AddVerified(rig, kMailBox, "dead",
              {{"RoutingState", "DEAD"}, {"DeadFailureReason", "No route"}});
  AddVerified(rig, kMailBox, "plain", {});
  DepositMessage(rig.server(), kMailBox, "unverified", kHeld);
  const int updates = rig.notes.Calls(NotesOp::kUpdateNote);
  EXPECT_EQ(RemoveHoldState(rig.engine), 0);
  EXPECT_EQ(rig.notes.Calls(NotesOp::kOpenNoteExtended), 0);
  EXPECT_EQ(rig.notes.Calls(NotesOp::kUpdateNote), updates);
  LocalNotesServices& s = rig.server();
  EXPECT_EQ(MessageItem(s, kMailBox, "dead", "RoutingState"), "DEAD");
  EXPECT_EQ(MessageItem(s, kMailBox, "dead", "DeadFailureReason"), "No route");
  EXPECT_EQ(MessageItem(s, kMailBox, "unverified", "RoutingState"), "HOLD");
  EXPECT_FALSE(MessageHasItem(s, kMailBox, "plain", "RoutingState"));
}

TEST(HoldRemovalTest, WalksEveryMailBox) {
  EngineRig rig(
      {{"MailboxNsf", std::vector<std::string>{"mail.box", "mail2.box"}}});
  CreateDatabaseAt(rig.server(), "mail2.box");
  ASSERT_EQ(rig.Start(), 0);
  AddVerified(rig, kMailBox, "h1", kHeld);
  AddVerified(rig, "mail2.box", "h2", kHeld);
  EXPECT_EQ(RemoveHoldState(rig.engine), 0);
  EXPECT_FALSE(MessageHasItem(rig.server(), kMailBox, "h1", "RoutingState"));
  EXPECT_FALSE(MessageHasItem(rig.server(), "mail2.box", "h2", "RoutingState"));
}

TEST(HoldRemovalTest, NoteThatCannotBeOpenedIsLoggedAndTheRestDone) {
  EngineRig rig;
  ASSERT_EQ(rig.Start(), 0);
  AddVerified(rig, kMailBox, "h1", kHeld);
  AddVerified(rig, kMailBox, "h2", kHeld);
  const uint32_t first = FindMessage(rig.server(), kMailBox, "h1");
  rig.notes.FailCall(NotesOp::kOpenNoteExtended, 1, err::kDiskError);
  const size_t mark = rig.LogSize();
  EXPECT_EQ(RemoveHoldState(rig.engine), 0);
  char expected[128];
  std::snprintf(expected, sizeof expected,
                "VTRouter: Error opening mail message %X to remove 'HOLD' "
                "state.",
                first);
  const Texts log = rig.LogSince(mark);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind(expected, 0), 0u) << log[0];
  EXPECT_GT(log[0].size(), std::string(expected).size()) << "status text";
  EXPECT_EQ(MessageItem(rig.server(), kMailBox, "h1", "RoutingState"), "HOLD");
  EXPECT_FALSE(MessageHasItem(rig.server(), kMailBox, "h2", "RoutingState"));
  // Selected again next time.
  EXPECT_EQ(RemoveHoldState(rig.engine), 0);
  EXPECT_FALSE(MessageHasItem(rig.server(), kMailBox, "h1", "RoutingState"));
}

TEST(HoldRemovalTest, HexadecimalNoteIdIsUpperCase) {
  EngineRig rig;
  ASSERT_EQ(rig.Start(), 0);
  // Enough notes that some ID has a letter among its hexadecimal digits.
  std::string lettered;
  for (int i = 0; i < 40 && lettered.empty(); ++i) {
    const std::string id = "h" + std::to_string(i);
    AddVerified(rig, kMailBox, id, kHeld);
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X",
                  FindMessage(rig.server(), kMailBox, id));
    if (std::string(hex).find_first_of("ABCDEF") != std::string::npos) {
      lettered = hex;
    }
  }
  ASSERT_FALSE(lettered.empty()) << "no note ID with a letter";
  rig.notes.FailCall(NotesOp::kOpenNoteExtended, 1, err::kDiskError,
                     testing::FaultyNotes::Mode::kFromThen);
  const size_t mark = rig.LogSize();
  RemoveHoldState(rig.engine);
  bool found = false;
  for (const std::string& line : rig.LogSince(mark)) {
    if (line.find("message " + lettered + " to remove") != std::string::npos) {
      found = true;
    }
  }
  EXPECT_TRUE(found) << lettered;
}

TEST(HoldRemovalTest, FailedSaveLeavesTheHoldForNextTime) {
  EngineRig rig;
  ASSERT_EQ(rig.Start(), 0);
  AddVerified(rig, kMailBox, "h1", kHeld);
  rig.notes.FailCall(NotesOp::kUpdateNote, 1, err::kDiskError);
  const size_t mark = rig.LogSize();
  EXPECT_EQ(RemoveHoldState(rig.engine), 0);
  EXPECT_EQ(rig.LogSince(mark), Texts{}) << "the save's result is not examined";
  EXPECT_EQ(rig.notes.openNotes(), 0) << "closed all the same";
  EXPECT_EQ(MessageItem(rig.server(), kMailBox, "h1", "RoutingState"), "HOLD");
  EXPECT_EQ(RemoveHoldState(rig.engine), 0);
  EXPECT_FALSE(MessageHasItem(rig.server(), kMailBox, "h1", "RoutingState"));
}

TEST(HoldRemovalTest, FailedSearchSkipsOnlyThatMailBox) {
  EngineRig rig(
      {{"MailboxNsf", std::vector<std::string>{"mail.box", "mail2.box"}}});
  CreateDatabaseAt(rig.server(), "mail2.box");
  ASSERT_EQ(rig.Start(), 0);
  AddVerified(rig, kMailBox, "h1", kHeld);
  AddVerified(rig, "mail2.box", "h2", kHeld);
  rig.notes.FailCall(NotesOp::kSearchDatabase, 1, err::kDiskError);
  const size_t mark = rig.LogSize();
  EXPECT_EQ(RemoveHoldState(rig.engine), 0);
  const Texts log = rig.LogSince(mark);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind("VTRouter: Error reading messages to process.", 0),
            0u);
  EXPECT_EQ(MessageItem(rig.server(), kMailBox, "h1", "RoutingState"), "HOLD");
  EXPECT_FALSE(MessageHasItem(rig.server(), "mail2.box", "h2", "RoutingState"));
}

TEST(HoldRemovalTest, FailedClearingSkipsOnlyThatMailBox) {
  EngineRig rig(
      {{"MailboxNsf", std::vector<std::string>{"mail.box", "mail2.box"}}});
  CreateDatabaseAt(rig.server(), "mail2.box");
  ASSERT_EQ(rig.Start(), 0);
  AddVerified(rig, kMailBox, "h1", kHeld);
  AddVerified(rig, "mail2.box", "h2", kHeld);
  rig.notes.FailCall(NotesOp::kClearIdTable, 1, err::kDiskError);
  const size_t mark = rig.LogSize();
  EXPECT_EQ(RemoveHoldState(rig.engine), 0);
  const Texts log = rig.LogSince(mark);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(
      log[0].rfind("VTRouter: Error clearing message ID table structure.", 0),
      0u);
  EXPECT_EQ(MessageItem(rig.server(), kMailBox, "h1", "RoutingState"), "HOLD");
  EXPECT_FALSE(MessageHasItem(rig.server(), "mail2.box", "h2", "RoutingState"));
}

TEST(HoldRemovalTest, NothingToDoWithoutMailBoxesOrIdTable) {
  EngineRig rig;
  ASSERT_EQ(rig.Start(), 0);
  AddVerified(rig, kMailBox, "h1", kHeld);

  const IdTableHandle table = rig.engine.idTable;
  rig.engine.idTable = IdTableHandle();
  size_t mark = rig.LogSize();
  EXPECT_EQ(RemoveHoldState(rig.engine), 1);
  rig.engine.idTable = table;
  const Texts log = rig.LogSince(mark);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind("VTRouter: Error accessing message ID table.", 0), 0u);

  CloseMailBoxes(rig.engine);
  mark = rig.LogSize();
  EXPECT_EQ(RemoveHoldState(rig.engine), 1);
  EXPECT_EQ(rig.LogSince(mark), Texts{});
  EXPECT_EQ(MessageItem(rig.server(), kMailBox, "h1", "RoutingState"), "HOLD");
}

TEST(HoldRemovalTest, TerminationIsAskedBeforeEachMailBox) {
  EngineRig rig(
      {{"MailboxNsf", std::vector<std::string>{"mail.box", "mail2.box"}}});
  CreateDatabaseAt(rig.server(), "mail2.box");
  ASSERT_EQ(rig.Start(), 0);
  AddVerified(rig, kMailBox, "h1", kHeld);
  AddVerified(rig, kMailBox, "h2", kHeld);
  AddVerified(rig, "mail2.box", "h3", kHeld);
  rig.notes.TerminateAfter(1);
  EXPECT_EQ(RemoveHoldState(rig.engine), 0);
  // Not asked between the notes of one mail box.
  EXPECT_FALSE(MessageHasItem(rig.server(), kMailBox, "h1", "RoutingState"));
  EXPECT_FALSE(MessageHasItem(rig.server(), kMailBox, "h2", "RoutingState"));
  EXPECT_EQ(MessageItem(rig.server(), "mail2.box", "h3", "RoutingState"),
            "HOLD");
}

}  // namespace
}  // namespace vt
