// Moving a message is a copy and a deletion. The copy keeps the universal ID
// and the creation time and replaces an earlier copy of the same note; the
// deletion leaves a stub; every edit moves the modified stamp forward.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include "notes/ItemValue.h"
#include "server/LocalStoreAccess.h"
#include "server/store/NsfDatabase.h"
#include "support/FakeClock.h"
#include "support/StoreKinds.h"
#include "support/TempDataDir.h"

namespace vt {
namespace {

using testing::StoreKind;

// Two databases a and b on the store of kind.
class CopyDeleteOn : public ::testing::Test {
 protected:
  explicit CopyDeleteOn(StoreKind kind) : kind_(kind) {}

  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(store_.Prepare(kind_, dir_));
    server_ = dir_.MakeServer(&clock_);
    ASSERT_NE(server_, nullptr);
    for (const std::string& path : {Path("a.nsf"), Path("b.nsf")}) {
      ASSERT_EQ(server_->CreateDatabase(path.c_str(), 0, false), Status());
    }
    ASSERT_EQ(server_->OpenDatabase(Path("a.nsf").c_str(), &a_), Status());
    ASSERT_EQ(server_->OpenDatabase(Path("b.nsf").c_str(), &b_), Status());
  }

  std::string Path(std::string_view name) const { return store_.Path(name); }

  uint32_t NewMessage(DbHandle db, const char* subject) {
    NoteHandle note;
    EXPECT_EQ(server_->CreateNote(db, &note), Status());
    EXPECT_EQ(server_->SetTextItem(note, "Subject", subject, 0xFFFF), Status());
    const std::vector<uint8_t> body = item::EncodeText("body of the message");
    EXPECT_EQ(server_->AppendItem(note, 0, "Body", 4, kTypeText, body.data(),
                                  static_cast<uint32_t>(body.size())),
              Status());
    EXPECT_EQ(server_->UpdateNote(note, 0), Status());
    const uint32_t id = LocalStoreAccess::Note(*server_, note)->id;
    EXPECT_EQ(server_->CloseNote(note), Status());
    return id;
  }

  // Opens a note, sets one text item and saves it: a new version.
  void SetText(DbHandle db, uint32_t id, const char* item, const char* text) {
    NoteHandle note;
    ASSERT_EQ(server_->OpenNote(db, id, 0, &note), Status());
    ASSERT_EQ(server_->SetTextItem(note, item, text, 0xFFFF), Status());
    ASSERT_EQ(server_->UpdateNote(note, 0), Status());
    ASSERT_EQ(server_->CloseNote(note), Status());
  }

  store::NoteInfo Info(DbHandle db, uint32_t id) {
    store::NoteInfo info;
    EXPECT_EQ(LocalStoreAccess::Database(*server_, db)->GetNoteInfo(id, &info),
              Status());
    return info;
  }

  std::vector<uint32_t> Documents(DbHandle db) {
    std::vector<uint32_t> ids;
    EXPECT_EQ(LocalStoreAccess::Database(*server_, db)
                  ->ForEachNote(kNoteClassDocument,
                                [&](const store::ScanEntry& e) {
                                  ids.push_back(e.id);
                                  return Status();
                                }),
              Status());
    return ids;
  }

  StoreKind kind_;
  FakeClock clock_;
  TempDataDir dir_;
  testing::StoreUnderTest store_;
  std::unique_ptr<LocalNotesServices> server_;
  DbHandle a_;
  DbHandle b_;
};

// The contract both stores keep. Whatever a test did, both databases pass
// their store's full check after it.
class CopyDelete : public CopyDeleteOn,
                   public ::testing::WithParamInterface<StoreKind> {
 protected:
  CopyDelete() : CopyDeleteOn(GetParam()) {}

  void TearDown() override {
    for (const std::string& path : {Path("a.nsf"), Path("b.nsf")}) {
      DbHandle db;
      ASSERT_EQ(server_->OpenDatabase(path.c_str(), &db), Status());
      std::string problem;
      EXPECT_EQ(server_->CheckDatabase(db, /*quick=*/false, &problem),
                Status());
      EXPECT_EQ(problem, "") << path;
      EXPECT_EQ(server_->CloseDatabase(db), Status());
    }
  }
};

INSTANTIATE_TEST_SUITE_P(Stores, CopyDelete,
                         ::testing::ValuesIn(testing::kBothStores),
                         testing::StoreKindName);

// What only the file store has: its files and their layouts.
class CopyDeleteFile : public CopyDeleteOn {
 protected:
  CopyDeleteFile() : CopyDeleteOn(StoreKind::kFile) {}
};

// What only the PostgreSQL store has: what it keeps beside the rows.
class CopyDeletePostgres : public CopyDeleteOn {
 protected:
  CopyDeletePostgres() : CopyDeleteOn(StoreKind::kPostgres) {}

