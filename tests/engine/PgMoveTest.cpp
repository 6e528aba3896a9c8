// A move between two databases kept in one PostgreSQL database is one
// transaction: until the deletion, nobody sees the copy; a connection lost
// in between leaves the message in its source only, and the deletion then
// refuses; any other statement in between commits the copy alone, as a
// move between stores would.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/MessageMover.h"
#include "notes/ItemValue.h"
#include "server/LocalStoreAccess.h"
#include "support/FakeClock.h"
#include "support/StoreKinds.h"
#include "support/TempDataDir.h"

namespace vt {
namespace {

using testing::StoreKind;

class PgMove : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(store_.Prepare(StoreKind::kPostgres, dir_));
    server_ = dir_.MakeServer(&clock_);
    ASSERT_NE(server_, nullptr);
    for (const char* name : {"a.nsf", "b.nsf"}) {
      ASSERT_EQ(server_->CreateDatabase(Path(name).c_str(), 0, false),
                Status());
    }
    ASSERT_EQ(server_->OpenDatabase(Path("a.nsf").c_str(), &a_), Status());
    ASSERT_EQ(server_->OpenDatabase(Path("b.nsf").c_str(), &b_), Status());
  }

  std::string Path(const char* name) const { return store_.Path(name); }

  uint32_t NewMessage() {
    NoteHandle note;
    EXPECT_EQ(server_->CreateNote(a_, &note), Status());
    EXPECT_EQ(server_->SetTextItem(note, "Subject", "moving", 0xFFFF),
              Status());
    EXPECT_EQ(server_->UpdateNote(note, 0), Status());
    const uint32_t id = LocalStoreAccess::Note(*server_, note)->id;
    EXPECT_EQ(server_->CloseNote(note), Status());
    return id;
  }

  // The documents of a database as another connection sees them.
  std::string Seen(const char* name) const {
    return store_.postgres()->Sql(
        store_.database(),
        std::string("SELECT count(*) FROM vt_notes n JOIN vt_databases d"
                    " ON d.id = n.db WHERE d.name = '") +
            name + "' AND n.class = 1");
  }

  FakeClock clock_;
  TempDataDir dir_;
  testing::StoreUnderTest store_;
  std::unique_ptr<LocalNotesServices> server_;
  DbHandle a_;
  DbHandle b_;
};

TEST_F(PgMove, TheCopyAndTheDeletionCommitTogether) {
  const uint32_t id = NewMessage();
  ASSERT_EQ(Seen("a.nsf"), "1\n");
  OriginatorId copied;
  ASSERT_EQ(server_->CopySelectedNote(a_, id, MemHandle(), b_, &copied),
            Status());
  // Not yet committed: another connection sees the message in a only.
  EXPECT_EQ(Seen("a.nsf"), "1\n");
  EXPECT_EQ(Seen("b.nsf"), "0\n");
  ASSERT_EQ(server_->DeleteNoteVersion(a_, id, copied.sequence, 0), Status());
  EXPECT_EQ(Seen("a.nsf"), "0\n");
  EXPECT_EQ(Seen("b.nsf"), "1\n");

  // The router's own move, through the same calls.
  const uint32_t second = NewMessage();
  DbHandle target;
  ASSERT_EQ(MoveOneMessage(*server_, a_, second, b_, {}, &target), Status());
  EXPECT_EQ(Seen("a.nsf"), "0\n");
  EXPECT_EQ(Seen("b.nsf"), "2\n");
}

TEST_F(PgMove, AConnectionLostBetweenLeavesTheMessageInItsSourceOnly) {
  const uint32_t id = NewMessage();
  OriginatorId copied;
  ASSERT_EQ(server_->CopySelectedNote(a_, id, MemHandle(), b_, &copied),
            Status());
  // The server ends the router's session, as a crash of either would.
  ASSERT_FALSE(store_.postgres()
                   ->Sql(store_.database(),
                         "SELECT pg_terminate_backend(pid) FROM"
                         " pg_stat_activity WHERE application_name ="
                         " 'vtrouter' AND datname = current_database()")
                   .empty());
  EXPECT_EQ(server_->DeleteNoteVersion(a_, id, copied.sequence, 0).code(),
            err::kServerNotResponding);
  EXPECT_EQ(Seen("a.nsf"), "1\n");
  EXPECT_EQ(Seen("b.nsf"), "0\n");
  // The connection is made again, and the move repeated succeeds.
  DbHandle target;
  ASSERT_EQ(MoveOneMessage(*server_, a_, id, b_, {}, &target), Status());
  EXPECT_EQ(Seen("a.nsf"), "0\n");
  EXPECT_EQ(Seen("b.nsf"), "1\n");
}

TEST_F(PgMove, AnotherStatementBetweenCommitsTheCopyAlone) {
  const uint32_t id = NewMessage();
  OriginatorId copied;
  ASSERT_EQ(server_->CopySelectedNote(a_, id, MemHandle(), b_, &copied),
            Status());
  uint32_t sequence = 0;
  ASSERT_EQ(server_->GetNoteInfo(a_, id, &sequence, nullptr, nullptr),
            Status());
  EXPECT_EQ(Seen("b.nsf"), "1\n");
  EXPECT_EQ(Seen("a.nsf"), "1\n");
  ASSERT_EQ(server_->DeleteNoteVersion(a_, id, copied.sequence, 0), Status());
  EXPECT_EQ(Seen("a.nsf"), "0\n");

  // A note changed between copy and deletion stays, and so does its copy
  // of the version before: the router copies it again.
  const uint32_t changed = NewMessage();
  ASSERT_EQ(server_->CopySelectedNote(a_, changed, MemHandle(), b_, &copied),
            Status());
  std::unique_ptr<LocalNotesServices> scanner = dir_.MakeServer(&clock_);
  ASSERT_NE(scanner, nullptr);
  DbHandle theirs;
  ASSERT_EQ(scanner->OpenDatabase(Path("a.nsf").c_str(), &theirs), Status());
  NoteHandle note;
  ASSERT_EQ(scanner->OpenNote(theirs, changed, 0, &note), Status());
  ASSERT_EQ(scanner->SetTextItem(note, "Subject", "edited", 0xFFFF), Status());
  // It waits for the held copy's lock on nothing it needs: a, not b.
  ASSERT_EQ(scanner->UpdateNote(note, 0), Status());
  ASSERT_EQ(scanner->CloseNote(note), Status());
  EXPECT_EQ(server_->DeleteNoteVersion(a_, changed, copied.sequence, 0).code(),
            err::kUpdateConflict);
  EXPECT_EQ(Seen("a.nsf"), "1\n");
  EXPECT_EQ(Seen("b.nsf"), "2\n");
}

}  // namespace
}  // namespace vt
