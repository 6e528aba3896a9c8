// How the task finds its data directory: the --data argument in both forms,
// the current directory, and the one-line problems when neither will do.
#include <gtest/gtest.h>

#include <fstream>

#include "ConsoleTesting.h"
#include "server/console/DataDirectoryArgument.h"

namespace vt::console {
namespace {

using testing::Args;
using testing::TempDir;
namespace fs = std::filesystem;

// A data directory as `vtserver init` leaves it, as far as finding it goes.
fs::path MakeDataDir(const fs::path& path) {
  fs::create_directories(path);
  std::ofstream(path / "server.ini") << "ServerName=CN=Mail1/O=Example\n";
  return path;
}

struct Found {
  Status status;
  fs::path dir;
  std::string problem;
};

Found Find(std::vector<std::string> args, const fs::path& cwd) {
  args.insert(args.begin(), "vtrouter");
  Args argv(std::move(args));
  Found found;
  found.status = FindDataDirectory(argv.argc(), argv.argv(), cwd.string(),
                                   &found.dir, &found.problem);
  return found;
}

TEST(DataDirectoryArgument, DataOptionWithSeparateValue) {
  TempDir tmp;
  const fs::path data = MakeDataDir(tmp.path() / "data");
  const Found found = Find({"--data", data.string()}, tmp.path());
  ASSERT_TRUE(found.status.ok()) << found.problem;
  EXPECT_EQ(found.dir, data);
  EXPECT_EQ(found.problem, "");
}

TEST(DataDirectoryArgument, DataOptionWithEquals) {
  TempDir tmp;
  const fs::path data = MakeDataDir(tmp.path() / "data");
  const Found found = Find({"--data=" + data.string()}, tmp.path());
  ASSERT_TRUE(found.status.ok()) << found.problem;
  EXPECT_EQ(found.dir, data);
}

TEST(DataDirectoryArgument, RelativeDataOptionIsTakenFromTheCurrentFolder) {
  TempDir tmp;
  const fs::path data = MakeDataDir(tmp.path() / "servers" / "one");
  const Found found = Find({"--data", "servers/one/"}, tmp.path());
  ASSERT_TRUE(found.status.ok()) << found.problem;
  EXPECT_EQ(found.dir, data);
}

TEST(DataDirectoryArgument, DataOptionWinsOverTheCurrentFolder) {
  TempDir tmp;
  const fs::path here = MakeDataDir(tmp.path() / "here");
  const fs::path there = MakeDataDir(tmp.path() / "there");
  const Found found = Find({"-x", "--data", there.string(), "other"}, here);
  ASSERT_TRUE(found.status.ok()) << found.problem;
  EXPECT_EQ(found.dir, there);
}

TEST(DataDirectoryArgument, LastDataOptionWins) {
  TempDir tmp;
  const fs::path one = MakeDataDir(tmp.path() / "one");
  const fs::path two = MakeDataDir(tmp.path() / "two");
  const Found found =
      Find({"--data", one.string(), "--data=" + two.string()}, tmp.path());
  ASSERT_TRUE(found.status.ok()) << found.problem;
  EXPECT_EQ(found.dir, two);
}

TEST(DataDirectoryArgument, CurrentFolderWithServerIni) {
  TempDir tmp;
  const fs::path here = MakeDataDir(tmp.path() / "here");
  const Found found = Find({"--database=elsewhere", "--data-x"}, here);
  ASSERT_TRUE(found.status.ok()) << found.problem;
  EXPECT_EQ(found.dir, here);
}

TEST(DataDirectoryArgument, NeitherOptionNorServerIniIsAClearProblem) {
  TempDir tmp;
  const Found found = Find({}, tmp.path());
  EXPECT_TRUE(found.status.Is(err::kNoDataDirectory));
  EXPECT_TRUE(found.dir.empty());
  EXPECT_NE(found.problem.find("no server.ini in " + tmp.path().string()),
            std::string::npos)
      << found.problem;
  EXPECT_NE(found.problem.find("--data"), std::string::npos);
  EXPECT_NE(found.problem.find("vtserver init"), std::string::npos);
  EXPECT_EQ(found.problem.find('\n'), std::string::npos);
}

TEST(DataDirectoryArgument, DataFolderWithoutServerIniIsNamed) {
  TempDir tmp;
  MakeDataDir(tmp.path());  // the current folder would do, but is not asked
  const fs::path bare = tmp.path() / "bare";
  fs::create_directories(bare);
  const Found found = Find({"--data", bare.string()}, tmp.path());
  EXPECT_TRUE(found.status.Is(err::kNoDataDirectory));
  EXPECT_NE(found.problem.find("no server.ini in " + bare.string()),
            std::string::npos)
      << found.problem;
}

TEST(DataDirectoryArgument, MissingDataFolderIsNamed) {
  TempDir tmp;
  const fs::path absent = tmp.path() / "absent";
  const Found found = Find({"--data=" + absent.string()}, tmp.path());
  EXPECT_TRUE(found.status.Is(err::kNoDataDirectory));
  EXPECT_NE(found.problem.find(absent.string()), std::string::npos)
      << found.problem;
}

TEST(DataDirectoryArgument, DataOptionWithoutValue) {
  TempDir tmp;
  MakeDataDir(tmp.path());
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--data"},
        std::vector<std::string>{"--data="}}) {
    const Found found = Find(args, tmp.path());
    EXPECT_TRUE(found.status.Is(err::kNoDataDirectory));
    EXPECT_NE(found.problem.find("--data"), std::string::npos);
  }
}

TEST(DataDirectoryArgument, ServerIniThatIsAFolderDoesNotCount) {
  TempDir tmp;
  fs::create_directories(tmp.path() / "server.ini");
  EXPECT_TRUE(Find({}, tmp.path()).status.Is(err::kNoDataDirectory));
}

}  // namespace
}  // namespace vt::console
