// The database record over a real server: which name it opens for a server
// name (this server's path, or another server's network path), how an open
// failure is logged, recorded and returned, that a record owns and closes its
// handle, and how failures are kept (status, status text, last message).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "databases/MailDatabase.h"
#include "support/FakeClock.h"
#include "support/FaultyNotes.h"
#include "support/LogTexts.h"
#include "support/TempDataDir.h"
#include "support/TestDatabases.h"

namespace vt {
namespace {

using testing::CreateTestDatabase;
using testing::FaultyNotes;
using testing::InfoTitle;
using testing::LogCapture;
using testing::LogTexts;
using Texts = std::vector<std::string>;

constexpr char kHere[] = "Veltrane\\here.nsf";
constexpr char kThere[] = "Veltrane\\there.nsf";

class MailDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = dir_.MakeServer(&clock_);
    ASSERT_NE(server_, nullptr);
    std::unique_ptr<LocalNotesServices> other = otherDir_.MakeServer(&clock_);
    ASSERT_NE(other, nullptr);
    CreateTestDatabase(*server_, kHere, "Here");
    CreateTestDatabase(*other, kThere, "There");
    notes_ = std::make_unique<FaultyNotes>(*server_);
  }

  FakeClock clock_;
  TempDataDir otherDir_{"CN=Mail2/O=Example"};
  TempDataDir dir_{
      TempDataDir::kDefaultServer,
      "[Servers]\nMail2/Example=" + otherDir_.path().string() + "\n"};
  std::unique_ptr<LocalNotesServices> server_;
  std::unique_ptr<FaultyNotes> notes_;
};

// ---- Which name is opened
// ----------------------------------------------------

TEST_F(MailDatabaseTest, EmptyOrLocalServerOpensThePathItself) {
  for (const char* local : {"", "local", "LOCAL", "Local"}) {
    MailDatabase record(*notes_);
    ASSERT_EQ(record.Open(local, kHere), Status()) << local;
    EXPECT_TRUE(record.IsOpen());
    EXPECT_EQ(record.openFlags, kDatabaseOpenFlag);
    EXPECT_EQ(record.server, local);
    EXPECT_EQ(record.path, kHere);
    EXPECT_EQ(record.netPath, kHere);
    EXPECT_EQ(InfoTitle(*server_, record.dbHandle), "Here");
  }
  EXPECT_EQ(notes_->Calls(NotesOp::kConstructNetPath), 0);
  EXPECT_EQ(notes_->openDatabases(), 0);
  EXPECT_TRUE(server_->LogLines().empty());
}

TEST_F(MailDatabaseTest, OtherServerOpensItsNetworkPath) {
  MailDatabase record(*notes_);
  ASSERT_EQ(record.Open("Mail2/Example", kThere), Status());
  EXPECT_EQ(record.server, "Mail2/Example");
  EXPECT_EQ(record.path, kThere);
  EXPECT_EQ(record.netPath, "Mail2/Example!!Veltrane\\there.nsf");
  EXPECT_EQ(InfoTitle(*server_, record.dbHandle), "There");
  EXPECT_EQ(notes_->Calls(NotesOp::kConstructNetPath), 1);
}

TEST_F(MailDatabaseTest, ThisServerByNameStillGoesThroughTheNetworkPath) {
  MailDatabase record(*notes_);
  ASSERT_EQ(record.Open("CN=Mail1/O=Example", kHere), Status());
  EXPECT_EQ(record.netPath, "CN=Mail1/O=Example!!Veltrane\\here.nsf");
  EXPECT_EQ(InfoTitle(*server_, record.dbHandle), "Here");
  EXPECT_EQ(notes_->Calls(NotesOp::kConstructNetPath), 1);
}

TEST_F(MailDatabaseTest, NameThatOnlyBeginsWithLocalIsAServer) {
  MailDatabase record(*notes_);
  EXPECT_EQ(record.Open("localhost", kHere), Status(err::kServerNotFound));
  EXPECT_EQ(record.netPath, "localhost!!Veltrane\\here.nsf");
  EXPECT_FALSE(record.IsOpen());
  EXPECT_EQ(LogTexts(*server_),
            Texts{"VTRouter: Unable to open database localhost "
                  "Veltrane\\here.nsf. Unable to find path to server"});
}

