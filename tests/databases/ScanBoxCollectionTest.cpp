// Walking the scan boxes the way a processing pass does (FirstHandle, then
// NextHandle until 0), where a record that is not open ends the walk, and
// the collection's ownership: Clear closes every record it holds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "databases/ScanBoxCollection.h"
#include "support/FakeClock.h"
#include "support/FaultyNotes.h"
#include "support/TempDataDir.h"
#include "support/TestDatabases.h"

namespace vt {
namespace {

using testing::CreateTestDatabase;
using testing::FaultyNotes;

class ScanBoxCollectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = dir_.MakeServer(&clock_);
    ASSERT_NE(server_, nullptr);
    for (const char* path : kBoxes) CreateTestDatabase(*server_, path, path);
    notes_ = std::make_unique<FaultyNotes>(*server_);
    collection_ = ScanBoxCollection::Create();
    ASSERT_NE(collection_, nullptr);
  }

  // Adds an open record for box i (or one only named, when open is false)
  // and returns its handle.
  DbHandle AddBox(int i, bool open = true) {
    auto record = std::make_unique<MailDatabase>(*notes_);
    if (open) {
      EXPECT_EQ(record->Open("", kBoxes[i]), Status());
    } else {
      record->SetNames("", kBoxes[i]);
    }
    const DbHandle handle = record->dbHandle;
    EXPECT_EQ(collection_->Add(record), 1);
    EXPECT_EQ(record, nullptr) << "the collection owns the record now";
    return handle;
  }

  // Every handle a pass would visit.
  std::vector<DbHandle> Walk() {
    std::vector<DbHandle> handles;
    for (DbHandle h = collection_->FirstHandle(); h;
         h = collection_->NextHandle()) {
      handles.push_back(h);
      if (handles.size() > 10) break;  // a walk that never ends
    }
    return handles;
  }

  static constexpr const char* kBoxes[3] = {"Veltrane\\Scan\\Scan_1.box",
                                            "Veltrane\\Scan\\Scan_2.box",
                                            "Veltrane\\Scan\\Scan_3.box"};

  FakeClock clock_;
  TempDataDir dir_;
  std::unique_ptr<LocalNotesServices> server_;
  std::unique_ptr<FaultyNotes> notes_;
  std::unique_ptr<ScanBoxCollection> collection_;
};

TEST_F(ScanBoxCollectionTest, EmptyCollectionHasNoHandles) {
  EXPECT_EQ(collection_->Count(), 0u);
  EXPECT_FALSE(collection_->FirstHandle());
  EXPECT_FALSE(collection_->NextHandle());
  collection_->Clear();
  EXPECT_EQ(collection_->Count(), 0u);
}

TEST_F(ScanBoxCollectionTest, OneEntryGivesItsHandleOnce) {
  const DbHandle handle = AddBox(0);
  EXPECT_EQ(collection_->Count(), 1u);
  EXPECT_EQ(collection_->FirstHandle(), handle);
  EXPECT_FALSE(collection_->NextHandle());
  EXPECT_FALSE(collection_->NextHandle()) << "still at the end";
  EXPECT_EQ(collection_->FirstHandle(), handle) << "a new walk starts over";
}

TEST_F(ScanBoxCollectionTest, WalkVisitsEveryBoxInOrder) {
  const DbHandle first = AddBox(0);
  const DbHandle second = AddBox(1);
  const DbHandle third = AddBox(2);
  EXPECT_EQ(collection_->Count(), 3u);
  EXPECT_EQ(Walk(), (std::vector<DbHandle>{first, second, third}));
  EXPECT_FALSE(collection_->NextHandle());
  EXPECT_EQ(Walk(), (std::vector<DbHandle>{first, second, third}));
  EXPECT_EQ(collection_->At(1)->path, kBoxes[1]);
}

TEST_F(ScanBoxCollectionTest, RecordThatIsNotOpenEndsTheWalk) {
  const DbHandle first = AddBox(0);
  AddBox(1, /*open=*/false);
  AddBox(2);
  EXPECT_EQ(Walk(), std::vector<DbHandle>{first});
}

TEST_F(ScanBoxCollectionTest, ClosedFirstRecordGivesAnEmptyWalk) {
  AddBox(0);
  AddBox(1);
  ASSERT_EQ(collection_->At(0)->Close(), Status());
  EXPECT_TRUE(Walk().empty());
}

TEST_F(ScanBoxCollectionTest, NullRecordEndsTheWalk) {
  const DbHandle first = AddBox(0);
  std::unique_ptr<MailDatabase> none;
  EXPECT_EQ(collection_->Add(none), 1);
  AddBox(2);
  EXPECT_EQ(collection_->Count(), 3u);
  EXPECT_EQ(Walk(), std::vector<DbHandle>{first});
  collection_->Clear();
  EXPECT_EQ(notes_->openDatabases(), 0);
}

TEST_F(ScanBoxCollectionTest, ClearClosesEveryRecord) {
  const DbHandle first = AddBox(0);
  AddBox(1);
  AddBox(2);
  ASSERT_EQ(notes_->openDatabases(), 3);
  collection_->Clear();
  EXPECT_EQ(notes_->openDatabases(), 0);
  EXPECT_EQ(notes_->Calls(NotesOp::kCloseDatabase), 3);
  EXPECT_EQ(collection_->Count(), 0u);
  EXPECT_FALSE(collection_->FirstHandle());
  EXPECT_FALSE(collection_->NextHandle());
  DbInfo info{};
  EXPECT_EQ(server_->GetDatabaseInfo(first, info), Status(err::kInvalidHandle));
  // Refilled after a reopening, as every configuration change does.
  const DbHandle again = AddBox(1);
  EXPECT_EQ(Walk(), std::vector<DbHandle>{again});
}

TEST_F(ScanBoxCollectionTest, ClearClosesOnlyTheRecordsThatAreOpen) {
  AddBox(0);
  AddBox(1, /*open=*/false);
  collection_->Clear();
  EXPECT_EQ(notes_->Calls(NotesOp::kCloseDatabase), 1);
  EXPECT_EQ(notes_->openDatabases(), 0);
}

}  // namespace
}  // namespace vt
