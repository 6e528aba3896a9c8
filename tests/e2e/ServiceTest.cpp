// The router as a service manager and an administrator see it: the signals
// they send, the exit status they read, the journal's stream, a log rotated
// under a running router, and the unit and logrotate files that ship.
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

#include "DataDirTest.h"

namespace vt::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int kRouterMillis = 30000;  // generous: the router works every 2 s
// What vtrouter returns when it did not start; the unit does not restart it.
constexpr int kExitDidNotStart = 78;
constexpr char kScanBox[] = "Veltrane/Scan/Scan_1.box";
constexpr char kZoneLine[] = "  Log times are local time, UTC";
constexpr char kShutdown[] = "VTRouter: Shutdown complete";

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& file, const std::string& text) {
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

int Occurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos;
       at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

std::string Replaced(std::string text, const std::string& from,
                     const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// A file the build put under its folder (VT_BUILD_DIR).
fs::path BuildFile(const std::string& relative) {
  const char* build = std::getenv("VT_BUILD_DIR");
  return build != nullptr ? fs::path(build) / relative : fs::path(relative);
}

// The program's path as the shell finds it; empty when it is not installed.
std::string ProgramPath(const std::string& name) {
  const RunResult r = RunProgram("/bin/sh", {"-c", "command -v " + name});
  return r.exitCode == 0 ? r.out.substr(0, r.out.find('\n')) : std::string();
}

class Service : public DataDirTest {
 protected:
  void SetUp() override {
    DataDirTest::SetUp();
    if (HasFatalFailure()) return;
    Init(UniqueServerName());
  }

  fs::path LogFile() const {
    return fs::path(dir()) / ".vtserver" / "server.log";
  }

  // Rotates the log the way logrotate does (rename), has the router reopen
  // it with signal, and checks that the router goes on in the new file
  // alone.
  void RotateAndCarryOn(BackgroundProcess& router, int signal) {
    const fs::path rotated =
        LogFile().string() + ".rotated" + std::to_string(signal);
    fs::rename(LogFile(), rotated);
    router.Signal(signal);
    // The new log begins at once, naming the zone of its stamps.
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(LogFile()); }, kRouterMillis))
        << RouterOutput();
    EXPECT_NE(ServerLog().find(kZoneLine), std::string::npos) << ServerLog();
    const std::string before = ReadFile(rotated);

    const std::string subject = "after signal " + std::to_string(signal);
    Send(subject, 2);
    ASSERT_TRUE(WaitForCount(kScanBox, subject, 2)) << ServerLog();
    EXPECT_TRUE(WaitUntil([&] { return Logged("to Scan box"); }, kRouterMillis))
        << ServerLog();
    EXPECT_TRUE(router.Running());
    EXPECT_EQ(ReadFile(rotated), before) << "the rotated log still grows";
  }
};

TEST_F(Service, SighupAndSigusr1ReopenARotatedLogAndEndNothing) {
  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;
  // A task's log opens with the zone of its stamps.
  const std::string log = ServerLog();
  EXPECT_NE(log.substr(0, log.find('\n')).find(kZoneLine), std::string::npos)
      << log;

  RotateAndCarryOn(router, SIGHUP);
  if (HasFatalFailure()) return;
  RotateAndCarryOn(router, SIGUSR1);
  if (HasFatalFailure()) return;

  ASSERT_EQ(Vt({"tell", dir(), "vtrouter", "quit"}).exitCode, 0);
  ASSERT_TRUE(router.WaitForExit(kRouterMillis)) << RouterOutput();
  EXPECT_EQ(router.exitCode(), 0);
  EXPECT_TRUE(Logged(kShutdown)) << ServerLog();
}

