// The router's named locks (its single-instance guard, the configuration
// save lock) as another local user would attack them: by pre-creating the
// lock folder, and by opening the lock files to hold them. Neither may keep
// the router from starting, and neither may let a second router start on the
// same data directory. The other user is "nobody", reached through setpriv,
// so those tests need root. And the guard as a cleaner of the lock folder
// meets it: removed, or replaced by a file another process holds.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "DataDirTest.h"
#include "base/UniqueFd.h"

namespace vt::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int kRouterMillis = 30000;

// Runs a command as nobody (uid and gid 65534).
RunResult AsNobody(const std::vector<std::string>& command) {
  std::vector<std::string> arguments = {"--reuid=65534", "--regid=65534",
                                        "--clear-groups"};
  arguments.insert(arguments.end(), command.begin(), command.end());
  return RunProgram("/usr/bin/setpriv", arguments, 30000);
}

class RouterLocks : public DataDirTest {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
    if (!fs::exists("/usr/bin/setpriv") || !fs::exists("/usr/bin/flock")) {
      GTEST_SKIP() << "setpriv and flock (util-linux) are needed";
    }
    DataDirTest::SetUp();
    if (HasFatalFailure()) return;
    Init(UniqueServerName());
    // Two shared, sticky folders like /run/lock and /tmp, in place of the
    // machine's own, so the test changes nothing outside its folder.
    fs::permissions(folder(), fs::perms::owner_all | fs::perms::group_exec |
                                  fs::perms::others_exec);
    for (const char* shared : {"run-lock", "tmp"}) {
      fs::create_directory(folder() / shared);
      ::chmod((folder() / shared).c_str(), 01777);
    }
    first_ = (folder() / "run-lock" / "vtrouter-root").string();
    second_ = (folder() / "tmp" / "vtrouter-root").string();
    ::setenv("VT_LOCK_FOLDERS", (first_ + ":" + second_).c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("VT_LOCK_FOLDERS");
    DataDirTest::TearDown();
  }

  std::string first_, second_;
};

