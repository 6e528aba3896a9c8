// The working table of note IDs: the search callback that fills it, the
// collecting search over a real database, and how each stage's failure is
// told apart.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "engine/NoteIdTable.h"
#include "engine/RouterEngine.h"
#include "notes/NotesServicesWrapper.h"
#include "support/EngineRig.h"
#include "support/MailMessages.h"

namespace vt {
namespace {

using testing::DepositMessage;
using testing::EngineRig;
using testing::FindMessage;
using testing::kScanBox1;

// Reports, after every real note, a deletion stub that the formula matches,
// as a platform search may.
class StubbingNotes : public NotesServicesWrapper {
 public:
  using NotesServicesWrapper::NotesServicesWrapper;

  Status SearchDatabase(DbHandle db, MemHandle formula, const char* viewTitle,
                        uint16_t searchFlags, uint16_t noteClassMask,
                        const TimeDate* since, SearchCallback callback,
                        void* context, TimeDate* until) override {
    struct Relay {
      SearchCallback callback;
      void* context;
    } relay{callback, context};
    return NotesServicesWrapper::SearchDatabase(
        db, formula, viewTitle, searchFlags, noteClassMask, since,
        [](void* c, const SearchMatch& match) -> Status {
          auto* r = static_cast<Relay*>(c);
          const Status s = r->callback(r->context, match);
          if (!s.ok()) return s;
          SearchMatch stub = match;
          stub.noteId = match.noteId | kDeletedNoteFlag;
          stub.matchFlags = kSearchMatchFlag;
          return r->callback(r->context, stub);
        },
        &relay, until);
  }
};

class NoteIdTableTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(rig_.Start(), 0); }

  std::set<uint32_t> TableIds(NotesServices& notes) {
    std::set<uint32_t> ids;
    uint32_t id = 0;
    for (bool more = notes.ScanIds(rig_.engine.idTable, true, &id); more;
         more = notes.ScanIds(rig_.engine.idTable, false, &id)) {
      ids.insert(id);
    }
    return ids;
  }
  DbHandle Scan1() { return rig_.engine.scanBoxes->At(0)->dbHandle; }
  MemHandle Formula(int slot) {
    return rig_.engine.formulas[slot]->formulaHandle;
  }
  void AddVerified(const std::string& id, const char* route) {
    DepositMessage(rig_.server(), kScanBox1, id,
                   {{"VeltraneVerified", "1"}, {"Kesto_Router", route}});
  }
  uint32_t Id(const std::string& message) {
    return FindMessage(rig_.server(), kScanBox1, message);
  }

  EngineRig rig_;
};

TEST_F(NoteIdTableTest, CallbackTakesOnlyMatchingLiveNotes) {
  CollectContext context{&rig_.notes, rig_.engine.idTable};
  ASSERT_EQ(rig_.notes.ClearIdTable(rig_.engine.idTable), Status());
  SearchMatch match;
  match.noteClass = kNoteClassDocument;

  match.noteId = 0x104;
  match.matchFlags = 0;
  EXPECT_EQ(CollectMatchingNote(&context, match), Status());
  match.noteId = 0x108 | kDeletedNoteFlag;
  match.matchFlags = kSearchMatchFlag;
  EXPECT_EQ(CollectMatchingNote(&context, match), Status());
  match.noteId = 0x10C;
  match.matchFlags = kSearchMatchFlag;
  EXPECT_EQ(CollectMatchingNote(&context, match), Status());

  EXPECT_EQ(TableIds(rig_.notes), std::set<uint32_t>{0x10C});
}

TEST_F(NoteIdTableTest, CallbackPassesOnAFailedInsertion) {
  CollectContext context{&rig_.notes, rig_.engine.idTable};
  rig_.notes.FailCall(NotesOp::kInsertId, 1, err::kIdTableFull);
  SearchMatch match;
  match.noteId = 0x104;
  match.matchFlags = kSearchMatchFlag;
  EXPECT_EQ(CollectMatchingNote(&context, match), Status(err::kIdTableFull));
}

