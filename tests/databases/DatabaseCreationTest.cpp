// Databases the configuration names are opened, or created when their file
// is missing: from the template on the same server (design only, no
// documents), or empty with the "Default" view and the administration
// database's settings when the template is missing too; each new database
// is titled with the number in its file name. Every failure is logged once,
// in the order an administrator reads it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "databases/DatabaseCreation.h"
#include "support/FakeClock.h"
#include "support/FaultyNotes.h"
#include "support/LogTexts.h"
#include "support/TempDataDir.h"
#include "support/TestDatabases.h"

namespace vt {
namespace {

using testing::CreateTestDatabase;
using testing::FaultyNotes;
using testing::IconTitle;
using testing::InfoTitle;
using testing::LogTexts;
using testing::Markers;
using testing::NoteClassCounts;
using Texts = std::vector<std::string>;
using Counts = std::map<uint16_t, int>;

constexpr char kScanTemplate[] = "Veltrane\\scan.ntf";
constexpr char kQuarantineTemplate[] = "Veltrane\\quarantine.ntf";
constexpr char kAdmin[] = "Veltrane\\VeltraneAdmin.nsf";
constexpr char kScanTitle[] = "Veltrane Scan Box";
constexpr char kTitleB[] = "Perimeter 'B'";

class DatabaseCreationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = dir_.MakeServer(&clock_);
    ASSERT_NE(server_, nullptr);
    CreateTestDatabase(*server_, kScanTemplate, "Scan Template",
                       {kNoteClassView, kNoteClassForm, kNoteClassDocument});
    CreateTestDatabase(
        *server_, kQuarantineTemplate, "Quarantine Template",
        {kNoteClassView, kNoteClassDocument, kNoteClassDocument});
    CreateTestDatabase(*server_, kAdmin, "Veltrane Administration",
                       {kNoteClassAcl, kNoteClassDocument});
    std::unique_ptr<LocalNotesServices> other = otherDir_.MakeServer(&clock_);
    ASSERT_NE(other, nullptr);
    CreateTestDatabase(*other, kScanTemplate, "Mail2 Scan Template",
                       {kNoteClassView, kNoteClassView, kNoteClassDocument});
    // The administration database stays open, as the engine holds it; it is
    // opened past the wrapper so that the handle counts are the record's.
    ASSERT_EQ(server_->OpenDatabase(kAdmin, &admin_), Status());
    notes_ = std::make_unique<FaultyNotes>(*server_);
  }

  bool Exists(const TempDataDir& dir, const char* path) const {
    std::string file(path);
    for (char& c : file) {
      if (c == '\\') c = '/';
    }
    return std::filesystem::exists(dir.File(file));
  }

  FakeClock clock_;
  TempDataDir otherDir_{"CN=Mail2/O=Example"};
  TempDataDir dir_{TempDataDir::kDefaultServer,
                   "[Servers]\nMail2=" + otherDir_.path().string() + "\n"};
  std::unique_ptr<LocalNotesServices> server_;
  std::unique_ptr<FaultyNotes> notes_;
  DbHandle admin_;
};

// ---- Opening or creating
// ---------------------------------------------------------

TEST_F(DatabaseCreationTest, ExistingDatabaseIsOpenedAsItIs) {
  CreateTestDatabase(*server_, "Veltrane\\Scan\\Scan_1.box", "As it was",
                     {kNoteClassDocument});
  MailDatabase record(*notes_);
  ASSERT_EQ(OpenOrCreateDatabase(record, "", "Veltrane\\Scan\\Scan_1.box",
                                 kScanTemplate, kScanTitle, admin_),
            Status());
  EXPECT_TRUE(record.IsOpen());
  EXPECT_EQ(InfoTitle(*server_, record.dbHandle), "As it was");
  EXPECT_EQ(NoteClassCounts(*server_, record.dbHandle)[kNoteClassDocument], 1);
  EXPECT_TRUE(server_->LogLines().empty());
  EXPECT_EQ(notes_->Calls(NotesOp::kCreateDatabaseCopy), 0);
  EXPECT_EQ(notes_->Calls(NotesOp::kCreateDatabase), 0);
  EXPECT_EQ(notes_->Calls(NotesOp::kSetDatabaseInfo), 0);
}

