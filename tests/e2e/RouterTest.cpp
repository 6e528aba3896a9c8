// The real vtrouter on a data directory made by vtserver, driven the way an
// administrator, the mail server and the scanner would drive it.
#include <signal.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "DataDirTest.h"

namespace vt::e2e {
namespace {

constexpr int kRouterMillis = 30000;  // generous: the router works every 2 s
constexpr char kScanBox[] = "Veltrane/Scan/Scan_1.box";

class Router : public DataDirTest {
 protected:
  void SetUp() override {
    DataDirTest::SetUp();
    if (HasFatalFailure()) return;
    Init(UniqueServerName());
  }

  bool WaitForLog(const std::string& text) {
    return WaitUntil([&] { return Logged(text); }, kRouterMillis);
  }

  // Ends the router with "quit" and checks it went as it should.
  void Quit(BackgroundProcess& router) {
    const RunResult quit = Vt({"tell", dir(), "vtrouter", "quit"});
    ASSERT_EQ(quit.exitCode, 0) << quit.err;
    ASSERT_TRUE(router.WaitForExit(kRouterMillis)) << RouterOutput();
    EXPECT_EQ(router.exitCode(), 0);
    EXPECT_TRUE(Logged("VTRouter: Shutdown complete"));
  }
};

TEST_F(Router, RoutesMailThroughTheScannerAndBack) {
  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;

  const RunResult sent = Vt({"send", dir(), "--count", "3"});
  ASSERT_EQ(sent.exitCode, 0) << sent.err;
  ASSERT_TRUE(WaitUntil(
      [&] {
        return Messages("mail.box").empty() && Messages(kScanBox).size() == 3;
      },
      kRouterMillis))
      << ServerLog();

  const RunResult scan = Vt({"scan", dir(), "--verdict", "M"});
  ASSERT_EQ(scan.exitCode, 0) << scan.err;
  EXPECT_EQ(scan.out, "3 messages given verdict M\n");
  ASSERT_TRUE(WaitUntil(
      [&] {
        const std::vector<StoredMessage> mail = Messages("mail.box");
        if (mail.size() != 3 || !Messages(kScanBox).empty()) return false;
        for (const StoredMessage& m : mail) {
          if (m.Item("VeltraneVerified") != "1") return false;
        }
        return true;
      },
      kRouterMillis))
      << ServerLog();

  const RunResult tasks = Vt({"show", dir(), "tasks"});
  EXPECT_NE(tasks.out.find("VeltraneRouter  "), std::string::npos) << tasks.out;

  ASSERT_EQ(Vt({"tell", dir(), "vtrouter", "totals"}).exitCode, 0);
  EXPECT_TRUE(WaitForLog("Totals for today - Mail: 3")) << ServerLog();
  Quit(router);
  // The router echoes its log lines on its standard output too.
  EXPECT_NE(RouterOutput().find("Shutdown complete"), std::string::npos);
  EXPECT_EQ(Vt({"show", dir(), "tasks"}).out, "no tasks running\n");
  EXPECT_NE(Vt({"show", dir(), "log"}).out.find("Shutdown complete"),
            std::string::npos);
  EXPECT_EQ(Vt({"tell", dir(), "vtrouter", "totals"}).err,
            "vtserver: task vtrouter is not running\n");
}

TEST_F(Router, AKilledRouterLeavesNoRunningTaskAndNoMessageLost) {
  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;
  ASSERT_EQ(Vt({"send", dir(), "--count", "4"}).exitCode, 0);
  ASSERT_TRUE(
      WaitUntil([&] { return Messages(kScanBox).size() == 4; }, kRouterMillis));
  router.Signal(SIGKILL);
  ASSERT_TRUE(router.WaitForExit(kRouterMillis));
  EXPECT_EQ(router.termSignal(), SIGKILL);
  EXPECT_EQ(Vt({"show", dir(), "tasks"}).out, "no tasks running\n");
  EXPECT_EQ(Vt({"tell", dir(), "vtrouter", "totals"}).err,
            "vtserver: task vtrouter is not running\n");

  // Its successor takes over the same data directory and the same mail.
  BackgroundProcess successor;
  StartRouter(successor);
  if (HasFatalFailure()) return;
  ASSERT_EQ(Vt({"scan", dir(), "--verdict", "D"}).out,
            "4 messages given verdict D\n");
  // A copy is visible before its source is deleted: wait for both.
  EXPECT_TRUE(WaitUntil(
      [&] {
        return Messages("Veltrane/QuarantineD_1.nsf").size() == 4 &&
               Messages(kScanBox).empty() && Messages("mail.box").empty();
      },
      kRouterMillis))
      << ServerLog();
  Quit(successor);
}

TEST_F(Router, SpamGoesToItsQuarantineAndHeldMailIsReleased) {
  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;
  ASSERT_EQ(Vt({"send", dir(), "--hold", "--subject", "held"}).exitCode, 0);
  ASSERT_TRUE(
      WaitUntil([&] { return Messages(kScanBox).size() == 1; }, kRouterMillis));
  ASSERT_EQ(Vt({"scan", dir(), "--verdict", "M"}).exitCode, 0);
  ASSERT_EQ(Vt({"send", dir(), "--subject", "spam"}).exitCode, 0);
  ASSERT_TRUE(WaitUntil(
      [&] {
        const std::vector<StoredMessage> box = Messages(kScanBox);
        return box.size() == 1 && box[0].Item("Subject") == "spam";
      },
      kRouterMillis));
  ASSERT_EQ(Vt({"scan", dir(), "--verdict", "C"}).exitCode, 0);
  ASSERT_TRUE(WaitUntil(
      [&] {
        const std::vector<StoredMessage> spam =
            Messages("Veltrane/QuarantineC_1.nsf");
        const std::vector<StoredMessage> mail = Messages("mail.box");
        return spam.size() == 1 && mail.size() == 1 &&
               !mail[0].Has("RoutingState");
      },
      kRouterMillis))
      << ServerLog();
  Quit(router);
}

TEST_F(Router, SigtermEndsItTheSameWay) {
  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;
  router.Signal(SIGTERM);
  ASSERT_TRUE(router.WaitForExit(kRouterMillis)) << RouterOutput();
  EXPECT_EQ(router.exitCode(), 0);
  EXPECT_TRUE(Logged("VTRouter: Shutdown complete")) << ServerLog();
}

TEST_F(Router, ASecondRouterOnTheSameDataDirectoryStepsAside) {
  BackgroundProcess first;
  StartRouter(first);
  if (HasFatalFailure()) return;
  const RunResult second = RunProgram(VtRouterPath(), {"--data", dir()});
  // It did not start: a service manager must not take that for success.
  EXPECT_EQ(second.exitCode, 78) << second.err;
  EXPECT_NE(second.out.find("The Veltrane Router is already running."),
            std::string::npos)
      << second.out;
  EXPECT_TRUE(Logged("VTRouter: The Veltrane Router is already running."));
  EXPECT_TRUE(first.Running());
  EXPECT_EQ(Vt({"tell", dir(), "vtrouter", "totals"}).exitCode, 0);
  EXPECT_TRUE(WaitForLog("Totals for today")) << ServerLog();
  Quit(first);
}

TEST_F(Router, RereadsTheConfigurationWhenVtserverChangesIt) {
  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;
  const RunResult r = Vt({"config", dir(), "MaxQuarantineSize=100"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(WaitForLog("Reinitialize successful.")) << ServerLog();
  Quit(router);
}

TEST_F(Router, ACommandOver500BytesNeverReachesIt) {
  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;
  const RunResult longOne =
      Vt({"tell", dir(), "vtrouter", "version" + std::string(494, 'x')});
  EXPECT_TRUE(IsOneLineError(longOne));
  // It reaches the router, which answers it as unknown; so does tell's
  // exit status.
  const RunResult fits =
      Vt({"tell", dir(), "vtrouter", "bogus" + std::string(495, 'x')});
  EXPECT_TRUE(IsOneLineError(fits));
  EXPECT_EQ(fits.err.rfind("vtserver: vtrouter: Unknown command bogus", 0), 0u)
      << fits.err;
  EXPECT_TRUE(WaitForLog("VTRouter: Unknown command bogus")) << ServerLog();
  EXPECT_EQ(Vt({"tell", dir(), "vtrouter", "TOTALS"}).exitCode, 0);
  Quit(router);
  EXPECT_FALSE(Logged("Unknown command version"));
}

// A scan box that is also the mail box: the router says so once, and its
// messages are scanned where they are instead of being "moved" into their
// own database (which deleted them). Spam still goes to its quarantine.
TEST_F(Router, ADatabaseInTwoRolesLosesNoMessage) {
  ASSERT_EQ(Vt({"config", dir(), "ScanningNsf=mail.box"}).exitCode, 0);
  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;
  EXPECT_TRUE(Logged(
      "VTRouter: Database mail.box is both a mail box and a scan box.  No "
      "message is moved between a database and itself."))
      << ServerLog();

  ASSERT_EQ(Vt({"send", dir(), "--count", "3"}).exitCode, 0);
  // Two passes' worth of waiting: nothing may leave, nothing may vanish.
  ASSERT_TRUE(WaitForLog("VTRouter: Version")) << ServerLog();
  std::this_thread::sleep_for(std::chrono::milliseconds(4500));
  EXPECT_EQ(Messages("mail.box").size(), 3u) << ServerLog();

  const RunResult scan =
      Vt({"scan", dir(), "--verdict", "C", "--db", "mail.box"});
  ASSERT_EQ(scan.exitCode, 0) << scan.err;
  EXPECT_TRUE(WaitUntil(
      [&] {
        return Messages("mail.box").empty() &&
               Messages("Veltrane/QuarantineC_1.nsf").size() == 3;
      },
      kRouterMillis))
      << ServerLog();
  Quit(router);
  EXPECT_FALSE(Logged("Error moving message")) << ServerLog();
  EXPECT_FALSE(Logged("to Scan box")) << ServerLog();
}

// The router finds itself by the server's name; without a usable one it
// says so and fails instead of ending quietly with success.
TEST_F(Router, AServerIniWithoutAUsableServerNameStopsTheStart) {
  const std::string ini = dir() + "/server.ini";  // made by Init
  for (const std::string& text :
       {std::string("; no name at all\n"), std::string("ServerName=\n"),
        "ServerName=CN=" + std::string(300, 'x') + "/O=Example\n"}) {
    {
      std::ofstream out(ini, std::ios::trunc);
      out << text;
    }
    const RunResult r = RunProgram(VtRouterPath(), {"--data", dir()}, 30000);
    EXPECT_EQ(r.exitCode, 78) << text;
    EXPECT_EQ(r.termSignal, 0);
    EXPECT_NE(r.out.find("server.ini: no usable ServerName (it is missing, "
                         "empty or too long)"),
              std::string::npos)
        << r.out;
  }
  EXPECT_TRUE(Logged("no usable ServerName")) << ServerLog();
}

}  // namespace
}  // namespace vt::e2e
