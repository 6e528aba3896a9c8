// Delivery's queue on a real store: it never takes what either of the
// router's interception modes would take, nor held or dead mail; a message
// settled in part keeps only the recipients still to be tried, later and
// later, and once its lifetime is past it is dead mail.
#include <gtest/gtest.h>

#include <array>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "databases/RouterItems.h"
#include "engine/SelectionFormula.h"
#include "notes/HandleOwners.h"
#include "notes/ItemValue.h"
#include "server/smtp/MessageIntake.h"
#include "server/smtp/OutboundQueue.h"
#include "support/TempDataDir.h"
#include "support/TestDatabases.h"

namespace vt::smtp {
namespace {

constexpr int64_t kHour = 3600 * 100;  // centiseconds
constexpr int64_t kReceived = 1765200000LL * 100;

class OutboundQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = dir_.MakeServer();
    ASSERT_NE(server_, nullptr);
    testing::CreateTestDatabase(*server_, "mail.box", "Mail box", {});
    mailBox_ = std::make_unique<Database>(*server_);
    ASSERT_TRUE(mailBox_->Open("mail.box").ok());
  }

  // A message as the listener takes it, unmarked, then given these items.
  uint32_t Take(const std::vector<std::string>& recipients,
                const std::vector<std::pair<const char*, std::string>>& items) {
    Envelope envelope;
    envelope.greeting = Greeting::kEhlo;
    envelope.heloName = "mx.example.org";
    envelope.reversePath = "sender@example.org";
    for (const std::string& r : recipients) {
      envelope.recipients.push_back({r, RcptParams()});
    }
    IntakeOptions unmarked;
    unmarked.forRouter = false;
    const IntakeResult r =
        TakeMessage(*server_, *server_, mailBox_->handle(), envelope,
                    "Subject: x\r\n\r\nbody\r\n", kReceived, unmarked);
    EXPECT_EQ(r.reply.code, 250);
    Note note(*server_);
    EXPECT_TRUE(note.Open(mailBox_->handle(), r.noteId).ok());
    for (const auto& [name, value] : items) {
      EXPECT_TRUE(server_
                      ->SetTextItem(note.handle(), name, value.c_str(),
                                    static_cast<uint16_t>(value.size()))
                      .ok());
    }
    EXPECT_TRUE(server_->UpdateNote(note.handle(), 0).ok());
    return r.noteId;
  }

  OutboundQueue Queue() {
    return OutboundQueue(*server_, *server_,
                         {OpenMailBox{mailBox_->handle(), "mail.box"}},
                         "relay.example.net");
  }

  TempDataDir dir_;
  std::unique_ptr<LocalNotesServices> server_;
  std::unique_ptr<Database> mailBox_;
};

TEST_F(OutboundQueueTest, NothingTheRouterMayStillTakeIsEverDeliverable) {
  // Every combination of the items the router's selections read.
  struct Combination {
    std::string state, process, verified;
    uint32_t noteId = 0;
  };
  std::vector<Combination> all;
  for (const char* state : {"", "HOLD", "DEAD"}) {
    for (const char* process : {"", "1"}) {
      for (const char* verified : {"", "1"}) {
        Combination c{state, process, verified};
        std::vector<std::pair<const char*, std::string>> items;
        if (!c.state.empty()) items.push_back({kItemRoutingState, c.state});
        if (!c.process.empty()) {
          items.push_back({kItemVeltraneProcess, c.process});
        }
        if (!c.verified.empty()) {
          items.push_back({kItemVeltraneVerified, c.verified});
        }
        c.noteId = Take({"a@example.com"}, items);
        all.push_back(c);
      }
    }
  }
  // The router's interception in the ordinary and the alternative mode,
  // and its dead-mail selection, beside delivery's.
  const std::array<const char*, 4> texts = {
      kDeliverableFormula, kSlotFormulas[kSlotIntercept], kHoldInterceptFormula,
      kSlotFormulas[kSlotDeadMail]};
  std::vector<std::unique_ptr<CompiledFormula>> formulas;
  std::vector<MemHandle> handles;
  for (const char* text : texts) {
    formulas.push_back(std::make_unique<CompiledFormula>(*server_));
    ASSERT_TRUE(formulas.back()->Compile(nullptr, text).ok()) << text;
    handles.push_back(formulas.back()->handle());
  }
  ServerAdmin::ScanOptions options;
  options.selections = handles;
  std::map<uint32_t, uint32_t> selected;
  ASSERT_TRUE(server_
                  ->ScanDocuments(mailBox_->handle(), options,
                                  [&](const ServerAdmin::Document& d) {
                                    selected[d.noteId] = d.selected;
                                    return Status();
                                  })
                  .ok());
  for (const Combination& c : all) {
    const uint32_t bits = selected[c.noteId];
    const bool deliverable = (bits & 1) != 0;
    const std::string what = "RoutingState=" + c.state +
                             " VeltraneProcess=" + c.process +
                             " VeltraneVerified=" + c.verified;
    EXPECT_FALSE(deliverable && (bits & ~1u) != 0) << what;
    // And what the mail server may deliver, it does.
    const bool expected =
        c.state.empty() && (c.verified == "1" || c.process.empty());
    EXPECT_EQ(deliverable, expected) << what;
  }
  std::vector<QueuedMessage> due;
  OutboundQueue queue = Queue();
  ASSERT_TRUE(queue.Init().ok());
  ASSERT_TRUE(queue.Due(kReceived, 100, &due).ok());
  EXPECT_EQ(due.size(), 3u);
}