TEST_F(DatabaseCreationTest, MissingDatabaseIsCopiedFromItsTemplate) {
  MailDatabase record(*notes_);
  ASSERT_EQ(OpenOrCreateDatabase(record, "", "Veltrane/Scan/Scan_1.box",
                                 kScanTemplate, kScanTitle, admin_),
            Status());
  EXPECT_EQ(LogTexts(*server_),
            (Texts{"VTRouter: Unable to open database  "
                   "Veltrane/Scan/Scan_1.box. File does not exist",
                   "VTRouter: Created new Quarantine database "
                   "Veltrane/Scan/Scan_1.box "}));
  ASSERT_TRUE(record.IsOpen());
  EXPECT_EQ(record.path, "Veltrane/Scan/Scan_1.box");
  EXPECT_EQ(record.netPath, "Veltrane/Scan/Scan_1.box");
  EXPECT_TRUE(Exists(dir_, "Veltrane/Scan/Scan_1.box"));
  EXPECT_EQ(InfoTitle(*server_, record.dbHandle), "Veltrane Scan Box #1");
  EXPECT_EQ(IconTitle(*server_, record.dbHandle), "Veltrane Scan Box #1");

  // The design came along, the template's documents did not.
  Counts counts = NoteClassCounts(*server_, record.dbHandle);
  EXPECT_EQ(counts[kNoteClassView], 1);
  EXPECT_EQ(counts[kNoteClassForm], 1);
  EXPECT_EQ(counts[kNoteClassDocument], 0);
  EXPECT_EQ(Markers(*server_, record.dbHandle, kNoteClassView), Texts{"8-0"});
  EXPECT_EQ(notes_->Calls(NotesOp::kCreateDatabase), 0) << "no blank database";

  DbHandle scanTemplate;
  ASSERT_EQ(server_->OpenDatabase(kScanTemplate, &scanTemplate), Status());
  EXPECT_EQ(InfoTitle(*server_, scanTemplate), "Scan Template");
  EXPECT_EQ(server_->CloseDatabase(scanTemplate), Status());

  EXPECT_EQ(notes_->openDatabases(), 1);
  EXPECT_EQ(notes_->openNotes(), 0);
}

TEST_F(DatabaseCreationTest, TemplateIsTakenFromTheDatabasesServer) {
  MailDatabase record(*notes_);
  ASSERT_EQ(OpenOrCreateDatabase(record, "Mail2", "Veltrane\\Scan_2.box",
                                 kScanTemplate, kScanTitle, admin_),
            Status());
  EXPECT_EQ(LogTexts(*server_),
            (Texts{"VTRouter: Unable to open database Mail2 "
                   "Veltrane\\Scan_2.box. File does not exist",
                   "VTRouter: Created new Quarantine database "
                   "Veltrane\\Scan_2.box "}));
  EXPECT_EQ(record.server, "Mail2");
  EXPECT_EQ(record.netPath, "Mail2!!Veltrane\\Scan_2.box");
  EXPECT_TRUE(Exists(otherDir_, "Veltrane/Scan_2.box"));
  EXPECT_FALSE(Exists(dir_, "Veltrane/Scan_2.box"));
  EXPECT_EQ(NoteClassCounts(*server_, record.dbHandle)[kNoteClassView], 2)
      << "Mail2's template, not this server's";
  EXPECT_EQ(InfoTitle(*server_, record.dbHandle), "Veltrane Scan Box #2");
}

TEST_F(DatabaseCreationTest, DamagedTemplateIsLoggedTwiceAndReturned) {
  {
    std::ofstream garbage(dir_.File("Veltrane/broken.ntf"), std::ios::binary);
    garbage << std::string(4096, 'g');
  }
  MailDatabase record(*notes_);
  EXPECT_EQ(OpenOrCreateDatabase(record, "", "Veltrane\\QuarantineB_1.nsf",
                                 "Veltrane\\broken.ntf", kTitleB, admin_),
            Status(err::kCorruptDatabase));
  EXPECT_EQ(LogTexts(*server_),
            (Texts{"VTRouter: Unable to open database  "
                   "Veltrane\\QuarantineB_1.nsf. File does not exist",
                   "VTRouter: Unable to create new database "
                   "'Veltrane\\QuarantineB_1.nsf' from template "
                   "'Veltrane\\broken.ntf': File is not a database or is "
                   "damaged",
                   "VTRouter: Unable to create new database "
                   "'Veltrane\\QuarantineB_1.nsf' from template "
                   "'Veltrane\\broken.ntf' File is not a database or is "
                   "damaged"}));
  EXPECT_FALSE(record.IsOpen());
  EXPECT_EQ(record.lastStatus, err::kCorruptDatabase);
  EXPECT_EQ(record.lastMessage,
            "Unable to create new database 'Veltrane\\QuarantineB_1.nsf' "
            "from template 'Veltrane\\broken.ntf'");
  EXPECT_FALSE(Exists(dir_, "Veltrane/QuarantineB_1.nsf"));
  EXPECT_EQ(notes_->Calls(NotesOp::kCreateDatabase), 0) << "no blank database";
}

