// A search reuses the previous result of the same search and brings it up to
// date from what changed since; any change, by this server or by another
// connection or process, must be seen by the next search, and so must a
// match that the clock alone turns. A randomised run holds every search to
// a full scan of the same moment; a commit made between a search's own
// reads is made to happen on purpose.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>

#include "notes/ItemValue.h"
#include "server/LocalStoreAccess.h"
#include "server/formula/FormulaCompiler.h"
#include "server/formula/FormulaProgram.h"
#include "server/store/BlobItemSource.h"
#include "server/store/SqliteLayout.h"
#include "server/store/Unid.h"
#include "support/FakeClock.h"
#include "support/RouterWorld.h"
#include "support/StoreKinds.h"
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

// Searches of a database kind_ holds, "box.nsf" (Path), by two servers.
class SearchOn : public ::testing::Test {
 protected:
  explicit SearchOn(testing::StoreKind kind) : kind_(kind) {}

  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(store_.Prepare(kind_, dir_));
    server_ = dir_.MakeServer(&clock_);
    other_ = dir_.MakeServer(&clock_);
    testing::CreateDatabaseAt(*server_, Path("box.nsf"));
    ASSERT_TRUE(server_->OpenDatabase(Path("box.nsf").c_str(), &db_).ok());
  }
  std::string Path(std::string_view name) const { return store_.Path(name); }
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

  testing::StoreKind kind_;
  FakeClock clock_;
  TempDataDir dir_;
  testing::StoreUnderTest store_;
  std::unique_ptr<LocalNotesServices> server_;
  std::unique_ptr<LocalNotesServices> other_;
  DbHandle db_;
  std::vector<MemHandle> formulas_;
};

// On both stores.
class SearchCacheTest
    : public SearchOn,
      public ::testing::WithParamInterface<testing::StoreKind> {
 protected:
  SearchCacheTest() : SearchOn(GetParam()) {}
};

INSTANTIATE_TEST_SUITE_P(Stores, SearchCacheTest,
                         ::testing::ValuesIn(testing::kBothStores),
                         testing::StoreKindName);

TEST_P(SearchCacheTest, EveryChangeIsSeenByTheNextSearch) {
  const MemHandle process = Compile("SELECT VeltraneProcess = \"1\"");
  EXPECT_TRUE(Search(process).empty());
  EXPECT_TRUE(Search(process).empty());

  // Written by this server.
  const uint32_t mine =
      AddDocument(*server_, Path("box.nsf"), {{"VeltraneProcess", "1"}});
  EXPECT_EQ(Search(process), std::vector<uint32_t>{mine});

  // Written by another connection, as another process would.
  const uint32_t theirs =
      AddDocument(*other_, Path("box.nsf"), {{"VeltraneProcess", "1"}});
  EXPECT_EQ(Search(process), (std::vector<uint32_t>{mine, theirs}));
  EXPECT_EQ(Search(process), (std::vector<uint32_t>{mine, theirs}));

  // An item changed in place by the other connection.
  DbHandle otherDb;
  ASSERT_TRUE(other_->OpenDatabase(Path("box.nsf").c_str(), &otherDb).ok());
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

TEST_P(SearchCacheTest, AFormulaReadingTheClockIsEvaluatedEveryTime) {
  const MemHandle old =
      Compile("SELECT @Created < @Adjust(@Now; 0; 0; 0; 0; -10; 0)");
  const uint32_t id =
      AddDocument(*server_, Path("box.nsf"), {{"Form", "Memo"}});
  EXPECT_TRUE(Search(old).empty());
  clock_.AdvanceMillis(11 * 60 * 1000);
  EXPECT_EQ(Search(old), std::vector<uint32_t>{id});
}

TEST_P(SearchCacheTest, DifferentFormulasKeepTheirOwnResults) {
  const MemHandle a = Compile("SELECT Kesto_Router = \"B\"");
  const MemHandle b = Compile("SELECT Kesto_Router = \"C\"");
  const uint32_t id =
      AddDocument(*server_, Path("box.nsf"), {{"Kesto_Router", "B"}});
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(Search(a), std::vector<uint32_t>{id});
    EXPECT_TRUE(Search(b).empty());
  }
}