TEST_F(RouterLocks, AnotherUserCanNeitherBlockNorSplitThem) {
  // Nobody is first to make the router's usual lock folder, open to all.
  ASSERT_EQ(AsNobody({"mkdir", "-m", "0777", first_}).exitCode, 0);

  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;
  EXPECT_TRUE(Logged("VTRouter: Lock " + first_ +
                     " is not used: the folder belongs to another user"))
      << ServerLog();
  // The lock files are in the next folder, private to the router's user.
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(second_)) {
    files.push_back(entry.path().string());
  }
  ASSERT_FALSE(files.empty());
  struct stat st;
  ASSERT_EQ(::stat(second_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(fs::is_empty(first_));

  // Nobody can neither take a lock nor remove one, nor plant a file.
  for (const std::string& file : files) {
    EXPECT_NE(AsNobody({"/usr/bin/flock", "-n", "-s", file, "true"}).exitCode,
              0)
        << file;
    EXPECT_NE(AsNobody({"rm", "-f", file}).exitCode, 0) << file;
    EXPECT_TRUE(fs::exists(file));
  }
  EXPECT_NE(AsNobody({"touch", second_ + "/planted"}).exitCode, 0);

  // A second router on the same data directory still finds the first.
  const RunResult second =
      RunProgram(VtRouterPath(), {"--data", dir()}, kRouterMillis);
  EXPECT_NE(second.out.find("The Veltrane Router is already running."),
            std::string::npos)
      << second.out;
  EXPECT_TRUE(router.Running());
  // vtserver, as the same user, shares the configuration save lock.
  const RunResult config = Vt({"config", dir(), "ReleaseMailMinutes=15"});
  EXPECT_EQ(config.exitCode, 0) << config.err;

  ASSERT_EQ(Vt({"tell", dir(), "vtrouter", "quit"}).exitCode, 0);
  ASSERT_TRUE(router.WaitForExit(kRouterMillis)) << RouterOutput();
  EXPECT_EQ(router.exitCode(), 0);
}

// Files another user left in the data directory would be unusable to the
// router's user: neither the router nor a writing command runs as another
// user, and a console command posted as one is refused, not lost.
TEST_F(RouterLocks, AnotherUserMayNeitherRunTheRouterNorTellIt) {
  // Readable to all, as a data directory often is.
  fs::permissions(dir(), fs::perms::owner_all | fs::perms::group_read |
                             fs::perms::group_exec | fs::perms::others_read |
                             fs::perms::others_exec);
  fs::permissions(fs::path(dir()) / "server.ini",
                  fs::perms::others_read | fs::perms::group_read,
                  fs::perm_options::add);
  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;
  const RunResult tell =
      AsNobody({VtServerPath(), "tell", dir(), "vtrouter", "pause"});
  EXPECT_EQ(tell.exitCode, 1);
  EXPECT_NE(tell.err.find("belongs to root, not to nobody"), std::string::npos)
      << tell.err;
  const RunResult run = AsNobody({VtRouterPath(), "--data", dir()});
  EXPECT_NE(run.exitCode, 0);
  EXPECT_NE((run.out + run.err).find("belongs to root, not to nobody"),
            std::string::npos)
      << run.out << run.err;
  EXPECT_TRUE(router.Running());
  EXPECT_FALSE(Logged("Paused"));
  // "exit" ends a task as "quit" does, and tell says it was known.
  ASSERT_EQ(Vt({"tell", dir(), "vtrouter", "EXIT"}).exitCode, 0);
  ASSERT_TRUE(router.WaitForExit(kRouterMillis)) << RouterOutput();
}

// A router running on DIR, with its lock folder in the test's folder.
class RouterGuard : public DataDirTest {
 protected:
  void SetUp() override {
    DataDirTest::SetUp();
    if (HasFatalFailure()) return;
    Init(UniqueServerName());
    locks_ = folder() / "locks";
    ::setenv("VT_LOCK_FOLDERS", locks_.c_str(), 1);
    StartRouter(router_);
    if (HasFatalFailure()) return;
    guard_ = GuardFile();
    ASSERT_FALSE(guard_.empty());
  }
  void TearDown() override {
    // Ended before its folder goes, as a test that failed may leave it.
    if (router_.Running()) {
      router_.Signal(SIGTERM);
      EXPECT_TRUE(router_.WaitForExit(kRouterMillis));
    }
    ::unsetenv("VT_LOCK_FOLDERS");
    DataDirTest::TearDown();
  }

  // The guard's lock file: named by a SHA-1 in hex, unlike the save lock.
  std::string GuardFile() const {
    for (const auto& entry : fs::directory_iterator(locks_)) {
      const std::string name = entry.path().filename().string();
      if (name.size() == 45 && name.ends_with(".lock") &&
          name.find_first_not_of("0123456789abcdef") == 40) {
        return entry.path().string();
      }
    }
    return {};
  }

  fs::path locks_;
  BackgroundProcess router_;
  std::string guard_;
};

TEST_F(RouterGuard, ARemovedLockFileIsPutBackAndKeepsASecondRouterOut) {
  fs::remove(guard_);
  EXPECT_TRUE(WaitUntil(
      [&] {
        return Logged(
            "VTRouter: The Veltrane Router's lock file was removed; "
            "it has been created again.");
      },
      kRouterMillis))
      << ServerLog();
  EXPECT_TRUE(fs::exists(guard_));

  const RunResult second =
      RunProgram(VtRouterPath(), {"--data", dir()}, kRouterMillis);
  EXPECT_NE(second.out.find("The Veltrane Router is already running."),
            std::string::npos)
      << second.out;
  EXPECT_EQ(second.exitCode, 78);
  EXPECT_TRUE(router_.Running());
  // And the first still routes.
  Send("after", 1);
  EXPECT_TRUE(WaitForCount("mail.box", "after", 0));

  ASSERT_EQ(Vt({"tell", dir(), "vtrouter", "quit"}).exitCode, 0);
  ASSERT_TRUE(router_.WaitForExit(kRouterMillis)) << RouterOutput();
}

TEST_F(RouterGuard, ARouterEndsWhenAnotherProcessHoldsTheLockFileInItsPlace) {
  // In one step, so the router never finds the name free to take back.
  const std::string aside = (locks_ / "aside").string();
  const UniqueFd theirs(::open(aside.c_str(), O_RDWR | O_CREAT, 0600));
  ASSERT_TRUE(theirs);
  ASSERT_EQ(::flock(theirs.get(), LOCK_EX | LOCK_NB), 0);
  ASSERT_EQ(::rename(aside.c_str(), guard_.c_str()), 0);

  ASSERT_TRUE(router_.WaitForExit(kRouterMillis)) << RouterOutput();
  EXPECT_EQ(router_.exitCode(), 0);
  EXPECT_TRUE(
      Logged("VTRouter: Another Veltrane Router took over this "
             "server's lock file; this one ends."))
      << ServerLog();
  EXPECT_TRUE(Logged("VTRouter: Shutdown complete"));
}

}  // namespace
}  // namespace vt::e2e