// SIGTERM has its own test beside the router's other ways to end.
TEST_F(Service, EveryOtherStopSignalEndsItInOrder) {
  for (const int signal : {SIGINT, SIGQUIT, SIGUSR2}) {
    const int before = Occurrences(ServerLog(), kShutdown);
    BackgroundProcess router;
    StartRouter(router);
    if (HasFatalFailure()) return;
    router.Signal(signal);
    ASSERT_TRUE(router.WaitForExit(kRouterMillis)) << RouterOutput();
    EXPECT_EQ(router.termSignal(), 0) << signal;
    EXPECT_EQ(router.exitCode(), 0) << signal;
    EXPECT_EQ(Occurrences(ServerLog(), kShutdown), before + 1) << signal;
  }
}

// A mail box name with a typo: the router cannot start, says why, and its
// exit status says so too (the unit then does not restart it in a loop).
TEST_F(Service, ARouterThatCannotStartExitsWithItsOwnStatus) {
  ASSERT_EQ(Vt({"config", dir(), "MailboxNsf=mial.box"}).exitCode, 0);
  const RunResult r =
      RunProgram(VtRouterPath(), {"--data", dir()}, kRouterMillis);
  EXPECT_EQ(r.termSignal, 0);
  EXPECT_EQ(r.exitCode, kExitDidNotStart) << r.out << r.err;
  EXPECT_EQ(r.err, "vtrouter: the router did not start; its log says why\n");
  EXPECT_TRUE(Logged("VTRouter: Veltrane Router did not initialize properly."))
      << ServerLog();
  EXPECT_FALSE(Logged(kShutdown));

  // Mended, it starts.
  ASSERT_EQ(Vt({"config", dir(), "MailboxNsf=mail.box"}).exitCode, 0);
  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;
  router.Signal(SIGTERM);
  ASSERT_TRUE(router.WaitForExit(kRouterMillis)) << RouterOutput();
  EXPECT_EQ(router.exitCode(), 0);
}

// A start that fails before the router has a log: the console text as it
// always was, and the reason on one plain line of standard error, filed as
// an error in the journal, which never gets a CR.
TEST_F(Service, AFailedStartSaysWhyOnStandardErrorAndToTheJournal) {
  const std::string absent = (folder() / "absent").string();
  const std::string why = "no data directory " + absent +
                          "; make one with 'vtserver init " + absent + "'";
  const RunResult plain = RunProgram(VtRouterPath(), {"--data", absent});
  EXPECT_EQ(plain.exitCode, kExitDidNotStart);
  EXPECT_EQ(plain.out, "\r\n" + why + "\r\n\r\n");
  EXPECT_EQ(plain.err, "vtrouter: " + why + "\n");
  const RunResult journal =
      RunProgram(VtRouterPath(), {"--journal", "--data", absent});
  EXPECT_EQ(journal.exitCode, kExitDidNotStart);
  EXPECT_EQ(journal.out.find('\r'), std::string::npos) << journal.out;
  EXPECT_EQ(journal.err, "<3>vtrouter: " + why + "\n");

  const fs::path ini = fs::path(dir()) / "server.ini";
  const std::string text = ReadFile(ini);
  WriteFile(ini,
            std::regex_replace(text, std::regex("ServerName=[^\n]*\n"), ""));
  const RunResult unnamed =
      RunProgram(VtRouterPath(), {"--journal", "--data", dir()});
  EXPECT_EQ(unnamed.exitCode, kExitDidNotStart);
  EXPECT_EQ(unnamed.err, "<3>vtrouter: " + ini.string() +
                             ": no usable ServerName (it is missing, empty or "
                             "too long)\n");
}