TEST_F(OutboundQueueTest, ASettledMessageKeepsOnlyWhatIsLeftUntilItsTimeIsUp) {
  const uint32_t id =
      Take({"ok@example.com", "later@example.com", "never@example.com"},
           {{kItemVeltraneVerified, "1"}});
  OutboundQueue queue = Queue();
  ASSERT_TRUE(queue.Init().ok());
  RetryPolicy policy;
  policy.firstCentis = 60 * 100;
  policy.longestCentis = 200 * 100;
  policy.lifetimeCentis = 10 * kHour;

  auto load = [&] {
    std::vector<QueuedMessage> due;
    EXPECT_TRUE(queue.Due(kReceived + 100 * kHour, 10, &due).ok());
    LoadedMessage message;
    EXPECT_EQ(due.size(), 1u);
    if (!due.empty()) {
      EXPECT_TRUE(queue.Load(due[0], &message).ok());
    }
    return message;
  };
  LoadedMessage message = load();
  ASSERT_EQ(message.at.noteId, id);
  EXPECT_TRUE(message.outgoing.data.starts_with(
      "Received: from mx.example.org\r\n\tby relay.example.net (VTRouter) "
      "with ESMTP id " +
      message.queueId + "; "));
  EXPECT_TRUE(
      message.outgoing.data.ends_with("\r\nSubject: x\r\n\r\nbody\r\n"));

  TransactionOutcome outcome;
  outcome.recipients = {{Fate::kDelivered, Reply(250, "2.0.0", "Ok")},
                        {Fate::kDeferred, Reply(450, "4.2.1", "Busy")},
                        {Fate::kRefused, Reply(550, "5.1.1", "No such user")}};
  Settlement s = Judge(message, outcome, kReceived + kHour, policy);
  EXPECT_EQ(s.refused, std::vector<size_t>{2});
  EXPECT_FALSE(s.dead);
  EXPECT_EQ(s.nextAttemptCentis, kReceived + kHour + 60 * 100);
  ASSERT_TRUE(queue.Settle(message, &s).ok());

  // Not due before its time; then only the deferred recipient is left.
  std::vector<QueuedMessage> due;
  ASSERT_TRUE(queue.Due(kReceived + kHour, 10, &due).ok());
  EXPECT_TRUE(due.empty());
  message = load();
  ASSERT_EQ(message.outgoing.recipients.size(), 1u);
  EXPECT_EQ(message.outgoing.recipients[0].address, "later@example.com");
  EXPECT_EQ(message.attempts, 1);
  EXPECT_EQ(
      message.refusedBefore,
      std::vector<std::string>{"never@example.com: 550 5.1.1 No such user"});
  // The delay doubles, up to the longest.
  outcome.recipients = {{Fate::kDeferred, Reply(450, "4.2.1", "Busy")}};
  EXPECT_EQ(
      Judge(message, outcome, kReceived + kHour, policy).nextAttemptCentis,
      kReceived + kHour + 120 * 100);
  message.attempts = 5;
  EXPECT_EQ(
      Judge(message, outcome, kReceived + kHour, policy).nextAttemptCentis,
      kReceived + kHour + 200 * 100);

  // Past its lifetime, the last deferral makes it dead mail.
  s = Judge(message, outcome, kReceived + 10 * kHour, policy);
  EXPECT_TRUE(s.dead);
  EXPECT_EQ(s.reason, "450 4.2.1 Busy (given up after 10 hours)");
  ASSERT_TRUE(queue.Settle(message, &s).ok());
  ASSERT_TRUE(queue.Due(kReceived + 100 * kHour, 10, &due).ok());
  EXPECT_TRUE(due.empty());
  Note note(*server_);
  ASSERT_TRUE(note.Open(mailBox_->handle(), id).ok());
  char text[200] = {};
  server_->GetTextItem(note.handle(), kItemRoutingState, text);
  EXPECT_STREQ(text, "DEAD");
  server_->GetTextItem(note.handle(), kItemDeadFailureReason, text);
  EXPECT_STREQ(text, "450 4.2.1 Busy (given up after 10 hours)");
}

}  // namespace
}  // namespace vt::smtp
