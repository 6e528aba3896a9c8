// Starting the next numbered database in place of a full one: how the next
// file name is counted up, how taken names are skipped, that the new
// database copies the current one's design (not a template) and gets its
// number in the title, and how a roll-over that cannot happen ends (logged
// where something failed, silent when no free name was found).
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "databases/RollOver.h"
#include "support/FakeClock.h"
#include "support/FaultyNotes.h"
#include "support/LogTexts.h"
#include "support/TempDataDir.h"
#include "support/TestDatabases.h"

namespace vt {
namespace {

namespace fs = std::filesystem;
using testing::CreateTestDatabase;
using testing::FaultyNotes;
using testing::IconTitle;
using testing::InfoTitle;
using testing::LogTexts;
using testing::Markers;
using testing::NoteClassCounts;
using Texts = std::vector<std::string>;

// ---- Numbered names
// ------------------------------------------------------------

std::string Next(const char* path) {
  char result[kPathSize];
  std::memcpy(result, "stale", 6);
  const int ok = NextIncrementalName(path, result);
  const std::string name(result);
  if (ok != 1) return "<refused:" + name + ">";
  return name;
}

TEST(NextIncrementalName, CountsUpTheNumberAfterTheLastUnderscore) {
  const std::map<std::string, std::string> cases = {
      {"Veltrane\\QuarantineB_1.nsf", "Veltrane\\QuarantineB_2.nsf"},
      {"Veltrane\\QuarantineC_3.nsf", "Veltrane\\QuarantineC_4.nsf"},
      {"Veltrane\\QuarantineB_99.nsf", "Veltrane\\QuarantineB_100.nsf"},
      {"Veltrane\\Q_B_12.nsf", "Veltrane\\Q_B_13.nsf"},
      {"Q_1", "Q_2"},
      {"D:\\Data\\Q_9.nsf", "D:\\Data\\Q_10.nsf"},
      {"C:Q_1.nsf", "C:Q_2.nsf"},
      {"\\Q_1.nsf", "\\Q_2.nsf"},
  };
  for (const auto& [path, next] : cases) EXPECT_EQ(Next(path.c_str()), next);
}

TEST(NextIncrementalName, NameWithoutNumberGetsOne) {
  EXPECT_EQ(Next("Veltrane\\QuarantineB.nsf"), "Veltrane\\QuarantineB_1.nsf");
  EXPECT_EQ(Next("QuarantineB.nsf"), "QuarantineB_1.nsf");
  // Only the file name is searched for "_" and the extension.
  EXPECT_EQ(Next("Q_7\\Box.nsf"), "Q_7\\Box_1.nsf");
  EXPECT_EQ(Next("Velt.rane\\Box"), "Velt.rane\\Box_1");
}

TEST(NextIncrementalName, TextAfterUnderscoreIsReadAsAWholeNumber) {
  const std::map<std::string, std::string> cases = {
      {"x_abc.nsf", "x_1.nsf"},         {"Q_.nsf", "Q_1.nsf"},
      {"Q_ 7.nsf", "Q_8.nsf"},          {"Q_\t 7.nsf", "Q_8.nsf"},
      {"Q_+7.nsf", "Q_8.nsf"},          {"Q_-3.nsf", "Q_-2.nsf"},
      {"Q_-.nsf", "Q_1.nsf"},           {"Q_12abc.nsf", "Q_13.nsf"},
      {"Q_007.nsf", "Q_8.nsf"},         {"Q_1.old.nsf", "Q_2.nsf"},
      {"Q_ +5x_y.nsf", "Q_ +5x_1.nsf"},
  };
  for (const auto& [path, next] : cases) {
    EXPECT_EQ(Next(path.c_str()), next) << path;
  }
}

// Either separator ends a folder: the folder is kept as it was written.
TEST(NextIncrementalName, FoldersKeepTheirSeparators) {
  EXPECT_EQ(Next("Veltrane/QuarantineB_1.nsf"), "Veltrane/QuarantineB_2.nsf");
  EXPECT_EQ(Next("a\\b/QuarantineB_2.nsf"), "a\\b/QuarantineB_3.nsf");
  EXPECT_EQ(Next("/Q_1.nsf"), "/Q_2.nsf");
}

TEST(NextIncrementalName, EmptyPathHasNoNextName) {
  EXPECT_EQ(Next(""), "<refused:>");
  EXPECT_EQ(Next(nullptr), "<refused:>");
}

TEST(NextIncrementalName, NameLongerThan259CharactersIsRefused) {
  const std::string folder = "Veltrane\\";
  const std::string fits = folder + std::string(243, 'a') + "_9.nsf";  // 258
  EXPECT_EQ(Next(fits.c_str()), folder + std::string(243, 'a') + "_10.nsf");
  const std::string full = folder + std::string(244, 'a') + "_9.nsf";  // 259
  EXPECT_EQ(Next(full.c_str()), "<refused:>");
}

// ---- Rolling over
// ------------------------------------------------------------------

constexpr char kCurrent[] = "Veltrane\\QuarantineC_1.nsf";
constexpr char kTitleC[] = "Perimeter 'C'";

class RollOverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = dir_.MakeServer(&clock_);
    ASSERT_NE(server_, nullptr);
    CreateTestDatabase(*server_, kCurrent, "Perimeter 'C' #1",
                       {kNoteClassView, kNoteClassForm, kNoteClassDocument,
                        kNoteClassDocument});
    CreateTestDatabase(*server_, "Veltrane\\QuarantineC_2.nsf", "Two");
    CreateTestDatabase(*server_, "Veltrane\\QuarantineC_3.nsf", "Three");
    // A template that must not be what the new database is made from.
    CreateTestDatabase(*server_, "Veltrane\\quarantine.ntf", "Template",
                       {kNoteClassView, kNoteClassView, kNoteClassView});
    std::unique_ptr<LocalNotesServices> other = otherDir_.MakeServer(&clock_);
    ASSERT_NE(other, nullptr);
    CreateTestDatabase(*other, kCurrent, "Mail2 #1", {kNoteClassForm});
    notes_ = std::make_unique<FaultyNotes>(*server_);
    record_ = std::make_unique<MailDatabase>(*notes_);
  }

