// Mail rules guard the server's mail boxes: CopyNote into mail.box or mailN.box
// asks the filter and, when it refuses, writes nothing and says 0x05C9.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "notes/ItemValue.h"
#include "server/LocalStoreAccess.h"
#include "server/MailRuleFilter.h"
#include "support/FakeClock.h"
#include "support/TempDataDir.h"

namespace vt {
namespace {

// Refuses notes whose Subject contains the word; records what it saw.
class SubjectFilter : public MailRuleFilter {
 public:
  explicit SubjectFilter(std::string word) : word_(std::move(word)) {}

  bool Refuses(const ItemSource& note) override {
    ++calls;
    RawItem body;
    sawBody = note.FindItem("BODY", &body) && body.type == kTypeText;
    created = note.Created();
    RawItem subject;
    if (!note.FindItem("subject", &subject)) return false;
    const std::string text(subject.value.begin(), subject.value.end());
    return text.find(word_) != std::string::npos;
  }

  int calls = 0;
  bool sawBody = false;
  TimeDate created{};

 private:
  std::string word_;
};

class MailRules : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = dir_.MakeServer(&clock_);
    ASSERT_NE(server_, nullptr);
    for (const char* path : {"in.nsf", "mail.box", "MAIL2.BOX", "other.nsf"}) {
      ASSERT_EQ(server_->CreateDatabase(path, 0, false), Status());
    }
    ASSERT_EQ(server_->OpenDatabase("in.nsf", &in_), Status());
    server_->SetMailRuleFilter(&filter_);
  }

  uint32_t Message(const char* subject) {
    NoteHandle note;
    EXPECT_EQ(server_->CreateNote(in_, &note), Status());
    EXPECT_EQ(server_->SetTextItem(note, "Subject", subject, 0xFFFF), Status());
    const auto body = item::EncodeText("the body");
    EXPECT_EQ(server_->AppendItem(note, 0, "Body", 4, kTypeText, body.data(),
                                  static_cast<uint32_t>(body.size())),
              Status());
    EXPECT_EQ(server_->UpdateNote(note, 0), Status());
    const uint32_t id = LocalStoreAccess::Note(*server_, note)->id;
    EXPECT_EQ(server_->CloseNote(note), Status());
    return id;
  }

  int Documents(DbHandle db) {
    int n = 0;
    EXPECT_EQ(LocalStoreAccess::Database(*server_, db)
                  ->ForEachNote(kNoteClassDocument,
                                [&](const store::ScanEntry&) {
                                  ++n;
                                  return Status();
                                }),
              Status());
    return n;
  }

  Status Copy(uint32_t id, DbHandle to) {
    uint32_t newId = 0;
    return server_->CopyNote(in_, 0, 0, id, to, 0, 0, 0, 0, &newId, nullptr);
  }

  FakeClock clock_;
  TempDataDir dir_;
  SubjectFilter filter_{"zip"};
  std::unique_ptr<LocalNotesServices> server_;
  DbHandle in_;
};

TEST_F(MailRules, RefusedNoteIsNotWrittenIntoAMailBox) {
  DbHandle mailBox;
  ASSERT_EQ(server_->OpenDatabase("mail.box", &mailBox), Status());
  uint32_t usedBefore = 0;
  ASSERT_EQ(server_->GetDatabaseSpace(mailBox, &usedBefore, nullptr), Status());
  const uint32_t bad = Message("invoice.zip");
  EXPECT_EQ(Copy(bad, mailBox).value(), 0x05C9);
  EXPECT_EQ(Documents(mailBox), 0);
  EXPECT_TRUE(filter_.sawBody) << "rules see every item, not just summary ones";
  EXPECT_EQ(filter_.created, TimeDateFromUnixCentis(clock_.NowUnixCentis()));
  // The source keeps the message.
  EXPECT_EQ(server_->GetNoteInfo(in_, bad, nullptr, nullptr, nullptr),
            Status());

  EXPECT_EQ(Copy(Message("hello"), mailBox), Status());
  EXPECT_EQ(Documents(mailBox), 1);
}

TEST_F(MailRules, NumberedMailBoxesInAnyCaseAreGuardedToo) {
  DbHandle mail2;
  ASSERT_EQ(server_->OpenDatabase("MAIL2.BOX", &mail2), Status());
  EXPECT_EQ(Copy(Message("a.zip"), mail2).code(), err::kMailRuleRefused);
  EXPECT_EQ(Documents(mail2), 0);
}

TEST_F(MailRules, OtherDatabasesAreNotGuarded) {
  DbHandle other;
  ASSERT_EQ(server_->OpenDatabase("other.nsf", &other), Status());
  EXPECT_EQ(Copy(Message("a.zip"), other), Status());
  EXPECT_EQ(filter_.calls, 0);
  EXPECT_EQ(Documents(other), 1);
}

TEST_F(MailRules, WithoutAFilterEverythingIsAccepted) {
  server_->SetMailRuleFilter(nullptr);
  DbHandle mailBox;
  ASSERT_EQ(server_->OpenDatabase("mail.box", &mailBox), Status());
  EXPECT_EQ(Copy(Message("a.zip"), mailBox), Status());
}

TEST(MailRuleTexts, RulesOfServerIniAreAvailableInOrder) {
  TempDataDir dir("CN=Mail1/O=Example",
                  "[MailRules]\nNoZip=@Contains(Subject; \"zip\")\n"
                  "NoExe=@Contains(Subject; \"exe\")\n");
  auto server = dir.MakeServer();
  ASSERT_EQ(server->serverIni().mailRules().size(), 2u);
  EXPECT_EQ(server->serverIni().mailRules()[1].name, "NoExe");
}

}  // namespace
}  // namespace vt
