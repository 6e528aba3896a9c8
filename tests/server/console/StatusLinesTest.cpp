// Status lines as `vtserver show DIR tasks` sees them: what a task writes,
// what is left when it deletes its line or ends, and how a line left by a
// task that died is told apart from a running task's.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "ConsoleTesting.h"
#include "server/console/StatusLines.h"
#include "server/console/TaskStatus.h"

namespace vt::console {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

TEST(StatusLineLifetime, WrittenLineIsReadBackAsRunning) {
  TempDir dir;
  StatusLines lines(dir.path());
  const StatusLineHandle line = lines.Create("VTRouter");
  ASSERT_TRUE(line);
  ASSERT_TRUE(lines.SetText(line, "Idle").ok());

  const auto all = StatusLines::ReadAll(dir.path());
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].name, "VTRouter");
  EXPECT_EQ(all[0].text, "Idle");
  EXPECT_TRUE(all[0].running);
  EXPECT_EQ(all[0].pid, ::getpid());

  ASSERT_TRUE(lines.SetText(line, "Moving 3 messages").ok());
  EXPECT_EQ(StatusLines::ReadAll(dir.path()).at(0).text, "Moving 3 messages");
}

TEST(StatusLineLifetime, NewLineStartsEmpty) {
  TempDir dir;
  StatusLines lines(dir.path());
  ASSERT_TRUE(lines.Create("Task"));
  const auto all = StatusLines::ReadAll(dir.path());
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].text, "");
}

TEST(StatusLineLifetime, DeletedLineIsGoneAndItsHandleStale) {
  TempDir dir;
  StatusLines lines(dir.path());
  const StatusLineHandle line = lines.Create("VTRouter");
  ASSERT_TRUE(line);
  ASSERT_TRUE(lines.Delete(line).ok());
  EXPECT_TRUE(StatusLines::ReadAll(dir.path()).empty());
  EXPECT_TRUE(lines.SetText(line, "late").Is(err::kInvalidHandle));
  EXPECT_TRUE(lines.Delete(line).Is(err::kInvalidHandle));
  EXPECT_TRUE(
      lines.SetText(StatusLineHandle(12345), "x").Is(err::kInvalidHandle));
  EXPECT_TRUE(lines.SetText(StatusLineHandle(), "x").Is(err::kInvalidHandle));
  // A new line never reuses the old handle.
  EXPECT_NE(lines.Create("VTRouter"), line);
}

TEST(StatusLineLifetime, LinesGoWhenTheirOwnerEnds) {
  TempDir dir;
  {
    StatusLines lines(dir.path());
    ASSERT_TRUE(lines.Create("One"));
    ASSERT_TRUE(lines.Create("Two"));
    EXPECT_EQ(StatusLines::ReadAll(dir.path()).size(), 2u);
  }
  EXPECT_TRUE(StatusLines::ReadAll(dir.path()).empty());
}

TEST(StatusLineLifetime, NoDataDirectoryGivesNoLine) {
  TempDir dir;
  StatusLines lines(dir.path() / "absent");
  EXPECT_FALSE(lines.Create("VTRouter"));
  EXPECT_TRUE(StatusLines::ReadAll(dir.path() / "absent").empty());
}

TEST(StatusLineText, AnyBytesKeptAndLongTextCut) {
  TempDir dir;
  StatusLines lines(dir.path());
  const StatusLineHandle line = lines.Create("VTRouter");
  ASSERT_TRUE(line);
  const std::string odd("50% done\n\0\xff", 12);
  ASSERT_TRUE(lines.SetText(line, odd).ok());
  EXPECT_EQ(StatusLines::ReadAll(dir.path()).at(0).text, odd);

  ASSERT_TRUE(lines.SetText(line, std::string(3000, 'L')).ok());
  EXPECT_EQ(StatusLines::ReadAll(dir.path()).at(0).text,
            std::string(StatusLines::kMaxTextBytes, 'L'));
}

TEST(StatusLineText, LongTaskNameIsCut) {
  TempDir dir;
  StatusLines lines(dir.path());
  ASSERT_TRUE(lines.Create(std::string(200, 'N')));
  EXPECT_EQ(StatusLines::ReadAll(dir.path()).at(0).name,
            std::string(StatusLines::kMaxNameBytes, 'N'));
}

TEST(StatusLineNames, SameNameTwiceGivesTwoLines) {
  TempDir dir;
  StatusLines lines(dir.path());
  const StatusLineHandle a = lines.Create("VTRouter");
  const StatusLineHandle b = lines.Create("VTRouter");
  ASSERT_TRUE(a && b);
  EXPECT_NE(a, b);
  ASSERT_TRUE(lines.SetText(a, "first").ok());
  ASSERT_TRUE(lines.SetText(b, "second").ok());
  const auto all = StatusLines::ReadAll(dir.path());
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].text, "first");
  EXPECT_EQ(all[1].text, "second");
  EXPECT_TRUE(all[0].running && all[1].running);
}