  bool Exists(const TempDataDir& dir, const char* path) const {
    std::string file(path);
    for (char& c : file) {
      if (c == '\\') c = '/';
    }
    return fs::exists(dir.File(file));
  }

  FakeClock clock_;
  TempDataDir otherDir_{"CN=Mail2/O=Example"};
  TempDataDir dir_{TempDataDir::kDefaultServer,
                   "[Servers]\nMail2=" + otherDir_.path().string() + "\n"};
  std::unique_ptr<LocalNotesServices> server_;
  std::unique_ptr<FaultyNotes> notes_;
  std::unique_ptr<MailDatabase> record_;
};

TEST_F(RollOverTest, TakenNamesAreSkippedAndTheDesignCopied) {
  ASSERT_EQ(record_->Open("", kCurrent), Status());
  std::unique_ptr<MailDatabase> created = RollOverDatabase(*record_, kTitleC);
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(created->path, "Veltrane\\QuarantineC_4.nsf");
  EXPECT_EQ(created->server, "");
  EXPECT_EQ(created->netPath, "Veltrane\\QuarantineC_4.nsf");
  ASSERT_TRUE(created->IsOpen());
  EXPECT_TRUE(Exists(dir_, "Veltrane\\QuarantineC_4.nsf"));
  EXPECT_EQ(InfoTitle(*server_, created->dbHandle), "Perimeter 'C' #4");
  EXPECT_EQ(IconTitle(*server_, created->dbHandle), "Perimeter 'C' #4");

  // The current database's design, none of its documents.
  std::map<uint16_t, int> counts = NoteClassCounts(*server_, created->dbHandle);
  EXPECT_EQ(counts[kNoteClassView], 1);
  EXPECT_EQ(counts[kNoteClassForm], 1);
  EXPECT_EQ(counts[kNoteClassDocument], 0);
  EXPECT_EQ(Markers(*server_, created->dbHandle, kNoteClassForm), Texts{"4-1"});

  // The taken names were left as they were, and the current one is kept.
  DbHandle second;
  ASSERT_EQ(server_->OpenDatabase("Veltrane\\QuarantineC_2.nsf", &second),
            Status());
  EXPECT_EQ(InfoTitle(*server_, second), "Two");
  EXPECT_EQ(server_->CloseDatabase(second), Status());
  EXPECT_TRUE(record_->IsOpen());
  EXPECT_EQ(record_->path, kCurrent);
  EXPECT_EQ(InfoTitle(*server_, record_->dbHandle), "Perimeter 'C' #1");

  EXPECT_TRUE(server_->LogLines().empty()) << "the caller logs the success";
  EXPECT_EQ(notes_->Calls(NotesOp::kOpenDatabase), 1 + 3);
  EXPECT_EQ(notes_->openDatabases(), 2);
  created.reset();
  record_.reset();
  EXPECT_EQ(notes_->openDatabases(), 0);
  EXPECT_EQ(notes_->openNotes(), 0);
}

TEST_F(RollOverTest, UnnumberedDatabaseRollsOverToNumberOne) {
  CreateTestDatabase(*server_, "Veltrane\\QuarantineD.nsf", "Perimeter 'D'");
  ASSERT_EQ(record_->Open("local", "Veltrane\\QuarantineD.nsf"), Status());
  std::unique_ptr<MailDatabase> created =
      RollOverDatabase(*record_, "Perimeter 'D'");
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(created->path, "Veltrane\\QuarantineD_1.nsf");
  EXPECT_EQ(created->server, "local");
  EXPECT_EQ(InfoTitle(*server_, created->dbHandle), "Perimeter 'D' #1");
}

