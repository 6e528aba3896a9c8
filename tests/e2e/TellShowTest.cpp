// `vtserver tell` and `vtserver show` without a task running: clear answers,
// nothing posted.
#include <filesystem>
#include <fstream>

#include "DataDirTest.h"

namespace vt::e2e {
namespace {

class TellAndShow : public DataDirTest {
 protected:
  void SetUp() override {
    DataDirTest::SetUp();
    if (HasFatalFailure()) return;
    Init("CN=Mail1/O=Example");
  }
};

TEST_F(TellAndShow, TellingATaskThatIsNotRunning) {
  const RunResult r = Vt({"tell", dir(), "vtrouter", "totals"});
  EXPECT_TRUE(IsOneLineError(r));
  EXPECT_EQ(r.err, "vtserver: task vtrouter is not running\n");
}

TEST_F(TellAndShow, ACommandOver500BytesIsRefused) {
  const auto before = Snapshot();
  const RunResult r =
      Vt({"tell", dir(), "vtrouter", "x" + std::string(498, 'y'), "z"});
  EXPECT_TRUE(IsOneLineError(r));
  EXPECT_NE(r.err.find("501"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("500"), std::string::npos) << r.err;
  EXPECT_EQ(Snapshot(), before);
}

TEST_F(TellAndShow, NoTasksAndAnEmptyLog) {
  const RunResult tasks = Vt({"show", dir(), "tasks"});
  EXPECT_EQ(tasks.exitCode, 0) << tasks.err;
  EXPECT_EQ(tasks.out, "no tasks running\n");
  const RunResult log = Vt({"show", dir(), "log"});
  EXPECT_EQ(log.exitCode, 0) << log.err;
  EXPECT_EQ(log.out, "the log is empty\n");
}

TEST_F(TellAndShow, TheLogsLastLines) {
  const std::filesystem::path log =
      std::filesystem::path(dir()) / ".vtserver" / "server.log";
  std::filesystem::create_directories(log.parent_path());
  std::ofstream(log) << "one\ntwo\nthree\n";
  const RunResult tail = Vt({"show", dir(), "log", "--tail", "2"});
  EXPECT_EQ(tail.exitCode, 0) << tail.err;
  EXPECT_EQ(tail.out, "two\nthree\n");
  EXPECT_EQ(Vt({"show", dir(), "log", "--tail", "9"}).out, "one\ntwo\nthree\n");
}

}  // namespace
}  // namespace vt::e2e
