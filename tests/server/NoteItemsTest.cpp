// Items keep their names, types, flags and values through UpdateNote and a
// close and reopen, and the item operations read and change them as the
// router expects.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "notes/ItemValue.h"
#include "server/LocalStoreAccess.h"
#include "support/TempDataDir.h"

namespace vt {
namespace {

constexpr uint16_t kTypeRawOther = 0x0B00;

class NoteItems : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = dir_.MakeServer();
    ASSERT_NE(server_, nullptr);
    ASSERT_EQ(server_->CreateDatabase("items.nsf", 0, false), Status());
    ASSERT_EQ(server_->OpenDatabase("items.nsf", &db_), Status());
    ASSERT_EQ(server_->CreateNote(db_, &note_), Status());
  }

  // Saves the note, closes everything and opens the note again through a
  // new server instance, so that only what reached the file remains.
  void SaveAndReopen() {
    ASSERT_EQ(server_->UpdateNote(note_, 0), Status());
    const uint32_t id = LocalStoreAccess::Note(*server_, note_)->id;
    ASSERT_NE(id, 0u);
    ASSERT_EQ(server_->CloseNote(note_), Status());
    ASSERT_EQ(server_->CloseDatabase(db_), Status());
    server_ = dir_.MakeServer();
    ASSERT_NE(server_, nullptr);
    ASSERT_EQ(server_->OpenDatabase("items.nsf", &db_), Status());
    ASSERT_EQ(server_->OpenNote(db_, id, 0, &note_), Status());
  }

  Status Append(const char* name, uint16_t type, const std::vector<uint8_t>& v,
                uint16_t flags = kItemFlagSummary) {
    return server_->AppendItem(note_, flags, name,
                               static_cast<uint16_t>(strlen(name)), type,
                               v.data(), static_cast<uint32_t>(v.size()));
  }

  std::string Text(const char* name) {
    char buf[256];
    const uint16_t n = server_->GetTextItem(note_, name, buf);
    EXPECT_EQ(n, strlen(buf));
    return buf;
  }

  TempDataDir dir_;
  std::unique_ptr<LocalNotesServices> server_;
  DbHandle db_;
  NoteHandle note_;
};

TEST_F(NoteItems, EveryTypeSurvivesUpdateCloseAndReopen) {
  const TimeDate when = TimeDateFromUnixCentis(170929440000 + 12345);
  ASSERT_EQ(server_->SetTextItem(note_, "Subject", "Hello there", 0xFFFF),
            Status());
  ASSERT_EQ(Append("SendTo", kTypeTextList,
                   item::EncodeTextList({"a@example.com", "", "ccc"})),
            Status());
  ASSERT_EQ(Append("Score", kTypeNumber, item::EncodeNumber(-42.25)), Status());
  ASSERT_EQ(Append("Delivered", kTypeTime, item::EncodeTime(when)), Status());
  ASSERT_EQ(Append("Blob", kTypeRawOther, {0, 1, 2, 0xFF}), Status());
  ASSERT_EQ(Append("Body", kTypeText, item::EncodeText("long body"), 0),
            Status());

  SaveAndReopen();

  EXPECT_EQ(Text("Subject"), "Hello there");
  EXPECT_EQ(Text("Body"), "long body");
  EXPECT_EQ(server_->GetTextListCount(note_, "SendTo"), 3);
  char entry[64];
  EXPECT_EQ(server_->GetTextListEntry(note_, "SendTo", 2, entry, sizeof entry),
            3);
  EXPECT_STREQ(entry, "ccc");
  EXPECT_EQ(server_->GetTextListEntry(note_, "SendTo", 1, entry, sizeof entry),
            0);
  EXPECT_STREQ(entry, "");
  EXPECT_EQ(Text("SendTo"), "a@example.com");
  EXPECT_EQ(server_->GetNumberItem(note_, "Score", 0), -42.25);

  uint16_t type = 0;
  uint16_t flags = 0xFFFF;
  uint32_t length = 0;
  ASSERT_EQ(server_->GetItemInfo(note_, "Delivered", 9, &type, &flags, &length,
                                 nullptr),
            Status());
  EXPECT_EQ(type, kTypeTime);
  EXPECT_EQ(flags, kItemFlagSummary);
  const store::Item* time =
      LocalStoreAccess::Note(*server_, note_)->items.Find("Delivered");
  ASSERT_NE(time, nullptr);
  EXPECT_EQ(item::DecodeTime(time->value), when);

  ASSERT_EQ(
      server_->GetItemInfo(note_, "Blob", 4, &type, &flags, &length, nullptr),
      Status());
  EXPECT_EQ(type, kTypeRawOther);
  EXPECT_EQ(length, 4u);
  const store::Item* blob =
      LocalStoreAccess::Note(*server_, note_)->items.Find("blob");
  ASSERT_NE(blob, nullptr);
  EXPECT_EQ(blob->value, (std::vector<uint8_t>{0, 1, 2, 0xFF}));

  ASSERT_EQ(
      server_->GetItemInfo(note_, "Body", 4, nullptr, &flags, nullptr, nullptr),
      Status());
  EXPECT_EQ(flags, 0);
}

TEST_F(NoteItems, NamesCompareWithoutRegardToCase) {
  ASSERT_EQ(server_->SetTextItem(note_, "RoutingState", "HOLD", 0xFFFF),
            Status());
  EXPECT_EQ(Text("routingstate"), "HOLD");
  EXPECT_EQ(server_->GetItemInfo(note_, "ROUTINGSTATE", 12, nullptr, nullptr,
                                 nullptr, nullptr),
            Status());
  ASSERT_EQ(server_->DeleteItem(note_, "routingSTATE", 12), Status());
  EXPECT_EQ(server_
                ->GetItemInfo(note_, "RoutingState", 12, nullptr, nullptr,
                              nullptr, nullptr)
                .code(),
            err::kItemNotFound);
}