TEST_F(RollOverTest, DatabaseOnAnotherServerRollsOverThere) {
  ASSERT_EQ(record_->Open("Mail2", kCurrent), Status());
  std::unique_ptr<MailDatabase> created = RollOverDatabase(*record_, kTitleC);
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(created->server, "Mail2");
  EXPECT_EQ(created->path, "Veltrane\\QuarantineC_2.nsf");
  EXPECT_EQ(created->netPath, "Mail2!!Veltrane\\QuarantineC_2.nsf");
  EXPECT_TRUE(Exists(otherDir_, "Veltrane\\QuarantineC_2.nsf"));
  EXPECT_EQ(NoteClassCounts(*server_, created->dbHandle)[kNoteClassForm], 1);
  EXPECT_EQ(InfoTitle(*server_, created->dbHandle), "Perimeter 'C' #2");
}

TEST_F(RollOverTest, VanishedCurrentDatabaseCannotBeCopied) {
  ASSERT_EQ(record_->Open("", kCurrent), Status());
  ASSERT_EQ(record_->Close(), Status());
  for (const char* suffix : {"", "-wal", "-shm"}) {
    fs::remove(dir_.File(std::string("Veltrane/QuarantineC_1.nsf") + suffix));
  }
  EXPECT_EQ(RollOverDatabase(*record_, kTitleC), nullptr);
  EXPECT_EQ(LogTexts(*server_),
            Texts{"VTRouter: Unable to create new database "
                  "'Veltrane\\QuarantineC_4.nsf': File does not exist"});
  EXPECT_FALSE(Exists(dir_, "Veltrane\\QuarantineC_4.nsf"));
  EXPECT_EQ(record_->path, kCurrent);
  EXPECT_EQ(notes_->openDatabases(), 0);
}

TEST_F(RollOverTest, EveryNameTakenEndsSilentlyAfter2000Attempts) {
  ASSERT_EQ(record_->Open("", kCurrent), Status());
  // Every candidate now opens as some existing database would fail to.
  notes_->FailCall(NotesOp::kOpenDatabase, 1, err::kDatabaseBusy,
                   FaultyNotes::Mode::kFromThen);
  EXPECT_EQ(RollOverDatabase(*record_, kTitleC), nullptr);
  EXPECT_EQ(notes_->Calls(NotesOp::kOpenDatabase), 1 + 2000);
  EXPECT_EQ(notes_->Calls(NotesOp::kCreateDatabaseCopy), 0);
  EXPECT_EQ(notes_->Calls(NotesOp::kLogMessageV), 0);
  EXPECT_TRUE(server_->LogLines().empty());
  EXPECT_TRUE(record_->IsOpen());
}

TEST_F(RollOverTest, UnreachableServerEndsSilently) {
  record_->SetNames("Mail9", kCurrent);
  EXPECT_EQ(RollOverDatabase(*record_, kTitleC), nullptr);
  EXPECT_EQ(notes_->Calls(NotesOp::kOpenDatabase), 2000);
  EXPECT_TRUE(server_->LogLines().empty());
}

TEST_F(RollOverTest, NameThatCannotBeNumberedIsLogged) {
  record_->SetNames("", "");
  EXPECT_EQ(RollOverDatabase(*record_, kTitleC), nullptr);
  const std::string longest =
      "Veltrane\\" + std::string(244, 'a') + "_9.nsf";  // 259
  record_->SetNames("", longest.c_str());
  EXPECT_EQ(RollOverDatabase(*record_, kTitleC), nullptr);
  EXPECT_EQ(LogTexts(*server_),
            (Texts{"VTRouter: Unable to create new Notes incremental file "
                   "name.",
                   "VTRouter: Unable to create new Notes incremental file "
                   "name."}));
  EXPECT_EQ(notes_->Calls(NotesOp::kOpenDatabase), 0);
}

TEST_F(RollOverTest, UntitledNewDatabaseIsStillTheNewDatabase) {
  ASSERT_EQ(record_->Open("", kCurrent), Status());
  notes_->FailCall(NotesOp::kSetDatabaseInfo, 1, err::kDiskError);
  std::unique_ptr<MailDatabase> created = RollOverDatabase(*record_, kTitleC);
  ASSERT_NE(created, nullptr);
  EXPECT_TRUE(created->IsOpen());
  EXPECT_EQ(created->lastMessage, "Unable to set title of new database.");
  EXPECT_EQ(LogTexts(*server_),
            Texts{"VTRouter: Unable to set title of new database. Disk or "
                  "file system error"});
}

}  // namespace
}  // namespace vt