TEST_F(DatabaseCreationTest, TemplateCopyFailureIsReturnedAs14Bits) {
  const Status flagged(0x4000 | err::kDiskError);
  notes_->FailCall(NotesOp::kCreateDatabaseCopy, 1, flagged);
  MailDatabase record(*notes_);
  EXPECT_EQ(OpenOrCreateDatabase(record, "", "Veltrane\\QuarantineB_1.nsf",
                                 kQuarantineTemplate, kTitleB, admin_)
                .value(),
            err::kDiskError);
  EXPECT_EQ(record.lastStatus, flagged.value());
  EXPECT_FALSE(record.IsOpen());
  EXPECT_EQ(server_->LogLines().size(), 3u);
}

TEST_F(DatabaseCreationTest, OtherOpenFailureCreatesNothing) {
  MailDatabase record(*notes_);
  EXPECT_EQ(OpenOrCreateDatabase(record, "Mail9", "Veltrane\\QuarantineB_1.nsf",
                                 kQuarantineTemplate, kTitleB, admin_),
            Status(err::kServerNotFound));
  EXPECT_EQ(LogTexts(*server_),
            Texts{"VTRouter: Unable to open database Mail9 "
                  "Veltrane\\QuarantineB_1.nsf. Unable to find path to "
                  "server"});
  EXPECT_EQ(notes_->Calls(NotesOp::kCreateDatabaseCopy), 0);
  EXPECT_EQ(notes_->Calls(NotesOp::kCreateDatabase), 0);
}

TEST_F(DatabaseCreationTest, FailedTitleLeavesTheNewDatabaseOpen) {
  notes_->FailCall(NotesOp::kSetDatabaseInfo, 1, err::kDiskError);
  MailDatabase record(*notes_);
  ASSERT_EQ(OpenOrCreateDatabase(record, "", "Veltrane\\Scan_3.box",
                                 kScanTemplate, kScanTitle, admin_),
            Status());
  EXPECT_EQ(LogTexts(*server_),
            (Texts{"VTRouter: Unable to open database  Veltrane\\Scan_3.box. "
                   "File does not exist",
                   "VTRouter: Unable to set title of new database. Disk or "
                   "file system error",
                   "VTRouter: Created new Quarantine database "
                   "Veltrane\\Scan_3.box "}));
  EXPECT_TRUE(record.IsOpen());
  EXPECT_EQ(record.lastMessage, "Unable to set title of new database.");
  EXPECT_EQ(InfoTitle(*server_, record.dbHandle), "Scan Template");
}

// ---- Neither database nor template
// ------------------------------------------------

TEST_F(DatabaseCreationTest, MissingTemplateTooGivesABlankDatabase) {
  MailDatabase record(*notes_);
  ASSERT_EQ(OpenOrCreateDatabase(record, "", "Veltrane\\QuarantineB_1.nsf",
                                 "Veltrane\\missing.ntf", kTitleB, admin_),
            Status());
  EXPECT_EQ(LogTexts(*server_),
            (Texts{"VTRouter: Unable to open database  "
                   "Veltrane\\QuarantineB_1.nsf. File does not exist",
                   "VTRouter: Unable to create new database "
                   "'Veltrane\\QuarantineB_1.nsf' from template "
                   "'Veltrane\\missing.ntf': File does not exist",
                   "VTRouter: Created new database "
                   "'Veltrane\\QuarantineB_1.nsf' "}));
  ASSERT_TRUE(record.IsOpen());
  EXPECT_TRUE(Exists(dir_, "Veltrane/QuarantineB_1.nsf"));
  EXPECT_EQ(InfoTitle(*server_, record.dbHandle), "Perimeter 'B' #1");
  EXPECT_EQ(IconTitle(*server_, record.dbHandle), "Perimeter 'B' #1");
  // The administration database's settings (its access control) came over.
  EXPECT_EQ(Markers(*server_, record.dbHandle, kNoteClassAcl), Texts{"64-0"});
  EXPECT_EQ(NoteClassCounts(*server_, record.dbHandle)[kNoteClassDocument], 0);
  EXPECT_EQ(notes_->openDatabases(), 1);
  EXPECT_EQ(notes_->openNotes(), 0);
}

