// One folder per queue, one file per command, named by a sequence number so
// that a listing sorted by name is the posting order.
#include "server/console/ConsoleQueue.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>
#include <vector>

#include "base/PosixFiles.h"
#include "notes/FixedText.h"

namespace vt::console {

namespace fs = std::filesystem;

namespace {

constexpr char kReaderLock[] = "reader.lock";
// Writers and a starting listener take turns through this file, which also
// holds the last sequence number handed out.
constexpr char kSequenceFile[] = "sequence";
constexpr size_t kSequenceDigits = 20;
constexpr std::string_view kMessageSuffix = ".msg";
constexpr std::string_view kTempMarker = ".msg.tmp-";
// A temporary file this old belongs to a writer that died mid-post.
constexpr time_t kStaleTempSeconds = 60;

bool IsDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return c >= '0' && c <= '9';
  });
}

// A message file name: exactly kSequenceDigits digits and ".msg".
std::optional<uint64_t> MessageNumber(std::string_view fileName) {
  if (fileName.size() != kSequenceDigits + kMessageSuffix.size() ||
      !fileName.ends_with(kMessageSuffix)) {
    return std::nullopt;
  }
  const std::string_view digits = fileName.substr(0, kSequenceDigits);
  if (!IsDigits(digits)) return std::nullopt;
  uint64_t value = 0;
  for (const char c : digits) {
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::string MessageFileName(uint64_t number) {
  FixedText<kSequenceDigits + 8> name;
  name.Format("%020llu.msg", static_cast<unsigned long long>(number));
  return std::string(name.view());
}

// Removes whatever sits under a message name (a file, or a folder someone
// made there), without ever failing the caller.
void RemoveEntry(const fs::path& path) {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

uint64_t HighestMessageNumber(const fs::path& folder) {
  uint64_t highest = 0;
  for (const std::string& name : ListFolder(folder)) {
    if (const auto number = MessageNumber(name)) {
      highest = std::max(highest, *number);
    }
  }
  return highest;
}

// The last number handed out, from the sequence file; a missing or damaged
// one is rebuilt from the messages still waiting.
uint64_t LastSequence(int fd, const fs::path& folder) {
  char text[kSequenceDigits + 1] = {};
  const ssize_t n = ::pread(fd, text, sizeof text, 0);
  if (n == static_cast<ssize_t>(sizeof text) && text[kSequenceDigits] == '\n') {
    if (const auto number = MessageNumber(std::string(text, kSequenceDigits) +
                                          std::string(kMessageSuffix))) {
      return *number;
    }
  }
  return HighestMessageNumber(folder);
}

// Not synced: should the update be lost in a crash, the next post steps
// over the numbers still waiting (read in order, so always the newest ones),
// and a torn update is rebuilt from them.
void StoreSequence(int fd, uint64_t number) {
  FixedText<kSequenceDigits + 2> text;
  text.Format("%020llu\n", static_cast<unsigned long long>(number));
  [[maybe_unused]] const ssize_t written =
      ::pwrite(fd, text.c_str(), text.size(), 0);
}

UniqueFd OpenSequence(const fs::path& folder) {
  UniqueFd fd(::open((folder / kSequenceFile).c_str(),
                     O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (fd && !TakeLock(fd.get(), LockKind::kExclusive, /*wait=*/true)) {
    fd.Reset();
  }
  return fd;
}

// Drops the commands of a listener that has gone, and temporary files of
// writers that died mid-post.
void DropLeftovers(const fs::path& folder) {
  const time_t now = ::time(nullptr);
  for (const std::string& name : ListFolder(folder)) {
    const fs::path path = folder / name;
    if (MessageNumber(name)) {
      RemoveEntry(path);
    } else if (name.find(kTempMarker) != std::string::npos) {
      struct stat st {};
      if (::lstat(path.c_str(), &st) == 0 &&
          now - st.st_mtime > kStaleTempSeconds) {
        RemoveEntry(path);
      }
    }
  }
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool EqualsIgnoringCase(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

}  // namespace

ConsoleQueue::ConsoleQueue(fs::path folder) : folder_(std::move(folder)) {}

ConsoleQueue::~ConsoleQueue() = default;

fs::path ConsoleQueue::FolderFor(const fs::path& dir, std::string_view name) {
  return RuntimeFolder(dir) / "queues" / EscapeFileName(name);
}

Status ConsoleQueue::Open(const fs::path& dir, std::string_view name,
                          bool create, std::unique_ptr<ConsoleQueue>* queue) {
  if (queue == nullptr) return err::kInvalidArgument;
  queue->reset();
  if (EscapeFileName(name).empty()) return err::kInvalidArgument;
  const fs::path folder = FolderFor(dir, name);
  if (create) {
    const Status made = EnsurePrivateFolder(dir, folder);
    if (!made.ok()) return made;
  } else if (!IsFolder(folder)) {
    return IsFolder(dir) ? err::kQueueNotFound : err::kNoDataDirectory;
  }

  // Holding the sequence lock keeps writers out while this listener decides
  // whether it is the first and clears what an earlier one left: a command
  // posted from here on is meant for this listener and must survive.
  const UniqueFd sequence = OpenSequence(folder);
  if (!sequence) return err::kDiskError;
  UniqueFd lock(::open((folder / kReaderLock).c_str(),
                       O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!lock) return err::kDiskError;
  if (TakeLock(lock.get(), LockKind::kExclusive, /*wait=*/false)) {
    DropLeftovers(folder);
  }
  // Shared from here on (converting the exclusive lock in one step), so that
  // several listeners may coexist.
  if (!TakeLock(lock.get(), LockKind::kShared, /*wait=*/true)) {
    return err::kDiskError;
  }

  std::unique_ptr<ConsoleQueue> opened(new ConsoleQueue(folder));
  opened->readerLock_ = std::move(lock);
  *queue = std::move(opened);
  return Status();
}

Status ConsoleQueue::Read(std::span<char> buffer, uint16_t maxLength,
                          uint16_t* length) {
  if (length != nullptr) *length = 0;
  // Cleared before listing, so a command that lands after the listing
  // leaves the descriptor readable for the next wait.
  DrainNotifications();

  std::vector<std::string> names;
  for (std::string& name : ListFolder(folder_)) {
    if (MessageNumber(name)) names.push_back(std::move(name));
  }
  // Equal-width numbers: name order is posting order.
  std::sort(names.begin(), names.end());

  for (const std::string& name : names) {
    const fs::path path = folder_ / name;
    const std::optional<std::string> message =
        ReadSmallFile(path, kMaxMessageBytes);
    if (!message) {
      // Gone (another listener took it) or not a command we could have
      // written: oversized, not a regular file, unreadable.
      struct stat st {};
      if (::lstat(path.c_str(), &st) == 0) RemoveEntry(path);
      continue;
    }
    // Whoever unlinks it owns it; a listener that loses the race moves on.
    if (::unlink(path.c_str()) != 0) continue;
    const size_t n = std::min<size_t>(
        {message->size(), static_cast<size_t>(maxLength), buffer.size()});
    if (n > 0) std::memcpy(buffer.data(), message->data(), n);
    if (length != nullptr) *length = static_cast<uint16_t>(n);
    return Status();
  }
  return err::kQueueEmpty;
}

int ConsoleQueue::NotifyFd() {
  if (!notify_) {
    UniqueFd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!fd) return -1;
    // Posts arrive by rename; a command dropped in by other means shows as
    // a finished write.
    if (::inotify_add_watch(fd.get(), folder_.c_str(),
                            IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
      return -1;
    }
    notify_ = std::move(fd);
  }
  return notify_.get();
}

void ConsoleQueue::DrainNotifications() {
  if (!notify_) return;
  alignas(inotify_event) char events[4096];
  while (::read(notify_.get(), events, sizeof events) > 0) {
  }
}

Status ConsoleQueue::Post(const fs::path& dir, std::string_view name,
                          std::string_view message) {
  if (message.size() > kMaxMessageBytes) return err::kQueueMessageTooLarge;
  if (EscapeFileName(name).empty()) return err::kQueueNotFound;
  const fs::path folder = FolderFor(dir, name);
  if (!IsFolder(folder)) return err::kQueueNotFound;

  const UniqueFd sequence = OpenSequence(folder);
  if (!sequence) return err::kDiskError;
  // Asked under the sequence lock, so no listener can start (and clear the
  // queue) between this answer and the message landing.
  const UniqueFd lock(
      ::open((folder / kReaderLock).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
  if (!lock || !IsLockedByOther(lock.get())) return err::kQueueNotFound;

  uint64_t number = LastSequence(sequence.get(), folder) + 1;
  struct stat st {};
  while (::lstat((folder / MessageFileName(number)).c_str(), &st) == 0) {
    ++number;
  }
  const Status written =
      ReplaceFile(folder / MessageFileName(number), message, /*durable=*/true);
  if (!written.ok()) return written;
  StoreSequence(sequence.get(), number);
  return Status();
}

bool IsQuitCommand(std::string_view message) {
  while (!message.empty() && IsBlank(message.front())) message.remove_prefix(1);
  while (!message.empty() && IsBlank(message.back())) message.remove_suffix(1);
  return EqualsIgnoringCase(message, "quit") ||
         EqualsIgnoringCase(message, "exit");
}

}  // namespace vt::console
