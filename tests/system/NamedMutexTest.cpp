// Named mutexes as lock files: a name exists while someone holds it, from
// this process or another, and is free again once the holder closes or dies.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "base/UniqueFd.h"
#include "support/TempDir.h"
#include "system/posix/LockFileMutexes.h"
#include "system/posix/PosixSystemServices.h"

namespace vt {
namespace {

using testing::TempDir;

class NamedMutexTest : public ::testing::Test {
 protected:
  TempDir dir_;
  PosixSystemServices sys_{dir_.path()};

  // Creates name and reports whether it already existed; the handle is
  // closed again unless kept.
  bool Existed(const char* name) {
    bool existed = false;
    const MutexHandle h = sys_.CreateNamedMutex(name, false, &existed);
    EXPECT_TRUE(h);
    sys_.CloseMutex(h);
    return existed;
  }
};

TEST_F(NamedMutexTest, FirstCreatorFindsTheNameFreeLaterOnesSeeItExisting) {
  bool existed = true;
  const MutexHandle first = sys_.CreateNamedMutex("Guard", false, &existed);
  ASSERT_TRUE(first);
  EXPECT_FALSE(existed);

  const MutexHandle second = sys_.CreateNamedMutex("Guard", false, &existed);
  ASSERT_TRUE(second);
  EXPECT_TRUE(existed);
  EXPECT_NE(first, second);

  PosixSystemServices other(dir_.path());
  const MutexHandle third = other.CreateNamedMutex("Guard", true, &existed);
  ASSERT_TRUE(third);
  EXPECT_TRUE(existed);
  other.CloseMutex(third);
  sys_.CloseMutex(second);
  sys_.CloseMutex(first);
}

TEST_F(NamedMutexTest, NameIsFreeAgainOnceItsHolderClosesIt) {
  bool existed = true;
  const MutexHandle h = sys_.CreateNamedMutex("Guard", true, &existed);
  ASSERT_TRUE(h);
  EXPECT_TRUE(Existed("Guard"));
  sys_.CloseMutex(h);
  EXPECT_FALSE(Existed("Guard"));
}

TEST_F(NamedMutexTest, ClosingAHandleThatFoundTheNameExistingKeepsItHeld) {
  bool existed = false;
  const MutexHandle holder = sys_.CreateNamedMutex("Guard", false, &existed);
  const MutexHandle looker = sys_.CreateNamedMutex("Guard", false, &existed);
  ASSERT_TRUE(looker);
  sys_.CloseMutex(looker);
  EXPECT_TRUE(Existed("Guard"));
  sys_.CloseMutex(holder);
}

TEST_F(NamedMutexTest, DistinctNamesAreDistinctMutexes) {
  const char* names[] = {"a/b", "a%2Fb", "a_b", "a\\b", ".",
                         "..",  "A/B",   "a b", "%2E"};
  std::vector<MutexHandle> held;
  for (const char* name : names) {
    bool existed = true;
    held.push_back(sys_.CreateNamedMutex(name, true, &existed));
    EXPECT_TRUE(held.back()) << name;
    EXPECT_FALSE(existed) << name;
  }
  for (const char* name : names) EXPECT_TRUE(Existed(name)) << name;
  for (MutexHandle h : held) sys_.CloseMutex(h);
  // Every lock file stayed inside the folder.
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    EXPECT_TRUE(entry.is_regular_file()) << entry.path();
    ++files;
  }
  EXPECT_EQ(files, std::size(names));
}

TEST(LockFileNames, AreSafeFileNamesThatKeepNamesApart) {
  std::set<std::string> seen;
  for (const char* name : {"a/b", "a%2Fb", "a_b", ".", "..", "x\x01y"}) {
    const std::string file = LockFileMutexes::FileNameFor(name);
    EXPECT_EQ(file.find('/'), std::string::npos) << file;
    EXPECT_NE(file[0], '.') << file;
    EXPECT_TRUE(seen.insert(file).second) << file;
  }
  EXPECT_EQ(LockFileMutexes::FileNameFor("VeltraneSaveConfig"),
            "VeltraneSaveConfig.lock");
}

TEST_F(NamedMutexTest, EmptyOrOverlongNamesGiveNoHandle) {
  bool existed = true;
  EXPECT_FALSE(sys_.CreateNamedMutex("", true, &existed));
  EXPECT_FALSE(existed);
  EXPECT_FALSE(sys_.CreateNamedMutex(nullptr, true, &existed));
  EXPECT_FALSE(
      sys_.CreateNamedMutex(std::string(300, 'x').c_str(), true, &existed));
}

TEST(NamedMutexFolder, IsCreatedWhenMissing) {
  TempDir dir;
  PosixSystemServices sys(dir.File("deeper/locks"));
  bool existed = true;
  const MutexHandle h = sys.CreateNamedMutex("Guard", true, &existed);
  EXPECT_TRUE(h);
  EXPECT_FALSE(existed);
  EXPECT_TRUE(std::filesystem::is_directory(dir.File("deeper/locks")));
  sys.CloseMutex(h);
}

TEST(NamedMutexFolder, ThatCannotBeUsedGivesNoHandle) {
  TempDir dir;
  const std::string notAFolder = dir.Write("plain", "x");
  PosixSystemServices sys(notAFolder);
  bool existed = true;
  EXPECT_FALSE(sys.CreateNamedMutex("Guard", true, &existed));
  EXPECT_FALSE(existed);
}

TEST(NamedMutexFolder, DefaultIsAPrivateFolderOfTheUserThatWorks) {
  PosixSystemServices sys;
  const std::string name = "vt-test-" + std::to_string(::getpid());
  bool existed = true;
  const MutexHandle h = sys.CreateNamedMutex(name.c_str(), true, &existed);
  ASSERT_TRUE(h);
  EXPECT_FALSE(existed);
  const std::string folder = sys.lockDirectory();
  const std::string file = folder + "/" + LockFileMutexes::FileNameFor(name);
  struct stat st;
  ASSERT_EQ(::lstat(folder.c_str(), &st), 0) << folder;
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_uid, ::geteuid());
  EXPECT_EQ(st.st_mode & 022, 0u) << folder;
  ASSERT_EQ(::lstat(file.c_str(), &st), 0) << file;
  EXPECT_EQ(st.st_mode & 0777, 0600u) << file;
  sys.CloseMutex(h);
  std::filesystem::remove(file);
}