// Random formulas over random notes, changed by two connections while the
// clock goes on and back. Every search's outcome (every note visited, and
// whether it matched) must equal a full evaluation of every note at that
// moment.
class RandomSearches {
 public:
  explicit RandomSearches(unsigned seed) : random_(seed) {}

  std::string Formula() { return "SELECT " + Expression(3); }

  store::NoteRecord Note(int64_t now) {
    store::NoteRecord note;
    note.unid = store::NewUnid();
    // Class 8 is a view's: outside the searches of documents.
    note.noteClass = Pick(10) == 0 ? 8 : kNoteClassDocument;
    note.created = now - 100 * 60 * static_cast<int64_t>(Pick(120));
    SetItems(&note);
    return note;
  }
  void SetItems(store::NoteRecord* note) {
    auto put = [&](const char* name, uint16_t type, std::vector<uint8_t> v) {
      note->items.RemoveAll(name);
      if (Pick(5) != 0) {
        note->items.Append(
            store::Item{name, type, kItemFlagSummary, std::move(v)});
      }
    };
    const char* texts[] = {"1", "2", ""};
    put("A", kTypeText, item::EncodeText(texts[Pick(3)]));
    put("L", kTypeTextList,
        item::EncodeTextList({texts[Pick(3)], texts[Pick(3)]}));
    put("N", kTypeNumber, item::EncodeNumber(Pick(3)));
    put("T", kTypeTime,
        item::EncodeTime(TimeDateFromUnixCentis(
            note->created + 100 * 60 * (static_cast<int64_t>(Pick(60)) - 30))));
  }
  unsigned Pick(unsigned n) { return random_() % n; }

 private:
  std::string Operand() {
    switch (Pick(9)) {
      case 0:
        return "A";
      case 1:
        return "L";
      case 2:
        return "N";
      case 3:
        return "T";
      case 4:
        return Pick(2) ? "\"1\"" : std::to_string(Pick(3));
      case 5:
        return "@Created";
      case 6:
        return "@Modified";
      case 7:
        return "@Now";
      default:
        return std::string("@Adjust(") + (Pick(2) ? "@Now" : "@Created") +
               "; 0; 0; 0; 0; " +
               std::to_string(static_cast<int>(Pick(121)) - 60) + "; 0)";
    }
  }
  std::string Expression(int depth) {
    const unsigned kind = depth == 0 ? 0 : Pick(4);
    if (kind == 0) {
      const char* ops[] = {"=", "!=", "<", ">", "<=", ">="};
      return Operand() + " " + ops[Pick(6)] + " " + Operand();
    }
    if (kind == 3) return "!(" + Expression(depth - 1) + ")";
    return "(" + Expression(depth - 1) + (kind == 1 ? " & " : " | ") +
           Expression(depth - 1) + ")";
  }

  std::mt19937 random_;
};

Status CollectAll(void* context, const SearchMatch& match) {
  static_cast<std::vector<std::pair<uint32_t, bool>>*>(context)->emplace_back(
      match.noteId, (match.matchFlags & kSearchMatchFlag) != 0);
  return Status();
}

