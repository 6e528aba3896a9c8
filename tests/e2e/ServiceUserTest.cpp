// A data directory of the service's own user, as root and that user meet
// it: a run as root must leave nothing of root's behind, and the backup and
// upgrade steps README gives for a service install must work as written.
// "nobody" stands in for the user vtrouter; acting as it needs root.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "DataDirTest.h"

namespace vt::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int kRouterMillis = 30000;
constexpr uid_t kNobody = 65534;
constexpr char kRunuser[] = "/usr/sbin/runuser";

mode_t ModeOf(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// A folder of the service user's, made by root as README's steps make it.
bool MakeServiceFolder(const fs::path& folder, const char* mode) {
  return RunProgram("/usr/bin/install", {"-d", "-o", "nobody", "-g", "nogroup",
                                         "-m", mode, folder.string()})
             .exitCode == 0;
}

class ServiceUser : public DataDirTest {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
    if (!fs::exists(kRunuser)) {
      GTEST_SKIP() << "runuser (util-linux) is needed";
    }
    DataDirTest::SetUp();
    if (HasFatalFailure()) return;
    Init(UniqueServerName());
    // As a directory restored from a backup or made by hand: the service
    // user's, with no runtime folder yet.
    fs::remove_all(fs::path(dir()) / ".vtserver");
    ASSERT_EQ(
        RunProgram("/bin/chown", {"-R", "nobody:nogroup", dir()}).exitCode, 0);
    fs::permissions(folder(), fs::perms::owner_all | fs::perms::group_exec |
                                  fs::perms::others_exec);
    locks_ = folder() / "locks";
    ASSERT_TRUE(MakeServiceFolder(locks_, "0700"));
    ::setenv("VT_LOCK_FOLDERS", locks_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("VT_LOCK_FOLDERS");
    if (::geteuid() == 0) DataDirTest::TearDown();
  }

  RunResult AsServiceUser(const std::vector<std::string>& command) const {
    std::vector<std::string> arguments = {"-u", "nobody", "--"};
    arguments.insert(arguments.end(), command.begin(), command.end());
    return RunProgram(kRunuser, arguments, kRouterMillis);
  }
  RunResult VtAsServiceUser(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), VtServerPath());
    return AsServiceUser(arguments);
  }

  fs::path locks_;
};

TEST_F(ServiceUser, ARunAsRootIsRefusedAndLeavesNothingOfRootsBehind) {
  const fs::path runtime = fs::path(dir()) / ".vtserver";
  const RunResult router =
      RunProgram(VtRouterPath(), {"--data", dir()}, kRouterMillis);
  EXPECT_EQ(router.exitCode, 78) << router.out << router.err;
  EXPECT_NE(router.err.find("belongs to nobody, not to root"),
            std::string::npos)
      << router.err;
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"send", dir()},
        {"config", dir(), "ReleaseMailMinutes=15"},
        {"tell", dir(), "vtrouter", "version"},
        {"backup", dir(), (folder() / "backup").string()}}) {
    const RunResult r = Vt(command);
    EXPECT_EQ(r.exitCode, 1) << command[0] << r.err;
    EXPECT_NE(r.err.find("belongs to nobody, not to root"), std::string::npos)
        << command[0] << r.err;
  }
  EXPECT_EQ(Vt({"show", dir(), "tasks"}).exitCode, 0);
  EXPECT_FALSE(fs::exists(runtime));

  // The service user's router then runs in full: its status line, its
  // console queue, its end.
  BackgroundProcess service;
  // setpriv runs the router in its own process, so that the signal that
  // ends the background process reaches the router itself.
  ASSERT_TRUE(service.Start("/usr/bin/setpriv",
                            {"--reuid=65534", "--regid=65534", "--clear-groups",
                             VtRouterPath(), "--data", dir()},
                            (folder() / "router.out").string()));
  RunResult tasks;
  EXPECT_TRUE(WaitUntil(
      [&] {
        tasks = VtAsServiceUser({"show", dir(), "tasks"});
        return tasks.out.find("VeltraneRouter  ") != std::string::npos;
      },
      kRouterMillis))
      << tasks.out << tasks.err << RouterOutput();
  // It listens on its queue once its start is done.
  RunResult quit;
  EXPECT_TRUE(WaitUntil(
      [&] {
        quit = VtAsServiceUser({"tell", dir(), "vtrouter", "quit"});
        return quit.exitCode == 0;
      },
      kRouterMillis))
      << quit.err;
  ASSERT_TRUE(service.WaitForExit(kRouterMillis)) << RouterOutput();
  EXPECT_EQ(service.exitCode(), 0) << RouterOutput();
  struct stat st {};
  ASSERT_EQ(::stat(runtime.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNobody);
}

// An earlier run as root (before it was refused) left its runtime folder:
// the service user's router says so instead of running without its console
// queue and status line.
TEST_F(ServiceUser, ARuntimeFolderOfAnotherUserKeepsTheRouterFromStarting) {
  fs::create_directory(fs::path(dir()) / ".vtserver");
  const RunResult router = AsServiceUser({VtRouterPath(), "--data", dir()});
  EXPECT_EQ(router.exitCode, 78) << router.out << router.err;
  EXPECT_NE(router.err.find(".vtserver belongs to root, not to nobody"),
            std::string::npos)
      << router.err;
}

