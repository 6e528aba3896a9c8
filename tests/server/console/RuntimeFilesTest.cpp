// The file plumbing under the console components: names turned into file
// names, whole-file replacement, and bounded reading.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <set>

#include "ConsoleTesting.h"
#include "server/console/RuntimeFiles.h"

namespace vt::console {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

TEST(RuntimeFileNames, PlainNamesStayReadable) {
  EXPECT_EQ(EscapeFileName("MQ$VTROUTER"), "MQ$VTROUTER");
  EXPECT_EQ(EscapeFileName("vt_router-2"), "vt_router-2");
}

TEST(RuntimeFileNames, EveryOtherByteIsEscapedSoNamesStayDistinct) {
  const std::set<std::string> names = {
      "a/b",  "a%2Fb", "a%b", "a.b", "..", ".", "a b", std::string("a\0b", 3),
      "a\\b", "A/B"};
  std::set<std::string> files;
  for (const std::string& name : names) {
    const std::string file = EscapeFileName(name);
    ASSERT_FALSE(file.empty()) << name;
    EXPECT_EQ(file.find('/'), std::string::npos);
    EXPECT_EQ(file.find('.'), std::string::npos);
    EXPECT_EQ(file.find('\0'), std::string::npos);
    files.insert(file);
  }
  EXPECT_EQ(files.size(), names.size());
}

TEST(RuntimeFileNames, EmptyOrOverlongNamesHaveNoFileName) {
  EXPECT_EQ(EscapeFileName(""), "");
  EXPECT_EQ(EscapeFileName(std::string(201, 'a')), "");
  EXPECT_EQ(EscapeFileName(std::string(200, 'a')), std::string(200, 'a'));
  EXPECT_EQ(EscapeFileName(std::string(67, '/')), "");
}

TEST(RuntimeFileWrites, ReplaceKeepsBytesAndLeavesNoTemporaryFile) {
  TempDir dir;
  const fs::path file = dir.path() / "f";
  const std::string bytes("x\0y", 3);
  ASSERT_TRUE(ReplaceFile(file, "old", true).ok());
  ASSERT_TRUE(ReplaceFile(file, bytes, false).ok());
  EXPECT_EQ(ReadSmallFile(file, 10), bytes);
  EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{"f"});
}

TEST(RuntimeFileWrites, ReplaceInMissingFolderFails) {
  TempDir dir;
  EXPECT_FALSE(ReplaceFile(dir.path() / "no" / "f", "x", true).ok());
}

TEST(RuntimeFileReads, OnlySmallRegularFilesAreRead) {
  TempDir dir;
  std::ofstream(dir.path() / "big") << std::string(11, 'b');
  std::ofstream(dir.path() / "fits") << std::string(10, 'f');
  fs::create_directory(dir.path() / "folder");
  EXPECT_FALSE(ReadSmallFile(dir.path() / "big", 10));
  EXPECT_EQ(ReadSmallFile(dir.path() / "fits", 10), std::string(10, 'f'));
  EXPECT_FALSE(ReadSmallFile(dir.path() / "folder", 10));
  EXPECT_FALSE(ReadSmallFile(dir.path() / "absent", 10));
}

TEST(RuntimeFolders, MadeForTheOwnerOnlyInsideAnExistingDirectory) {
  TempDir dir;
  const fs::path folder = RuntimeFolder(dir.path()) / "queues" / "q";
  ASSERT_TRUE(EnsurePrivateFolder(dir.path(), folder).ok());
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
  ASSERT_TRUE(EnsurePrivateFolder(dir.path(), folder).ok());
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  EXPECT_TRUE(EnsurePrivateFolder(dir.path() / "absent",
                                  dir.path() / "absent" / ".vtserver")
                  .Is(err::kNoDataDirectory));
  EXPECT_FALSE(EnsurePrivateFolder(dir.path() / "a", dir.path() / "b").ok());
}

}  // namespace
}  // namespace vt::console