TEST_F(MailDatabaseTest, SetNamesNamesWithoutOpening) {
  MailDatabase record(*notes_);
  record.SetNames("", "a.nsf");
  EXPECT_EQ(record.netPath, "a.nsf");
  record.SetNames("Mail2", "b.nsf");
  EXPECT_EQ(record.server, "Mail2");
  EXPECT_EQ(record.path, "b.nsf");
  EXPECT_EQ(record.netPath, "Mail2!!b.nsf");
  // The record's own fields as arguments keep their values.
  record.SetNames(record.server.c_str(), record.path.c_str());
  EXPECT_EQ(record.server, "Mail2");
  EXPECT_EQ(record.path, "b.nsf");
  EXPECT_EQ(record.netPath, "Mail2!!b.nsf");
  record.SetNames(record.server.c_str(), "c.nsf");
  EXPECT_EQ(record.netPath, "Mail2!!c.nsf");
  EXPECT_FALSE(record.IsOpen());
  EXPECT_EQ(notes_->Calls(NotesOp::kOpenDatabase), 0);
}

// ---- Open failures
// -----------------------------------------------------------

TEST_F(MailDatabaseTest, MissingFileIsLoggedRecordedAndReturned) {
  MailDatabase record(*notes_);
  EXPECT_EQ(record.Open("", "Veltrane\\missing.nsf"),
            Status(err::kFileNotFound));
  EXPECT_FALSE(record.IsOpen());
  EXPECT_FALSE(record.dbHandle);
  EXPECT_EQ(record.openFlags, 0u);
  EXPECT_EQ(record.lastStatus, err::kFileNotFound);
  EXPECT_EQ(record.statusText, "File does not exist");
  EXPECT_EQ(record.lastMessage,
            "Unable to open database  Veltrane\\missing.nsf. ");
  EXPECT_EQ(LogTexts(*server_),
            Texts{"VTRouter: Unable to open database  Veltrane\\missing.nsf. "
                  "File does not exist"});
  EXPECT_EQ(notes_->openDatabases(), 0);
}

TEST_F(MailDatabaseTest, FailureIsReturnedAs14BitsAndLoggedWhole) {
  LogCapture capture(*notes_);
  const Status flagged(0x4000 | err::kFileNotFound);
  notes_->FailCall(NotesOp::kOpenDatabase, 1, flagged);
  MailDatabase record(capture);
  EXPECT_EQ(record.Open("LOCAL", kHere).value(), err::kFileNotFound);
  EXPECT_EQ(record.lastStatus, flagged.value());
  EXPECT_EQ(record.statusText, "File does not exist");
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_EQ(capture.lines()[0].status, flagged);
  EXPECT_EQ(capture.lines()[0].text,
            "VTRouter: Unable to open database LOCAL Veltrane\\here.nsf. ");
}

TEST_F(MailDatabaseTest, MissingNameIsRefusedBeforeAnythingHappens) {
  MailDatabase record(*notes_);
  EXPECT_EQ(record.Open(nullptr, kHere), Status(err::kMissingValue));
  EXPECT_EQ(record.Open("", nullptr), Status(err::kMissingValue));
  EXPECT_TRUE(record.path.empty());
  EXPECT_EQ(record.lastStatus, 0);
  EXPECT_EQ(notes_->TotalCalls(), 0);
  EXPECT_TRUE(server_->LogLines().empty());
}

TEST_F(MailDatabaseTest, OpenWithoutAHandleIsAFailure) {
  notes_->FailCall(NotesOp::kOpenDatabase, 1, Status());  // 0, but no handle
  MailDatabase record(*notes_);
  EXPECT_EQ(record.Open("", kHere), Status(err::kNoDatabaseHandle));
  EXPECT_FALSE(record.IsOpen());
  EXPECT_EQ(record.openFlags, 0u);
  EXPECT_EQ(record.lastStatus, err::kNoDatabaseHandle);
  EXPECT_EQ(record.statusText, "No database handle");
  EXPECT_EQ(LogTexts(*server_),
            Texts{"VTRouter: Unable to open database  Veltrane\\here.nsf. "
                  "No database handle"});
}

TEST_F(MailDatabaseTest, FailingNetworkPathOpensNothing) {
  notes_->FailCall(NotesOp::kConstructNetPath, 1, err::kBufferTooSmall);
  MailDatabase record(*notes_);
  EXPECT_NE(record.Open("Mail2/Example", kThere), Status());
  EXPECT_FALSE(record.IsOpen());
  EXPECT_EQ(notes_->openDatabases(), 0);
  const Texts texts = LogTexts(*server_);
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].rfind("VTRouter: Unable to open database Mail2/Example "
                           "Veltrane\\there.nsf. ",
                           0),
            0u)
      << texts[0];
}

