// Telling whether a database name is still free on a server before a new
// database is created under it: a missing file is free and comes back as
// the full name to create; an existing database, an unreachable server or
// any other failure counts as taken; the probe leaves nothing open and logs
// nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "databases/DatabaseName.h"
#include "support/FakeClock.h"
#include "support/FaultyNotes.h"
#include "support/TempDataDir.h"
#include "support/TestDatabases.h"

namespace vt {
namespace {

using testing::CreateTestDatabase;
using testing::FaultyNotes;

class ProbeDatabaseNameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = dir_.MakeServer(&clock_);
    ASSERT_NE(server_, nullptr);
    std::unique_ptr<LocalNotesServices> other = otherDir_.MakeServer(&clock_);
    ASSERT_NE(other, nullptr);
    CreateTestDatabase(*server_, "Veltrane\\Q_1.nsf", "Here");
    CreateTestDatabase(*other, "Veltrane\\Q_5.nsf", "There");
    notes_ = std::make_unique<FaultyNotes>(*server_);
    // Left over from an earlier probe: must not survive the next one.
    std::strcpy(freeName_, "stale");
  }

  FakeClock clock_;
  TempDataDir otherDir_{"CN=Mail2/O=Example"};
  TempDataDir dir_{TempDataDir::kDefaultServer,
                   "[Servers]\nMail2=" + otherDir_.path().string() + "\n"};
  std::unique_ptr<LocalNotesServices> server_;
  std::unique_ptr<FaultyNotes> notes_;
  uint32_t taken_ = 7;
  char freeName_[kNetPathSize] = {};
};

TEST_F(ProbeDatabaseNameTest, MissingFileIsFreeUnderItsFullName) {
  const Status s =
      ProbeDatabaseName(*notes_, "", "Veltrane\\Q_2.nsf", &taken_, freeName_);
  EXPECT_EQ(s.code(), err::kFileNotFound);
  EXPECT_EQ(taken_, 0u);
  EXPECT_STREQ(freeName_, "Veltrane\\Q_2.nsf");
  EXPECT_EQ(notes_->openDatabases(), 0);
  EXPECT_TRUE(server_->LogLines().empty());
}

TEST_F(ProbeDatabaseNameTest, FreeNameOnAnotherServerIsItsNetworkPath) {
  const Status s = ProbeDatabaseName(*notes_, "Mail2", "Veltrane\\Q_6.nsf",
                                     &taken_, freeName_);
  EXPECT_EQ(s.code(), err::kFileNotFound);
  EXPECT_EQ(taken_, 0u);
  EXPECT_STREQ(freeName_, "Mail2!!Veltrane\\Q_6.nsf");
}

TEST_F(ProbeDatabaseNameTest, ExistingDatabaseIsTakenAndClosedAgain) {
  EXPECT_EQ(ProbeDatabaseName(*notes_, "local", "Veltrane\\Q_1.nsf", &taken_,
                              freeName_),
            Status());
  EXPECT_EQ(taken_, 1u);
  EXPECT_STREQ(freeName_, "");
  EXPECT_EQ(notes_->Calls(NotesOp::kOpenDatabase), 1);
  EXPECT_EQ(notes_->Calls(NotesOp::kCloseDatabase), 1);
  EXPECT_EQ(notes_->openDatabases(), 0);

  EXPECT_EQ(ProbeDatabaseName(*notes_, "Mail2", "Veltrane\\Q_5.nsf", &taken_,
                              freeName_),
            Status());
  EXPECT_EQ(taken_, 1u);
  EXPECT_EQ(notes_->openDatabases(), 0);
  EXPECT_TRUE(server_->LogLines().empty());
}

TEST_F(ProbeDatabaseNameTest, UnreachableServerCountsAsTaken) {
  const Status s = ProbeDatabaseName(*notes_, "Mail9", "Veltrane\\Q_2.nsf",
                                     &taken_, freeName_);
  EXPECT_EQ(s, Status(err::kServerNotFound));
  EXPECT_EQ(taken_, 1u);
  EXPECT_STREQ(freeName_, "");
  EXPECT_TRUE(server_->LogLines().empty());
}

TEST_F(ProbeDatabaseNameTest, OtherFailuresCountAsTakenAndComeBackUnmasked) {
  const Status flagged(0x8000 | err::kDatabaseBusy);
  notes_->FailCall(NotesOp::kOpenDatabase, 1, flagged);
  EXPECT_EQ(
      ProbeDatabaseName(*notes_, "", "Veltrane\\Q_2.nsf", &taken_, freeName_),
      flagged);
  EXPECT_EQ(taken_, 1u);
  EXPECT_STREQ(freeName_, "");
}

TEST_F(ProbeDatabaseNameTest, FlaggedMissingFileIsStillFree) {
  const Status flagged(0x8000 | err::kFileNotFound);
  notes_->FailCall(NotesOp::kOpenDatabase, 1, flagged);
  EXPECT_EQ(
      ProbeDatabaseName(*notes_, "", "Veltrane\\Q_1.nsf", &taken_, freeName_),
      flagged)
      << "returned unchanged";
  EXPECT_EQ(taken_, 0u);
  EXPECT_STREQ(freeName_, "Veltrane\\Q_1.nsf");
}

TEST_F(ProbeDatabaseNameTest, NameThatCannotBeBuiltIsNeverFree) {
  notes_->FailCall(NotesOp::kConstructNetPath, 1, err::kBufferTooSmall);
  ProbeDatabaseName(*notes_, "Mail2", "Veltrane\\Q_6.nsf", &taken_, freeName_)
      .IgnoreError();
  EXPECT_EQ(taken_, 1u);
  EXPECT_STREQ(freeName_, "");
  EXPECT_EQ(notes_->openDatabases(), 0);
}

TEST_F(ProbeDatabaseNameTest, MissingNamesAreRefused) {
  EXPECT_EQ(ProbeDatabaseName(*notes_, nullptr, "Veltrane\\Q_2.nsf", &taken_,
                              freeName_),
            Status(err::kMissingValue));
  EXPECT_EQ(taken_, 0u);
  EXPECT_STREQ(freeName_, "");
  taken_ = 7;
  EXPECT_EQ(ProbeDatabaseName(*notes_, "", "", &taken_, freeName_),
            Status(err::kMissingValue));
  EXPECT_EQ(taken_, 0u);
  EXPECT_EQ(ProbeDatabaseName(*notes_, "", nullptr, &taken_, freeName_),
            Status(err::kMissingValue));
  EXPECT_EQ(notes_->Calls(NotesOp::kOpenDatabase), 0);
}

TEST(LocalServerName, EmptyOrLocalInAnyCase) {
  EXPECT_TRUE(IsLocalServer(""));
  EXPECT_TRUE(IsLocalServer("local"));
  EXPECT_TRUE(IsLocalServer("LOCAL"));
  EXPECT_TRUE(IsLocalServer("lOcAl"));
  EXPECT_FALSE(IsLocalServer("localhost"));
  EXPECT_FALSE(IsLocalServer("loca"));
  EXPECT_FALSE(IsLocalServer(" local"));
  EXPECT_FALSE(IsLocalServer("CN=Mail1/O=Example"));
}

}  // namespace
}  // namespace vt