TEST_F(DatabaseCreationTest, BlankDatabaseGetsTheDefaultView) {
  MemHandle probe;
  uint16_t length = 0;
  Status error;
  uint16_t line = 0, column = 0, offset = 0, errorLength = 0;
  const Status compiled =
      server_->CompileFormula(nullptr, 0, "SELECT @All", 11, &probe, &length,
                              &error, &line, &column, &offset, &errorLength);
  if (compiled.Is(err::kNotAvailable)) {
    GTEST_SKIP() << "the server does not compile formulas yet, so no view "
                    "can be made";
  }
  ASSERT_EQ(compiled, Status());
  server_->FreeMemory(probe);

  MailDatabase record(*notes_);
  ASSERT_EQ(OpenOrCreateDatabase(record, "", "Veltrane\\QuarantineD_1.nsf",
                                 "Veltrane\\quarantineadmin.ntf",
                                 "Perimeter 'D'", admin_),
            Status());
  uint32_t viewId = 0;
  EXPECT_EQ(server_->FindDesignNote(record.dbHandle, "Default", kNoteClassView,
                                    "-G40n^", &viewId, 0),
            Status());
  EXPECT_NE(viewId, 0u);
  EXPECT_EQ(notes_->memoryBlocks(), 0);
  EXPECT_EQ(notes_->openNotes(), 0);
}

TEST_F(DatabaseCreationTest, BlankDatabaseWithoutSettingsSource) {
  MailDatabase record(*notes_);
  ASSERT_EQ(OpenOrCreateDatabase(record, "", "Veltrane\\QuarantineB_1.nsf",
                                 "Veltrane\\missing.ntf", kTitleB, DbHandle()),
            Status());
  EXPECT_TRUE(record.IsOpen());
  EXPECT_EQ(notes_->Calls(NotesOp::kCopyDatabaseSettings), 0);
  EXPECT_TRUE(Markers(*server_, record.dbHandle, kNoteClassAcl).empty());
}

TEST_F(DatabaseCreationTest, SettingsThatCannotBeCopiedCloseTheNewDatabase) {
  notes_->FailCall(NotesOp::kCopyDatabaseSettings, 1, err::kDiskError);
  const char* path = "Veltrane\\QuarantineB_1.nsf";
  {
    MailDatabase record(*notes_);
    EXPECT_EQ(OpenOrCreateDatabase(record, "", path, "Veltrane\\missing.ntf",
                                   kTitleB, admin_),
              Status(err::kDiskError));
    EXPECT_FALSE(record.IsOpen());
    EXPECT_EQ(notes_->openDatabases(), 0);
  }
  const Texts texts = LogTexts(*server_);
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[2],
            "VTRouter: Error creating new database "
            "'Veltrane\\QuarantineB_1.nsf' Disk or file system error");

  // The file stays and is opened, not created, the next time.
  EXPECT_TRUE(Exists(dir_, "Veltrane/QuarantineB_1.nsf"));
  MailDatabase again(*notes_);
  ASSERT_EQ(OpenOrCreateDatabase(again, "", path, "Veltrane\\missing.ntf",
                                 kTitleB, admin_),
            Status());
  EXPECT_EQ(server_->LogLines().size(), 3u);
  EXPECT_EQ(notes_->Calls(NotesOp::kCreateDatabase), 1);
}