TEST(StatusLineNames, LinesAreSortedByName) {
  TempDir dir;
  StatusLines lines(dir.path());
  ASSERT_TRUE(lines.Create("Zeta"));
  ASSERT_TRUE(lines.Create("Alpha"));
  ASSERT_TRUE(lines.Create("with/slash"));
  const auto all = StatusLines::ReadAll(dir.path());
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].name, "Alpha");
  EXPECT_EQ(all[1].name, "Zeta");
  EXPECT_EQ(all[2].name, "with/slash");
}

TEST(StatusLineFiles, FolderIsTheOwnersOnlyAndJunkIsSkipped) {
  TempDir dir;
  StatusLines lines(dir.path());
  ASSERT_TRUE(lines.Create("VTRouter"));
  const fs::path folder = dir.path() / ".vtserver" / "status";
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  std::ofstream(folder / "torn.line") << "12 5 900\nshort";
  std::ofstream(folder / "garbage.line") << "not a status line";
  std::ofstream(folder / "other.txt") << "1 1 1\nab";
  const auto all = StatusLines::ReadAll(dir.path());
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].name, "VTRouter");
}

// A child process makes a line, reports it is ready through a pipe, and
// waits to be killed, leaving the line behind as a crashed task would.
pid_t StartChildWithLine(const fs::path& dir) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(ready[0]);
    StatusLines lines(dir);
    const StatusLineHandle line = lines.Create("VTRouter");
    const bool ok = line && lines.SetText(line, "Processing").ok();
    const char byte = ok ? '1' : '0';
    if (::write(ready[1], &byte, 1) != 1) ::_exit(2);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char byte = 0;
  const bool readyOk = ::read(ready[0], &byte, 1) == 1 && byte == '1';
  ::close(ready[0]);
  if (!readyOk && child > 0) {
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    return -1;
  }
  return child;
}

TEST(StatusLineOwners, LineOfKilledTaskReadsAsNotRunning) {
  TempDir dir;
  const pid_t child = StartChildWithLine(dir.path());
  ASSERT_GT(child, 0);

  auto all = StatusLines::ReadAll(dir.path());
  ASSERT_EQ(all.size(), 1u);
  EXPECT_TRUE(all[0].running);
  EXPECT_EQ(all[0].pid, child);

  ASSERT_EQ(::kill(child, SIGKILL), 0);
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);

  all = StatusLines::ReadAll(dir.path());
  ASSERT_EQ(all.size(), 1u);
  EXPECT_FALSE(all[0].running);
  EXPECT_EQ(all[0].text, "Processing");
  EXPECT_EQ(all[0].pid, child);
}

TEST(StatusLineOwners, NewTaskTakesOverTheLineOfADeadOne) {
  TempDir dir;
  const pid_t child = StartChildWithLine(dir.path());
  ASSERT_GT(child, 0);
  ASSERT_EQ(::kill(child, SIGKILL), 0);
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);

  const fs::path folder = dir.path() / ".vtserver" / "status";
  std::ofstream(folder / "VTRouter.line.tmp-1-2-0") << "half";

  StatusLines lines(dir.path());
  const StatusLineHandle line = lines.Create("VTRouter");
  ASSERT_TRUE(line);
  ASSERT_TRUE(lines.SetText(line, "Restarted").ok());
  EXPECT_FALSE(fs::exists(folder / "VTRouter.line.tmp-1-2-0"));
  const auto all = StatusLines::ReadAll(dir.path());
  ASSERT_EQ(all.size(), 1u);
  EXPECT_TRUE(all[0].running);
  EXPECT_EQ(all[0].text, "Restarted");
  EXPECT_EQ(all[0].pid, ::getpid());
}

TEST(TaskDefaults, QueryGivesWhatWasSet) {
  TaskStatus task;
  ModuleHandle module(7);
  StatusLineHandle line(9);
  task.Query(&module, &line);
  EXPECT_FALSE(module);
  EXPECT_FALSE(line);

  task.Set(ModuleHandle(3), StatusLineHandle(4));
  task.Query(&module, &line);
  EXPECT_EQ(module, ModuleHandle(3));
  EXPECT_EQ(line, StatusLineHandle(4));
  task.Query(nullptr, nullptr);
}

TEST(TaskDefaults, DeletedLineStopsBeingCurrent) {
  TaskStatus task;
  task.Set(ModuleHandle(3), StatusLineHandle(4));
  task.Forget(StatusLineHandle(5));
  EXPECT_EQ(task.line(), StatusLineHandle(4));
  task.Forget(StatusLineHandle(4));
  EXPECT_FALSE(task.line());
  EXPECT_EQ(task.module(), ModuleHandle(3));
}

}  // namespace
}  // namespace vt::console