TEST_F(NoteIdTableTest, DeletionStubsNeverReachTheTable) {
  AddVerified("m1", "M");
  AddVerified("m2", "M");
  StubbingNotes notes(rig_.notes);
  CollectStage stage = CollectStage::kClear;
  ASSERT_EQ(CollectMatchingNotes(notes, rig_.engine.idTable, Scan1(),
                                 Formula(kSlotMail), &stage),
            Status());
  EXPECT_EQ(stage, CollectStage::kNone);
  EXPECT_EQ(TableIds(rig_.notes), (std::set<uint32_t>{Id("m1"), Id("m2")}));
}

TEST_F(NoteIdTableTest, EachCollectionReplacesTheLast) {
  AddVerified("m1", "M");
  AddVerified("b1", "B");
  AddVerified("b2", "B");
  CollectStage stage;
  ASSERT_EQ(CollectMatchingNotes(rig_.notes, rig_.engine.idTable, Scan1(),
                                 Formula(kSlotSpamB), &stage),
            Status());
  EXPECT_EQ(TableIds(rig_.notes), (std::set<uint32_t>{Id("b1"), Id("b2")}));
  ASSERT_EQ(CollectMatchingNotes(rig_.notes, rig_.engine.idTable, Scan1(),
                                 Formula(kSlotMail), &stage),
            Status());
  EXPECT_EQ(TableIds(rig_.notes), std::set<uint32_t>{Id("m1")});
  ASSERT_EQ(CollectMatchingNotes(rig_.notes, rig_.engine.idTable, Scan1(),
                                 Formula(kSlotSpamD), &stage),
            Status());
  EXPECT_EQ(rig_.notes.CountIds(rig_.engine.idTable), 0u);
}

TEST_F(NoteIdTableTest, FailedClearingIsLoggedHereAndStopsTheSearch) {
  AddVerified("m1", "M");
  rig_.notes.FailCall(NotesOp::kClearIdTable, 1, err::kDiskError);
  const size_t mark = rig_.LogSize();
  CollectStage stage = CollectStage::kNone;
  EXPECT_EQ(CollectMatchingNotes(rig_.notes, rig_.engine.idTable, Scan1(),
                                 Formula(kSlotMail), &stage),
            Status(err::kDiskError));
  EXPECT_EQ(stage, CollectStage::kClear);
  EXPECT_EQ(rig_.notes.Calls(NotesOp::kSearchDatabase), 0);
  const std::vector<std::string> log = rig_.LogSince(mark);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(
      log[0].rfind("VTRouter: Error clearing message ID table structure.", 0),
      0u);
}

TEST_F(NoteIdTableTest, FailedSearchIsLeftToTheCallerToWord) {
  AddVerified("m1", "M");
  rig_.notes.FailCall(NotesOp::kSearchDatabase, 1, err::kCorruptDatabase);
  const size_t mark = rig_.LogSize();
  CollectStage stage = CollectStage::kNone;
  EXPECT_EQ(CollectMatchingNotes(rig_.notes, rig_.engine.idTable, Scan1(),
                                 Formula(kSlotMail), &stage),
            Status(err::kCorruptDatabase));
  EXPECT_EQ(stage, CollectStage::kSearch);
  EXPECT_EQ(rig_.LogSince(mark), std::vector<std::string>{});
}

TEST_F(NoteIdTableTest, SearchCoversDocumentsOnly) {
  AddVerified("m1", "M");
  CollectStage stage;
  // No formula selects every note of the class mask: design notes of the
  // scan box (its view, its icon) must not be among them.
  ASSERT_EQ(CollectMatchingNotes(rig_.notes, rig_.engine.idTable, Scan1(),
                                 MemHandle(), &stage),
            Status());
  EXPECT_EQ(TableIds(rig_.notes), std::set<uint32_t>{Id("m1")});
}

}  // namespace
}  // namespace vt
