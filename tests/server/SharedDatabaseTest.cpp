// Several servers (as several processes would) copying and deleting in the
// same databases at once: every write waits its turn, none is lost, and no
// message ends up in two places or none.
#include <gtest/gtest.h>

#include <map>
#include <thread>
#include <vector>

#include "server/LocalStoreAccess.h"
#include "support/TempDataDir.h"

namespace vt {
namespace {

constexpr int kMessages = 40;

uint32_t NewMessage(LocalNotesServices& server, DbHandle db, int n) {
  NoteHandle note;
  EXPECT_EQ(server.CreateNote(db, &note), Status());
  const std::string subject = "message " + std::to_string(n);
  EXPECT_EQ(server.SetTextItem(note, "Subject", subject.c_str(), 0xFFFF),
            Status());
  EXPECT_EQ(server.UpdateNote(note, 0), Status());
  const uint32_t id = LocalStoreAccess::Note(server, note)->id;
  EXPECT_EQ(server.CloseNote(note), Status());
  return id;
}

// Moves every listed message from source to destination as the router does.
void Move(LocalNotesServices* server, const char* source, const char* target,
          std::vector<uint32_t> ids, std::vector<Status>* failures) {
  DbHandle from;
  DbHandle to;
  Status s = server->OpenDatabase(source, &from);
  if (s.ok()) s = server->OpenDatabase(target, &to);
  if (!s.ok()) {
    failures->push_back(s);
    return;
  }
  for (uint32_t id : ids) {
    uint32_t newId = 0;
    s = server->CopyNote(from, 0, 0, id, to, 0, 0, 0, 0, &newId, nullptr);
    if (s.ok()) s = server->DeleteNote(from, id, 0);
    if (!s.ok()) failures->push_back(s);
  }
}

std::map<store::Unid, int> UnidCounts(LocalNotesServices& server,
                                      const char* path) {
  std::map<store::Unid, int> counts;
  DbHandle db;
  EXPECT_EQ(server.OpenDatabase(path, &db), Status());
  EXPECT_EQ(LocalStoreAccess::Database(server, db)
                ->ForEachNote(kNoteClassDocument,
                              [&](const store::ScanEntry& e) {
                                store::NoteInfo info;
                                EXPECT_EQ(LocalStoreAccess::Database(server, db)
                                              ->GetNoteInfo(e.id, &info),
                                          Status());
                                ++counts[info.unid];
                                return Status();
                              }),
            Status());
  return counts;
}

TEST(SharedDatabase, TwoServersMoveIntoOneDatabaseAtOnce) {
  TempDataDir dir;
  auto one = dir.MakeServer();
  auto two = dir.MakeServer();
  ASSERT_NE(one, nullptr);
  ASSERT_NE(two, nullptr);
  for (const char* path : {"in1.nsf", "in2.nsf", "shared.nsf"}) {
    ASSERT_EQ(one->CreateDatabase(path, 0, false), Status());
  }
  std::vector<uint32_t> ids1;
  std::vector<uint32_t> ids2;
  {
    DbHandle in1;
    DbHandle in2;
    ASSERT_EQ(one->OpenDatabase("in1.nsf", &in1), Status());
    ASSERT_EQ(two->OpenDatabase("in2.nsf", &in2), Status());
    for (int i = 0; i < kMessages; ++i) {
      ids1.push_back(NewMessage(*one, in1, i));
      ids2.push_back(NewMessage(*two, in2, i));
    }
  }

  std::vector<Status> failures1;
  std::vector<Status> failures2;
  std::thread t1(Move, one.get(), "in1.nsf", "shared.nsf", ids1, &failures1);
  std::thread t2(Move, two.get(), "in2.nsf", "shared.nsf", ids2, &failures2);
  t1.join();
  t2.join();
  EXPECT_TRUE(failures1.empty()) << std::hex << failures1.front().value();
  EXPECT_TRUE(failures2.empty()) << std::hex << failures2.front().value();

  auto reader = dir.MakeServer();
  const auto shared = UnidCounts(*reader, "shared.nsf");
  EXPECT_EQ(shared.size(), 2u * kMessages);
  for (const auto& [unid, count] : shared) EXPECT_EQ(count, 1);
  EXPECT_TRUE(UnidCounts(*reader, "in1.nsf").empty());
  EXPECT_TRUE(UnidCounts(*reader, "in2.nsf").empty());
}

TEST(SharedDatabase, BothServersCopyingTheSameNotesLeaveOneCopyEach) {
  TempDataDir dir;
  auto one = dir.MakeServer();
  auto two = dir.MakeServer();
  ASSERT_EQ(one->CreateDatabase("src.nsf", 0, false), Status());
  ASSERT_EQ(one->CreateDatabase("dst.nsf", 0, false), Status());
  std::vector<uint32_t> ids;
  {
    DbHandle src;
    ASSERT_EQ(one->OpenDatabase("src.nsf", &src), Status());
    for (int i = 0; i < kMessages; ++i) ids.push_back(NewMessage(*one, src, i));
  }
  // Each copies all; whoever deletes second finds a stub, as a router that
  // lost a race would.
  auto copyAll = [&ids](LocalNotesServices* server, std::vector<Status>* out) {
    DbHandle src;
    DbHandle dst;
    Status s = server->OpenDatabase("src.nsf", &src);
    if (s.ok()) s = server->OpenDatabase("dst.nsf", &dst);
    if (!s.ok()) return out->push_back(s);
    for (uint32_t id : ids) {
      uint32_t newId = 0;
      s = server->CopyNote(src, 0, 0, id, dst, 0, 0, 0, 0, &newId, nullptr);
      if (s.ok()) s = server->DeleteNote(src, id, 0);
      if (!s.ok() && !s.Is(err::kNoteDeleted)) out->push_back(s);
    }
  };
  std::vector<Status> failures1;
  std::vector<Status> failures2;
  std::thread t1(copyAll, one.get(), &failures1);
  std::thread t2(copyAll, two.get(), &failures2);
  t1.join();
  t2.join();
  EXPECT_TRUE(failures1.empty());
  EXPECT_TRUE(failures2.empty());
  const auto counts = UnidCounts(*one, "dst.nsf");
  EXPECT_EQ(counts.size(), static_cast<size_t>(kMessages));
  for (const auto& [unid, count] : counts) EXPECT_EQ(count, 1);
  EXPECT_TRUE(UnidCounts(*one, "src.nsf").empty());
}

TEST(SharedDatabase, ChangesOfOneServerAreSeenByTheOther) {
  TempDataDir dir;
  auto one = dir.MakeServer();
  auto two = dir.MakeServer();
  ASSERT_EQ(one->CreateDatabase("s.nsf", 0, false), Status());
  DbHandle db1;
  DbHandle db2;
  ASSERT_EQ(one->OpenDatabase("s.nsf", &db1), Status());
  ASSERT_EQ(two->OpenDatabase("s.nsf", &db2), Status());
  const uint32_t id = NewMessage(*one, db1, 1);
  uint16_t noteClass = 0;
  EXPECT_EQ(two->GetNoteInfo(db2, id, nullptr, nullptr, &noteClass), Status());
  ASSERT_EQ(two->DeleteNote(db2, id, 0), Status());
  EXPECT_EQ(one->GetNoteInfo(db1, id, nullptr, nullptr, nullptr).code(),
            err::kNoteDeleted);
}

TEST(SharedDatabase, AScanVisitorMayMoveNotesWhileAnotherServerWrites) {
  TempDataDir dir;
  auto one = dir.MakeServer();
  auto two = dir.MakeServer();
  ASSERT_EQ(one->CreateDatabase("a.nsf", 0, false), Status());
  ASSERT_EQ(one->CreateDatabase("b.nsf", 0, false), Status());
  DbHandle a;
  DbHandle b;
  DbHandle otherA;
  ASSERT_EQ(one->OpenDatabase("a.nsf", &a), Status());
  ASSERT_EQ(one->OpenDatabase("b.nsf", &b), Status());
  ASSERT_EQ(two->OpenDatabase("a.nsf", &otherA), Status());
  for (int i = 0; i < 5; ++i) NewMessage(*one, a, i);

  int visited = 0;
  ASSERT_EQ(LocalStoreAccess::Database(*one, a)->ForEachNote(
                kNoteClassDocument,
                [&](const store::ScanEntry& e) {
                  // Mail arriving from another
                  // process in mid-pass.
                  if (visited++ == 1) NewMessage(*two, otherA, 99);
                  uint32_t newId = 0;
                  Status s = one->CopyNote(a, 0, 0, e.id, b, 0, 0, 0, 0, &newId,
                                           nullptr);
                  if (s.ok()) s = one->DeleteNote(a, e.id, 0);
                  return s;
                }),
            Status());
  EXPECT_GE(visited, 5);
  EXPECT_EQ(UnidCounts(*one, "b.nsf").size(), static_cast<size_t>(visited));
}

}  // namespace
}  // namespace vt
