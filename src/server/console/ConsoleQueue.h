// The console message queue between `vtserver tell` and a running task: one
// folder per queue name under <dir>/.vtserver/queues/, one file per command,
// so that commands survive no process but the listener's and need no server
// process in between. The reading task holds a lock on reader.lock while it
// listens, which is how a writer knows whether anyone will hear it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "notes/Status.h"
#include "server/console/RuntimeFiles.h"

namespace vt::console {

class ConsoleQueue {
 public:
  // A command is at most this many bytes, any bytes at all.
  static constexpr size_t kMaxMessageBytes = 500;

  ConsoleQueue(const ConsoleQueue&) = delete;
  ConsoleQueue& operator=(const ConsoleQueue&) = delete;
  ~ConsoleQueue();  // stops listening: writers are refused from then on

  // The folder that holds the queue name's messages.
  static std::filesystem::path FolderFor(const std::filesystem::path& dir,
                                         std::string_view name);

  // Opens the queue for reading and starts listening. kQueueNotFound when it
  // does not exist and create is false; kNoDataDirectory when dir is not a
  // folder; kInvalidArgument for an empty or overlong name. The first
  // listener drops commands left from an earlier listener that has gone:
  // they were meant for a task that is no longer there.
  static Status Open(const std::filesystem::path& dir, std::string_view name,
                     bool create, std::unique_ptr<ConsoleQueue>* queue);

  // Copies the oldest command into buffer (unterminated, at most maxLength
  // and buffer.size() bytes; a longer one is cut) and removes it from the
  // queue. kQueueEmpty when there is none.
  Status Read(std::span<char> buffer, uint16_t maxLength, uint16_t* length);

  // Becomes readable when a command may have arrived, so a poll() can wait
  // for commands instead of asking again and again; -1 when it cannot be
  // had. Read() clears it.
  int NotifyFd();

  // Sends one command to the task listening on the queue. kQueueNotFound
  // when no task listens; kQueueMessageTooLarge over kMaxMessageBytes. The
  // command is on disk before it returns, and commands are read in the
  // order they were posted.
  static Status Post(const std::filesystem::path& dir, std::string_view name,
                     std::string_view message);

 private:
  explicit ConsoleQueue(std::filesystem::path folder);
  void DrainNotifications();

  std::filesystem::path folder_;
  UniqueFd readerLock_;
  UniqueFd notify_;
};

// The commands the server keeps for itself, as Domino does for
// "tell TASK quit": "quit" or "exit" in any case, blanks around ignored.
bool IsQuitCommand(std::string_view message);

}  // namespace vt::console
