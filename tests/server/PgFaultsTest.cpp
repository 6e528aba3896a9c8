// The faults a network brings to the PostgreSQL store: a lock held by
// another writer past the lock timeout is a busy database, as a SQLite file
// is; a server stopped (as by a crash) fails each operation with "Server not
// responding" and writes nothing; once it is back, the next operation
// connects again and everything written before is there.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "notes/ItemValue.h"
#include "server/LocalStoreAccess.h"
#include "support/FakeClock.h"
#include "support/StoreKinds.h"
#include "support/TempDataDir.h"

namespace vt {
namespace {

using testing::StoreKind;

Status NewMessage(LocalNotesServices& server, DbHandle db, uint32_t* id) {
  NoteHandle note;
  Status s = server.CreateNote(db, &note);
  if (!s.ok()) return s;
  s = server.SetTextItem(note, "Subject", "hello", 0xFFFF);
  if (s.ok()) s = server.UpdateNote(note, 0);
  if (s.ok()) *id = LocalStoreAccess::Note(server, note)->id;
  server.CloseNote(note).IgnoreError();
  return s;
}

class PgFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(store_.Prepare(StoreKind::kPostgres, dir_, {},
                                           "options=-c%20lock_timeout%3D1s"));
    server_ = dir_.MakeServer(&clock_);
    ASSERT_NE(server_, nullptr);
    for (const char* name : {"a.nsf", "b.nsf"}) {
      ASSERT_EQ(server_->CreateDatabase(Path(name).c_str(), 0, false),
                Status());
    }
    ASSERT_EQ(server_->OpenDatabase(Path("a.nsf").c_str(), &a_), Status());
  }

  std::string Path(const char* name) const { return store_.Path(name); }

  FakeClock clock_;
  TempDataDir dir_;
  testing::StoreUnderTest store_;
  std::unique_ptr<LocalNotesServices> server_;
  DbHandle a_;
};

TEST_F(PgFaults, ALockHeldPastTheTimeoutIsABusyDatabase) {
  uint32_t id = 0;
  ASSERT_EQ(NewMessage(*server_, a_, &id), Status());
  // Another router's move holds b between its copy and its deletion.
  std::unique_ptr<LocalNotesServices> other = dir_.MakeServer(&clock_);
  ASSERT_NE(other, nullptr);
  DbHandle otherA, otherB, b;
  ASSERT_EQ(other->OpenDatabase(Path("a.nsf").c_str(), &otherA), Status());
  ASSERT_EQ(other->OpenDatabase(Path("b.nsf").c_str(), &otherB), Status());
  ASSERT_EQ(server_->OpenDatabase(Path("b.nsf").c_str(), &b), Status());
  OriginatorId copied;
  ASSERT_EQ(other->CopySelectedNote(otherA, id, MemHandle(), otherB, &copied),
            Status());
  uint32_t mine = 0;
  EXPECT_EQ(NewMessage(*server_, b, &mine).code(), err::kDatabaseBusy);
  // The move ends; the database is free again, and nothing was half done.
  ASSERT_EQ(other->DeleteNoteVersion(otherA, id, copied.sequence, 0), Status());
  ASSERT_EQ(NewMessage(*server_, b, &mine), Status());
  uint32_t sequence = 0;
  EXPECT_EQ(server_->GetNoteInfo(a_, id, &sequence, nullptr, nullptr).code(),
            err::kNoteDeleted);
  uint32_t found = 0;
  EXPECT_EQ(server_->GetNoteInfoByUnid(b, copied.unid, &found, &sequence),
            Status());
}

TEST_F(PgFaults, AStoppedServerFailsEachOperationUntilItIsBack) {
  uint32_t before = 0;
  ASSERT_EQ(NewMessage(*server_, a_, &before), Status());
  ASSERT_TRUE(store_.postgres()->Stop("immediate"));
  uint32_t id = 0;
  EXPECT_EQ(NewMessage(*server_, a_, &id).code(), err::kServerNotResponding);
  uint32_t sequence = 0;
  EXPECT_EQ(
      server_->GetNoteInfo(a_, before, &sequence, nullptr, nullptr).code(),
      err::kServerNotResponding);
  DbHandle b;
  EXPECT_EQ(server_->OpenDatabase(Path("b.nsf").c_str(), &b).code(),
            err::kServerNotResponding);

  ASSERT_TRUE(store_.postgres()->Restart());
  EXPECT_EQ(server_->GetNoteInfo(a_, before, &sequence, nullptr, nullptr),
            Status());
  ASSERT_EQ(NewMessage(*server_, a_, &id), Status());
  EXPECT_GT(id, before);
  ASSERT_EQ(server_->OpenDatabase(Path("b.nsf").c_str(), &b), Status());
}

// A role granted only what the README names works on tables another role
// made; before they exist, it is refused plainly.
TEST(PgRoles, ARoleWithTheLeastRightsWorksOnceTheTablesExist) {
  TempDataDir dir;
  testing::StoreUnderTest store;
  ASSERT_NO_FATAL_FAILURE(
      store.Prepare(StoreKind::kPostgres, dir, {}, "user=vtlimited"));
  testing::PrivatePostgres& pg = *store.postgres();
  std::string output;
  ASSERT_TRUE(pg.Run(store.database(),
                     "DROP ROLE IF EXISTS vtlimited;"
                     "CREATE ROLE vtlimited LOGIN;"
                     "REVOKE CREATE ON SCHEMA public FROM PUBLIC;",
                     &output))
      << output;
  FakeClock clock;
  std::unique_ptr<LocalNotesServices> server = dir.MakeServer(&clock);
  ASSERT_NE(server, nullptr);
  const std::string path = store.Path("a.nsf");
  EXPECT_EQ(server->CreateDatabase(path.c_str(), 0, false).code(),
            err::kPermissionDenied);

  // The owner (the cluster's superuser here) connects first.
  TempDataDir ownerDir;
  testing::StoreUnderTest owner;
  ownerDir.WriteIni("ServerName=CN=Mail1/O=Example\n[Servers]\n" +
                    std::string(testing::StoreUnderTest::kServer) + "=" +
                    pg.Uri(store.database()) + "\n");
  std::unique_ptr<LocalNotesServices> first = ownerDir.MakeServer(&clock);
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(first->CreateDatabase(path.c_str(), 0, false), Status());
  ASSERT_TRUE(pg.Run(store.database(),
                     "GRANT SELECT, INSERT, UPDATE, DELETE ON vt_databases,"
                     " vt_notes, vt_stubs, vt_meta TO vtlimited;"
                     "GRANT USAGE ON vt_databases_id_seq TO vtlimited;",
                     &output))
      << output;
  server = dir.MakeServer(&clock);
  ASSERT_EQ(server->CreateDatabase(store.Path("b.nsf").c_str(), 0, false),
            Status());
  DbHandle a, b;
  ASSERT_EQ(server->OpenDatabase(path.c_str(), &a), Status());
  ASSERT_EQ(server->OpenDatabase(store.Path("b.nsf").c_str(), &b), Status());
  uint32_t id = 0;
  ASSERT_EQ(NewMessage(*server, a, &id), Status());
  OriginatorId copied;
  ASSERT_EQ(server->CopySelectedNote(a, id, MemHandle(), b, &copied), Status());
  ASSERT_EQ(server->DeleteNoteVersion(a, id, copied.sequence, 0), Status());
  // No table of its own: it may not make one.
  EXPECT_FALSE(pg.Run(store.database(), "SET ROLE vtlimited; CREATE TABLE x()",
                      &output));
}

}  // namespace
}  // namespace vt