  // The first problem the full check of a finds after sql ran, which undo
  // then takes back.
  std::string ProblemAfter(const std::string& sql, const std::string& undo) {
    testing::PrivatePostgres& pg = *store_.postgres();
    std::string output;
    EXPECT_TRUE(pg.Run(store_.database(), sql, &output)) << sql << output;
    std::string problem;
    EXPECT_EQ(server_->CheckDatabase(a_, /*quick=*/false, &problem), Status());
    EXPECT_TRUE(pg.Run(store_.database(), undo, &output)) << undo << output;
    return problem;
  }
};

TEST_F(CopyDeletePostgres, TheCheckFindsEachRecordOutOfStepWithTheRows) {
  const uint32_t kept = NewMessage(a_, "kept");
  const uint32_t gone = NewMessage(a_, "gone");
  ASSERT_EQ(server_->DeleteNote(a_, gone, 0), Status());
  const std::string ofA = " WHERE name = 'a.nsf'";
  const std::string noteOfA = " WHERE db = (SELECT id FROM vt_databases" + ofA +
                              ") AND id = " + std::to_string(kept);
  EXPECT_EQ(ProblemAfter("UPDATE vt_databases SET nextid = nextid - 8" + ofA,
                         "UPDATE vt_databases SET nextid = nextid + 8" + ofA),
            "2 notes or stubs have an ID at or past the next one to hand out");
  EXPECT_EQ(ProblemAfter(
                "INSERT INTO vt_stubs SELECT db, id, unid, class, 0, sequence,"
                " changed FROM vt_notes" +
                    noteOfA,
                "DELETE FROM vt_stubs WHERE unid = (SELECT unid FROM vt_notes" +
                    noteOfA + ") AND deleted = 0"),
            "1 note IDs are both a note and a deletion stub");
  EXPECT_EQ(
      ProblemAfter("UPDATE vt_databases SET lastchange = lastchange - 1" + ofA,
                   "UPDATE vt_databases SET lastchange = lastchange + 1" + ofA),
      "changes are numbered past the database's last change");
  EXPECT_NE(ProblemAfter("UPDATE vt_databases SET used = used + 1" + ofA,
                         "UPDATE vt_databases SET used = used - 1" + ofA)
                .find("the space recorded"),
            std::string::npos);
  // Items that cannot be decoded, of the same length: only the full check
  // reads them.
  const std::string damage =
      "UPDATE vt_notes SET items = decode(repeat('ff', octet_length(items)),"
      " 'hex')" +
      noteOfA;
  testing::PrivatePostgres& pg = *store_.postgres();
  const std::string before = pg.Sql(
      store_.database(), "SELECT encode(items, 'hex') FROM vt_notes" + noteOfA);
  ASSERT_FALSE(before.empty());
  EXPECT_EQ(ProblemAfter(damage, "SELECT 1"),
            "note " + std::to_string(kept) + ": its items cannot be read");
  std::string problem;
  EXPECT_EQ(server_->CheckDatabase(a_, /*quick=*/true, &problem), Status());
  EXPECT_EQ(problem, "");
}

TEST_P(CopyDelete, CopyKeepsUniversalIdCreationTimeClassAndItems) {
  const int64_t created = clock_.NowUnixCentis();
  const uint32_t id = NewMessage(a_, "hello");
  clock_.AdvanceMillis(3600 * 1000);

  uint32_t newId = 0;
  uint16_t newClass = 0;
  ASSERT_EQ(server_->CopyNote(a_, 0, 0, id, b_, 0, 0, 0, 0, &newId, &newClass),
            Status());
  EXPECT_EQ(newClass, kNoteClassDocument);
  const store::NoteInfo source = Info(a_, id);
  const store::NoteInfo copy = Info(b_, newId);
  EXPECT_EQ(copy.unid, source.unid);
  EXPECT_EQ(copy.created, created);
  EXPECT_EQ(copy.noteClass, kNoteClassDocument);

  NoteHandle note;
  ASSERT_EQ(server_->OpenNote(b_, newId, 0, &note), Status());
  char text[64];
  server_->GetTextItem(note, "Subject", text);
  EXPECT_STREQ(text, "hello");
  server_->GetTextItem(note, "Body", text);
  EXPECT_STREQ(text, "body of the message");
}

TEST_P(CopyDelete, RepeatedCopyReplacesInsteadOfDuplicating) {
  const uint32_t id = NewMessage(a_, "first");
  uint32_t firstId = 0;
  ASSERT_EQ(server_->CopyNote(a_, 0, 0, id, b_, 0, 0, 0, 0, &firstId, nullptr),
            Status());

  ASSERT_NO_FATAL_FAILURE(SetText(a_, id, "Subject", "second"));

  uint32_t secondId = 0;
  ASSERT_EQ(server_->CopyNote(a_, 0, 0, id, b_, 0, 0, 0, 0, &secondId, nullptr),
            Status());
  EXPECT_EQ(secondId, firstId);
  EXPECT_EQ(Documents(b_), std::vector<uint32_t>{firstId});
  NoteHandle note;
  ASSERT_EQ(server_->OpenNote(b_, secondId, 0, &note), Status());
  char text[64];
  server_->GetTextItem(note, "Subject", text);
  EXPECT_STREQ(text, "second");

  // Changed where it arrived (the scanner's verdict), a copy of the older
  // version left behind in the source does not undo the change.
  ASSERT_EQ(server_->SetTextItem(note, "Kesto_Router", "D", 0xFFFF), Status());
  ASSERT_EQ(server_->UpdateNote(note, 0), Status());
  ASSERT_EQ(server_->CloseNote(note), Status());
  uint32_t thirdId = 1;
  ASSERT_EQ(server_->CopyNote(a_, 0, 0, id, b_, 0, 0, 0, 0, &thirdId, nullptr),
            Status());
  EXPECT_EQ(thirdId, 0u);
  ASSERT_EQ(server_->OpenNote(b_, secondId, 0, &note), Status());
  EXPECT_EQ(server_->GetTextItem(note, "Kesto_Router", text), 1);
  EXPECT_STREQ(text, "D");
  ASSERT_EQ(server_->CloseNote(note), Status());
}

TEST_P(CopyDelete, DeletionLeavesAStubThatReports549) {
  const uint32_t id = NewMessage(a_, "gone");
  ASSERT_EQ(server_->DeleteNote(a_, id, 0), Status());

  uint32_t seq = 0;
  EXPECT_EQ(server_->GetNoteInfo(a_, id, &seq, nullptr, nullptr).code(),
            err::kNoteDeleted);
  NoteHandle note;
  EXPECT_EQ(server_->OpenNote(a_, id, 0, &note).code(), err::kNoteDeleted);
  EXPECT_EQ(server_->DeleteNote(a_, id, 0).code(), err::kNoteDeleted);
  EXPECT_EQ(server_->OpenNote(a_, id | kDeletedNoteFlag, 0, &note).code(),
            err::kNoteDeleted);
  uint32_t copied = 0;
  EXPECT_EQ(
      server_->CopyNote(a_, 0, 0, id, b_, 0, 0, 0, 0, &copied, nullptr).code(),
      err::kNoteDeleted);
  EXPECT_TRUE(Documents(a_).empty());

  // The stub survives a restart.
  server_ = dir_.MakeServer(&clock_);
  ASSERT_EQ(server_->OpenDatabase(Path("a.nsf").c_str(), &a_), Status());
  EXPECT_EQ(server_->GetNoteInfo(a_, id, nullptr, nullptr, nullptr).code(),
            err::kNoteDeleted);
}

TEST_P(CopyDelete, AnIdNeverUsedIsInvalidNotDeleted) {
  const uint32_t id = NewMessage(a_, "x");
  for (uint32_t bad : {id + 4, id + 1, 0u, 0x7FFFFFFCu}) {
    EXPECT_EQ(server_->GetNoteInfo(a_, bad, nullptr, nullptr, nullptr).code(),
              err::kInvalidNote)
        << bad;
  }
}

// A new note takes the ID above every note and stub, so a deleted note's ID
// never returns, also after a reopen. The meta row's next ID, which an
// earlier version of the server allocates from, stays above every ID handed
// out though it is written only once per block of IDs; an ID such a server
// took is passed over in turn.
TEST_F(CopyDeleteFile, NoteIdsAreNeverReused) {
  auto metaNextId = [&] {
    sqlite3* raw = nullptr;
    EXPECT_EQ(sqlite3_open(dir_.File("a.nsf").c_str(), &raw), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(
        sqlite3_prepare_v2(raw, "SELECT value FROM meta WHERE key = 'nextid'",
                           -1, &stmt, nullptr),
        SQLITE_OK);
    EXPECT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    const int64_t next = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    sqlite3_close(raw);
    return next;
  };
  std::vector<uint32_t> ids;
  uint32_t highest = 0;
  for (int i = 0; i < 150; ++i) {
    const uint32_t id = NewMessage(a_, "m");
    EXPECT_GT(id, highest);
    EXPECT_EQ(id % 4, 0u);
    highest = id;
    ids.push_back(id);
    if (i % 7 == 0) {
      EXPECT_GT(metaNextId(), highest) << i;
    }
    // The highest note deleted, now and then: its stub keeps the ID taken.
    if (i % 40 == 39) {
      ASSERT_EQ(server_->DeleteNote(a_, id, 0), Status());
    }
  }
  EXPECT_GT(metaNextId(), highest);

  // A server of the earlier version takes the meta row's next ID.
  ASSERT_EQ(server_->CloseDatabase(a_), Status());
  server_.reset();
  const int64_t taken = metaNextId();
  {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(dir_.File("a.nsf").c_str(), &raw), SQLITE_OK);
    const std::string insert =
        "BEGIN; INSERT INTO notes(id, unid, class, created, modified,"
        " sequence, summary) VALUES(" +
        std::to_string(taken) +
        ", x'0102030405060708090A0B0C0D0E0F10', 1, 0, 0, 1, x'');"
        "UPDATE meta SET value = value + 4 WHERE key = 'nextid'; COMMIT;";
    EXPECT_EQ(sqlite3_exec(raw, insert.c_str(), nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(raw);
  }
  server_ = dir_.MakeServer(&clock_);
  ASSERT_NE(server_, nullptr);
  ASSERT_EQ(server_->OpenDatabase("a.nsf", &a_), Status());
  const uint32_t after = NewMessage(a_, "after");
  EXPECT_GT(after, taken);
  EXPECT_GT(metaNextId(), after);
}

TEST_P(CopyDelete, ModifiedStampStrictlyIncreasesWhileTheClockStandsStill) {
  const uint32_t id = NewMessage(a_, "x");
  TimeDate previous{};
  uint32_t previousSeq = 0;
  ASSERT_EQ(server_->GetNoteInfo(a_, id, &previousSeq, &previous, nullptr),
            Status());
  for (int i = 0; i < 3; ++i) {
    NoteHandle note;
    ASSERT_EQ(server_->OpenNote(a_, id, 0, &note), Status());
    ASSERT_EQ(server_->UpdateNote(note, 0), Status());
    ASSERT_EQ(server_->CloseNote(note), Status());
    TimeDate now{};
    uint32_t seq = 0;
    ASSERT_EQ(server_->GetNoteInfo(a_, id, &seq, &now, nullptr), Status());
    EXPECT_GT(CompareTimeDateValues(now, previous), 0);
    EXPECT_GT(seq, previousSeq);
    previous = now;
    previousSeq = seq;
  }

  // Replacing a copy by a later version is an edit of the copy too.
  uint32_t copy = 0;
  ASSERT_EQ(server_->CopyNote(a_, 0, 0, id, b_, 0, 0, 0, 0, &copy, nullptr),
            Status());
  TimeDate before{};
  ASSERT_EQ(server_->GetNoteInfo(b_, copy, nullptr, &before, nullptr),
            Status());
  NoteHandle note;
  ASSERT_EQ(server_->OpenNote(a_, id, 0, &note), Status());
  ASSERT_EQ(server_->UpdateNote(note, 0), Status());
  ASSERT_EQ(server_->CloseNote(note), Status());
  ASSERT_EQ(server_->CopyNote(a_, 0, 0, id, b_, 0, 0, 0, 0, &copy, nullptr),
            Status());
  TimeDate after{};
  ASSERT_EQ(server_->GetNoteInfo(b_, copy, nullptr, &after, nullptr), Status());
  EXPECT_GT(CompareTimeDateValues(after, before), 0);
}

TEST_P(CopyDelete, ModifiedStampFollowsTheClock) {
  const uint32_t id = NewMessage(a_, "x");
  clock_.AdvanceMillis(60 * 1000);
  NoteHandle note;
  ASSERT_EQ(server_->OpenNote(a_, id, 0, &note), Status());
  ASSERT_EQ(server_->UpdateNote(note, 0), Status());
  TimeDate modified{};
  ASSERT_EQ(server_->GetNoteInfo(a_, id, nullptr, &modified, nullptr),
            Status());
  EXPECT_EQ(UnixCentisFromTimeDate(modified), clock_.NowUnixCentis());
}

TEST_P(CopyDelete, UpdatingANoteDeletedMeanwhileFails) {
  const uint32_t id = NewMessage(a_, "x");
  NoteHandle note;
  ASSERT_EQ(server_->OpenNote(a_, id, 0, &note), Status());
  ASSERT_EQ(server_->DeleteNote(a_, id, 0), Status());
  EXPECT_EQ(server_->UpdateNote(note, 0).code(), err::kNoteDeleted);
}

TEST_P(CopyDelete, ClassNoteIdOpensTheIconNote) {
  NoteHandle icon;
  ASSERT_EQ(server_->OpenNote(a_, kIconNoteId, 0, &icon), Status());
  uint16_t noteClass = 0;
  ASSERT_EQ(server_->GetNoteInfo(a_, LocalStoreAccess::Note(*server_, icon)->id,
                                 nullptr, nullptr, &noteClass),
            Status());
  EXPECT_EQ(noteClass, kNoteClassIcon);
  EXPECT_EQ(server_->GetItemInfo(icon, "$TITLE", 6, nullptr, nullptr, nullptr,
                                 nullptr),
            Status());
  NoteHandle none;
  EXPECT_EQ(server_->OpenNote(a_, 0xFFFF0000 | kNoteClassView, 0, &none).code(),
            err::kInvalidNote);
}

}  // namespace
}  // namespace vt

namespace vt {
namespace {

// An interrupted move leaves the message in its source after its copy has
// moved on from the destination. That stale copy must not make the trip a
// second time; a newer version of the message (one that was changed since)
// must.
TEST_P(CopyDelete, AStaleCopyDoesNotReturnWhereItsVersionWasDeleted) {
  const uint32_t original = NewMessage(a_, "stale");
  uint32_t copied = 0;
  ASSERT_EQ(
      server_->CopyNote(a_, 0, 0, original, b_, 0, 0, 0, 0, &copied, nullptr),
      Status());
  // The copy is changed (a verdict) and moves on: it leaves a stub in b.
  ASSERT_NO_FATAL_FAILURE(SetText(b_, copied, "VeltraneVerified", "1"));
  ASSERT_EQ(server_->DeleteNote(b_, copied, 0), Status());

  uint32_t again = 7;
  EXPECT_EQ(
      server_->CopyNote(a_, 0, 0, original, b_, 0, 0, 0, 0, &again, nullptr),
      Status());
  EXPECT_EQ(again, 0u);
  EXPECT_TRUE(Documents(b_).empty());

  // A version changed after the one that left is new here: it is copied.
  NoteHandle note;
  ASSERT_EQ(server_->OpenNote(a_, original, 0, &note), Status());
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(server_->SetTextItem(note, "Subject", "edited", 0xFFFF),
              Status());
    ASSERT_EQ(server_->UpdateNote(note, 0), Status());
  }
  ASSERT_EQ(server_->CloseNote(note), Status());
  ASSERT_EQ(
      server_->CopyNote(a_, 0, 0, original, b_, 0, 0, 0, 0, &again, nullptr),
      Status());
  EXPECT_NE(again, 0u);
  EXPECT_EQ(Documents(b_).size(), 1u);
}

// A message that comes back after it was changed elsewhere (delivered back
// into the mail box it was intercepted from) is copied as usual.
TEST_P(CopyDelete, AChangedMessageReturnsToWhereItWasDeleted) {
  const uint32_t original = NewMessage(a_, "round trip");
  uint32_t inB = 0;
  ASSERT_EQ(
      server_->CopyNote(a_, 0, 0, original, b_, 0, 0, 0, 0, &inB, nullptr),
      Status());
  ASSERT_EQ(server_->DeleteNote(a_, original, 0), Status());
  ASSERT_NO_FATAL_FAILURE(SetText(b_, inB, "Kesto_Router", "M"));
  uint32_t back = 0;
  ASSERT_EQ(server_->CopyNote(b_, 0, 0, inB, a_, 0, 0, 0, 0, &back, nullptr),
            Status());
  EXPECT_NE(back, 0u);
  EXPECT_EQ(Documents(a_), std::vector<uint32_t>{back});
}

// Files made before deletion stubs kept their version are brought up to date
// by a server told to (vtserver upgrade), through every later layout: their
// stubs block no copy, new stubs do, and searches see changes.
TEST_F(CopyDeleteFile, AFileOfTheFirstLayoutIsUpgradedOnlyWhenAsked) {
  const uint32_t original = NewMessage(a_, "old file");
  uint32_t copied = 0;
  ASSERT_EQ(
      server_->CopyNote(a_, 0, 0, original, b_, 0, 0, 0, 0, &copied, nullptr),
      Status());
  ASSERT_EQ(server_->DeleteNote(b_, copied, 0), Status());
  ASSERT_EQ(server_->CloseDatabase(b_), Status());
  server_.reset();

  // Back to the first layout, as such a file was written.
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(dir_.File("b.nsf").c_str(), &raw), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(raw,
                         "DROP INDEX stubs_unid;"
                         "DROP INDEX notes_changed;"
                         "DROP INDEX stubs_changed;"
                         "ALTER TABLE notes DROP COLUMN changed;"
                         "ALTER TABLE notes DROP COLUMN added;"
                         "ALTER TABLE stubs DROP COLUMN changed;"
                         "ALTER TABLE stubs DROP COLUMN sequence;"
                         "PRAGMA user_version=1;",
                         nullptr, nullptr, &error),
            SQLITE_OK)
      << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(raw);