TEST_F(DatabaseCreationTest, BlankCreationFailureIsLoggedAndReturned) {
  notes_->FailCall(NotesOp::kCreateDatabase, 1, err::kDiskError);
  MailDatabase record(*notes_);
  EXPECT_EQ(OpenOrCreateDatabase(record, "", "Veltrane\\QuarantineB_1.nsf",
                                 "Veltrane\\missing.ntf", kTitleB, admin_),
            Status(err::kDiskError));
  const Texts texts = LogTexts(*server_);
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[2],
            "VTRouter: Error creating new database "
            "'Veltrane\\QuarantineB_1.nsf' Disk or file system error");
  EXPECT_FALSE(record.IsOpen());
  EXPECT_FALSE(Exists(dir_, "Veltrane/QuarantineB_1.nsf"));
}

// ---- Titles
// ------------------------------------------------------------------------

class DatabaseTitleTest : public DatabaseCreationTest {
 protected:
  void SetUp() override {
    DatabaseCreationTest::SetUp();
    CreateTestDatabase(*server_, "Veltrane\\target.nsf", "Untitled");
    record_ = std::make_unique<MailDatabase>(*notes_);
    ASSERT_EQ(record_->Open("", "Veltrane\\target.nsf"), Status());
  }

  std::string Title() { return InfoTitle(*server_, record_->dbHandle); }
  std::string Icon() { return IconTitle(*server_, record_->dbHandle); }

  std::unique_ptr<MailDatabase> record_;
};

TEST_F(DatabaseTitleTest, NumberIsTheTextAfterTheLastUnderscore) {
  const std::map<std::string, std::string> cases = {
      {"Veltrane\\Scan\\Scan_1.box", "Perimeter 'C' #1"},
      {"Veltrane\\QuarantineC_4.nsf", "Perimeter 'C' #4"},
      {"Veltrane\\Q_B_12.nsf", "Perimeter 'C' #12"},
      {"Veltrane\\Q_3.old.nsf", "Perimeter 'C' #3"},
      {"Veltrane\\Q_x y.nsf", "Perimeter 'C' #x y"},
      {"Veltrane\\Scan_.box", "Perimeter 'C' #"},
      // Folders count too.
      {"Veltrane_2\\Scan.box", "Perimeter 'C' #2\\Scan"},
  };
  for (const auto& [path, title] : cases) {
    EXPECT_EQ(SetNumberedTitle(record_->dbHandle, "Perimeter 'C'", *record_,
                               path.c_str()),
              Status());
    EXPECT_EQ(Title(), title) << path;
    EXPECT_EQ(Icon(), title) << path;
  }
  EXPECT_TRUE(server_->LogLines().empty());
}

TEST_F(DatabaseTitleTest, NoNumberLeavesTheTitleAsItIs) {
  for (const char* path :
       {"Veltrane\\QuarantineC.nsf", "Velt.rane\\Quarantine_7", ""}) {
    ASSERT_EQ(SetDatabaseTitle(*record_, "Old", record_->dbHandle), Status());
    EXPECT_EQ(
        SetNumberedTitle(record_->dbHandle, "Perimeter 'C'", *record_, path),
        Status());
    EXPECT_EQ(Title(), "Perimeter 'C'") << path;
  }
}

TEST_F(DatabaseTitleTest, LongNumberIsCutToFitTheInformationText) {
  const std::string prefix = "Perimeter 'C' #";
  const std::string fits(127 - prefix.size(), '7');
  EXPECT_EQ(SetNumberedTitle(record_->dbHandle, "Perimeter 'C'", *record_,
                             ("Q_" + fits + ".nsf").c_str()),
            Status());
  EXPECT_EQ(Title(), prefix + fits);

  const std::string tooLong(200, '8');
  EXPECT_EQ(SetNumberedTitle(record_->dbHandle, "Perimeter 'C'", *record_,
                             ("Q_" + tooLong + ".nsf").c_str()),
            Status());
  const std::string cut = (prefix + tooLong).substr(0, 127);
  EXPECT_EQ(Title(), cut);
  EXPECT_EQ(Icon(), cut);
}

TEST_F(DatabaseTitleTest, TitleGoesIntoInformationTextAndIcon) {
  EXPECT_EQ(
      SetDatabaseTitle(*record_, "Veltrane Scan Box #9", record_->dbHandle),
      Status());
  EXPECT_EQ(Title(), "Veltrane Scan Box #9");
  EXPECT_EQ(Icon(), "Veltrane Scan Box #9");
  EXPECT_EQ(notes_->openNotes(), 0);
  EXPECT_TRUE(server_->LogLines().empty());
}

