// Log lines: local date and time, two blanks, the text, and for a nonzero
// status its text right after; each line goes to the server log file.
#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <string>

#include "support/FakeClock.h"
#include "support/TempDataDir.h"

namespace vt {
namespace {

std::string LocalStamp(int64_t centis) {
  const time_t seconds = static_cast<time_t>(centis / 100);
  tm local{};
  localtime_r(&seconds, &local);
  char buf[32];
  strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
  return buf;
}

std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class ServerLogLines : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = dir_.MakeServer(&clock_);
    ASSERT_NE(server_, nullptr);
  }
  std::filesystem::path LogFile() const {
    return dir_.File(".vtserver/server.log");
  }

  FakeClock clock_;
  TempDataDir dir_;
  std::unique_ptr<LocalNotesServices> server_;
};

TEST_F(ServerLogLines, StampTwoBlanksTextAndStatusText) {
  server_->LogMessage("Unable to open database %s %s.  ", err::kFileNotFound,
                      "x", "y");
  ASSERT_EQ(server_->LogLines().size(), 1u);
  const std::string expected = LocalStamp(clock_.NowUnixCentis()) +
                               "  Unable to open database x y.  " +
                               "File does not exist";
  EXPECT_EQ(server_->LogLines().back(), expected);
  EXPECT_TRUE(std::regex_match(
      server_->LogLines().back(),
      std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d  Unable .*)")));
  EXPECT_EQ(ReadFile(LogFile()), expected + "\n");
}

TEST_F(ServerLogLines, ZeroOrHiddenStatusAddsNothing) {
  server_->LogMessage("VTRouter: started", 0);
  server_->LogMessage("shown before: ",
                      Status(err::kFileNotFound | Status::kHiddenFlag));
  ASSERT_EQ(server_->LogLines().size(), 2u);
  EXPECT_EQ(server_->LogLines()[0].substr(21), "VTRouter: started");
  EXPECT_EQ(server_->LogLines()[1].substr(21), "shown before: ");
}

TEST_F(ServerLogLines, LinesAppendToTheFileAcrossServers) {
  server_->LogMessage("one", 0);
  clock_.AdvanceMillis(61 * 1000);
  auto other = dir_.MakeServer(&clock_);
  other->LogMessage("two %d", 0, 2);
  const std::string text = ReadFile(LogFile());
  EXPECT_EQ(text, LocalStamp(FakeClock::kDefaultStart) + "  one\n" +
                      LocalStamp(clock_.NowUnixCentis()) + "  two 2\n");
}

TEST_F(ServerLogLines, LongTextIsCutNotOverrun) {
  const std::string huge(5000, 'z');
  server_->LogMessage("%s", err::kDiskError, huge.c_str());
  const std::string& line = server_->LogLines().back();
  EXPECT_EQ(line.size(),
            21u + 1023u + strlen(": ") + strlen("Disk or file system error"));
}

TEST_F(ServerLogLines, ControlBytesCannotForgeALineOfTheirOwn) {
  server_->LogMessage("%s", 0,
                      "VTRouter: Unknown command: x\n2026-12-08 10:00:00  "
                      "VTRouter: Shutdown complete\r\x1b[2J\x7f\tend");
  ASSERT_EQ(server_->LogLines().size(), 1u);
  EXPECT_EQ(server_->LogLines().back().substr(21),
            "VTRouter: Unknown command: x?2026-12-08 10:00:00  "
            "VTRouter: Shutdown complete??[2J?\tend");
  const std::string file = ReadFile(LogFile());
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 1) << file;
}

TEST(ServerLogWithoutStart, KeepsLinesInMemoryOnly) {
  TempDataDir dir;
  LocalNotesServices server({dir.path(), nullptr, false});
  server.LogMessage("before start", 0);
  EXPECT_EQ(server.LogLines().size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(dir.File(".vtserver/server.log")));
}

}  // namespace
}  // namespace vt
