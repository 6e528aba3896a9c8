// Database files: creation, the exact status for a missing file (the router
// creates databases on it), refusal of files that are not sound databases,
// the information text and icon title, copies by note class, and space; and
// the name changes of a creation, through a fake FileNames.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "notes/DbInfoText.h"
#include "notes/FixedText.h"
#include "notes/ItemValue.h"
#include "server/LocalStoreAccess.h"
#include "server/store/FileNames.h"
#include "server/store/NsfDatabase.h"
#include "support/TempDataDir.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

class DatabaseFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = dir_.MakeServer();
    ASSERT_NE(server_, nullptr);
  }

  void WriteFile(const fs::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
  }

  uint32_t AddNote(DbHandle db, uint16_t noteClass, const char* title) {
    NoteHandle note;
    EXPECT_EQ(server_->CreateNote(db, &note), Status());
    EXPECT_EQ(server_->SetNoteField(note, kNoteFieldClass, noteClass),
              Status());
    EXPECT_EQ(server_->SetTextItem(note, "$TITLE", title, 0xFFFF), Status());
    EXPECT_EQ(server_->UpdateNote(note, 0), Status());
    const uint32_t id = LocalStoreAccess::Note(*server_, note)->id;
    EXPECT_EQ(server_->CloseNote(note), Status());
    return id;
  }

  std::vector<uint16_t> Classes(DbHandle db) {
    std::vector<uint16_t> classes;
    EXPECT_EQ(LocalStoreAccess::Database(*server_, db)
                  ->ForEachNote(0xFFFF,
                                [&](const store::ScanEntry& e) {
                                  classes.push_back(e.noteClass);
                                  return Status();
                                }),
              Status());
    return classes;
  }

  TempDataDir dir_;
  std::unique_ptr<LocalNotesServices> server_;
};

TEST_F(DatabaseFiles, MissingFileGivesExactly0x0103) {
  DbHandle db;
  const Status s = server_->OpenDatabase("Veltrane/scan.nsf", &db);
  EXPECT_EQ(s.value(), 0x0103);
  EXPECT_FALSE(db);
  EXPECT_EQ(server_->OpenDatabase("mail.box/inside.nsf", &db).value(), 0x0103)
      << "a path through a missing folder is missing too";
}

TEST_F(DatabaseFiles, CreateMakesFoldersAndNeverOverwrites) {
  ASSERT_EQ(server_->CreateDatabase("Veltrane\\Quarantine\\q1.nsf", 1, false),
            Status());
  EXPECT_TRUE(fs::is_regular_file(dir_.File("Veltrane/Quarantine/q1.nsf")));
  EXPECT_EQ(
      server_->CreateDatabase("Veltrane/Quarantine/q1.nsf", 1, false).code(),
      err::kFileExists);
  EXPECT_EQ(
      server_->CreateDatabase("Veltrane/Quarantine/q1.nsf", 1, true).code(),
      err::kFileExists);
  // Nothing half-made is left beside it.
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(dir_.File("Veltrane/Quarantine")))
    files += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(files, 1u);
  DbHandle db;
  EXPECT_EQ(
      server_->OpenDatabase("veltrane/../Veltrane/Quarantine/q1.nsf", &db),
      Status());
}

TEST_F(DatabaseFiles, GarbageAndForeignFilesAreRefusedAsCorrupt) {
  WriteFile(dir_.File("garbage.nsf"), std::string(8192, 'g'));
  WriteFile(dir_.File("empty.nsf"), "");
  WriteFile(dir_.File("short.nsf"), "SQLite format 3");
  {
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(dir_.File("foreign.nsf").c_str(), &other),
              SQLITE_OK);
    sqlite3_exec(other, "CREATE TABLE t(x); INSERT INTO t VALUES(1);", nullptr,
                 nullptr, nullptr);
    sqlite3_close(other);
  }
  {
    // Our mark on someone else's tables.
    sqlite3* marked = nullptr;
    ASSERT_EQ(sqlite3_open(dir_.File("marked.nsf").c_str(), &marked),
              SQLITE_OK);
    sqlite3_exec(marked,
                 "PRAGMA application_id=1448366641; PRAGMA user_version=1;"
                 "CREATE TABLE notes(x);",
                 nullptr, nullptr, nullptr);
    sqlite3_close(marked);
  }
  fs::create_directory(dir_.File("folder.nsf"));
  for (const char* path : {"garbage.nsf", "empty.nsf", "short.nsf",
                           "foreign.nsf", "marked.nsf", "folder.nsf"}) {
    DbHandle db;
    EXPECT_EQ(server_->OpenDatabase(path, &db).code(), err::kCorruptDatabase)
        << path;
    EXPECT_FALSE(db);
  }
}