  // Only a server told to upgrade does; any other refuses the file as it is.
  server_ = dir_.MakeServer(&clock_);
  ASSERT_NE(server_, nullptr);
  EXPECT_EQ(server_->OpenDatabase("b.nsf", &b_), err::kOlderFormat);
  LocalNotesServicesOptions options;
  options.dataDirectory = dir_.path();
  options.clock = &clock_;
  options.echoToStdout = false;
  options.upgradeDatabases = true;
  server_ = std::make_unique<LocalNotesServices>(options);
  ASSERT_EQ(server_->Start(), Status());
  ASSERT_EQ(server_->OpenDatabase("a.nsf", &a_), Status());
  ASSERT_EQ(server_->OpenDatabase("b.nsf", &b_), Status());
  // The old stub knows no version: the copy passes.
  uint32_t again = 0;
  ASSERT_EQ(
      server_->CopyNote(a_, 0, 0, original, b_, 0, 0, 0, 0, &again, nullptr),
      Status());
  EXPECT_NE(again, 0u);
  // Searches bring their kept outcome up to date from the change numbers,
  // which the notes of the old layout do not have.
  const std::string all = "SELECT @All";
  MemHandle formula;
  uint16_t length = 0, line = 0, column = 0, offset = 0, errorLength = 0;
  Status compileError;
  ASSERT_EQ(server_->CompileFormula(nullptr, 0, all.data(),
                                    static_cast<uint16_t>(all.size()), &formula,
                                    &length, &compileError, &line, &column,
                                    &offset, &errorLength),
            Status());
  const auto search = [&] {
    std::vector<uint32_t> ids;
    EXPECT_EQ(server_->SearchDatabase(
                  b_, formula, nullptr, 0, kNoteClassDocument, nullptr,
                  [](void* context, const SearchMatch& match) {
                    static_cast<std::vector<uint32_t>*>(context)->push_back(
                        match.noteId);
                    return Status();
                  },
                  &ids, nullptr),
              Status());
    return ids;
  };
  EXPECT_EQ(search(), Documents(b_));
  EXPECT_EQ(search().back(), again);
  // A stub written now keeps its version and stops the same copy.
  ASSERT_EQ(server_->DeleteNote(b_, again, 0), Status());
  EXPECT_EQ(search(), Documents(b_));
  server_->FreeMemory(formula);
  uint32_t third = 7;
  ASSERT_EQ(
      server_->CopyNote(a_, 0, 0, original, b_, 0, 0, 0, 0, &third, nullptr),
      Status());
  EXPECT_EQ(third, 0u);
  ASSERT_EQ(server_->CloseDatabase(b_), Status());