// A misspelt option must not route whatever the current directory is.
TEST_F(Service, UnknownOptionsAndStrayArgumentsAreRefused) {
  for (const std::vector<std::string>& line :
       {std::vector<std::string>{"--dta", dir()},
        {"--data", dir(), "stray"},
        {"-x"}}) {
    const RunResult r = RunProgram(VtRouterPath(), line);
    EXPECT_EQ(r.exitCode, 2) << line[0] << r.out;
    EXPECT_EQ(r.err.rfind("vtrouter: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(line.back() == "stray" ? "stray" : line[0]),
              std::string::npos)
        << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  EXPECT_FALSE(Logged("VTRouter: Version "));
}

// Under systemd (JOURNAL_STREAM names standard output) the lines carry a
// priority instead of a time, so that journalctl -p err finds the failures;
// the server log keeps its stamps.
TEST_F(Service, TheJournalGetsPrioritiesInsteadOfStamps) {
  const fs::path output = folder() / "router.out";
  WriteFile(output, "");
  struct stat st {};
  ASSERT_EQ(::stat(output.c_str(), &st), 0);
  const std::string stream =
      std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  ASSERT_EQ(::setenv("JOURNAL_STREAM", stream.c_str(), 1), 0);
  BackgroundProcess router;
  StartRouter(router);  // the same file, truncated: the same stream
  ::unsetenv("JOURNAL_STREAM");
  if (HasFatalFailure()) return;
  router.Signal(SIGTERM);
  ASSERT_TRUE(router.WaitForExit(kRouterMillis)) << RouterOutput();

  const std::string out = RouterOutput();
  // A new data directory's first start misses its scan boxes, and says so
  // with the status's text.
  EXPECT_NE(out.find("<3>VTRouter: Unable to open database local "
                     "Veltrane\\Scan\\Scan_1.box. File does not exist\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("<6>VTRouter: Version "), std::string::npos) << out;
  EXPECT_NE(out.find("<6>VTRouter: Shutdown complete\n"), std::string::npos)
      << out;
  std::istringstream lines(out);
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    EXPECT_TRUE(std::regex_match(line, std::regex("<[36]>VTRouter: .*")))
        << line;
  }
  EXPECT_GE(count, 3);
  EXPECT_NE(ServerLog().find("  VTRouter: Shutdown complete\n"),
            std::string::npos);
}

// The shipped logrotate file on a running router: its first rotation leaves
// the old log uncompressed (the router may finish a line into it), the
// router carries on in a new one, and the next rotation compresses it.
TEST_F(Service, TheShippedLogrotateFileRotatesUnderARunningRouter) {
  const std::string logrotate = ProgramPath("logrotate");
  if (logrotate.empty()) GTEST_SKIP() << "logrotate is not installed";
  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;

  const passwd* user = ::getpwuid(::geteuid());
  const group* group = ::getgrgid(::getegid());
  ASSERT_NE(user, nullptr);
  ASSERT_NE(group, nullptr);
  std::string config = ReadFile(BuildFile("packaging/logrotate/vtrouter"));
  // This test's data directory, user and router only: the shipped command
  // signals every router on the machine.
  config =
      Replaced(config, "/srv/*/.vtserver/server.log {",
               (folder() / "*" / ".vtserver" / "server.log").string() + " {");
  config = Replaced(config, "su vtrouter vtrouter",
                    std::string("su ") + user->pw_name + " " + group->gr_name);
  config = Replaced(config, "pkill -HUP -x vtrouter",
                    "kill -HUP " + std::to_string(router.pid()));
  config = Replaced(
      config, "pkill -HUP -f '^[^ ]*vtserver (smtp|web|scanner) '", "true");
  const fs::path file = folder() / "logrotate.conf";
  WriteFile(file, config);
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
  const std::vector<std::string> rotate = {
      "-f", "-s", (folder() / "logrotate.state").string(), file.string()};

  const RunResult first = RunProgram(logrotate, rotate);
  ASSERT_EQ(first.exitCode, 0) << first.out << first.err;
  const fs::path once = LogFile().string() + ".1";
  EXPECT_NE(ReadFile(once).find("VTRouter: Version "), std::string::npos);
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(LogFile()); }, kRouterMillis));
  Send("rotated", 1);
  ASSERT_TRUE(WaitForCount(kScanBox, "rotated", 1));
  EXPECT_TRUE(WaitUntil([&] { return Logged("to Scan box"); }, kRouterMillis))
      << ServerLog();

  const RunResult second = RunProgram(logrotate, rotate);
  ASSERT_EQ(second.exitCode, 0) << second.out << second.err;
  EXPECT_TRUE(fs::exists(LogFile().string() + ".2.gz"));
  EXPECT_NE(ReadFile(once).find("to Scan box"), std::string::npos);
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(LogFile()); }, kRouterMillis));
  EXPECT_TRUE(router.Running());
}

