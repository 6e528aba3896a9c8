// Every mistake on the command line gives one clear line on standard error
// and a nonzero exit, and writes nothing.
#include <fstream>

#include "DataDirTest.h"

namespace vt::e2e {
namespace {

namespace fs = std::filesystem;

class BadInput : public DataDirTest {
 protected:
  void SetUp() override {
    DataDirTest::SetUp();
    if (HasFatalFailure()) return;
    Init("CN=Mail1/O=Example");
  }

  // Fails unless the run is a one-line error that changed nothing.
  void ExpectRefused(const std::vector<std::string>& arguments) {
    const auto before = Snapshot();
    const RunResult r = Vt(arguments);
    std::string line;
    for (const std::string& a : arguments) line += a + " ";
    EXPECT_TRUE(IsOneLineError(r)) << line;
    EXPECT_EQ(Snapshot(), before) << line;
  }
};

TEST_F(BadInput, UnknownOrMissingCommand) {
  const RunResult r = Vt({"frobnicate", dir()});
  EXPECT_TRUE(IsOneLineError(r));
  EXPECT_NE(r.err.find("frobnicate"), std::string::npos) << r.err;
  EXPECT_TRUE(IsOneLineError(Vt({})));
  ExpectRefused({"--no-such-option"});
}

TEST_F(BadInput, ACommandLineMistakeExitsWith2AndAFailureWith1) {
  EXPECT_EQ(Vt({"frobnicate"}).exitCode, 2);
  EXPECT_EQ(Vt({"ls"}).exitCode, 2);
  EXPECT_EQ(Vt({"send", dir(), "--count", "x"}).exitCode, 2);
  EXPECT_EQ(Vt({"ls", (folder() / "missing").string()}).exitCode, 1);
  EXPECT_EQ(Vt({"send", dir(), "--db", "../x"}).exitCode, 1);
}

TEST_F(BadInput, MissingDataDirectory) {
  const std::string missing = (folder() / "missing").string();
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{
           {"config", missing},
           {"ls", missing},
           {"send", missing},
           {"scan", missing, "--verdict", "M"},
           {"tell", missing, "vtrouter", "totals"},
           {"show", missing, "tasks"}}) {
    ExpectRefused(args);
  }
  EXPECT_FALSE(fs::exists(missing));
  // Required arguments left out.
  ExpectRefused({"ls"});
  ExpectRefused({"scan", dir()});
  ExpectRefused({"tell", dir(), "vtrouter"});
}

TEST_F(BadInput, AFolderWithoutServerIni) {
  const std::string empty = (folder() / "empty").string();
  fs::create_directory(empty);
  const auto before = Snapshot();
  const RunResult r = Vt({"ls", empty});
  EXPECT_TRUE(IsOneLineError(r));
  EXPECT_NE(r.err.find("server.ini"), std::string::npos) << r.err;
  EXPECT_EQ(Snapshot(), before);
}

TEST_F(BadInput, PathsOutsideTheDataDirectory) {
  std::ofstream(folder() / "x") << "outside";
  for (const char* path :
       {"../x", "/etc/passwd", "../../etc/passwd", "Veltrane/../../x"}) {
    ExpectRefused({"ls", dir(), path});
    ExpectRefused({"send", dir(), "--db", path});
    ExpectRefused({"scan", dir(), "--verdict", "M", "--db", path});
  }
}

TEST_F(BadInput, ADatabaseThatDoesNotExistIsNotMade) {
  ExpectRefused({"send", dir(), "--db", "nosuch.box"});
  ExpectRefused({"scan", dir(), "--verdict", "B", "--db", "nosuch.box"});
  ExpectRefused({"ls", dir(), "nosuch.nsf"});
  EXPECT_FALSE(fs::exists(fs::path(dir()) / "nosuch.box"));
}

TEST_F(BadInput, BadOptionValues) {
  ExpectRefused({"send", dir(), "--count", "0"});
  ExpectRefused({"send", dir(), "--count", "many"});
  ExpectRefused({"send", dir(), "--age", "-5"});
  ExpectRefused({"send", dir(), "--hold", "--dead"});
  ExpectRefused({"scan", dir(), "--verdict", "X"});
  ExpectRefused({"scan", dir(), "--verdict", "MB"});
  ExpectRefused({"show", dir(), "everything"});
  ExpectRefused({"ls", dir(), "mail.box", "extra"});
}

TEST_F(BadInput, HelpIsEverywhere) {
  for (const char* command :
       {"init", "config", "send", "scan", "tell", "show", "ls", "demo"}) {
    const RunResult r = Vt({command, "--help"});
    EXPECT_EQ(r.exitCode, 0) << command << ": " << r.err;
    EXPECT_NE(r.out.find(command), std::string::npos) << r.out;
  }
  const RunResult top = Vt({"--help"});
  EXPECT_EQ(top.exitCode, 0);
  EXPECT_NE(top.out.find("demo"), std::string::npos);
}

}  // namespace
}  // namespace vt::e2e
