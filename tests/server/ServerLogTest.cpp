// Log lines: local date and time, two blanks, the text, and for a nonzero
// status its text right after; each line goes to the server log file.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "server/ServerLog.h"
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

// A log that cannot be written: said once per episode on standard error, and
// the lost lines counted in the log once it can be written again.
TEST(ServerLogFailures, SaidOncePerEpisodeAndCountedOnceMended) {
  TempDataDir dir;
  const std::filesystem::path folder = dir.File("logs");
  const std::filesystem::path file = folder / "server.log";
  std::ofstream(folder).put('x');  // a file where the folder should be
  ServerLog log;
  log.SetEcho(ServerLog::Echo::kNone);
  log.SetFile(file);

  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 3; ++i) log.Write(FakeClock::kDefaultStart, "lost");
  std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(said, "Server log " + file.string() +
                      " cannot be written (Not a directory); its lines are "
                      "lost until it can\n");
  EXPECT_EQ(log.lines().size(), 3u);  // still kept in memory

  std::filesystem::remove(folder);
  ::testing::internal::CaptureStderr();
  log.Write(FakeClock::kDefaultStart, "kept");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  const std::string stamp = LocalStamp(FakeClock::kDefaultStart);
  EXPECT_EQ(ReadFile(file), stamp +
                                "  Server log: 3 lines could not be written "
                                "here (Not a directory)\n" +
                                stamp + "  kept\n");

  // A second episode is said again.
  std::filesystem::rename(folder, dir.File("old-logs"));
  std::ofstream(folder).put('x');
  log.Reopen(FakeClock::kDefaultStart);
  ::testing::internal::CaptureStderr();
  log.Write(FakeClock::kDefaultStart, "lost");
  log.Write(FakeClock::kDefaultStart, "lost");
  said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  EXPECT_NE(said.find("cannot be written"), std::string::npos) << said;
}

// A disk that fills up in the middle of a line: the log keeps whole lines
// only, and the line after the episode starts a line of its own. The full
// disk is a small tmpfs, which needs root.
TEST(ServerLogFailures, AFullDiskNeverTearsALine) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  TempDataDir dir;
  const std::filesystem::path small = dir.File("small");
  std::filesystem::create_directory(small);
  if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=16k") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here";
  }
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{small.string()};
  const std::filesystem::path filler = small / "filler";
  std::ofstream(filler) << std::string(8192, 'f');
  ServerLog log;
  log.SetEcho(ServerLog::Echo::kNone);
  log.SetFile(small / "server.log");
  ::testing::internal::CaptureStderr();
  // Lines whose length shares no factor with the page size, so that one of
  // them meets the end of the space part way.
  for (int i = 0; i < 200; ++i) {
    log.Write(FakeClock::kDefaultStart,
              "line " + std::to_string(1000 + i) + " " + std::string(90, 'x'));
  }
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("No space left on device"), std::string::npos) << said;
  std::filesystem::remove(filler);
  log.Write(FakeClock::kDefaultStart, "kept");

  const std::string text = ReadFile(small / "server.log");
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  const std::string stamp = LocalStamp(FakeClock::kDefaultStart);
  const std::regex whole(stamp +
                         "  (line [0-9]{4} x{90}|Server log: [0-9]+ "
                         "lines could not be written here \\(No "
                         "space left on device\\)|kept)");
  std::istringstream lines(text);
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    EXPECT_TRUE(std::regex_match(line, whole)) << line;
  }
  EXPECT_GT(count, 3);
  EXPECT_NE(text.find("  kept\n"), std::string::npos);
}

// A task's log: its stamps are local time, so the file says which zone when
// it is opened, when it is reopened after a rotation, and when the offset
// changes with daylight saving time.
TEST(ServerLogZone, NamedOnOpenReopenAndOffsetChange) {
  const char* before = std::getenv("TZ");
  const std::string saved = before != nullptr ? before : "";
  ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  ::tzset();
  TempDataDir dir;
  const std::filesystem::path file = dir.File(".vtserver/server.log");
  {
    ServerLog log;
    log.SetEcho(ServerLog::Echo::kNone);
    log.SetFile(file);
    log.SetNameZone(true);
    const int64_t winter = 1796720400LL * 100;  // 2026-12-08 09:00 UTC
    const int64_t summer = 1783501200LL * 100;  // 2026-07-08 09:00 UTC
    log.Write(winter, "one");
    log.Write(winter + 100, "two");
    log.Write(summer, "three");
    EXPECT_EQ(ReadFile(file),
              "2026-12-08 10:00:00  Log times are local time, UTC+01:00 "
              "(CET)\n"
              "2026-12-08 10:00:00  one\n"
              "2026-12-08 10:00:01  two\n"
              "2026-07-08 11:00:00  Log times are local time, UTC+02:00 "
              "(CEST)\n"
              "2026-07-08 11:00:00  three\n");

    std::filesystem::rename(file, dir.File(".vtserver/server.log.1"));
    log.Reopen(winter);
    EXPECT_EQ(ReadFile(file),
              "2026-12-08 10:00:00  Log times are local time, UTC+01:00 "
              "(CET)\n");
    log.Write(winter, "four");
    EXPECT_EQ(ReadFile(file).substr(ReadFile(file).find('\n') + 1),
              "2026-12-08 10:00:00  four\n");
    EXPECT_EQ(log.lines().back(), "2026-12-08 10:00:00  four");
  }
  if (before != nullptr) {
    ::setenv("TZ", saved.c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
}

// On standard output for the journal: no stamp, and the priority of a line
// logged with a failing status is "error".
TEST(ServerLogJournal, PriorityFromTheStatusAndNoStamp) {
  TempDataDir dir;
  FakeClock clock;
  LocalNotesServicesOptions options;
  options.dataDirectory = dir.path();
  options.clock = &clock;
  options.echoForJournal = true;
  LocalNotesServices server(options);
  ASSERT_TRUE(server.Start().ok());
  ::testing::internal::CaptureStdout();
  server.LogMessage("VTRouter: Version %s started", 0, "1.0.0.0");
  server.LogMessage("VTRouter: Unable to open database local %s. ",
                    err::kFileNotFound, "x.nsf");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "<6>VTRouter: Version 1.0.0.0 started\n"
            "<3>VTRouter: Unable to open database local x.nsf. File does not "
            "exist\n");
  // The file keeps its stamps.
  EXPECT_EQ(server.LogLines().back(),
            LocalStamp(clock.NowUnixCentis()) +
                "  VTRouter: Unable to open database local x.nsf. File does "
                "not exist");
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