// The units (the router's and the SMTP service's) as systemd would load
// them for this data directory: no error, the router's exit status of a
// failed start not restarted, each sandbox kept tight (systemd-analyze
// security rates 0 safe to 10 exposed; 2 is "OK"), and the user made by the
// sysusers.d file.
TEST_F(Service, TheUnitLoadsAndStaysHardened) {
  const std::string analyze = ProgramPath("systemd-analyze");
  const std::string escape = ProgramPath("systemd-escape");
  if (analyze.empty() || escape.empty()) {
    GTEST_SKIP() << "systemd-analyze is not installed";
  }
  const fs::path shipped = fs::path(VT_SOURCE_DIR) / "packaging" / "systemd";
  std::string unit = ReadFile(shipped / "vtrouter@.service");
  EXPECT_NE(unit.find("\nRestartPreventExitStatus=" +
                      std::to_string(kExitDidNotStart) + "\n"),
            std::string::npos);
  const fs::path units = folder() / "units";
  fs::create_directories(units);
  const RunResult escaped = RunProgram(escape, {"--path", dir()});
  ASSERT_EQ(escaped.exitCode, 0) << escaped.err;
  const std::string instance = escaped.out.substr(0, escaped.out.find('\n'));

  // The router's unit and the SMTP and scanner services' beside it.
  for (const auto& [file, program] :
       {std::pair{"vtrouter@.service", VtRouterPath()},
        std::pair{"vtserver-smtp@.service", VtServerPath()},
        std::pair{"vtserver-scanner@.service", VtServerPath()}}) {
    const std::string text = ReadFile(shipped / file);
    const std::string shippedProgram =
        "/usr/local/bin/" + fs::path(program).filename().string() + " ";
    WriteFile(units / file, Replaced(text, "ExecStart=" + shippedProgram,
                                     "ExecStart=" + program + " "));
    const std::string name =
        std::string(file).replace(std::string(file).find('@') + 1, 0, instance);
    fs::create_symlink(file, units / name);

    const RunResult verify =
        RunProgram(analyze, {"verify", (units / name).string()});
    EXPECT_EQ(verify.exitCode, 0) << verify.out << verify.err;
    EXPECT_EQ(verify.out + verify.err, "");

    const RunResult security =
        RunProgram(analyze, {"security", "--offline=true", "--no-pager",
                             "--threshold=20", (units / name).string()});
    EXPECT_EQ(security.exitCode, 0) << security.out << security.err;
    EXPECT_NE(security.out.find("Overall exposure level for " + name),
              std::string::npos)
        << security.out << security.err;
  }

  // The user the unit runs as is the one the sysusers.d file makes.
  const std::string sysusers = ProgramPath("systemd-sysusers");
  if (sysusers.empty()) return;
  EXPECT_NE(unit.find("\nUser=vtrouter\n"), std::string::npos);
  const fs::path root = folder() / "root";
  fs::create_directories(root / "etc");
  const RunResult made = RunProgram(
      sysusers,
      {"--root=" + root.string(),
       (fs::path(VT_SOURCE_DIR) / "packaging" / "sysusers.d" / "vtrouter.conf")
           .string()});
  EXPECT_EQ(made.exitCode, 0) << made.out << made.err;
  const std::string passwd = "\n" + ReadFile(root / "etc" / "passwd");
  EXPECT_NE(passwd.find("\nvtrouter:"), std::string::npos) << passwd;
}

}  // namespace
}  // namespace vt::e2e
