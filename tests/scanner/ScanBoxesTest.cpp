// The scanner saves a verdict only into the version it scanned: when the
// router saved the message first (its release of unscanned mail) or moved
// it away, the scanner's verdict is dropped and the router's stands. On
// both stores: a scan box in a file, and one in PostgreSQL.
#include <gtest/gtest.h>

#include "scanning/ScanBoxes.h"
#include "support/MailMessages.h"
#include "support/StoreKinds.h"
#include "support/TempDataDir.h"
#include "support/TestDatabases.h"

namespace vt::tool {
namespace {

using namespace vt::testing;

class ScanBoxesTest : public ::testing::TestWithParam<StoreKind> {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(store_.Prepare(GetParam(), dir_));
    box_ = store_.Path(kScanBox1);
    server_ = dir_.MakeServer();
    ASSERT_NE(server_, nullptr);
    CreateTestDatabase(*server_, box_.c_str(), "Scan 1");
    for (const char* id : {"first", "moved", "alone"}) {
      DepositMessage(*server_, box_.c_str(), id);
    }
    boxes_ = std::make_unique<ScanBoxes>(*server_);
    ASSERT_TRUE(boxes_->Open({box_}).ok());
  }

  PendingMessage Found(const std::string& id) {
    std::vector<PendingMessage> pending;
    std::string failure;
    EXPECT_EQ(boxes_->Find(&pending, &failure), Status());
    const uint32_t noteId = FindMessage(*server_, box_.c_str(), id);
    for (const PendingMessage& at : pending) {
      if (at.noteId == noteId) return at;
    }
    ADD_FAILURE() << id << " is not waiting for a verdict";
    return {};
  }

  const std::vector<scanner::ScanItem> kEvidence = {
      {"VTScanEngine", {"spamd"}, true}, {"VTScanAction", {"spam"}, true}};
  TempDataDir dir_;
  StoreUnderTest store_;
  std::string box_;
  std::unique_ptr<LocalNotesServices> server_;
  std::unique_ptr<ScanBoxes> boxes_;
};

INSTANTIATE_TEST_SUITE_P(Stores, ScanBoxesTest,
                         ::testing::ValuesIn(kBothStores), StoreKindName);

TEST_P(ScanBoxesTest, TheFirstToSaveWinsAndAVanishedMessageIsLeftAlone) {
  const PendingMessage first = Found("first");
  const PendingMessage moved = Found("moved");
  const PendingMessage alone = Found("alone");
  ServerAdmin::NoteContents note;
  ASSERT_EQ(boxes_->Load(first, &note), Status());

  // The router's release marks the message before the scan ends.
  ASSERT_TRUE(GiveVerdict(*server_, box_.c_str(), "first", "M"));
  EXPECT_TRUE(boxes_->Load(first, &note).Is(err::kUpdateConflict));
  EXPECT_TRUE(boxes_->Save(first, scanner::Route::kC, kEvidence)
                  .Is(err::kUpdateConflict));
  EXPECT_EQ(MessageItem(*server_, box_.c_str(), "first", "Kesto_Router"), "M");
  EXPECT_FALSE(MessageHasItem(*server_, box_.c_str(), "first", "VTScanEngine"));

  // Moved out of the scan box meanwhile.
  DbHandle db;
  ASSERT_EQ(server_->OpenDatabase(box_.c_str(), &db), Status());
  ASSERT_EQ(server_->DeleteNote(db, moved.noteId, 0), Status());
  ASSERT_EQ(server_->CloseDatabase(db), Status());
  const Status gone = boxes_->Save(moved, scanner::Route::kC, kEvidence);
  EXPECT_TRUE(gone.Is(err::kNoteDeleted) || gone.Is(err::kInvalidNote))
      << gone.code();

  // Nobody else: the verdict and its evidence in one update, and the
  // message no longer waits.
  ASSERT_EQ(boxes_->Save(alone, scanner::Route::kC, kEvidence), Status());
  EXPECT_EQ(MessageItem(*server_, box_.c_str(), "alone", "Kesto_Router"), "C");
  EXPECT_EQ(MessageItem(*server_, box_.c_str(), "alone", "VeltraneVerified"),
            "1");
  EXPECT_EQ(MessageItem(*server_, box_.c_str(), "alone", "VTScanAction"),
            "spam");
  std::vector<PendingMessage> pending;
  std::string failure;
  ASSERT_EQ(boxes_->Find(&pending, &failure), Status());
  EXPECT_TRUE(pending.empty());
}

}  // namespace
}  // namespace vt::tool
