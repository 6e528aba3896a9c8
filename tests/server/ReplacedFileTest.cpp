// A database file removed or replaced while a server (the running router)
// keeps it open, with committed notes still in its write-ahead log. Whoever
// opens the path next must see the new file alone, undamaged: the old log
// and shared memory set aside and reported, never merged, and never deleted
// by the old connection when it finally closes.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "notes/ItemValue.h"
#include "server/LocalStoreAccess.h"
#include "support/LogTexts.h"
#include "support/TempDataDir.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

constexpr char kSetAside[] =
    "files left beside it by a removed or replaced database were set aside "
    "as ";

using Subjects = std::vector<std::string>;

class ReplacedFile : public ::testing::Test {
 protected:
  void SetUp() override {
    router_ = dir_.MakeServer();
    next_ = dir_.MakeServer();
    ASSERT_NE(router_, nullptr);
    ASSERT_NE(next_, nullptr);
  }

  static void Add(LocalNotesServices& server, DbHandle db,
                  const std::string& subject) {
    NoteHandle note;
    ASSERT_EQ(server.CreateNote(db, &note), Status());
    ASSERT_EQ(server.SetTextItem(note, "Subject", subject.c_str(), 0xFFFF),
              Status());
    ASSERT_EQ(server.UpdateNote(note, 0), Status());
    ASSERT_EQ(server.CloseNote(note), Status());
  }

  // The subjects of the documents, sorted; every note must read whole.
  static Subjects Read(LocalNotesServices& server, DbHandle db) {
    store::NsfDatabase* database = LocalStoreAccess::Database(server, db);
    std::vector<uint32_t> ids;
    EXPECT_EQ(database->ForEachNote(kNoteClassDocument,
                                    [&](const store::ScanEntry& e) {
                                      ids.push_back(e.id);
                                      return Status();
                                    }),
              Status());
    Subjects subjects;
    for (const uint32_t id : ids) {
      store::NoteRecord note;
      EXPECT_EQ(database->ReadNote(id, &note), Status());
      const store::Item* subject = note.items.Find("Subject");
      subjects.emplace_back(
          subject == nullptr
              ? "?"
              : std::string(subject->value.begin(), subject->value.end()));
    }
    std::sort(subjects.begin(), subjects.end());
    return subjects;
  }

  // What a fresh server (another process) finds at the path.
  Subjects ReadAfresh(const char* path) {
    std::unique_ptr<LocalNotesServices> server = dir_.MakeServer();
    DbHandle db;
    EXPECT_EQ(server->OpenDatabase(path, &db), Status());
    return db ? Read(*server, db) : Subjects{"not opened"};
  }

  fs::path Beside(const char* path, const char* suffix) const {
    fs::path p = dir_.File(path);
    p += suffix;
    return p;
  }

  uintmax_t SizeOf(const fs::path& file) const {
    std::error_code ec;
    const uintmax_t size = fs::file_size(file, ec);
    return ec ? 0 : size;
  }

  // The files set aside in the data directory, by name.
  std::vector<std::string> SetAside() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_.path())) {
      const std::string name = e.path().filename().string();
      if (name.find(".aside-") != std::string::npos) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  // A database whose committed notes are still in its log, opened by the
  // router, which keeps its handle. A legacy one was made before databases
  // had identities.
  DbHandle OpenWithLoggedNotes(const char* path, bool legacy = false) {
    DbHandle db;
    EXPECT_EQ(router_->CreateDatabase(path, 0, false), Status());
    if (legacy) {
      sqlite3* raw = nullptr;
      EXPECT_EQ(sqlite3_open(dir_.File(path).c_str(), &raw), SQLITE_OK);
      EXPECT_EQ(
          sqlite3_exec(raw, "DROP TABLE fileid", nullptr, nullptr, nullptr),
          SQLITE_OK);
      sqlite3_close(raw);
      fs::remove(Beside(path, "-walid"));
    }
    EXPECT_EQ(router_->OpenDatabase(path, &db), Status());
    for (const char* subject : {"old 1", "old 2", "old 3"}) {
      Add(*router_, db, subject);
    }
    EXPECT_GT(SizeOf(Beside(path, "-wal")), 0u) << "no notes in the log";
    return db;
  }

  // Another database, cleanly closed, moved over path.
  void MoveAnotherOver(const char* path) {
    ASSERT_EQ(next_->CreateDatabase("other.box", 0, false), Status());
    DbHandle other;
    ASSERT_EQ(next_->OpenDatabase("other.box", &other), Status());
    Add(*next_, other, "new 1");
    Add(*next_, other, "new 2");
    ASSERT_EQ(next_->CloseDatabase(other), Status());
    fs::rename(dir_.File("other.box"), dir_.File(path));
  }

  // The log line about path, checked for naming its set-aside -wal and -shm
  // files, which are also the only ones set aside.
  void ExpectSetAsideReported(LocalNotesServices& server, const char* path) {
    const std::vector<std::string> aside = SetAside();
    ASSERT_EQ(aside.size(), 2u) << ::testing::PrintToString(aside);
    const std::string base = fs::path(path).filename().string();
    EXPECT_EQ(aside[0].rfind(base + "-shm.aside-", 0), 0u) << aside[0];
    EXPECT_EQ(aside[1].rfind(base + "-wal.aside-", 0), 0u) << aside[1];
    EXPECT_GT(SizeOf(dir_.path() / aside[1]), 0u)
        << "the old log is kept as it was";
    const std::string line =
        std::string(path) + ": " + kSetAside + aside[1] + ", " + aside[0];
    EXPECT_EQ(testing::CountLog(server, line), 1)
        << line << "\n"
        << ::testing::PrintToString(testing::LogTexts(server));
  }

  // The router's old connection closes last; the new file's log and shared
  // memory must stay, and so must what was written into them.
  void ExpectNewFileOutlivesOldConnection(const char* path, Subjects expected) {
    DbHandle db;
    ASSERT_EQ(next_->OpenDatabase(path, &db), Status());
    Add(*next_, db, "after");
    expected.push_back("after");
    std::sort(expected.begin(), expected.end());
    router_.reset();
    EXPECT_TRUE(fs::exists(Beside(path, "-wal")));
    EXPECT_TRUE(fs::exists(Beside(path, "-shm")));
    EXPECT_EQ(ReadAfresh(path), expected);
    next_.reset();

    // Still whole and writable, and nothing more set aside.
    std::unique_ptr<LocalNotesServices> last = dir_.MakeServer();
    ASSERT_EQ(last->OpenDatabase(path, &db), Status());
    Add(*last, db, "last");
    expected.push_back("last");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Read(*last, db), expected);
    EXPECT_EQ(testing::CountLog(*last, kSetAside), 0);
    last.reset();
    EXPECT_EQ(SetAside().size(), 2u);
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(dir_.File(path).c_str(), &raw), SQLITE_OK);
    sqlite3_stmt* check = nullptr;
    ASSERT_EQ(
        sqlite3_prepare_v2(raw, "PRAGMA integrity_check", -1, &check, nullptr),
        SQLITE_OK);
    ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)),
                 "ok");
    sqlite3_finalize(check);
    sqlite3_close(raw);
  }

  TempDataDir dir_;
  std::unique_ptr<LocalNotesServices> router_;
  std::unique_ptr<LocalNotesServices> next_;
};

