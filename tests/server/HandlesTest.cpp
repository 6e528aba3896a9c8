// Handles of every kind are checked: once closed, freed or destroyed (or
// never issued) they give kInvalidHandle or the documented empty result,
// and a value is never handed out twice.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

#include "server/LocalStoreAccess.h"
#include "support/TempDataDir.h"

namespace vt {
namespace {

class Handles : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = dir_.MakeServer();
    ASSERT_NE(server_, nullptr);
    ASSERT_EQ(server_->CreateDatabase("h.nsf", 0, false), Status());
  }

  TempDataDir dir_;
  std::unique_ptr<LocalNotesServices> server_;
};

TEST_F(Handles, ClosedDatabaseHandle) {
  DbHandle db;
  ASSERT_EQ(server_->OpenDatabase("h.nsf", &db), Status());
  ASSERT_EQ(server_->CloseDatabase(db), Status());
  DbInfo info{};
  NoteHandle note;
  uint32_t used = 0;
  EXPECT_EQ(server_->CloseDatabase(db).code(), err::kInvalidHandle);
  EXPECT_EQ(server_->GetDatabaseInfo(db, info).code(), err::kInvalidHandle);
  EXPECT_EQ(server_->SetDatabaseInfo(db, info).code(), err::kInvalidHandle);
  EXPECT_EQ(server_->GetDatabaseSpace(db, &used, nullptr).code(),
            err::kInvalidHandle);
  EXPECT_EQ(server_->OpenNote(db, kIconNoteId, 0, &note).code(),
            err::kInvalidHandle);
  EXPECT_EQ(server_->CreateNote(db, &note).code(), err::kInvalidHandle);
  EXPECT_EQ(server_->DeleteNote(db, 4, 0).code(), err::kInvalidHandle);
  EXPECT_EQ(server_->GetNoteInfo(db, 4, nullptr, nullptr, nullptr).code(),
            err::kInvalidHandle);
  EXPECT_EQ(
      server_->CopyNote(db, 0, 0, 4, db, 0, 0, 0, 0, nullptr, nullptr).code(),
      err::kInvalidHandle);
  EXPECT_EQ(server_->CopyDatabaseSettings(db, db).code(), err::kInvalidHandle);
  EXPECT_EQ(LocalStoreAccess::Database(*server_, db), nullptr);
  EXPECT_EQ(server_->GetDatabaseInfo(DbHandle(0xDEAD), info).code(),
            err::kInvalidHandle);
}