TEST_P(SearchCacheTest, EverySearchEqualsAFullScanOfThatMoment) {
  // The router's own selections among them, the release formula included.
  std::vector<std::string> texts = {
      "SELECT ((@Created < @Adjust( @Now; 0; 0; 0; 0; -30; 0)) & "
      "(A != \"1\"))",
      "SELECT ((A = \"1\") & (L != \"1\"))",
      "SELECT @All",
  };
  for (unsigned seed = 1; seed <= 6; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    RandomSearches random(seed);
    while (texts.size() < 3 + 4 * seed) texts.push_back(random.Formula());
    std::vector<MemHandle> handles;
    std::vector<formula::FormulaProgram> programs;
    for (const std::string& text : texts) {
      handles.push_back(Compile(text.c_str()));
      std::vector<uint8_t> blob;
      formula::CompileError error;
      ASSERT_TRUE(formula::CompileFormula({}, text, &blob, &error).ok())
          << text;
      programs.emplace_back();
      ASSERT_TRUE(formula::DecodeFormula(blob, &programs.back()).ok());
    }
    // A database of its own for each seed.
    const std::string path = Path("random" + std::to_string(seed) + ".nsf");
    testing::CreateDatabaseAt(*server_, path);
    DbHandle db, otherDb;
    ASSERT_TRUE(server_->OpenDatabase(path.c_str(), &db).ok());
    ASSERT_TRUE(other_->OpenDatabase(path.c_str(), &otherDb).ok());
    store::NsfDatabase* mine = LocalStoreAccess::Database(*server_, db);
    store::NsfDatabase* theirs = LocalStoreAccess::Database(*other_, otherDb);
    std::vector<uint32_t> ids;
    for (int step = 0; step < 60; ++step) {
      const int64_t now = clock_.NowUnixCentis();
      store::NsfDatabase* writer = random.Pick(2) ? mine : theirs;
      const unsigned changes = random.Pick(4);
      for (unsigned c = 0; c < changes; ++c) {
        const unsigned what = ids.empty() ? 0 : random.Pick(4);
        if (what <= 1) {
          store::NoteRecord note = random.Note(now);
          ASSERT_TRUE(writer->WriteNote(&note, now).ok());
          ids.push_back(note.id);
        } else if (what == 2) {
          const uint32_t id = ids[random.Pick(ids.size())];
          store::NoteRecord note;
          if (!writer->ReadNote(id, &note).ok()) continue;  // deleted
          random.SetItems(&note);
          ASSERT_TRUE(writer->WriteNote(&note, now).ok());
        } else {
          const uint32_t id = ids[random.Pick(ids.size())];
          writer->DeleteNote(id, now).IgnoreError();  // maybe deleted twice
        }
      }
      if (step == 50 && seed <= 2) {
        // More than a batch of the store's reads at once.
        std::vector<store::NoteRecord> many;
        for (int i = 0; i < 600; ++i) many.push_back(random.Note(now));
        ASSERT_TRUE(writer->WriteNotes(many, now).ok());
        for (const store::NoteRecord& note : many) ids.push_back(note.id);
      }
      // Minutes on, now and then back: matches turn with the time alone.
      const int minutes = static_cast<int>(random.Pick(25)) - 5;
      clock_.SetUnixCentis(clock_.NowUnixCentis() + minutes * 60 * 100);
      const TimeDate at = TimeDateFromUnixCentis(clock_.NowUnixCentis());
      for (size_t f = 0; f < texts.size(); ++f) {
        if (random.Pick(3) == 0) continue;  // not every search every time
        std::vector<std::pair<uint32_t, bool>> expected, got;
        ASSERT_TRUE(
            mine->ForEachNote(kNoteClassDocument,
                              [&](const store::ScanEntry& e) {
                                const store::BlobItemSource note(
                                    e.summary, {}, e.created, e.modified);
                                expected.emplace_back(
                                    e.id, programs[f].Selects(note, at));
                                return Status();
                              })
                .ok());
        ASSERT_TRUE(server_
                        ->SearchDatabase(db, handles[f], nullptr, 0,
                                         kNoteClassDocument, nullptr,
                                         &CollectAll, &got, nullptr)
                        .ok());
        ASSERT_EQ(got, expected) << "step " << step << ": " << texts[f];
      }
    }
    other_->CloseDatabase(otherDb).IgnoreError();
    server_->CloseDatabase(db).IgnoreError();
  }
}

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