TEST_F(MailDatabaseTest, PathThatWouldBeCutIsRefused) {
  const std::string tooLong = "Veltrane\\" + std::string(251, 'q');  // 260
  MailDatabase record(*notes_);
  EXPECT_EQ(record.Open("", tooLong.c_str()), Status(err::kBufferTooSmall));
  EXPECT_FALSE(record.IsOpen());
  EXPECT_EQ(record.lastStatus, err::kBufferTooSmall);
  EXPECT_EQ(notes_->Calls(NotesOp::kOpenDatabase), 0);
  EXPECT_EQ(LogTexts(*server_), Texts{"VTRouter: Unable to open database  " +
                                      tooLong + ". Buffer is too small"});
}

TEST_F(MailDatabaseTest, ServerNameThatWouldBeCutIsRefused) {
  const std::string tooLong(257, 's');
  MailDatabase record(*notes_);
  EXPECT_EQ(record.Open(tooLong.c_str(), kHere), Status(err::kBufferTooSmall));
  EXPECT_FALSE(record.IsOpen());
  EXPECT_EQ(notes_->Calls(NotesOp::kOpenDatabase), 0);
  EXPECT_EQ(notes_->Calls(NotesOp::kConstructNetPath), 0);
  EXPECT_EQ(server_->LogLines().size(), 1u);
}

TEST_F(MailDatabaseTest, PathOf259CharactersOpens) {
  std::string longest = "Veltrane\\";
  for (int i = 0; i < 4; ++i) longest += std::string(49, 'd') + "\\";
  longest += std::string(46, 'q') + ".nsf";
  ASSERT_EQ(longest.size(), 259u);
  CreateTestDatabase(*server_, longest.c_str(), "Longest");
  MailDatabase record(*notes_);
  ASSERT_EQ(record.Open("", longest.c_str()), Status());
  EXPECT_EQ(record.path, longest);
  EXPECT_EQ(InfoTitle(*server_, record.dbHandle), "Longest");
}

// ---- The record owns its handle
// ------------------------------------------------

TEST_F(MailDatabaseTest, CloseOfANeverOpenedRecordChangesNothing) {
  MailDatabase record(*notes_);
  record.SetNames("", kHere);
  EXPECT_EQ(record.Close(), Status());
  EXPECT_EQ(record.openFlags, 0u);
  EXPECT_FALSE(record.dbHandle);
  EXPECT_EQ(record.netPath, kHere);
  EXPECT_EQ(notes_->Calls(NotesOp::kCloseDatabase), 0);
}

TEST_F(MailDatabaseTest, CloseClosesOnceAndForgetsTheHandle) {
  MailDatabase record(*notes_);
  ASSERT_EQ(record.Open("", kHere), Status());
  const DbHandle handle = record.dbHandle;
  EXPECT_EQ(record.Close(), Status());
  EXPECT_FALSE(record.IsOpen());
  EXPECT_FALSE(record.dbHandle);
  EXPECT_EQ(record.openFlags, 0u);
  EXPECT_EQ(notes_->openDatabases(), 0);
  DbInfo info{};
  EXPECT_EQ(server_->GetDatabaseInfo(handle, info),
            Status(err::kInvalidHandle));
  EXPECT_EQ(record.Close(), Status());
  EXPECT_EQ(notes_->Calls(NotesOp::kCloseDatabase), 1);
  // Closed records reopen.
  ASSERT_EQ(record.Open("", kHere), Status());
  EXPECT_TRUE(record.IsOpen());
}

TEST_F(MailDatabaseTest, FailedCloseIsReportedAndTheHandleForgotten) {
  MailDatabase record(*notes_);
  ASSERT_EQ(record.Open("", kHere), Status());
  const DbHandle handle = record.dbHandle;
  notes_->FailCall(NotesOp::kCloseDatabase, 1, err::kDiskError);
  EXPECT_EQ(record.Close(), Status(err::kDiskError));
  EXPECT_FALSE(record.IsOpen());
  EXPECT_FALSE(record.dbHandle);
  EXPECT_EQ(record.openFlags, 0u);
  EXPECT_EQ(server_->CloseDatabase(handle), Status());
}