// README's steps for a service install: the folder made first for the
// service user, the backup run as that user; the copies stay private.
TEST_F(ServiceUser, TheServiceBackupStepsWorkAndKeepTheCopiesPrivate) {
  const fs::path backups = folder() / "backups";
  ASSERT_TRUE(MakeServiceFolder(backups, "0700"));
  const fs::path dest = backups / "mail1-2026-12-09";
  const RunResult backup = VtAsServiceUser({"backup", dir(), dest.string()});
  ASSERT_EQ(backup.exitCode, 0) << backup.out << backup.err;
  int files = 0;
  EXPECT_EQ(ModeOf(dest), 0700u);
  for (const auto& entry : fs::recursive_directory_iterator(dest)) {
    const fs::path source =
        fs::path(dir()) / entry.path().lexically_relative(dest);
    EXPECT_EQ(ModeOf(entry.path()), ModeOf(source)) << entry.path();
    ++files;
  }
  EXPECT_GE(files, 6);
  EXPECT_EQ(VtAsServiceUser({"check", dest.string()}).exitCode, 0);
}

// The default set-aside folder lies beside the data directory, in a folder
// the service user may not write: the failure names that folder, and
// nothing changes.
TEST_F(ServiceUser, AnUpgradeThatCannotSetTheDatabasesAsideSaysWhereAndWhy) {
  const fs::path ini = fs::path(dir()) / "server.ini";
  const RunResult before = VtAsServiceUser({"ls", dir()});
  ASSERT_EQ(before.exitCode, 0) << before.err;
  // An older data directory: its format not recorded yet.
  ASSERT_EQ(
      RunProgram("/bin/sed", {"-i", "/^DataFormat=/d", ini.string()}).exitCode,
      0);
  const RunResult upgrade = VtAsServiceUser({"upgrade", dir()});
  EXPECT_EQ(upgrade.exitCode, 1) << upgrade.out;
  EXPECT_NE(
      upgrade.err.find("cannot make the folder " + dir() + ".before-upgrade-"),
      std::string::npos)
      << upgrade.err;
  EXPECT_NE(upgrade.err.find("Permission denied"), std::string::npos)
      << upgrade.err;
  EXPECT_NE(upgrade.err.find("--backup"), std::string::npos) << upgrade.err;

  const fs::path aside = folder() / "aside";
  ASSERT_TRUE(MakeServiceFolder(aside, "0700"));
  const RunResult named =
      VtAsServiceUser({"upgrade", dir(), "--backup", (aside / "x").string()});
  EXPECT_EQ(named.exitCode, 0) << named.err;
  EXPECT_EQ(ModeOf(aside / "x" / "mail.box"),
            ModeOf(fs::path(dir()) / "mail.box"));
}

// The service user's empty directory, made for it by root in a folder of
// root's, as README's set-up does it: init fills it in place.
TEST_F(ServiceUser, InitFillsAnEmptyDirectoryOfTheUsersInAFolderItMayNotWrite) {
  const fs::path mail2 = folder() / "mail2";
  ASSERT_TRUE(MakeServiceFolder(mail2, "0755"));
  const RunResult init =
      VtAsServiceUser({"init", mail2.string(), "--server", "CN=Mail2/O=X"});
  ASSERT_EQ(init.exitCode, 0) << init.err;
  EXPECT_EQ(ModeOf(mail2), 0700u);
  EXPECT_TRUE(fs::exists(mail2 / "server.ini"));
  const RunResult ls = VtAsServiceUser({"ls", mail2.string()});
  EXPECT_EQ(ls.exitCode, 0) << ls.err;
  EXPECT_NE(ls.out.find("mail.box"), std::string::npos) << ls.out;
  for (const auto& entry : fs::directory_iterator(mail2)) {
    EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
  }
}

// A mail box that root made (a restore run as root) is named by what is
// wrong with it: permission, not a failing disk nor a read-only one, whether
// the service user may read it or not.
TEST_F(ServiceUser, AMailBoxOfRootsIsAPermissionProblem) {
  const fs::path mailBox = fs::path(dir()) / "mail.box";
  ASSERT_EQ(::chown(mailBox.c_str(), 0, 0), 0);
  for (const mode_t mode : {0600, 0644}) {
    SCOPED_TRACE(mode);
    ASSERT_EQ(::chmod(mailBox.c_str(), mode), 0);
    const RunResult send = VtAsServiceUser({"send", dir()});
    EXPECT_EQ(send.exitCode, 1);
    EXPECT_NE(send.err.find("Permission denied"), std::string::npos)
        << send.err;
    for (const char* wrong : {"Disk or file system error", "Read-only"}) {
      EXPECT_EQ(send.err.find(wrong), std::string::npos) << send.err;
    }
  }
}

}  // namespace
}  // namespace vt::e2e