TEST_F(Handles, ClosedNoteHandle) {
  DbHandle db;
  ASSERT_EQ(server_->OpenDatabase("h.nsf", &db), Status());
  NoteHandle note;
  ASSERT_EQ(server_->CreateNote(db, &note), Status());
  ASSERT_EQ(server_->CloseNote(note), Status());
  TimeDate td{};
  char buf[16] = "junk";
  EXPECT_EQ(server_->CloseNote(note).code(), err::kInvalidHandle);
  EXPECT_EQ(server_->UpdateNote(note, 0).code(), err::kInvalidHandle);
  EXPECT_EQ(server_->SetTextItem(note, "A", "b", 1).code(),
            err::kInvalidHandle);
  EXPECT_EQ(server_->AppendItem(note, 0, "A", 1, kTypeText, "b", 1).code(),
            err::kInvalidHandle);
  EXPECT_EQ(server_->DeleteItem(note, "A", 1).code(), err::kInvalidHandle);
  EXPECT_EQ(
      server_->GetItemInfo(note, "A", 1, nullptr, nullptr, nullptr, nullptr)
          .code(),
      err::kInvalidHandle);
  EXPECT_EQ(server_->GetNoteField(note, kNoteFieldModified, &td).code(),
            err::kInvalidHandle);
  EXPECT_EQ(server_->SetNoteField(note, kNoteFieldClass, 1).code(),
            err::kInvalidHandle);
  EXPECT_EQ(server_->GetTextItem(note, "A", buf), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(server_->GetTextListCount(note, "A"), 0);
  EXPECT_EQ(server_->GetNumberItem(note, "A", 5), 5);
}

TEST_F(Handles, ClosingADatabaseEndsItsNotesSafely) {
  DbHandle db;
  DbHandle other;
  ASSERT_EQ(server_->OpenDatabase("h.nsf", &db), Status());
  ASSERT_EQ(server_->OpenDatabase("h.nsf", &other), Status());
  NoteHandle note;
  NoteHandle keep;
  ASSERT_EQ(server_->OpenNote(db, kIconNoteId, 0, &note), Status());
  ASSERT_EQ(server_->OpenNote(other, kIconNoteId, 0, &keep), Status());
  ASSERT_EQ(server_->CloseDatabase(db), Status());
  EXPECT_EQ(server_->SetTextItem(note, "X", "y", 1).code(),
            err::kInvalidHandle);
  EXPECT_EQ(server_->UpdateNote(note, 0).code(), err::kInvalidHandle);
  // A note of another handle on the same file is unaffected.
  ASSERT_EQ(server_->SetTextItem(keep, "X", "y", 1), Status());
  EXPECT_EQ(server_->UpdateNote(keep, 0), Status());
}

TEST_F(Handles, DestroyedIdTable) {
  IdTableHandle table;
  ASSERT_EQ(server_->CreateIdTable(4, &table), Status());
  ASSERT_EQ(server_->InsertId(table, 8, nullptr), Status());
  ASSERT_EQ(server_->DestroyIdTable(table), Status());
  uint32_t id = 0;
  bool inserted = true;
  EXPECT_EQ(server_->DestroyIdTable(table).code(), err::kInvalidHandle);
  EXPECT_EQ(server_->InsertId(table, 4, &inserted).code(), err::kInvalidHandle);
  EXPECT_EQ(server_->ClearIdTable(table).code(), err::kInvalidHandle);
  EXPECT_FALSE(server_->ScanIds(table, true, &id));
  EXPECT_EQ(server_->CountIds(table), 0u);
}

TEST_F(Handles, FreedMemory) {
  MemHandle memory;
  ASSERT_EQ(server_->AllocateMemory(0, 100, &memory), Status());
  ASSERT_NE(server_->LockMemory(memory), nullptr);
  server_->UnlockMemory(memory);
  server_->FreeMemory(memory);
  EXPECT_EQ(server_->LockMemory(memory), nullptr);
  uint32_t size = 0;
  EXPECT_FALSE(server_->MemorySize(memory, &size));
  server_->FreeMemory(memory);  // a second free is harmless
  EXPECT_EQ(server_->LockMemory(MemHandle()), nullptr);
}

TEST_F(Handles, ValuesAreNeverHandedOutTwice) {
  std::set<uint32_t> dbs;
  std::set<uint32_t> tables;
  for (int i = 0; i < 20; ++i) {
    DbHandle db;
    ASSERT_EQ(server_->OpenDatabase("h.nsf", &db), Status());
    EXPECT_TRUE(dbs.insert(db.value).second);
    ASSERT_EQ(server_->CloseDatabase(db), Status());
    IdTableHandle table;
    ASSERT_EQ(server_->CreateIdTable(4, &table), Status());
    EXPECT_TRUE(tables.insert(table.value).second);
    ASSERT_EQ(server_->DestroyIdTable(table), Status());
  }
}

TEST(IdTables, KeepIdsAscendingAndUnique) {
  TempDataDir dir;
  auto server = dir.MakeServer();
  IdTableHandle table;
  ASSERT_EQ(server->CreateIdTable(4, &table), Status());
  bool inserted = false;
  for (uint32_t id : {40u, 8u, 24u, 8u, 100u, 24u}) {
    ASSERT_EQ(server->InsertId(table, id, &inserted), Status());
  }
  EXPECT_FALSE(inserted);
  ASSERT_EQ(server->InsertId(table, 12, &inserted), Status());
  EXPECT_TRUE(inserted);
  EXPECT_EQ(server->CountIds(table), 5u);
  std::vector<uint32_t> seen;
  uint32_t id = 0;
  for (bool first = true; server->ScanIds(table, first, &id); first = false) {
    seen.push_back(id);
  }
  EXPECT_EQ(seen, (std::vector<uint32_t>{8, 12, 24, 40, 100}));
  ASSERT_EQ(server->ClearIdTable(table), Status());
  EXPECT_EQ(server->CountIds(table), 0u);
  EXPECT_FALSE(server->ScanIds(table, true, &id));
}

TEST(IdTables, InsertingDuringAScanKeepsItsPlace) {
  IdTable table;
  for (uint32_t id : {10u, 20u, 30u})
    ASSERT_EQ(table.Insert(id, nullptr), Status());
  uint32_t id = 0;
  ASSERT_TRUE(table.Scan(true, &id));
  ASSERT_TRUE(table.Scan(false, &id));
  EXPECT_EQ(id, 20u);
  ASSERT_EQ(table.Insert(5, nullptr), Status());
  ASSERT_TRUE(table.Scan(false, &id));
  EXPECT_EQ(id, 30u);
}

TEST(Memory, BlocksAreZeroedWritableAndSized) {
  TempDataDir dir;
  auto server = dir.MakeServer();
  MemHandle memory;
  ASSERT_EQ(server->AllocateMemory(0, 64, &memory), Status());
  auto* bytes = static_cast<uint8_t*>(server->LockMemory(memory));
  ASSERT_NE(bytes, nullptr);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(bytes[i], 0);
  std::memset(bytes, 0xAB, 64);
  uint32_t size = 0;
  ASSERT_TRUE(server->MemorySize(memory, &size));
  EXPECT_EQ(size, 64u);
  EXPECT_EQ(server->MemoryBlock(memory)[63], 0xAB);
  MemHandle huge;
  EXPECT_EQ(server->AllocateMemory(0, 0xFFFFFFFF, &huge).code(),
            err::kNoMemory);
  EXPECT_FALSE(huge);
  server->FreeMemory(memory);
}

}  // namespace
}  // namespace vt
