// A search over an unchanged database may reuse the previous result; any
// change, by this server or by another connection or process, must be seen
// by the next search, and a formula that reads the clock is never reused.
#include <gtest/gtest.h>

#include <cstring>

#include "support/FakeClock.h"
#include "support/RouterWorld.h"
#include "support/TempDataDir.h"

namespace vt {
namespace {

using testing::AddDocument;

Status Collect(void* context, const SearchMatch& match) {
  if ((match.matchFlags & kSearchMatchFlag) != 0) {
    static_cast<std::vector<uint32_t>*>(context)->push_back(match.noteId);
  }
  return Status();
}

class SearchCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = dir_.MakeServer(&clock_);
    other_ = dir_.MakeServer(&clock_);
    testing::CreateDatabaseAt(*server_, "mail.box");
    ASSERT_TRUE(server_->OpenDatabase("mail.box", &db_).ok());
  }
  void TearDown() override {
    for (MemHandle f : formulas_) server_->FreeMemory(f);
    server_->CloseDatabase(db_).IgnoreError();
  }
  MemHandle Compile(const char* text) {
    MemHandle formula;
    uint16_t length = 0, line = 0, column = 0, offset = 0, errorLength = 0;
    Status error;
    EXPECT_TRUE(server_
                    ->CompileFormula(nullptr, 0, text,
                                     static_cast<uint16_t>(std::strlen(text)),
                                     &formula, &length, &error, &line, &column,
                                     &offset, &errorLength)
                    .ok());
    formulas_.push_back(formula);
    return formula;
  }
  std::vector<uint32_t> Search(MemHandle formula) {
    std::vector<uint32_t> ids;
    EXPECT_TRUE(server_
                    ->SearchDatabase(db_, formula, nullptr, 0,
                                     kNoteClassDocument, nullptr, &Collect,
                                     &ids, nullptr)
                    .ok());
    return ids;
  }

  FakeClock clock_;
  TempDataDir dir_;
  std::unique_ptr<LocalNotesServices> server_;
  std::unique_ptr<LocalNotesServices> other_;
  DbHandle db_;
  std::vector<MemHandle> formulas_;
};

TEST_F(SearchCacheTest, EveryChangeIsSeenByTheNextSearch) {
  const MemHandle process = Compile("SELECT VeltraneProcess = \"1\"");
  EXPECT_TRUE(Search(process).empty());
  EXPECT_TRUE(Search(process).empty());

  // Written by this server.
  const uint32_t mine =
      AddDocument(*server_, "mail.box", {{"VeltraneProcess", "1"}});
  EXPECT_EQ(Search(process), std::vector<uint32_t>{mine});

  // Written by another connection, as another process would.
  const uint32_t theirs =
      AddDocument(*other_, "mail.box", {{"VeltraneProcess", "1"}});
  EXPECT_EQ(Search(process), (std::vector<uint32_t>{mine, theirs}));
  EXPECT_EQ(Search(process), (std::vector<uint32_t>{mine, theirs}));

  // An item changed in place by the other connection.
  DbHandle otherDb;
  ASSERT_TRUE(other_->OpenDatabase("mail.box", &otherDb).ok());
  NoteHandle note;
  ASSERT_TRUE(other_->OpenNote(otherDb, mine, 0, &note).ok());
  ASSERT_TRUE(other_->SetTextItem(note, "VeltraneProcess", "0", 0xFFFF).ok());
  ASSERT_TRUE(other_->UpdateNote(note, 0).ok());
  other_->CloseNote(note).IgnoreError();
  EXPECT_EQ(Search(process), std::vector<uint32_t>{theirs});

  // Deleted by this server.
  ASSERT_TRUE(server_->DeleteNote(db_, theirs, 0).ok());
  EXPECT_TRUE(Search(process).empty());
  other_->CloseDatabase(otherDb).IgnoreError();
}

TEST_F(SearchCacheTest, AFormulaReadingTheClockIsEvaluatedEveryTime) {
  const MemHandle old =
      Compile("SELECT @Created < @Adjust(@Now; 0; 0; 0; 0; -10; 0)");
  const uint32_t id = AddDocument(*server_, "mail.box", {{"Form", "Memo"}});
  EXPECT_TRUE(Search(old).empty());
  clock_.AdvanceMillis(11 * 60 * 1000);
  EXPECT_EQ(Search(old), std::vector<uint32_t>{id});
}

TEST_F(SearchCacheTest, DifferentFormulasKeepTheirOwnResults) {
  const MemHandle a = Compile("SELECT Kesto_Router = \"B\"");
  const MemHandle b = Compile("SELECT Kesto_Router = \"C\"");
  const uint32_t id =
      AddDocument(*server_, "mail.box", {{"Kesto_Router", "B"}});
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(Search(a), std::vector<uint32_t>{id});
    EXPECT_TRUE(Search(b).empty());
  }
}

}  // namespace
}  // namespace vt