TEST_F(DatabaseFiles, TruncatedOrDamagedDatabaseIsRefusedAsCorrupt) {
  ASSERT_EQ(server_->CreateDatabase("big.nsf", 0, false), Status());
  {
    DbHandle db;
    ASSERT_EQ(server_->OpenDatabase("big.nsf", &db), Status());
    for (int i = 0; i < 200; ++i) {
      NoteHandle note;
      ASSERT_EQ(server_->CreateNote(db, &note), Status());
      const std::string body(3000, static_cast<char>('a' + i % 26));
      ASSERT_EQ(server_->SetTextItem(note, "Body", body.c_str(), 0xFFFF),
                Status());
      ASSERT_EQ(server_->UpdateNote(note, 0), Status());
      ASSERT_EQ(server_->CloseNote(note), Status());
    }
    ASSERT_EQ(server_->CloseDatabase(db), Status());
  }
  // A fresh server, so that no connection keeps the file's log open.
  server_ = dir_.MakeServer();
  const fs::path big = dir_.File("big.nsf");
  fs::path wal = big;
  wal += "-wal";
  ASSERT_EQ(fs::exists(wal) ? fs::file_size(wal) : 0u, 0u)
      << "the last close folds the log in";
  const uintmax_t size = fs::file_size(big);

  fs::copy_file(big, dir_.File("truncated.nsf"));
  fs::resize_file(dir_.File("truncated.nsf"), size / 2);

  // Pages 2.. hold the tables' roots: scribble over them.
  fs::copy_file(big, dir_.File("damaged.nsf"));
  {
    std::fstream f(dir_.File("damaged.nsf"),
                   std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(4096);
    const std::string junk(4096 * 4, '\x5A');
    f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
  }
  for (const char* path : {"truncated.nsf", "damaged.nsf"}) {
    DbHandle db;
    EXPECT_EQ(server_->OpenDatabase(path, &db).code(), err::kCorruptDatabase)
        << path;
  }
  DbHandle db;
  EXPECT_EQ(server_->OpenDatabase("big.nsf", &db), Status());
}

TEST_F(DatabaseFiles, NewDatabaseHasEmptyInfoAndAnIconNoteWithTitle) {
  ASSERT_EQ(server_->CreateDatabase("new.nsf", 0, false), Status());
  DbHandle db;
  ASSERT_EQ(server_->OpenDatabase("new.nsf", &db), Status());
  DbInfo info;
  info.fill('x');
  ASSERT_EQ(server_->GetDatabaseInfo(db, info), Status());
  EXPECT_EQ(info[0], '\0');
  NoteHandle icon;
  ASSERT_EQ(server_->OpenNote(db, kIconNoteId, 0, &icon), Status());
  uint16_t type = 0;
  ASSERT_EQ(
      server_->GetItemInfo(icon, "$TITLE", 6, &type, nullptr, nullptr, nullptr),
      Status());
  EXPECT_EQ(type, kTypeText);
}

TEST_F(DatabaseFiles, TitleFieldGoesIntoInfoAndIconTitle) {
  ASSERT_EQ(server_->CreateDatabase("q.nsf", 0, false), Status());
  DbHandle db;
  ASSERT_EQ(server_->OpenDatabase("q.nsf", &db), Status());
  DbInfo info{};
  ASSERT_EQ(server_->GetDatabaseInfo(db, info), Status());
  server_->SetDatabaseInfoField(info, 2, "Category");
  server_->SetDatabaseInfoField(info, kDbInfoFieldTitle, "Quarantine 1");
  EXPECT_STREQ(info.data(), "Quarantine 1\n\nCategory");
  ASSERT_EQ(server_->SetDatabaseInfo(db, info), Status());
  ASSERT_EQ(server_->CloseDatabase(db), Status());

  ASSERT_EQ(server_->OpenDatabase("q.nsf", &db), Status());
  DbInfo back{};
  ASSERT_EQ(server_->GetDatabaseInfo(db, back), Status());
  EXPECT_EQ(DbInfoField(back, 0), "Quarantine 1");
  EXPECT_EQ(DbInfoField(back, 2), "Category");
  NoteHandle icon;
  ASSERT_EQ(server_->OpenNote(db, kIconNoteId, 0, &icon), Status());
  char title[128];
  server_->GetTextItem(icon, "$TITLE", title);
  EXPECT_STREQ(title, "Quarantine 1");
}

TEST_F(DatabaseFiles, InfoFieldsAreCutTo127Characters) {
  DbInfo info{};
  server_->SetDatabaseInfoField(info, 0, std::string(300, 't').c_str());
  EXPECT_EQ(BoundedLength(info), 127u);
  EXPECT_EQ(info[127], '\0');
  server_->SetDatabaseInfoField(info, 0, "short\nsecond line dropped");
  server_->SetDatabaseInfoField(info, 1, "one");
  EXPECT_STREQ(info.data(), "short\none");
  server_->SetDatabaseInfoField(info, 500, "nowhere");
  EXPECT_STREQ(info.data(), "short\none");
}

TEST_F(DatabaseFiles, CopyByClassMaskTakesDesignNotesButNotDocuments) {
  ASSERT_EQ(server_->CreateDatabase("template.ntf", 0, false), Status());
  DbHandle source;
  ASSERT_EQ(server_->OpenDatabase("template.ntf", &source), Status());
  AddNote(source, kNoteClassDocument, "a document");
  const uint32_t form = AddNote(source, kNoteClassForm, "Memo");
  const uint32_t view = AddNote(source, kNoteClassView, "Default");
  DbInfo info{};
  server_->SetDatabaseInfoField(info, 0, "Scan template");
  ASSERT_EQ(server_->SetDatabaseInfo(source, info), Status());

  DbHandle copy;
  ASSERT_EQ(server_->CreateDatabaseCopy("template.ntf", "Veltrane/scan1.nsf",
                                        kNoteClassAllNonData, 0, 0, &copy),
            Status());
  ASSERT_TRUE(copy);
  std::vector<uint16_t> classes = Classes(copy);
  std::sort(classes.begin(), classes.end());
  EXPECT_EQ(classes, (std::vector<uint16_t>{kNoteClassForm, kNoteClassView,
                                            kNoteClassIcon}));
  uint16_t noteClass = 0;
  EXPECT_EQ(server_->GetNoteInfo(copy, view, nullptr, nullptr, &noteClass),
            Status());
  EXPECT_EQ(noteClass, kNoteClassView);
  EXPECT_EQ(server_->GetNoteInfo(copy, form, nullptr, nullptr, nullptr),
            Status());
  DbInfo copied{};
  ASSERT_EQ(server_->GetDatabaseInfo(copy, copied), Status());
  EXPECT_STREQ(copied.data(), "Scan template");

  // New notes in the copy do not take the copied notes' IDs.
  const uint32_t added = AddNote(copy, kNoteClassDocument, "new");
  EXPECT_GT(added, view);

  // Documents only: the copy still gets an icon note of its own.
  DbHandle docs;
  ASSERT_EQ(server_->CreateDatabaseCopy("template.ntf", "docs.nsf",
                                        kNoteClassDocument, 0, 0, &docs),
            Status());
  classes = Classes(docs);
  std::sort(classes.begin(), classes.end());
  EXPECT_EQ(classes,
            (std::vector<uint16_t>{kNoteClassDocument, kNoteClassIcon}));
}

TEST_F(DatabaseFiles, CopyNeedsAnExistingSourceAndAFreeName) {
  DbHandle db;
  EXPECT_EQ(server_
                ->CreateDatabaseCopy("missing.ntf", "x.nsf",
                                     kNoteClassAllNonData, 0, 0, &db)
                .value(),
            0x0103);
  EXPECT_FALSE(fs::exists(dir_.File("x.nsf")));
  ASSERT_EQ(server_->CreateDatabase("t.ntf", 0, false), Status());
  ASSERT_EQ(server_->CreateDatabase("taken.nsf", 0, false), Status());
  EXPECT_EQ(server_
                ->CreateDatabaseCopy("t.ntf", "taken.nsf", kNoteClassAllNonData,
                                     0, 0, &db)
                .code(),
            err::kFileExists);
}

TEST_F(DatabaseFiles, SpaceReportsPagesInUseAndGrows) {
  ASSERT_EQ(server_->CreateDatabase("space.nsf", 0, false), Status());
  DbHandle db;
  ASSERT_EQ(server_->OpenDatabase("space.nsf", &db), Status());
  uint32_t used = 0;
  uint32_t free = 1;
  ASSERT_EQ(server_->GetDatabaseSpace(db, &used, &free), Status());
  EXPECT_GT(used, 0u);
  EXPECT_EQ(used % 512, 0u);
  for (int i = 0; i < 50; ++i)
    AddNote(db, kNoteClassDocument, std::string(2000, 'x').c_str());
  uint32_t after = 0;
  ASSERT_EQ(server_->GetDatabaseSpace(db, &after, nullptr), Status());
  EXPECT_GT(after, used + 50 * 2000);
}

TEST_F(DatabaseFiles, SettingsCopyBringsTheAclNotes) {
  ASSERT_EQ(server_->CreateDatabase("from.nsf", 0, false), Status());
  ASSERT_EQ(server_->CreateDatabase("to.nsf", 0, false), Status());
  DbHandle from;
  DbHandle to;
  ASSERT_EQ(server_->OpenDatabase("from.nsf", &from), Status());
  ASSERT_EQ(server_->OpenDatabase("to.nsf", &to), Status());
  AddNote(from, kNoteClassAcl, "from's acl");
  AddNote(to, kNoteClassAcl, "to's own acl");
  ASSERT_EQ(server_->CopyDatabaseSettings(from, to), Status());
  ASSERT_EQ(server_->CopyDatabaseSettings(from, to), Status());
  NoteHandle acl;
  ASSERT_EQ(server_->OpenNote(to, 0xFFFF0000 | kNoteClassAcl, 0, &acl),
            Status());
  char title[64];
  server_->GetTextItem(acl, "$TITLE", title);
  EXPECT_STREQ(title, "from's acl");
  const std::vector<uint16_t> classes = Classes(to);
  EXPECT_EQ(std::count(classes.begin(), classes.end(), kNoteClassAcl), 1);
}

// The real name changes, but links refused (as on a file system without
// them) or a folder sync failing, as the test chooses; it notes each call.
class ChosenNames : public store::FileNamesWrapper {
 public:
  explicit ChosenNames(store::FileNames& real) : FileNamesWrapper(real) {}
  int Link(const fs::path& from, const fs::path& to) override {
    calls.push_back("link");
    return linkError != 0 ? linkError : FileNamesWrapper::Link(from, to);
  }
  int RenameNoReplace(const fs::path& from, const fs::path& to) override {
    calls.push_back("rename");
    return FileNamesWrapper::RenameNoReplace(from, to);
  }
  int MakeFolder(const fs::path& folder) override {
    calls.push_back("mkdir " + folder.filename().string());
    return FileNamesWrapper::MakeFolder(folder);
  }
  Status SyncFolder(const fs::path& folder) override {
    calls.push_back("sync " + folder.filename().string());
    return syncFails ? Status(err::kDiskError)
                     : FileNamesWrapper::SyncFolder(folder);
  }

  int linkError = 0;
  bool syncFails = false;
  std::vector<std::string> calls;
};

// The half-made databases (hidden, temporary names) left in folder.
size_t TemporaryFiles(const fs::path& folder) {
  size_t n = 0;
  for (const auto& e : fs::directory_iterator(folder)) {
    n += e.path().filename().string().starts_with(".") ? 1 : 0;
  }
  return n;
}

TEST_F(DatabaseFiles, CreationLinksIntoPlaceOrRenamesAndSyncsTheFolders) {
  store::PosixFileNames posix;
  ChosenNames names(posix);
  const fs::path folder = fs::path(dir_.File("Made")) / "Here";
  using Calls = std::vector<std::string>;
  ASSERT_EQ(store::NsfDatabase::Create(folder / "a.nsf", 1, 0, nullptr, names),
            Status());
  EXPECT_EQ(names.calls,
            (Calls{"mkdir Made", "sync " + dir_.path().filename().string(),
                   "mkdir Here", "sync Made", "link", "sync Here"}));
  // Where links are refused, a rename that never replaces puts it there.
  names.calls.clear();
  names.linkError = EPERM;
  ASSERT_EQ(store::NsfDatabase::Create(folder / "b.nsf", 1, 0, nullptr, names),
            Status());
  EXPECT_EQ(names.calls, (Calls{"link", "rename", "sync Here"}));
  EXPECT_EQ(TemporaryFiles(folder), 0u);
  std::unique_ptr<store::NsfDatabase> db;
  std::vector<fs::path> setAside;
  EXPECT_EQ(store::NsfDatabase::Open(folder / "b.nsf", &db, &setAside),
            Status());
  db.reset();
  // A name taken meanwhile is refused whichever way; a failed folder sync
  // is reported, since the new name may not survive a power cut.
  names.linkError = EEXIST;
  EXPECT_EQ(
      store::NsfDatabase::Create(folder / "c.nsf", 1, 0, nullptr, names).code(),
      err::kFileExists);
  names.linkError = 0;
  names.syncFails = true;
  EXPECT_EQ(
      store::NsfDatabase::Create(folder / "d.nsf", 1, 0, nullptr, names).code(),
      err::kDiskError);
  EXPECT_FALSE(fs::exists(folder / "c.nsf"));
  EXPECT_TRUE(fs::exists(folder / "d.nsf"));
  EXPECT_EQ(TemporaryFiles(folder), 0u);
}

// The server keeps a database whose folder alone failed to sync, and says
// so: its caller goes on to title it instead of leaving it untitled.
TEST_F(DatabaseFiles, ADatabaseInPlaceIsKeptWhenOnlyItsFolderSyncFails) {
  store::PosixFileNames posix;
  ChosenNames names(posix);
  names.syncFails = true;
  LocalNotesServicesOptions options;
  options.dataDirectory = dir_.path();
  options.echoToStdout = false;
  options.fileNames = &names;
  LocalNotesServices server(options);
  ASSERT_EQ(server.Start(), Status());
  ASSERT_EQ(server.CreateDatabase("QuarantineB_2.nsf", 0xFF01, false),
            Status());
  ASSERT_FALSE(server.LogLines().empty());
  EXPECT_NE(server.LogLines().back().find(
                "Database QuarantineB_2.nsf was created, but its "
                "folder could not be synced"),
            std::string::npos)
      << server.LogLines().back();
  DbHandle db;
  ASSERT_EQ(server.OpenDatabase("QuarantineB_2.nsf", &db), Status());
  DbInfo info{};
  ASSERT_EQ(server.GetDatabaseInfo(db, info), Status());
  server.SetDatabaseInfoField(info, kDbInfoFieldTitle, "Quarantine B 2");
  EXPECT_EQ(server.SetDatabaseInfo(db, info), Status());
  EXPECT_EQ(server.CloseDatabase(db), Status());
  // A name already taken is still refused.
  EXPECT_EQ(server.CreateDatabase("QuarantineB_2.nsf", 0xFF01, false).code(),
            err::kFileExists);
}

}  // namespace
}  // namespace vt