TEST_F(NamedMutexTest, WaitTimesOutWhileHeldElsewhereAndAcquiresAfterRelease) {
  bool existed = false;
  const MutexHandle owner = sys_.CreateNamedMutex("Save", true, &existed);
  ASSERT_FALSE(existed);
  const MutexHandle waiter = sys_.CreateNamedMutex("Save", true, &existed);
  ASSERT_TRUE(existed);

  EXPECT_EQ(sys_.WaitForMutex(waiter, 200), MutexWait::kTimeout);
  EXPECT_EQ(sys_.WaitForMutex(waiter, 0), MutexWait::kTimeout);
  sys_.ReleaseMutex(owner);
  EXPECT_EQ(sys_.WaitForMutex(waiter, 200), MutexWait::kAcquired);
  // Now the first handle is the one that must wait.
  EXPECT_EQ(sys_.WaitForMutex(owner, 0), MutexWait::kTimeout);
  sys_.CloseMutex(waiter);
  EXPECT_EQ(sys_.WaitForMutex(owner, 200), MutexWait::kAcquired);
  sys_.CloseMutex(owner);
}

TEST_F(NamedMutexTest, WaitAcquiresWhenTheHolderReleasesMeanwhile) {
  bool existed = false;
  const MutexHandle owner = sys_.CreateNamedMutex("Save", true, &existed);
  const MutexHandle waiter = sys_.CreateNamedMutex("Save", true, &existed);
  ASSERT_TRUE(existed);
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    sys_.ReleaseMutex(owner);
  });
  EXPECT_EQ(sys_.WaitForMutex(waiter, 15000), MutexWait::kAcquired);
  releaser.join();
  sys_.CloseMutex(waiter);
  sys_.CloseMutex(owner);
}

