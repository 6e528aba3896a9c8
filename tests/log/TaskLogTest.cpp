// The task's log lines as the server log shows them: "VTRouter: " and the
// text, the failure's status text right after it, a text cut at 1023
// characters but still written, and arguments that are never read as
// formats.
#include <gtest/gtest.h>

#include <string>

#include "log/TaskLog.h"
#include "support/FakeClock.h"
#include "support/LogTexts.h"
#include "support/TempDataDir.h"

namespace vt {
namespace {

using testing::LogCapture;
using testing::LogTexts;

class TaskLogLines : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = dir_.MakeServer(&clock_);
    ASSERT_NE(server_, nullptr);
    capture_ = std::make_unique<LogCapture>(*server_);
  }

  FakeClock clock_;
  TempDataDir dir_;
  std::unique_ptr<LocalNotesServices> server_;
  std::unique_ptr<LogCapture> capture_;
};

TEST_F(TaskLogLines, ProgressLineIsTheTextAlone) {
  TaskLog(*server_).Log(0, "Created new database %s.", "Veltrane\\Q_2.nsf");
  EXPECT_EQ(LogTexts(*server_),
            std::vector<std::string>{"VTRouter: Created new database "
                                     "Veltrane\\Q_2.nsf."});
}

TEST_F(TaskLogLines, FailureLineCarriesItsStatusText) {
  TaskLog(*capture_).Log(err::kFileNotFound,
                         "Unable to open database '%s'.  Skipping database.",
                         "mail2.box");
  EXPECT_EQ(LogTexts(*server_),
            std::vector<std::string>{
                "VTRouter: Unable to open database 'mail2.box'.  Skipping "
                "database. File does not exist"});
  ASSERT_EQ(capture_->lines().size(), 1u);
  EXPECT_EQ(capture_->lines()[0].status, Status(err::kFileNotFound));
}

TEST_F(TaskLogLines, StatusGoesToThePlatformUnchanged) {
  // The platform decides what a flagged status shows (here: nothing).
  const Status hidden(err::kFileNotFound | Status::kHiddenFlag);
  TaskLog(*capture_).Log(hidden, "Error moving message.  ");
  ASSERT_EQ(capture_->lines().size(), 1u);
  EXPECT_EQ(capture_->lines()[0].status, hidden);
  EXPECT_EQ(LogTexts(*server_),
            std::vector<std::string>{"VTRouter: Error moving message.  "});
}

TEST_F(TaskLogLines, TrailingBlanksAndDoubleBlanksAreKept) {
  TaskLog log(*server_);
  log.Log(0, "Created new Quarantine database %s ", "Veltrane\\scan_1.box");
  log.Write(0, "Unable to open database.  ");
  EXPECT_EQ(LogTexts(*server_), (std::vector<std::string>{
                                    "VTRouter: Created new Quarantine database "
                                    "Veltrane\\scan_1.box ",
                                    "VTRouter: Unable to open database.  "}));
}

TEST_F(TaskLogLines, PercentInAnArgumentIsNotAFormat) {
  TaskLog log(*server_);
  log.Log(0, "Subject '%s'", "100%% sure %d");
  log.Write(0, "50%% off %%s");
  EXPECT_EQ(LogTexts(*server_),
            (std::vector<std::string>{"VTRouter: Subject '100%% sure %d'",
                                      "VTRouter: 50%% off %%s"}));
}

TEST_F(TaskLogLines, LongTextIsCutAt1023CharactersAndStillWritten) {
  const std::string head(600, 'a');
  const std::string tail(600, 'b');
  TaskLog(*capture_).Log(err::kDiskError, "%s%s", head.c_str(), tail.c_str());
  ASSERT_EQ(capture_->lines().size(), 1u);
  const std::string expected = head + tail.substr(0, 1023 - head.size());
  EXPECT_EQ(capture_->lines()[0].text, "VTRouter: " + expected);
  EXPECT_EQ(capture_->lines()[0].status, Status(err::kDiskError));
  ASSERT_EQ(server_->LogLines().size(), 1u);
  EXPECT_EQ(LogTexts(*server_)[0].rfind("VTRouter: aaaa", 0), 0u);
}

TEST_F(TaskLogLines, TextOfExactly1023CharactersIsWhole) {
  TaskLog log(*capture_);
  log.Log(0, "%s", std::string(1022, 'x').append("y").c_str());
  log.Log(0, "%s", std::string(1023, 'x').append("y").c_str());
  ASSERT_EQ(capture_->lines().size(), 2u);
  EXPECT_EQ(capture_->lines()[0].text,
            "VTRouter: " + std::string(1022, 'x') + "y");
  EXPECT_EQ(capture_->lines()[1].text, "VTRouter: " + std::string(1023, 'x'));
}

}  // namespace
}  // namespace vt
