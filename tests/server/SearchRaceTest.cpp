// A search whose reads race another connection's commits: whatever that
// connection writes must be seen by a later search, whichever read of the
// search the commit lands between; and the change numbers hold across a
// deletion of the newest note and a compaction.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "server/formula/FormulaCompiler.h"
#include "server/formula/FormulaProgram.h"
#include "server/store/BlobItemSource.h"
#include "server/store/NsfLayout.h"
#include "support/FakeClock.h"
#include "support/RouterWorld.h"
#include "support/TempDataDir.h"

namespace vt {
namespace {

using testing::AddDocument;

// Runs `action` once, on whichever connection first begins a statement of
// the text `sql`, before that statement reads anything: another
// connection's commit made in it is seen by the statement.
struct Trap {
  std::string sql;
  std::function<void()> action;
};
Trap* g_trap = nullptr;

int OnStatement(unsigned type, void*, void* p, void*) {
  if (type != SQLITE_TRACE_STMT || g_trap == nullptr || !g_trap->action) {
    return 0;
  }
  const char* sql = sqlite3_sql(static_cast<sqlite3_stmt*>(p));
  if (sql == nullptr || g_trap->sql != sql) return 0;
  std::function<void()> action = std::move(g_trap->action);
  g_trap->action = nullptr;
  action();
  return 0;
}

int TraceEveryConnection(sqlite3* db, const char**,
                         const sqlite3_api_routines*) {
  sqlite3_trace_v2(db, SQLITE_TRACE_STMT, &OnStatement, nullptr);
  return SQLITE_OK;
}

using AutoExtension = void (*)();

Status Collect(void* context, const SearchMatch& match) {
  if ((match.matchFlags & kSearchMatchFlag) != 0) {
    static_cast<std::vector<uint32_t>*>(context)->push_back(match.noteId);
  }
  return Status();
}

class SearchRace : public ::testing::Test {
 protected:
  void SetUp() override {
    // Before any connection opens: each gets the trace.
    sqlite3_auto_extension(
        reinterpret_cast<AutoExtension>(&TraceEveryConnection));
    g_trap = &trap_;
    server_ = dir_.MakeServer(&clock_);
    other_ = dir_.MakeServer(&clock_);
    testing::CreateDatabaseAt(*server_, "mail.box");
    ASSERT_TRUE(server_->OpenDatabase("mail.box", &db_).ok());
  }
  void TearDown() override {
    for (MemHandle f : formulas_) server_->FreeMemory(f);
    server_->CloseDatabase(db_).IgnoreError();
    g_trap = nullptr;
    sqlite3_cancel_auto_extension(
        reinterpret_cast<AutoExtension>(&TraceEveryConnection));
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
  // What a full evaluation of every document finds now.
  std::vector<uint32_t> FullScan(const char* text) {
    std::vector<uint8_t> blob;
    formula::CompileError error;
    EXPECT_TRUE(formula::CompileFormula({}, text, &blob, &error).ok());
    formula::FormulaProgram program;
    EXPECT_TRUE(formula::DecodeFormula(blob, &program).ok());
    const TimeDate now = TimeDateFromUnixCentis(clock_.NowUnixCentis());
    std::vector<uint32_t> ids;
    EXPECT_TRUE(server_->Database(db_)
                    ->ForEachNote(kNoteClassDocument,
                                  [&](const store::ScanEntry& e) {
                                    const store::BlobItemSource note(
                                        e.summary, {}, e.created, e.modified);
                                    if (program.Selects(note, now)) {
                                      ids.push_back(e.id);
                                    }
                                    return Status();
                                  })
                    .ok());
    return ids;
  }

  Trap trap_;
  FakeClock clock_;
  TempDataDir dir_;
  std::unique_ptr<LocalNotesServices> server_;
  std::unique_ptr<LocalNotesServices> other_;
  DbHandle db_;
  std::vector<MemHandle> formulas_;
};

// The router's release search: a message still unverified matches or not
// by the time alone, so every search refreshes the kept outcome. A note
// written by another process between the search's read of the change mark
// and its read of the last change moves only the second: the refresh must
// read it all the same, or no later search would.
TEST_F(SearchRace, AWriteBetweenTheMarkAndTheLastChangeIsNotLost) {
  const char* text =
      "SELECT (@Created < @Adjust(@Now; 0; 0; 0; 0; -10; 0)) | "
      "(A = \"1\")";
  const MemHandle release = Compile(text);
  // Unverified and new: its match rests on the time.
  AddDocument(*server_, "mail.box", {{"Form", "Memo"}});
  EXPECT_TRUE(Search(release).empty());  // reads every note, keeps them

  uint32_t slipped = 0;
  trap_.sql = store::kLastChangeSql;
  trap_.action = [&] {
    slipped = AddDocument(*other_, "mail.box", {{"A", "1"}});
  };
  Search(release);  // the other process writes while this one searches
  ASSERT_NE(slipped, 0u) << "the write did not land inside the search";

  // Every search from now on must see the note: it matches whatever the
  // time, and a full scan finds it.
  ASSERT_EQ(FullScan(text), std::vector<uint32_t>{slipped});
  EXPECT_EQ(Search(release), std::vector<uint32_t>{slipped});
  // And after a later write by the other process.
  const uint32_t later = AddDocument(*other_, "mail.box", {{"A", "1"}});
  EXPECT_EQ(Search(release), (std::vector<uint32_t>{slipped, later}));
}

// The note holding the highest change number deleted by another
// connection (the stub takes the next number before the note
// goes), then the file compacted (VACUUM keeps the numbers), then written
// again: each search equals a full scan.
TEST_F(SearchRace, DeletionAndCompactionKeepTheSequence) {
  const char* text = "SELECT A = \"1\"";
  const MemHandle verified = Compile(text);
  const uint32_t first = AddDocument(*server_, "mail.box", {{"A", "1"}});
  const uint32_t last = AddDocument(*server_, "mail.box", {{"A", "1"}});
  EXPECT_EQ(Search(verified), (std::vector<uint32_t>{first, last}));
  DbHandle otherDb;
  ASSERT_TRUE(other_->OpenDatabase("mail.box", &otherDb).ok());
  ASSERT_TRUE(other_->DeleteNote(otherDb, last, 0).ok());
  EXPECT_EQ(Search(verified), std::vector<uint32_t>{first});
  ASSERT_TRUE(other_->Database(otherDb)->Compact().ok());
  const uint32_t again = AddDocument(*other_, "mail.box", {{"A", "1"}});
  EXPECT_EQ(Search(verified), FullScan(text));
  EXPECT_EQ(Search(verified), (std::vector<uint32_t>{first, again}));
  other_->CloseDatabase(otherDb).IgnoreError();
}

}  // namespace
}  // namespace vt