TEST_F(MailDatabaseTest, DestroyingAnOpenRecordClosesIt) {
  DbHandle handle;
  {
    MailDatabase record(*notes_);
    ASSERT_EQ(record.Open("", kHere), Status());
    handle = record.dbHandle;
    EXPECT_EQ(notes_->openDatabases(), 1);
  }
  EXPECT_EQ(notes_->openDatabases(), 0);
  EXPECT_EQ(notes_->Calls(NotesOp::kCloseDatabase), 1);
  DbInfo info{};
  EXPECT_EQ(server_->GetDatabaseInfo(handle, info),
            Status(err::kInvalidHandle));
  {
    MailDatabase closed(*notes_);
    ASSERT_EQ(closed.Open("", kHere), Status());
    EXPECT_EQ(closed.Close(), Status());
  }
  EXPECT_EQ(notes_->Calls(NotesOp::kCloseDatabase), 2)
      << "a closed record is not "
         "closed again";
}

TEST_F(MailDatabaseTest, CreateOpenAdoptsAnOpenHandle) {
  DbHandle handle;
  ASSERT_EQ(notes_->CreateDatabaseCopy(kHere, "Veltrane\\here_2.nsf",
                                       kNoteClassAllNonData, 0, 0, &handle),
            Status());
  std::unique_ptr<MailDatabase> record = MailDatabase::CreateOpen(
      *notes_, "Veltrane\\here_2.nsf", "local", handle);
  ASSERT_NE(record, nullptr);
  EXPECT_TRUE(record->IsOpen());
  EXPECT_EQ(record->openFlags, kDatabaseOpenFlag);
  EXPECT_EQ(record->dbHandle, handle);
  EXPECT_EQ(record->server, "local");
  EXPECT_EQ(record->path, "Veltrane\\here_2.nsf");
  EXPECT_EQ(record->netPath, "Veltrane\\here_2.nsf");
  record.reset();
  EXPECT_EQ(notes_->openDatabases(), 0);
}

// ---- What a record keeps of a failure
// ------------------------------------------

TEST_F(MailDatabaseTest, SetErrorFromStatusFillsTheStatusText) {
  MailDatabase record(*notes_);
  record.ReportError(err::kDiskError, "Earlier failure.");
  record.SetErrorFromStatus(Status(0x4000 | err::kServerNotFound));
  EXPECT_EQ(record.lastStatus, 0x4000 | err::kServerNotFound);
  EXPECT_EQ(record.statusText, "Unable to find path to server");
  EXPECT_TRUE(record.lastMessage.empty());
  EXPECT_EQ(server_->LogLines().size(), 1u) << "recording is not logging";
}

TEST_F(MailDatabaseTest, ReportErrorKeepsMessageOf499Characters) {
  MailDatabase record(*notes_);
  record.SetErrorFromStatus(err::kFileNotFound);
  const std::string message(499, 'm');
  record.ReportError(err::kDiskError, "%s", message.c_str());
  EXPECT_EQ(record.lastMessage, message);
  EXPECT_EQ(record.lastStatus, err::kDiskError);
  EXPECT_EQ(record.statusText, "File does not exist") << "left as it was";
  EXPECT_EQ(LogTexts(*server_),
            Texts{"VTRouter: " + message + ": Disk or file system error"});
}

TEST_F(MailDatabaseTest, ReportErrorLeavesMessageOf500CharactersOut) {
  MailDatabase record(*notes_);
  record.ReportError(err::kDiskError, "short");
  ASSERT_EQ(record.lastMessage, "short");
  const std::string message(500, 'm');
  record.ReportError(err::kFileNotFound, "%s", message.c_str());
  EXPECT_TRUE(record.lastMessage.empty());
  EXPECT_EQ(record.lastStatus, err::kFileNotFound);
  ASSERT_EQ(server_->LogLines().size(), 2u);
  EXPECT_EQ(LogTexts(*server_)[1],
            "VTRouter: " + message + ": File does not exist")
      << "logged in full";
}

TEST_F(MailDatabaseTest, ReportErrorLogsAtMost1023Characters) {
  LogCapture capture(*server_);
  MailDatabase record(capture);
  const std::string message(1500, 'm');
  record.ReportError(0, "%s", message.c_str());
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_EQ(capture.lines()[0].text, "VTRouter: " + message.substr(0, 1023));
  EXPECT_TRUE(record.lastMessage.empty());
}

TEST_F(MailDatabaseTest, ReportErrorReadsNoFormatFromArguments) {
  MailDatabase record(*notes_);
  record.ReportError(0, "Unable to open database '%s'.", "100%% %d");
  EXPECT_EQ(record.lastMessage, "Unable to open database '100%% %d'.");
  EXPECT_EQ(LogTexts(*server_),
            Texts{"VTRouter: Unable to open database '100%% %d'."});
}

}  // namespace
}  // namespace vt
