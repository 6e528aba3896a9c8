// Named mutexes as flock()ed lock files; see LockFileMutexes.h.
#include "system/posix/LockFileMutexes.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <thread>

namespace vt {
namespace {

constexpr uint32_t kInfinite = 0xFFFFFFFF;
constexpr auto kPollInterval = std::chrono::milliseconds(10);

bool SafeFileChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
}

// The folder is usable when it is a real directory (not a link someone
// planted in /tmp) that we may create files in.
bool MakeUsableDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return false;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  return ::access(path.c_str(), W_OK | X_OK) == 0;
}

void MakeDirectories(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    ::mkdir(path.substr(0, slash).c_str(), 0755);
  }
  ::mkdir(path.c_str(), 0755);
}

// Only EWOULDBLOCK means "someone else holds it"; EINTR is retried.
int TryLock(int fd) {
  int r;
  do {
    r = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (r != 0 && errno == EINTR);
  return r == 0 ? 0 : errno;
}

}  // namespace

LockFileMutexes::LockFileMutexes(std::string directory)
    : directory_(std::move(directory)) {}

std::string LockFileMutexes::DefaultDirectory() {
  for (const char* candidate : {"/run/lock/vtrouter", "/tmp/vtrouter-locks"}) {
    if (MakeUsableDirectory(candidate)) return candidate;
  }
  return "/tmp/vtrouter-locks-" + std::to_string(::getuid());
}

std::string LockFileMutexes::FileNameFor(std::string_view name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string file;
  file.reserve(name.size() + 5);
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (SafeFileChar(c) && !(i == 0 && c == '.')) {
      file.push_back(c);
    } else {
      const auto byte = static_cast<unsigned char>(c);
      file.push_back('%');
      file.push_back(kHex[byte >> 4]);
      file.push_back(kHex[byte & 0xF]);
    }
  }
  file.append(".lock");
  return file;
}

UniqueFd LockFileMutexes::OpenLockFile(const std::string& path) const {
  const int flags = O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
  UniqueFd fd(::open(path.c_str(), flags, 0644));
  if (!fd && errno == ENOENT) {
    MakeDirectories(directory_);
    fd = UniqueFd(::open(path.c_str(), flags, 0644));
  }
  // flock() needs no write access: another user's existing lock file still
  // works read-only.
  if (!fd && errno == EACCES) {
    fd = UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  }
  return fd;
}

MutexHandle LockFileMutexes::Create(const char* name, bool initialOwner,
                                    bool* alreadyExisted) {
  if (alreadyExisted) *alreadyExisted = false;
  // An unnamed mutex could not be seen by another process, so it is no
  // use as a guard; the router always names its mutexes.
  if (name == nullptr || *name == '\0') return {};
  const std::string file = FileNameFor(name);
  if (file.size() > NAME_MAX) return {};

  auto entry = std::make_shared<Entry>();
  entry->fd = OpenLockFile(directory_ + "/" + file);
  if (!entry->fd) return {};
  const int err = TryLock(entry->fd.get());
  if (err == 0) {
    entry->holding = true;
    entry->ownCount = initialOwner ? 1 : 0;
  } else if (err != EWOULDBLOCK) {
    return {};
  }

  std::lock_guard lock(mu_);
  // Handles are never reused, so a stale one cannot reach a newer mutex.
  if (nextHandle_ == 0) return {};
  const uint32_t handle = nextHandle_++;
  entries_.emplace(handle, std::move(entry));
  if (alreadyExisted) *alreadyExisted = err != 0;
  return MutexHandle{handle};
}

std::shared_ptr<LockFileMutexes::Entry> LockFileMutexes::Find(
    MutexHandle handle) {
  const auto it = entries_.find(handle.value);
  return it == entries_.end() ? nullptr : it->second;
}

MutexWait LockFileMutexes::Wait(MutexHandle handle, uint32_t timeoutMs) {
  std::shared_ptr<Entry> entry;
  {
    std::lock_guard lock(mu_);
    entry = Find(handle);
    if (!entry) return MutexWait::kFailed;
    // Already holding (owner, or the creator that found the name free):
    // the wait succeeds at once and counts, as a Windows mutex does for the
    // thread that owns it.
    if (entry->holding) {
      ++entry->ownCount;
      return MutexWait::kAcquired;
    }
  }

  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const int err = TryLock(entry->fd.get());
    if (err == 0) break;
    if (err != EWOULDBLOCK) return MutexWait::kFailed;
    const auto now = std::chrono::steady_clock::now();
    if (timeoutMs != kInfinite && now >= deadline) return MutexWait::kTimeout;
    auto pause = kPollInterval;
    if (timeoutMs != kInfinite && deadline - now < pause) {
      pause = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                    now) +
              std::chrono::milliseconds(1);
    }
    std::this_thread::sleep_for(pause);
  }

  std::lock_guard lock(mu_);
  // Closed while we waited: the lock dies with the last reference to the
  // descriptor, and the caller no longer has a mutex to own.
  if (Find(handle) != entry) return MutexWait::kFailed;
  entry->holding = true;
  entry->ownCount = 1;
  return MutexWait::kAcquired;
}

void LockFileMutexes::Release(MutexHandle handle) {
  std::lock_guard lock(mu_);
  const auto entry = Find(handle);
  // Releasing what one does not own changes nothing, as on Windows.
  if (!entry || entry->ownCount == 0) return;
  if (--entry->ownCount == 0) {
    ::flock(entry->fd.get(), LOCK_UN);
    entry->holding = false;
  }
}

void LockFileMutexes::Close(MutexHandle handle) {
  std::shared_ptr<Entry> entry;
  {
    std::lock_guard lock(mu_);
    const auto it = entries_.find(handle.value);
    if (it == entries_.end()) return;
    entry = std::move(it->second);
    entries_.erase(it);
  }
  // The descriptor closes (and the flock goes) when entry goes out of scope,
  // outside the table lock.
}

}  // namespace vt