TEST_F(ReplacedFile, AnotherDatabaseMovedOverItIsOpenedAlone) {
  const DbHandle old = OpenWithLoggedNotes("Scan_1.box");
  MoveAnotherOver("Scan_1.box");

  // The next opener: another process, or the router after a restart.
  DbHandle db;
  ASSERT_EQ(next_->OpenDatabase("Scan_1.box", &db), Status());
  EXPECT_EQ(Read(*next_, db), (Subjects{"new 1", "new 2"}));
  ExpectSetAsideReported(*next_, "Scan_1.box");
  ASSERT_EQ(next_->CloseDatabase(db), Status());

  // The running router: its old handle may not write, a new one reaches
  // the new file, and nothing more is set aside.
  NoteHandle note;
  ASSERT_EQ(router_->CreateNote(old, &note), Status());
  EXPECT_EQ(router_->UpdateNote(note, 0).code(), err::kFileReplaced);
  ASSERT_EQ(router_->CloseNote(note), Status());
  DbHandle again;
  ASSERT_EQ(router_->OpenDatabase("Scan_1.box", &again), Status());
  EXPECT_EQ(Read(*router_, again), (Subjects{"new 1", "new 2"}));
  EXPECT_EQ(testing::CountLog(*router_, kSetAside), 0);

  ExpectNewFileOutlivesOldConnection("Scan_1.box", {"new 1", "new 2"});
}

// Its first opening gives it an identity, in the main file and the record,
// so it is told apart when replaced.
TEST_F(ReplacedFile, ADatabaseMadeBeforeIdentitiesIsToldApartOnceOpened) {
  OpenWithLoggedNotes("Scan_1.box", /*legacy=*/true);
  MoveAnotherOver("Scan_1.box");
  DbHandle db;
  ASSERT_EQ(next_->OpenDatabase("Scan_1.box", &db), Status());
  EXPECT_EQ(Read(*next_, db), (Subjects{"new 1", "new 2"}));
  ExpectSetAsideReported(*next_, "Scan_1.box");
}

TEST_F(ReplacedFile, ARemovedDatabaseMadeAgainKeepsNoneOfItsNotes) {
  OpenWithLoggedNotes("Quarantine.nsf");
  fs::remove(dir_.File("Quarantine.nsf"));
  // Even with no record of whose they are, as an older program leaves them.
  fs::remove(Beside("Quarantine.nsf", "-walid"));

  // Made again from scratch (by the router, from its template) and opened.
  ASSERT_EQ(router_->CreateDatabase("Quarantine.nsf", 0, false), Status());
  DbHandle db;
  ASSERT_EQ(router_->OpenDatabase("Quarantine.nsf", &db), Status());
  EXPECT_EQ(Read(*router_, db), Subjects{});
  ExpectSetAsideReported(*router_, "Quarantine.nsf");
  Add(*router_, db, "new 1");

  ExpectNewFileOutlivesOldConnection("Quarantine.nsf", {"new 1"});
}

TEST_F(ReplacedFile, NothingIsSetAsideWhenNothingWasReplaced) {
  const DbHandle db = OpenWithLoggedNotes("mail.box");
  // Opened meanwhile by another process, then again after every close.
  EXPECT_EQ(ReadAfresh("mail.box"), (Subjects{"old 1", "old 2", "old 3"}));
  ASSERT_EQ(router_->CloseDatabase(db), Status());
  EXPECT_EQ(ReadAfresh("mail.box"), (Subjects{"old 1", "old 2", "old 3"}));
  EXPECT_EQ(SetAside(), std::vector<std::string>{});
  EXPECT_EQ(testing::CountLog(*router_, kSetAside) +
                testing::CountLog(*next_, kSetAside),
            0);
}

}  // namespace
}  // namespace vt