// The same servers, every connection traced so that a test can make the
// other connection commit at a chosen statement of a search.
class SearchRaceTest : public SearchOn {
 protected:
  SearchRaceTest() : SearchOn(testing::StoreKind::kFile) {}
  void SetUp() override {
    // Before any connection opens: each gets the trace.
    sqlite3_auto_extension(
        reinterpret_cast<AutoExtension>(&TraceEveryConnection));
    g_trap = &trap_;
    SearchOn::SetUp();
  }
  void TearDown() override {
    SearchOn::TearDown();
    g_trap = nullptr;
    sqlite3_cancel_auto_extension(
        reinterpret_cast<AutoExtension>(&TraceEveryConnection));
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
    EXPECT_TRUE(LocalStoreAccess::Database(*server_, db_)
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
};

// The router's release search: a message still unverified matches or not
// by the time alone, so every search refreshes the kept outcome. A note
// written by another process between the search's read of the change mark
// and its read of the last change moves only the second: the refresh must
// read it all the same, or no later search would.
TEST_F(SearchRaceTest, AWriteBetweenTheMarkAndTheLastChangeIsNotLost) {
  const char* text =
      "SELECT (@Created < @Adjust(@Now; 0; 0; 0; 0; -10; 0)) | "
      "(A = \"1\")";
  const MemHandle release = Compile(text);
  // Unverified and new: its match rests on the time.
  AddDocument(*server_, Path("box.nsf"), {{"Form", "Memo"}});
  EXPECT_TRUE(Search(release).empty());  // reads every note, keeps them

  uint32_t slipped = 0;
  trap_.sql = store::kLastChangeSql;
  trap_.action = [&] {
    slipped = AddDocument(*other_, Path("box.nsf"), {{"A", "1"}});
  };
  Search(release);  // the other process writes while this one searches
  ASSERT_NE(slipped, 0u) << "the write did not land inside the search";

  // Every search from now on must see the note: it matches whatever the
  // time, and a full scan finds it.
  ASSERT_EQ(FullScan(text), std::vector<uint32_t>{slipped});
  EXPECT_EQ(Search(release), std::vector<uint32_t>{slipped});
  // And after a later write by the other process.
  const uint32_t later = AddDocument(*other_, Path("box.nsf"), {{"A", "1"}});
  EXPECT_EQ(Search(release), (std::vector<uint32_t>{slipped, later}));
}

// The note holding the highest change number deleted by another
// connection (the stub takes the next number before the note
// goes), then the file compacted (VACUUM keeps the numbers), then written
// again: each search equals a full scan.
TEST_F(SearchRaceTest, DeletionAndCompactionKeepTheSequence) {
  const char* text = "SELECT A = \"1\"";
  const MemHandle verified = Compile(text);
  const uint32_t first = AddDocument(*server_, Path("box.nsf"), {{"A", "1"}});
  const uint32_t last = AddDocument(*server_, Path("box.nsf"), {{"A", "1"}});
  EXPECT_EQ(Search(verified), (std::vector<uint32_t>{first, last}));
  DbHandle otherDb;
  ASSERT_TRUE(other_->OpenDatabase(Path("box.nsf").c_str(), &otherDb).ok());
  ASSERT_TRUE(other_->DeleteNote(otherDb, last, 0).ok());
  EXPECT_EQ(Search(verified), std::vector<uint32_t>{first});
  ASSERT_TRUE(LocalStoreAccess::Database(*other_, otherDb)->Compact().ok());
  const uint32_t again = AddDocument(*other_, Path("box.nsf"), {{"A", "1"}});
  EXPECT_EQ(Search(verified), FullScan(text));
  EXPECT_EQ(Search(verified), (std::vector<uint32_t>{first, again}));
  other_->CloseDatabase(otherDb).IgnoreError();
}

}  // namespace
}  // namespace vt
