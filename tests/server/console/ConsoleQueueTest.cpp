// The console queue as `vtserver tell` and a listening task see it: what
// arrives, in which order, what is refused, and what a damaged queue folder
// does to the listener (nothing).
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <string>

#include "ConsoleTesting.h"
#include "server/console/ConsoleQueue.h"

namespace vt::console {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

constexpr char kQueue[] = "MQ$VTROUTER";

std::unique_ptr<ConsoleQueue> Listen(const fs::path& dir,
                                     std::string_view name = kQueue) {
  std::unique_ptr<ConsoleQueue> queue;
  EXPECT_TRUE(ConsoleQueue::Open(dir, name, /*create=*/true, &queue).ok());
  return queue;
}

// Reads one message into a string; the status says whether there was one.
Status ReadOne(ConsoleQueue& queue, std::string* message) {
  std::array<char, 512> buffer{};
  uint16_t length = 0;
  const Status status = queue.Read(buffer, 500, &length);
  message->assign(buffer.data(), length);
  return status;
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

TEST(ConsoleQueueDelivery, KeepsPostingOrderAcrossManyPosts) {
  TempDir dir;
  auto queue = Listen(dir.path());
  ASSERT_TRUE(queue);
  constexpr int kCount = 120;
  for (int i = 0; i < kCount; ++i) {
    ASSERT_TRUE(
        ConsoleQueue::Post(dir.path(), kQueue, "cmd " + std::to_string(i))
            .ok());
  }
  for (int i = 0; i < kCount; ++i) {
    std::string message;
    ASSERT_TRUE(ReadOne(*queue, &message).ok()) << i;
    EXPECT_EQ(message, "cmd " + std::to_string(i));
  }
  std::string message;
  EXPECT_TRUE(ReadOne(*queue, &message).Is(err::kQueueEmpty));
}

TEST(ConsoleQueueDelivery, InterleavedPostsAndReadsStayInOrder) {
  TempDir dir;
  auto queue = Listen(dir.path());
  ASSERT_TRUE(queue);
  ASSERT_TRUE(ConsoleQueue::Post(dir.path(), kQueue, "a").ok());
  ASSERT_TRUE(ConsoleQueue::Post(dir.path(), kQueue, "b").ok());
  std::string message;
  ASSERT_TRUE(ReadOne(*queue, &message).ok());
  EXPECT_EQ(message, "a");
  ASSERT_TRUE(ConsoleQueue::Post(dir.path(), kQueue, "c").ok());
  ASSERT_TRUE(ReadOne(*queue, &message).ok());
  EXPECT_EQ(message, "b");
  ASSERT_TRUE(ReadOne(*queue, &message).ok());
  EXPECT_EQ(message, "c");
  EXPECT_TRUE(ReadOne(*queue, &message).Is(err::kQueueEmpty));
}

TEST(ConsoleQueueDelivery, EmptyQueueReportsEmptyAndZeroLength) {
  TempDir dir;
  auto queue = Listen(dir.path());
  ASSERT_TRUE(queue);
  std::array<char, 8> buffer{};
  uint16_t length = 77;
  EXPECT_TRUE(queue->Read(buffer, 8, &length).Is(err::kQueueEmpty));
  EXPECT_EQ(length, 0);
}

TEST(ConsoleQueueDelivery, KeepsEveryByteIncludingNulAndPercent) {
  TempDir dir;
  auto queue = Listen(dir.path());
  ASSERT_TRUE(queue);
  std::string bytes("a\0b%s%n%%\n\r\t\xff\x80 z", 17);
  ASSERT_TRUE(ConsoleQueue::Post(dir.path(), kQueue, bytes).ok());
  std::string message;
  ASSERT_TRUE(ReadOne(*queue, &message).ok());
  EXPECT_EQ(message, bytes);
}

TEST(ConsoleQueueDelivery, EmptyMessageArrivesWithLengthZero) {
  TempDir dir;
  auto queue = Listen(dir.path());
  ASSERT_TRUE(queue);
  ASSERT_TRUE(ConsoleQueue::Post(dir.path(), kQueue, "").ok());
  std::array<char, 8> buffer{};
  uint16_t length = 99;
  EXPECT_TRUE(queue->Read(buffer, 8, &length).ok());
  EXPECT_EQ(length, 0);
  EXPECT_TRUE(queue->Read(buffer, 8, &length).Is(err::kQueueEmpty));
}

TEST(ConsoleQueueLimits, FiveHundredBytesAcceptedFiveHundredOneRefused) {
  TempDir dir;
  auto queue = Listen(dir.path());
  ASSERT_TRUE(queue);
  const std::string longest(500, 'x');
  EXPECT_TRUE(ConsoleQueue::Post(dir.path(), kQueue, longest).ok());
  EXPECT_TRUE(ConsoleQueue::Post(dir.path(), kQueue, std::string(501, 'y'))
                  .Is(err::kQueueMessageTooLarge));
  std::string message;
  ASSERT_TRUE(ReadOne(*queue, &message).ok());
  EXPECT_EQ(message, longest);
  // The refused one left nothing behind.
  EXPECT_TRUE(ReadOne(*queue, &message).Is(err::kQueueEmpty));
}

TEST(ConsoleQueueLimits, LongerMessageIsCutToMaxLengthWithoutOverflow) {
  TempDir dir;
  auto queue = Listen(dir.path());
  ASSERT_TRUE(queue);
  ASSERT_TRUE(
      ConsoleQueue::Post(dir.path(), kQueue, std::string(100, 'm')).ok());
  ASSERT_TRUE(ConsoleQueue::Post(dir.path(), kQueue, "next").ok());

  std::array<char, 16> buffer;
  buffer.fill('#');
  uint16_t length = 0;
  ASSERT_TRUE(queue->Read(buffer, 10, &length).ok());
  EXPECT_EQ(length, 10);
  EXPECT_EQ(std::string(buffer.data(), 10), std::string(10, 'm'));
  EXPECT_EQ(buffer[10], '#') << "wrote past maxLength";

  // The cut message is gone; the next one follows.
  std::string message;
  ASSERT_TRUE(ReadOne(*queue, &message).ok());
  EXPECT_EQ(message, "next");
}

TEST(ConsoleQueueLimits, BufferSmallerThanMaxLengthIsNeverOverrun) {
  TempDir dir;
  auto queue = Listen(dir.path());
  ASSERT_TRUE(queue);
  ASSERT_TRUE(
      ConsoleQueue::Post(dir.path(), kQueue, std::string(50, 'q')).ok());
  std::array<char, 12> storage;
  storage.fill('#');
  uint16_t length = 0;
  // Only the first 8 bytes are offered, though maxLength allows 500.
  ASSERT_TRUE(
      queue->Read(std::span<char>(storage.data(), 8), 500, &length).ok());
  EXPECT_EQ(length, 8);
  EXPECT_EQ(storage[8], '#');
}

TEST(ConsoleQueueListeners, PostWithoutListenerIsNotFound) {
  TempDir dir;
  EXPECT_TRUE(
      ConsoleQueue::Post(dir.path(), kQueue, "quit").Is(err::kQueueNotFound));
}

TEST(ConsoleQueueListeners, PostAfterListenerClosedIsNotFoundAgain) {
  TempDir dir;
  {
    auto queue = Listen(dir.path());
    ASSERT_TRUE(queue);
    EXPECT_TRUE(ConsoleQueue::Post(dir.path(), kQueue, "hello").ok());
  }
  EXPECT_TRUE(
      ConsoleQueue::Post(dir.path(), kQueue, "hello").Is(err::kQueueNotFound));
}

TEST(ConsoleQueueListeners, OpenWithoutCreateNeedsAnExistingQueue) {
  TempDir dir;
  std::unique_ptr<ConsoleQueue> queue;
  EXPECT_TRUE(ConsoleQueue::Open(dir.path(), kQueue, false, &queue)
                  .Is(err::kQueueNotFound));
  EXPECT_FALSE(queue);
  Listen(dir.path()).reset();
  EXPECT_TRUE(ConsoleQueue::Open(dir.path(), kQueue, false, &queue).ok());
  EXPECT_TRUE(queue);
}

TEST(ConsoleQueueListeners, MissingDataDirectoryIsReported) {
  TempDir dir;
  std::unique_ptr<ConsoleQueue> queue;
  EXPECT_TRUE(ConsoleQueue::Open(dir.path() / "absent", kQueue, true, &queue)
                  .Is(err::kNoDataDirectory));
  EXPECT_FALSE(queue);
}

TEST(ConsoleQueueListeners, EmptyNameIsRefused) {
  TempDir dir;
  std::unique_ptr<ConsoleQueue> queue;
  EXPECT_TRUE(ConsoleQueue::Open(dir.path(), "", true, &queue)
                  .Is(err::kInvalidArgument));
}

TEST(ConsoleQueueListeners, CommandsLeftForAListenerThatWentAreDropped) {
  TempDir dir;
  {
    auto first = Listen(dir.path());
    ASSERT_TRUE(ConsoleQueue::Post(dir.path(), kQueue, "quit").ok());
  }
  auto second = Listen(dir.path());
  ASSERT_TRUE(second);
  std::string message;
  EXPECT_TRUE(ReadOne(*second, &message).Is(err::kQueueEmpty));
}

TEST(ConsoleQueueListeners, SecondListenerKeepsQueueAliveAndItsCommands) {
  TempDir dir;
  auto first = Listen(dir.path());
  ASSERT_TRUE(ConsoleQueue::Post(dir.path(), kQueue, "one").ok());
  auto second = Listen(dir.path());
  ASSERT_TRUE(second);
  first.reset();
  EXPECT_TRUE(ConsoleQueue::Post(dir.path(), kQueue, "two").ok());
  std::string message;
  ASSERT_TRUE(ReadOne(*second, &message).ok());
  EXPECT_EQ(message, "one");
  ASSERT_TRUE(ReadOne(*second, &message).ok());
  EXPECT_EQ(message, "two");
}

TEST(ConsoleQueueListeners, CommandFromAnotherProcessArrives) {
  TempDir dir;
  auto queue = Listen(dir.path());
  ASSERT_TRUE(queue);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const Status posted = ConsoleQueue::Post(dir.path(), kQueue, "from child");
    ::_exit(posted.ok() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::string message;
  ASSERT_TRUE(ReadOne(*queue, &message).ok());
  EXPECT_EQ(message, "from child");
}

TEST(ConsoleQueueNames, DifferentNamesAreIndependentQueues) {
  TempDir dir;
  auto router = Listen(dir.path(), "MQ$VTROUTER");
  auto other = Listen(dir.path(), "MQ$OTHER");
  ASSERT_TRUE(router && other);
  ASSERT_TRUE(ConsoleQueue::Post(dir.path(), "MQ$VTROUTER", "to router").ok());
  ASSERT_TRUE(ConsoleQueue::Post(dir.path(), "MQ$OTHER", "to other").ok());
  std::string message;
  ASSERT_TRUE(ReadOne(*router, &message).ok());
  EXPECT_EQ(message, "to router");
  EXPECT_TRUE(ReadOne(*router, &message).Is(err::kQueueEmpty));
  ASSERT_TRUE(ReadOne(*other, &message).ok());
  EXPECT_EQ(message, "to other");

  router.reset();
  EXPECT_TRUE(ConsoleQueue::Post(dir.path(), "MQ$VTROUTER", "x")
                  .Is(err::kQueueNotFound));
  EXPECT_TRUE(ConsoleQueue::Post(dir.path(), "MQ$OTHER", "y").ok());
}

TEST(ConsoleQueueNames, NamesThatLookAlikeOnDiskStayDistinct) {
  TempDir dir;
  const std::array<std::string, 5> names = {"a/b", "a%2Fb", "a_b", "..", "a.b"};
  for (const std::string& name : names) {
    const fs::path folder = ConsoleQueue::FolderFor(dir.path(), name);
    EXPECT_EQ(folder.parent_path(), dir.path() / ".vtserver" / "queues")
        << name;
    for (const std::string& other : names) {
      if (other != name) {
        EXPECT_NE(folder, ConsoleQueue::FolderFor(dir.path(), other));
      }
    }
  }
  auto slash = Listen(dir.path(), "a/b");
  ASSERT_TRUE(slash);
  EXPECT_TRUE(
      ConsoleQueue::Post(dir.path(), "a%2Fb", "x").Is(err::kQueueNotFound));
}

TEST(ConsoleQueueFiles, FolderIsTheOwnersOnly) {
  TempDir dir;
  auto queue = Listen(dir.path());
  ASSERT_TRUE(queue);
  for (const fs::path& folder : {dir.path() / ".vtserver",
                                 ConsoleQueue::FolderFor(dir.path(), kQueue)}) {
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << folder;
  }
}

TEST(ConsoleQueueFiles, DamagedAndForeignFilesAreSkipped) {
  TempDir dir;
  auto queue = Listen(dir.path());
  ASSERT_TRUE(queue);
  const fs::path folder = ConsoleQueue::FolderFor(dir.path(), kQueue);
  // Older than anything posted, and each unusable in its own way.
  const fs::path oversized = folder / "00000000000000000000.msg";
  WriteFile(oversized, std::string(600, 'o'));
  const fs::path notAFile = folder / "00000000000000000001.msg";
  fs::create_directory(notAFile);
  WriteFile(folder / "00000000000000000002.msg.tmp-1-2-0", "half written");
  WriteFile(folder / "junk", "not a command");
  WriteFile(folder / "123.msg", "wrong width");
  fs::create_symlink("/etc/passwd", folder / "00000000000000000003.msg");

  ASSERT_TRUE(ConsoleQueue::Post(dir.path(), kQueue, "real").ok());
  std::string message;
  ASSERT_TRUE(ReadOne(*queue, &message).ok());
  EXPECT_EQ(message, "real");
  EXPECT_TRUE(ReadOne(*queue, &message).Is(err::kQueueEmpty));
  EXPECT_FALSE(fs::exists(oversized));
  EXPECT_FALSE(fs::exists(notAFile));
  EXPECT_TRUE(fs::exists("/etc/passwd"));
}

TEST(ConsoleQueueFiles, DamagedSequenceFileKeepsOrder) {
  TempDir dir;
  auto queue = Listen(dir.path());
  ASSERT_TRUE(queue);
  ASSERT_TRUE(ConsoleQueue::Post(dir.path(), kQueue, "first").ok());
  WriteFile(ConsoleQueue::FolderFor(dir.path(), kQueue) / "sequence", "zz");
  ASSERT_TRUE(ConsoleQueue::Post(dir.path(), kQueue, "second").ok());
  std::string message;
  ASSERT_TRUE(ReadOne(*queue, &message).ok());
  EXPECT_EQ(message, "first");
  ASSERT_TRUE(ReadOne(*queue, &message).ok());
  EXPECT_EQ(message, "second");
}

bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

TEST(ConsoleQueueWaking, NotifyFdTurnsReadableOnPostAndReadClearsIt) {
  TempDir dir;
  auto queue = Listen(dir.path());
  ASSERT_TRUE(queue);
  const int fd = queue->NotifyFd();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(queue->NotifyFd(), fd);
  EXPECT_FALSE(Readable(fd));
  ASSERT_TRUE(ConsoleQueue::Post(dir.path(), kQueue, "wake").ok());
  EXPECT_TRUE(Readable(fd));
  std::string message;
  ASSERT_TRUE(ReadOne(*queue, &message).ok());
  EXPECT_FALSE(Readable(fd));
}

TEST(ConsoleQueueQuit, QuitAndExitInAnyCaseWithBlanks) {
  for (const char* text : {"quit", "QUIT", "Quit", " quit ", "\tqUiT\r\n",
                           "exit", "EXIT", "  Exit  "}) {
    EXPECT_TRUE(IsQuitCommand(text)) << '"' << text << '"';
  }
}

TEST(ConsoleQueueQuit, OtherCommandsAreTheTasks) {
  for (const char* text : {"", " ", "qui", "quits", "quit now", "q uit",
                           "tell quit", "exit!", "restart"}) {
    EXPECT_FALSE(IsQuitCommand(text)) << '"' << text << '"';
  }
  EXPECT_FALSE(IsQuitCommand(std::string_view("quit\0", 5)));
}

}  // namespace
}  // namespace vt::console