TEST_F(NamedMutexTest, CreatorThatFoundTheNameFreeAcquiresAtOnce) {
  bool existed = true;
  const MutexHandle h = sys_.CreateNamedMutex("Save", false, &existed);
  ASSERT_FALSE(existed);
  EXPECT_EQ(sys_.WaitForMutex(h, 0), MutexWait::kAcquired);
  sys_.ReleaseMutex(h);
  sys_.CloseMutex(h);
}

TEST_F(NamedMutexTest, OwnershipCountsLikeARecursiveMutex) {
  bool existed = true;
  const MutexHandle h = sys_.CreateNamedMutex("Save", true, &existed);
  ASSERT_FALSE(existed);
  EXPECT_EQ(sys_.WaitForMutex(h, 0), MutexWait::kAcquired);
  sys_.ReleaseMutex(h);
  EXPECT_TRUE(Existed("Save"));
  sys_.ReleaseMutex(h);
  EXPECT_FALSE(Existed("Save"));
  sys_.CloseMutex(h);
}

TEST_F(NamedMutexTest, ReleasingWithoutOwningChangesNothing) {
  bool existed = true;
  const MutexHandle guard = sys_.CreateNamedMutex("Guard", false, &existed);
  ASSERT_FALSE(existed);
  sys_.ReleaseMutex(guard);
  EXPECT_TRUE(Existed("Guard"));

  const MutexHandle looker = sys_.CreateNamedMutex("Guard", true, &existed);
  ASSERT_TRUE(existed);
  sys_.ReleaseMutex(looker);
  EXPECT_TRUE(Existed("Guard"));
  sys_.CloseMutex(looker);
  sys_.CloseMutex(guard);
}

TEST_F(NamedMutexTest, UnknownAndClosedHandlesAreHarmless) {
  EXPECT_EQ(sys_.WaitForMutex(MutexHandle{}, 0), MutexWait::kFailed);
  EXPECT_EQ(sys_.WaitForMutex(MutexHandle{4711}, 0), MutexWait::kFailed);
  sys_.ReleaseMutex(MutexHandle{4711});
  sys_.CloseMutex(MutexHandle{4711});

  bool existed = true;
  const MutexHandle first = sys_.CreateNamedMutex("Guard", true, &existed);
  sys_.CloseMutex(first);
  EXPECT_EQ(sys_.WaitForMutex(first, 0), MutexWait::kFailed);
  sys_.ReleaseMutex(first);
  sys_.CloseMutex(first);
  const MutexHandle second = sys_.CreateNamedMutex("Guard", true, &existed);
  EXPECT_NE(first, second);  // handles are never reused
  sys_.CloseMutex(second);
}

TEST_F(NamedMutexTest, AlreadyExistedMayBeLeftOut) {
  const MutexHandle h = sys_.CreateNamedMutex("Guard", true, nullptr);
  EXPECT_TRUE(h);
  sys_.CloseMutex(h);
}

// What a cleaner of the lock folder does, and what a second process that
// then finds the name free does: the holder must be able to tell.
TEST_F(NamedMutexTest, AHolderTellsARemovedOrReplacedLockFileFromItsOwn) {
  bool existed = true;
  const MutexHandle h = sys_.CreateNamedMutex("Guard", false, &existed);
  ASSERT_TRUE(h);
  const std::string file = dir_.File("Guard.lock");
  EXPECT_EQ(sys_.CheckNamedMutex(h), MutexPlace::kInPlace);

  std::filesystem::remove(file);
  EXPECT_EQ(sys_.CheckNamedMutex(h), MutexPlace::kGone);
  // The name is free to everyone else now; the file they make stays behind.
  EXPECT_FALSE(Existed("Guard"));
  EXPECT_EQ(sys_.CheckNamedMutex(h), MutexPlace::kReplaced);

  sys_.CloseMutex(h);
  EXPECT_EQ(sys_.CheckNamedMutex(h), MutexPlace::kGone);
}

