// The remaining Linux answers to the router's system calls: its own path,
// file existence, the missing registry, console output, time and the
// pseudo-random sequence.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <string>

#include "support/TempDir.h"
#include "system/posix/PosixSystemServices.h"

namespace vt {
namespace {

using testing::TempDir;

TEST(ExecutablePath, IsTheTestBinary) {
  PosixSystemServices sys("/nonexistent");
  char path[4096];
  const uint32_t n = sys.GetExecutablePath(path);
  ASSERT_GT(n, 0u);
  const std::string text(path);
  EXPECT_EQ(text.size(), n);
  EXPECT_EQ(text.front(), '/');
  const std::string tail = "/test_system";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

TEST(ExecutablePath, ThatDoesNotFitGivesNothing) {
  PosixSystemServices sys("/nonexistent");
  char full[4096];
  const uint32_t n = sys.GetExecutablePath(full);
  ASSERT_GT(n, 0u);
  std::vector<char> exact(n + 1);
  EXPECT_EQ(sys.GetExecutablePath(exact), n);
  std::vector<char> small(n, '#');
  EXPECT_EQ(sys.GetExecutablePath(small), 0u);
  EXPECT_EQ(small[0], '\0');
  EXPECT_EQ(sys.GetExecutablePath(std::span<char>()), 0u);
}

TEST(FileExists, AsksOnlyWhetherTheFileIsThere) {
  TempDir dir;
  PosixSystemServices sys(dir.path());
  const std::string file = dir.Write("Veltrane.ini", "x");
  ASSERT_EQ(::chmod(file.c_str(), 0), 0);
  EXPECT_TRUE(sys.FileExists(file.c_str()));
  EXPECT_TRUE(sys.FileExists(dir.path().c_str()));
  EXPECT_FALSE(sys.FileExists(dir.File("missing").c_str()));
  EXPECT_FALSE(sys.FileExists(""));
  EXPECT_FALSE(sys.FileExists(nullptr));
}

TEST(Registry, CannotBeOpenedOnLinux) {
  PosixSystemServices sys("/nonexistent");
  RegistryKey key{99};
  EXPECT_NE(sys.RegistryOpenKey(RegistryHive::kLocalMachine,
                                "Software\\Pellcroft\\VeltraneServer", &key),
            0);
  EXPECT_FALSE(key);
  char out[256] = "previous";
  uint32_t length = 7;
  EXPECT_NE(sys.RegistryQueryValue(key, "AdminNsfServer", out, &length), 0);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(length, 0u);
  sys.RegistryCloseKey(key);
  sys.RegistryCloseKey(RegistryKey{12345});
}

TEST(Console, WritesTheTextAsItIs) {
  PosixSystemServices sys("/nonexistent");
  ::testing::internal::CaptureStdout();
  sys.ConsoleWrite("VTRouter: two  blanks, no newline");
  sys.ConsoleWrite(" and more\n");
  sys.ConsoleWrite(nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "VTRouter: two  blanks, no newline and more\n");
}

TEST(Clock, GivesSecondsSince1970) {
  PosixSystemServices sys("/nonexistent");
  const int64_t before = static_cast<int64_t>(std::time(nullptr));
  const int64_t now = sys.CurrentUnixSeconds();
  const int64_t after = static_cast<int64_t>(std::time(nullptr));
  EXPECT_GE(now, before);
  EXPECT_LE(now, after);
}

TEST(RandomSequence, IsTheCLibrarySequenceAndSecondsApartSeedsDrawApart) {
  PosixSystemServices sys("/nonexistent");
  // Unseeded: the C library's sequence, whose first values are known.
  for (int expected : {41, 18467, 6334, 26500, 19169}) {
    EXPECT_EQ(sys.Random(), expected);
  }
  // Routers started a second apart each draw among three mail boxes: the
  // first draws of a minute's starts must reach all three about evenly.
  int drawn[3] = {0, 0, 0};
  for (uint32_t second = 1765000000; second < 1765000060; ++second) {
    sys.SeedRandom(second);
    ++drawn[static_cast<int>(sys.Random() * (1.0 / 32768.0) * 3)];
  }
  for (const int n : drawn) {
    EXPECT_GT(n, 10);
  }
}

TEST(RandomSequence, RepeatsForTheSameSeedAndStaysInRange) {
  PosixSystemServices a("/nonexistent");
  PosixSystemServices b("/nonexistent");
  a.SeedRandom(1700000000);
  b.SeedRandom(1700000000);
  int lowest = 32767;
  int highest = 0;
  for (int i = 0; i < 100000; ++i) {
    const int r = a.Random();
    ASSERT_EQ(r, b.Random());
    ASSERT_GE(r, 0);
    ASSERT_LE(r, 32767);
    lowest = std::min(lowest, r);
    highest = std::max(highest, r);
  }
  EXPECT_LT(lowest, 100);
  EXPECT_GT(highest, 32667);
  b.SeedRandom(1700000001);
  a.SeedRandom(1700000000);
  EXPECT_NE(a.Random() * 32768 + a.Random(), b.Random() * 32768 + b.Random());
}

}  // namespace
}  // namespace vt
