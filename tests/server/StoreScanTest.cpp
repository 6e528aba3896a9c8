// The scan a search runs over a database: notes of the class mask in
// ascending ID order, with only their summary items, readable in place by
// the formula evaluator.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "notes/ItemValue.h"
#include "server/LocalStoreAccess.h"
#include "server/store/BlobItemSource.h"
#include "server/store/ItemBlob.h"
#include "support/FakeClock.h"
#include "support/TempDataDir.h"

namespace vt {
namespace {

class StoreScan : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = dir_.MakeServer(&clock_);
    ASSERT_NE(server_, nullptr);
    ASSERT_EQ(server_->CreateDatabase("scan.nsf", 0, false), Status());
    ASSERT_EQ(server_->OpenDatabase("scan.nsf", &db_), Status());
  }

  uint32_t Add(uint16_t noteClass, const char* subject) {
    NoteHandle note;
    EXPECT_EQ(server_->CreateNote(db_, &note), Status());
    EXPECT_EQ(server_->SetNoteField(note, kNoteFieldClass, noteClass),
              Status());
    EXPECT_EQ(server_->SetTextItem(note, "Subject", subject, 0xFFFF), Status());
    const std::string body(5000, 'b');
    EXPECT_EQ(server_->AppendItem(note, 0, "Body", 4, kTypeText, body.data(),
                                  static_cast<uint32_t>(body.size())),
              Status());
    const auto score = item::EncodeNumber(7);
    EXPECT_EQ(server_->AppendItem(note, kItemFlagSummary, "Score", 5,
                                  kTypeNumber, score.data(), 8),
              Status());
    EXPECT_EQ(server_->UpdateNote(note, 0), Status());
    const uint32_t id = LocalStoreAccess::Note(*server_, note)->id;
    EXPECT_EQ(server_->CloseNote(note), Status());
    clock_.AdvanceMillis(1000);
    return id;
  }

  FakeClock clock_;
  TempDataDir dir_;
  std::unique_ptr<LocalNotesServices> server_;
  DbHandle db_;
};

TEST_F(StoreScan, VisitsTheMaskedClassesInIdOrderWithSummaryItemsOnly) {
  const uint32_t d1 = Add(kNoteClassDocument, "one");
  const uint32_t v = Add(kNoteClassView, "view");
  const uint32_t d2 = Add(kNoteClassDocument, "two");
  ASSERT_EQ(server_->DeleteNote(db_, d1, 0), Status());
  const uint32_t d3 = Add(kNoteClassDocument, "three");

  std::vector<uint32_t> ids;
  std::vector<std::string> subjects;
  ASSERT_EQ(
      LocalStoreAccess::Database(*server_, db_)
          ->ForEachNote(kNoteClassDocument,
                        [&](const store::ScanEntry& e) {
                          ids.push_back(e.id);
                          EXPECT_EQ(e.noteClass, kNoteClassDocument);
                          store::BlobItemSource items(e.summary, {}, e.created,
                                                      e.modified);
                          RawItem item;
                          EXPECT_TRUE(items.FindItem("SUBJECT", &item));
                          subjects.emplace_back(item.value.begin(),
                                                item.value.end());
                          EXPECT_TRUE(items.FindItem("score", &item));
                          EXPECT_EQ(item.type, kTypeNumber);
                          EXPECT_FALSE(items.FindItem("Body", &item))
                              << "the scan must not carry non-summary items";
                          EXPECT_LT(e.summary.size(), 100u);
                          return Status();
                        }),
      Status());
  EXPECT_EQ(ids, (std::vector<uint32_t>{d2, d3}));
  EXPECT_EQ(subjects, (std::vector<std::string>{"two", "three"}));

  ids.clear();
  ASSERT_EQ(LocalStoreAccess::Database(*server_, db_)
                ->ForEachNote(kNoteClassView | kNoteClassIcon,
                              [&](const store::ScanEntry& e) {
                                ids.push_back(e.id);
                                return Status();
                              }),
            Status());
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_EQ(ids[1], v);
}

TEST_F(StoreScan, StampsArriveAsTimeDatesAndAVisitorCanStopTheScan) {
  const int64_t first = clock_.NowUnixCentis();
  Add(kNoteClassDocument, "a");
  Add(kNoteClassDocument, "b");
  int visits = 0;
  const Status s =
      LocalStoreAccess::Database(*server_, db_)
          ->ForEachNote(kNoteClassDocument, [&](const store::ScanEntry& e) {
            ++visits;
            const store::BlobItemSource items(e.summary, {}, e.created,
                                              e.modified);
            EXPECT_EQ(items.Created(), TimeDateFromUnixCentis(first));
            EXPECT_EQ(items.Modified(), TimeDateFromUnixCentis(first));
            return Status(err::kNotFound);
          });
  EXPECT_EQ(s.code(), err::kNotFound);
  EXPECT_EQ(visits, 1);
}

TEST_F(StoreScan, NestedScansOfOneDatabaseWork) {
  Add(kNoteClassDocument, "a");
  Add(kNoteClassDocument, "b");
  int inner = 0;
  ASSERT_EQ(LocalStoreAccess::Database(*server_, db_)
                ->ForEachNote(kNoteClassDocument,
                              [&](const store::ScanEntry&) {
                                return LocalStoreAccess::Database(*server_, db_)
                                    ->ForEachNote(kNoteClassDocument,
                                                  [&](const store::ScanEntry&) {
                                                    ++inner;
                                                    return Status();
                                                  });
                              }),
            Status());
  EXPECT_EQ(inner, 4);
}

TEST_F(StoreScan, StubsAreListedFromAGivenTime) {
  const uint32_t a = Add(kNoteClassDocument, "a");
  const uint32_t b = Add(kNoteClassDocument, "b");
  ASSERT_EQ(server_->DeleteNote(db_, a, 0), Status());
  clock_.AdvanceMillis(10 * 1000);
  const int64_t since = clock_.NowUnixCentis();
  ASSERT_EQ(server_->DeleteNote(db_, b, 0), Status());
  std::vector<uint32_t> stubs;
  ASSERT_EQ(LocalStoreAccess::Database(*server_, db_)
                ->ForEachStub(since,
                              [&](const store::StubEntry& e) {
                                stubs.push_back(e.id);
                                EXPECT_EQ(e.noteClass, kNoteClassDocument);
                                return Status();
                              }),
            Status());
  EXPECT_EQ(stubs, std::vector<uint32_t>{b});
}

TEST(ItemBlobs, MalformedBlobsAreNeverReadPast) {
  std::vector<uint8_t> blob;
  store::AppendItemRecord(blob, "Subject", kTypeText, kItemFlagSummary,
                          item::EncodeText("hi"));
  EXPECT_TRUE(store::ItemBlobIsValid(blob));
  for (size_t cut = 1; cut < blob.size(); ++cut) {
    const std::span<const uint8_t> part(blob.data(), cut);
    EXPECT_FALSE(store::ItemBlobIsValid(part)) << cut;
    store::ItemView view;
    EXPECT_FALSE(store::FindInBlob(part, "Subject", &view)) << cut;
  }
  std::vector<uint8_t> lying = blob;
  lying[6] = 0xFF;  // value length far beyond the blob
  EXPECT_FALSE(store::ItemBlobIsValid(lying));
}

}  // namespace
}  // namespace vt