TEST_F(NamedMutexTest, AHolderRetakesItsNameUnlessAnotherHoldsItNow) {
  bool existed = true;
  const MutexHandle h = sys_.CreateNamedMutex("Guard", false, &existed);
  ASSERT_TRUE(h);
  const std::string file = dir_.File("Guard.lock");

  // The whole folder goes, as a cleaner of /tmp removes it.
  std::filesystem::remove_all(dir_.path());
  EXPECT_EQ(sys_.RetakeNamedMutex(h), MutexPlace::kInPlace);
  EXPECT_EQ(sys_.CheckNamedMutex(h), MutexPlace::kInPlace);
  EXPECT_TRUE(Existed("Guard"));

  // A file nobody holds in its place is taken over.
  const std::string aside = dir_.File("aside");
  ASSERT_TRUE(UniqueFd(::open(aside.c_str(), O_RDWR | O_CREAT, 0600)));
  ASSERT_EQ(::rename(aside.c_str(), file.c_str()), 0);
  EXPECT_EQ(sys_.RetakeNamedMutex(h), MutexPlace::kInPlace);
  EXPECT_TRUE(Existed("Guard"));

  // One another process holds stays theirs.
  UniqueFd theirs(::open(aside.c_str(), O_RDWR | O_CREAT, 0600));
  ASSERT_EQ(::flock(theirs.get(), LOCK_EX | LOCK_NB), 0);
  ASSERT_EQ(::rename(aside.c_str(), file.c_str()), 0);
  EXPECT_EQ(sys_.RetakeNamedMutex(h), MutexPlace::kReplaced);
  EXPECT_EQ(sys_.CheckNamedMutex(h), MutexPlace::kReplaced);
  struct stat named;
  struct stat held;
  ASSERT_EQ(::stat(file.c_str(), &named), 0);
  ASSERT_EQ(::fstat(theirs.get(), &held), 0);
  EXPECT_EQ(named.st_ino, held.st_ino);
  sys_.CloseMutex(h);
}

TEST_F(NamedMutexTest, OnlyAHolderRetakesAName) {
  bool existed = true;
  const MutexHandle holder = sys_.CreateNamedMutex("Guard", false, &existed);
  const MutexHandle looker = sys_.CreateNamedMutex("Guard", false, &existed);
  ASSERT_TRUE(existed);
  std::filesystem::remove(dir_.File("Guard.lock"));
  EXPECT_EQ(sys_.RetakeNamedMutex(looker), MutexPlace::kGone);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("Guard.lock")));
  EXPECT_EQ(sys_.RetakeNamedMutex(MutexHandle{4711}), MutexPlace::kGone);
  EXPECT_EQ(sys_.RetakeNamedMutex(holder), MutexPlace::kInPlace);
  EXPECT_EQ(sys_.CheckNamedMutex(looker), MutexPlace::kReplaced);
  sys_.CloseMutex(looker);
  sys_.CloseMutex(holder);
}

// A child process creates the name and blocks; SIGKILL must free it.
TEST_F(NamedMutexTest, NameHeldByAnotherProcessIsFreedWhenThatProcessDies) {
  int ready[2];
  int hold[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(hold), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    PosixSystemServices childSys(dir_.path());
    bool existed = true;
    const MutexHandle h = childSys.CreateNamedMutex("Guard", false, &existed);
    char c = (h && !existed) ? 'y' : 'n';
    if (::write(ready[1], &c, 1) != 1) ::_exit(1);
    while (::read(hold[0], &c, 1) < 0) {
    }
    ::_exit(0);
  }
  ::close(ready[1]);
  ::close(hold[0]);
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  EXPECT_EQ(c, 'y');
  // Asked without taking it, from the kernel's lock table.
  EXPECT_EQ(sys_.IsNamedMutexHeld("Guard"), std::optional<bool>(true));
  EXPECT_EQ(sys_.IsNamedMutexHeld("Other"), std::optional<bool>(false));

  bool existed = false;
  const MutexHandle h = sys_.CreateNamedMutex("Guard", true, &existed);
  ASSERT_TRUE(h);
  EXPECT_TRUE(existed);
  EXPECT_EQ(sys_.WaitForMutex(h, 200), MutexWait::kTimeout);

  ::kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status));
  ::close(ready[0]);
  ::close(hold[1]);

  EXPECT_EQ(sys_.WaitForMutex(h, 5000), MutexWait::kAcquired);
  sys_.CloseMutex(h);
  EXPECT_EQ(sys_.IsNamedMutexHeld("Guard"), std::optional<bool>(false));
  EXPECT_FALSE(Existed("Guard"));
}

}  // namespace
}  // namespace vt
