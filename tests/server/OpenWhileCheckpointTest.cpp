// Opening a database while another process's connection checkpoints it (its
// last close, or PRAGMA wal_checkpoint(TRUNCATE)): the file grows, its header
// counts the new pages and the log empties, between two reads of the
// opener's. A sound file must never be refused as damaged then: a router
// that finds its mail box damaged at start does not start.
#include <gtest/gtest.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <ios>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "server/store/NsfDatabase.h"
#include "server/store/Sqlite.h"
#include "support/TempDataDir.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

constexpr char kDb[] = "mail.box";

// A document whose body takes several pages, so that the file grows.
Status AddLargeNote(LocalNotesServices& server, DbHandle db, int round) {
  NoteHandle note;
  Status s = server.CreateNote(db, &note);
  if (!s.ok()) return s;
  const std::string body(16000, static_cast<char>('a' + round % 26));
  s = server.SetTextItem(note, "Body", body.c_str(), 0xFFFF);
  if (s.ok()) s = server.UpdateNote(note, 0);
  const Status closed = server.CloseNote(note);
  return s.ok() ? closed : s;
}

// Folds the log into the file and empties it, from a connection of its own.
Status CheckpointAndTruncate(const fs::path& file) {
  store::SqliteConnection connection;
  Status s = connection.Open(file, /*create=*/false);
  if (!s.ok()) return s;
  sqlite3_busy_timeout(connection.get(), 10000);
  int64_t busy = 0;
  s = connection.QueryInt("PRAGMA wal_checkpoint(TRUNCATE)", &busy);
  return s.ok() && busy != 0 ? Status(err::kDatabaseBusy) : s;
}

uintmax_t SizeOf(const fs::path& file) {
  std::error_code ec;
  const uintmax_t size = fs::file_size(file, ec);
  return ec ? 0 : size;
}

fs::path LogOf(const fs::path& file) {
  fs::path wal = file;
  wal += "-wal";
  return wal;
}

TEST(OpenWhileCheckpoint, FileGrownAndLogEmptiedDuringTheLookStillOpens) {
  TempDataDir dir;
  std::unique_ptr<LocalNotesServices> writer = dir.MakeServer();
  ASSERT_NE(writer, nullptr);
  ASSERT_EQ(writer->CreateDatabase(kDb, 0, false), Status());
  DbHandle db;
  ASSERT_EQ(writer->OpenDatabase(kDb, &db), Status());
  const fs::path file = dir.File(kDb);

  int looks = 0;
  store::NsfDatabase::OpenOptions options;
  options.duringHeaderCheck = [&] {
    if (looks++ > 0) return;
    const uintmax_t before = SizeOf(file);
    ASSERT_EQ(AddLargeNote(*writer, db, 0), Status());
    ASSERT_EQ(CheckpointAndTruncate(file), Status());
    EXPECT_GT(SizeOf(file), before)
        << "the header now counts pages the sizes read before did not hold";
    EXPECT_EQ(SizeOf(LogOf(file)), 0u);
  };
  std::unique_ptr<store::NsfDatabase> opened;
  std::vector<fs::path> setAside;
  const Status s = store::NsfDatabase::Open(file, &opened, &setAside, options);
  EXPECT_EQ(s, Status()) << "refused with status 0x" << std::hex << s.value();
  EXPECT_GE(looks, 1);
  EXPECT_TRUE(setAside.empty());
}

// The other process: rounds of one large note, each ended by an explicit
// checkpoint or by the last close (which folds the log in and empties it),
// until stop reads end of file. After the first round it says so on ready.
// 0 when every write succeeded.
int WriteAndCheckpointUntilStopped(const TempDataDir& dir, int stop,
                                   int ready) {
  std::unique_ptr<LocalNotesServices> server = dir.MakeServer();
  if (server == nullptr) return 2;
  for (int round = 0;; ++round) {
    pollfd stopped{stop, POLLIN, 0};
    if (::poll(&stopped, 1, 0) != 0) return 0;
    DbHandle db;
    if (!server->OpenDatabase(kDb, &db).ok()) return 3;
    if (!AddLargeNote(*server, db, round).ok()) return 4;
    // Busy while the opener reads: then the close does it.
    if (round % 2 == 0) CheckpointAndTruncate(dir.File(kDb)).IgnoreError();
    if (!server->CloseDatabase(db).ok()) return 5;
    if (round == 0 && ::write(ready, "r", 1) != 1) return 6;
  }
}

TEST(OpenWhileCheckpoint,
     RepeatedOpensNeverSeeDamageWhileAnotherProcessWrites) {
  TempDataDir dir;
  {
    std::unique_ptr<LocalNotesServices> server = dir.MakeServer();
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(server->CreateDatabase(kDb, 0, false), Status());
  }
  int stop[2];
  int ready[2];
  ASSERT_EQ(::pipe(stop), 0);
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(stop[1]);
    ::close(ready[0]);
    ::_exit(WriteAndCheckpointUntilStopped(dir, stop[0], ready[1]));
  }
  ::close(stop[0]);
  ::close(ready[1]);
  char byte = 0;
  const bool started = ::read(ready[0], &byte, 1) == 1;
  ::close(ready[0]);

  const fs::path file = dir.File(kDb);
  int refused = 0;
  Status first;
  for (int i = 0; started && i < 300; ++i) {
    std::unique_ptr<store::NsfDatabase> db;
    std::vector<fs::path> setAside;
    const Status s = store::NsfDatabase::Open(file, &db, &setAside);
    if (!s.ok() && refused++ == 0) first = s;
  }
  ::close(stop[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(started) << "the writer never wrote";
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the writer failed";
  EXPECT_EQ(refused, 0) << "first refusal: status 0x" << std::hex
                        << first.value();

  // The writer did write meanwhile, more than its first round.
  std::unique_ptr<store::NsfDatabase> db;
  std::vector<fs::path> setAside;
  ASSERT_EQ(store::NsfDatabase::Open(file, &db, &setAside), Status());
  int documents = 0;
  ASSERT_EQ(db->ForEachNote(kNoteClassDocument,
                            [&](const store::ScanEntry&) {
                              ++documents;
                              return Status();
                            }),
            Status());
  EXPECT_GT(documents, 1);
}

}  // namespace
}  // namespace vt