TEST_F(DatabaseTitleTest, OtherInformationFieldsAreKept) {
  DbInfo info{};
  ASSERT_EQ(server_->GetDatabaseInfo(record_->dbHandle, info), Status());
  server_->SetDatabaseInfoField(info, 1, "Veltrane");
  ASSERT_EQ(server_->SetDatabaseInfo(record_->dbHandle, info), Status());

  EXPECT_EQ(SetDatabaseTitle(*record_, "New", record_->dbHandle), Status());
  ASSERT_EQ(server_->GetDatabaseInfo(record_->dbHandle, info), Status());
  EXPECT_EQ(std::string(info.data()), "New\nVeltrane");
  EXPECT_EQ(Icon(), "New\nVeltrane") << "the icon takes the whole text";
}

TEST_F(DatabaseTitleTest, NoHandleIsRefusedSilently) {
  EXPECT_EQ(SetDatabaseTitle(*record_, "New", DbHandle()),
            Status(err::kNoDatabaseHandle));
  EXPECT_EQ(notes_->Calls(NotesOp::kGetDatabaseInfo), 0);
  EXPECT_TRUE(server_->LogLines().empty());
  EXPECT_EQ(record_->lastStatus, 0);
}

TEST_F(DatabaseTitleTest, UnreadableInformationIsReportedOnTheRecord) {
  const Status flagged(0x4000 | err::kDiskError);
  notes_->FailCall(NotesOp::kGetDatabaseInfo, 1, flagged);
  EXPECT_EQ(SetDatabaseTitle(*record_, "New", record_->dbHandle).value(),
            err::kDiskError);
  EXPECT_EQ(LogTexts(*server_),
            Texts{"VTRouter: Unable to get title of new database. Disk or "
                  "file system error"});
  EXPECT_EQ(record_->lastStatus, flagged.value());
  EXPECT_EQ(record_->lastMessage, "Unable to get title of new database.");
  EXPECT_EQ(notes_->Calls(NotesOp::kSetDatabaseInfo), 0);
  EXPECT_EQ(Title(), "Untitled");
}

TEST_F(DatabaseTitleTest, UnwritableInformationIsReportedOnTheRecord) {
  const Status flagged(0x4000 | err::kDatabaseBusy);
  notes_->FailCall(NotesOp::kSetDatabaseInfo, 1, flagged);
  EXPECT_EQ(SetDatabaseTitle(*record_, "New", record_->dbHandle).value(),
            err::kDatabaseBusy);
  EXPECT_EQ(LogTexts(*server_),
            Texts{"VTRouter: Unable to set title of new database. Database "
                  "is in use by another process"});
  EXPECT_EQ(record_->lastStatus, flagged.value());
  EXPECT_EQ(record_->lastMessage, "Unable to set title of new database.");
  EXPECT_EQ(notes_->Calls(NotesOp::kOpenNote), 0);
  EXPECT_EQ(Title(), "Untitled");
}

TEST_F(DatabaseTitleTest, IconThatCannotBeOpenedIsNoFailure) {
  notes_->FailCall(NotesOp::kOpenNote, 1, err::kInvalidNote);
  EXPECT_EQ(SetDatabaseTitle(*record_, "New", record_->dbHandle), Status());
  EXPECT_EQ(Title(), "New");
  EXPECT_EQ(notes_->Calls(NotesOp::kSetTextItem), 0);
  EXPECT_TRUE(server_->LogLines().empty());
}

TEST_F(DatabaseTitleTest, IconWithoutTitleItemIsLeftAlone) {
  notes_->FailCall(NotesOp::kGetItemInfo, 1, err::kItemNotFound);
  EXPECT_EQ(SetDatabaseTitle(*record_, "New", record_->dbHandle), Status());
  EXPECT_EQ(Title(), "New");
  EXPECT_EQ(notes_->Calls(NotesOp::kSetTextItem), 0);
  EXPECT_EQ(notes_->Calls(NotesOp::kUpdateNote), 0);
  EXPECT_EQ(notes_->openNotes(), 0) << "the icon note is closed again";
}

}  // namespace
}  // namespace vt