  ASSERT_EQ(sqlite3_open(dir_.File("b.nsf").c_str(), &raw), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(raw, "PRAGMA user_version", -1, &stmt, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(stmt, 0), store::kSchemaVersion);
  sqlite3_finalize(stmt);
  // Every note has a time it entered the file, the old ones too.
  ASSERT_EQ(
      sqlite3_prepare_v2(raw, "SELECT count(*) FROM notes WHERE added = 0", -1,
                         &stmt, nullptr),
      SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(stmt, 0), 0);
  sqlite3_finalize(stmt);
  sqlite3_close(raw);
}

// A database file removed or replaced while open must not take messages into
// the old file, which nobody reads again: the copy fails and the source
// keeps the message. A handle opened afterwards reaches the new file.
TEST_F(CopyDeleteFile, ADatabaseFileRemovedOrReplacedWhileOpenTakesNoCopy) {
  const uint32_t original = NewMessage(a_, "keep me");
  const auto removeB = [&] {
    for (const char* suffix : {"", "-wal", "-shm"}) {
      std::filesystem::remove(dir_.File(std::string("b.nsf") + suffix));
    }
  };
  removeB();
  uint32_t copied = 0;
  EXPECT_EQ(
      server_->CopyNote(a_, 0, 0, original, b_, 0, 0, 0, 0, &copied, nullptr)
          .code(),
      err::kFileReplaced);
  EXPECT_EQ(Documents(a_), std::vector<uint32_t>{original});
  // Updates and deletions on the old file are refused alike.
  NoteHandle note;
  ASSERT_EQ(server_->CreateNote(b_, &note), Status());
  EXPECT_EQ(server_->UpdateNote(note, 0).code(), err::kFileReplaced);
  ASSERT_EQ(server_->CloseNote(note), Status());

  // Another database put in its place: still refused on the old handle.
  ASSERT_EQ(server_->CreateDatabase("c.nsf", 0, false), Status());
  std::filesystem::rename(dir_.File("c.nsf"), dir_.File("b.nsf"));
  EXPECT_EQ(
      server_->CopyNote(a_, 0, 0, original, b_, 0, 0, 0, 0, &copied, nullptr)
          .code(),
      err::kFileReplaced);
  DbHandle fresh;
  ASSERT_EQ(server_->OpenDatabase("b.nsf", &fresh), Status());
  ASSERT_EQ(server_->CopyNote(a_, 0, 0, original, fresh, 0, 0, 0, 0, &copied,
                              nullptr),
            Status());
  EXPECT_EQ(Documents(fresh), std::vector<uint32_t>{copied});
  EXPECT_EQ(server_->CloseDatabase(fresh), Status());

  // Removed again while nothing is open: opening says so plainly.
  ASSERT_EQ(server_->CloseDatabase(b_), Status());
  removeB();
  EXPECT_EQ(server_->OpenDatabase("b.nsf", &b_).code(), err::kFileNotFound);
}

TEST_P(CopyDelete, LookupByUniversalIdFindsTheNoteElseItsLatestStub) {
  const uint32_t id = NewMessage(a_, "one");
  OriginatorId oid;
  ASSERT_EQ(server_->GetNoteOriginatorId(a_, id, &oid), Status());
  uint32_t copied = 0, found = 0, sequence = 0;
  EXPECT_EQ(server_->GetNoteInfoByUnid(b_, oid.unid, &found, &sequence).code(),
            err::kNotFound);
  ASSERT_EQ(server_->CopyNote(a_, 0, 0, id, b_, 0, 0, 0, 0, &copied, nullptr),
            Status());
  ASSERT_EQ(server_->GetNoteInfoByUnid(b_, oid.unid, &found, &sequence),
            Status());
  EXPECT_EQ(found, copied);
  EXPECT_EQ(sequence, oid.sequence);
  ASSERT_EQ(server_->DeleteNote(b_, copied, 0), Status());
  ASSERT_EQ(server_->GetNoteInfoByUnid(b_, oid.unid, &found, &sequence),
            Status());
  EXPECT_EQ(found, copied | kDeletedNoteFlag);
  EXPECT_EQ(sequence, oid.sequence);

  // A later version comes back and is deleted again: its stub is the one.
  ASSERT_NO_FATAL_FAILURE(SetText(a_, id, "Subject", "two"));
  uint32_t again = 0;
  ASSERT_EQ(server_->CopyNote(a_, 0, 0, id, b_, 0, 0, 0, 0, &again, nullptr),
            Status());
  ASSERT_NE(again, copied);
  ASSERT_EQ(server_->GetNoteInfoByUnid(b_, oid.unid, &found, &sequence),
            Status());
  EXPECT_EQ(found, again);
  EXPECT_EQ(sequence, oid.sequence + 1);
  ASSERT_EQ(server_->DeleteNote(b_, again, 0), Status());
  ASSERT_EQ(server_->GetNoteInfoByUnid(b_, oid.unid, &found, &sequence),
            Status());
  EXPECT_EQ(found, again | kDeletedNoteFlag);
  EXPECT_EQ(sequence, oid.sequence + 1);
}

TEST_P(CopyDelete, ACopyIntoItsOwnDatabaseIsRefusedAndWritesNothing) {
  const uint32_t id = NewMessage(a_, "one");
  const store::NoteInfo before = Info(a_, id);
  DbHandle again;
  ASSERT_EQ(server_->OpenDatabase(Path("/a.nsf").c_str(), &again), Status());
  for (const DbHandle to : {a_, again}) {
    uint32_t copied = 0;
    EXPECT_EQ(server_->CopyNote(a_, 0, 0, id, to, 0, 0, 0, 0, &copied, nullptr)
                  .code(),
              err::kSameDatabase);
  }
  EXPECT_EQ(Documents(a_), std::vector<uint32_t>{id});
  EXPECT_EQ(Info(a_, id).sequence, before.sequence);
  DatabaseId ofA{}, ofAgain{}, ofB{};
  ASSERT_EQ(server_->GetDatabaseId(a_, &ofA), Status());
  ASSERT_EQ(server_->GetDatabaseId(again, &ofAgain), Status());
  ASSERT_EQ(server_->GetDatabaseId(b_, &ofB), Status());
  EXPECT_EQ(ofA, ofAgain);
  EXPECT_NE(ofA, ofB);
  EXPECT_EQ(server_->CloseDatabase(again), Status());
}

TEST_P(CopyDelete, AnUpdateOfANoteChangedSinceItWasOpenedIsAConflict) {
  const uint32_t id = NewMessage(a_, "one");
  // Another process, standing for the scanner, gives its verdict in between.
  std::unique_ptr<LocalNotesServices> other = dir_.MakeServer(&clock_);
  ASSERT_NE(other, nullptr);
  DbHandle otherA;
  ASSERT_EQ(other->OpenDatabase(Path("a.nsf").c_str(), &otherA), Status());
  NoteHandle mine, theirs;
  ASSERT_EQ(server_->OpenNote(a_, id, 0, &mine), Status());
  ASSERT_EQ(other->OpenNote(otherA, id, 0, &theirs), Status());
  ASSERT_EQ(other->SetTextItem(theirs, "Kesto_Router", "D", 0xFFFF), Status());
  ASSERT_EQ(other->UpdateNote(theirs, 0), Status());
  const store::NoteInfo changed = Info(a_, id);

  ASSERT_EQ(server_->SetTextItem(mine, "Kesto_Router", "M", 0xFFFF), Status());
  EXPECT_EQ(server_->UpdateNote(mine, 0).code(), err::kUpdateConflict);
  EXPECT_EQ(Info(a_, id).sequence, changed.sequence);
  ASSERT_EQ(server_->CloseNote(mine), Status());
  // Opened again, it is the current version and saves.
  ASSERT_EQ(server_->OpenNote(a_, id, 0, &mine), Status());
  char route[8];
  EXPECT_EQ(server_->GetTextItem(mine, "Kesto_Router", route), 1);
  EXPECT_STREQ(route, "D");
  ASSERT_EQ(server_->SetTextItem(mine, "Subject", "two", 0xFFFF), Status());
  EXPECT_EQ(server_->UpdateNote(mine, 0), Status());
  EXPECT_EQ(server_->CloseNote(mine), Status());
  EXPECT_EQ(other->CloseNote(theirs), Status());
}

}  // namespace
}  // namespace vt