TEST_F(NoteItems, SetTextItemReplacesEveryItemOfTheName) {
  ASSERT_EQ(Append("Tag", kTypeText, item::EncodeText("one")), Status());
  ASSERT_EQ(Append("TAG", kTypeTextList, item::EncodeTextList({"x", "y"})),
            Status());
  ASSERT_EQ(server_->SetTextItem(note_, "tag", "only", 0xFFFF), Status());
  SaveAndReopen();
  EXPECT_EQ(LocalStoreAccess::Note(*server_, note_)->items.size(), 1u);
  EXPECT_EQ(server_->GetTextListCount(note_, "Tag"), 1);
  EXPECT_EQ(Text("Tag"), "only");
  uint16_t flags = 0;
  ASSERT_EQ(
      server_->GetItemInfo(note_, "Tag", 3, nullptr, &flags, nullptr, nullptr),
      Status());
  EXPECT_EQ(flags & kItemFlagSummary, kItemFlagSummary);
}

TEST_F(NoteItems, SetTextItemTakesAnExplicitLengthOrUpToTheTerminator) {
  ASSERT_EQ(server_->SetTextItem(note_, "A", "abcdef", 3), Status());
  ASSERT_EQ(server_->SetTextItem(note_, "B", "abcdef", 0xFFFF), Status());
  ASSERT_EQ(server_->SetTextItem(note_, "C", "", 0xFFFF), Status());
  EXPECT_EQ(Text("A"), "abc");
  EXPECT_EQ(Text("B"), "abcdef");
  EXPECT_EQ(server_->GetTextListCount(note_, "C"), 1);
}

TEST_F(NoteItems, DeleteItemRemovesAllOfTheNameAndIgnoresMissingOnes) {
  ASSERT_EQ(Append("X", kTypeText, item::EncodeText("1")), Status());
  ASSERT_EQ(Append("x", kTypeText, item::EncodeText("2")), Status());
  ASSERT_EQ(server_->DeleteItem(note_, "X", 1), Status());
  EXPECT_EQ(server_->GetTextListCount(note_, "X"), 0);
  EXPECT_EQ(server_->DeleteItem(note_, "Never", 5), Status());
}

TEST_F(NoteItems, TextReadsAreCutToTheBufferAndTerminated) {
  ASSERT_EQ(server_->SetTextItem(note_, "Subject", "abcdefgh", 0xFFFF),
            Status());
  char small[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(server_->GetTextItem(note_, "Subject", small), 3);
  EXPECT_STREQ(small, "abc");
  ASSERT_EQ(Append("L", kTypeTextList, item::EncodeTextList({"hello"})),
            Status());
  char big[16];
  // The stated size wins over a larger buffer.
  EXPECT_EQ(server_->GetTextListEntry(note_, "L", 0, big, 3), 2);
  EXPECT_STREQ(big, "he");
}

TEST_F(NoteItems, AbsentOrOtherTypedItemsGiveDefaults) {
  ASSERT_EQ(server_->SetTextItem(note_, "Subject", "12", 0xFFFF), Status());
  EXPECT_EQ(server_->GetNumberItem(note_, "Subject", 7.5), 7.5);
  EXPECT_EQ(server_->GetNumberItem(note_, "Missing", -1), -1);
  EXPECT_EQ(server_->GetTextListCount(note_, "Missing"), 0);
  char buf[8] = "junk";
  EXPECT_EQ(server_->GetTextItem(note_, "Missing", buf), 0);
  EXPECT_STREQ(buf, "");
  ASSERT_EQ(Append("N", kTypeNumber, item::EncodeNumber(3)), Status());
  EXPECT_EQ(Text("N"), "3");
}

TEST_F(NoteItems, NoteClassAndModifiedFieldsOfAnOpenNote) {
  ASSERT_EQ(server_->SetNoteField(note_, kNoteFieldClass, kNoteClassForm),
            Status());
  SaveAndReopen();
  uint16_t noteClass = 0;
  ASSERT_EQ(
      server_->GetNoteInfo(db_, LocalStoreAccess::Note(*server_, note_)->id,
                           nullptr, nullptr, &noteClass),
      Status());
  EXPECT_EQ(noteClass, kNoteClassForm);
  TimeDate modified{};
  TimeDate stored{};
  ASSERT_EQ(server_->GetNoteField(note_, kNoteFieldModified, &modified),
            Status());
  ASSERT_EQ(
      server_->GetNoteInfo(db_, LocalStoreAccess::Note(*server_, note_)->id,
                           nullptr, &stored, nullptr),
      Status());
  EXPECT_EQ(modified, stored);
  EXPECT_NE(server_->GetNoteField(note_, 99, &modified), Status());
}

TEST_F(NoteItems, BadItemArgumentsAreRefused) {
  EXPECT_EQ(server_->AppendItem(note_, 0, "", 0, kTypeText, "x", 1).code(),
            err::kInvalidArgument);
  EXPECT_EQ(server_->AppendItem(note_, 0, "A", 1, kTypeText, nullptr, 4).code(),
            err::kInvalidArgument);
  EXPECT_EQ(server_->SetTextItem(note_, nullptr, "x", 1).code(),
            err::kInvalidArgument);
}

}  // namespace
}  // namespace vt
