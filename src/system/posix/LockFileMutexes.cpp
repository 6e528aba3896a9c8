// Named mutexes as flock()ed lock files; see LockFileMutexes.h.
#include "system/posix/LockFileMutexes.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace vt {
namespace {

constexpr uint32_t kInfinite = 0xFFFFFFFF;
constexpr auto kPollInterval = std::chrono::milliseconds(10);

bool SafeFileChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
}

void MakeParents(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    ::mkdir(path.substr(0, slash).c_str(), 0700);
  }
}

// The running user's name as a file-name part (its number when it has none).
std::string UserPart() {
  const uid_t uid = ::geteuid();
  std::vector<char> buffer(16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_name[0] != '\0') {
    std::string name = LockFileMutexes::FileNameFor(found->pw_name);
    name.resize(name.size() - 5);  // without ".lock"
    return name;
  }
  return std::to_string(uid);
}

std::string HomeFolder() {
  std::vector<char> buffer(16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) ==
          0 &&
      found != nullptr && found->pw_dir[0] == '/') {
    return found->pw_dir;
  }
  return {};
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
    : candidates_{std::move(directory)}, explicitFolder_(true) {}

LockFileMutexes::LockFileMutexes(std::vector<std::string> candidates)
    : candidates_(std::move(candidates)), explicitFolder_(false) {}

std::vector<std::string> LockFileMutexes::DefaultCandidates() {
  std::vector<std::string> folders;
  if (const char* list = std::getenv("VT_LOCK_FOLDERS");
      list != nullptr && list[0] != '\0') {
    std::string_view rest(list);
    while (!rest.empty()) {
      const size_t colon = rest.find(':');
      const std::string_view folder = rest.substr(0, colon);
      if (!folder.empty()) folders.emplace_back(folder);
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
    return folders;
  }
  const std::string user = UserPart();
  folders.push_back("/run/lock/vtrouter-" + user);
  folders.push_back("/tmp/vtrouter-" + user);
  const std::string home = HomeFolder();
  if (!home.empty()) folders.push_back(home + "/.vtrouter-locks");
  return folders;
}

void LockFileMutexes::SetReporter(Reporter report) {
  std::lock_guard lock(mu_);
  report_ = std::move(report);
}

std::string LockFileMutexes::directory() {
  std::lock_guard lock(mu_);
  return directory_;
}

void LockFileMutexes::Refuse(const std::string& path, const char* why) {
  if (!refused_.insert(path).second || !report_) return;
  report_("Lock " + path + " is not used: " + why);
}

// A folder is usable when it is a real directory (not a link planted in
// /tmp) of the running user's that nobody else may write to; one made here
// is private to the user.
bool LockFileMutexes::UsableDirectory(const std::string& path,
                                      bool makeParents) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno == ENOENT && makeParents) {
    MakeParents(path);
    ::mkdir(path.c_str(), 0700);
  }
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    Refuse(path, "it is not a folder");
    return false;
  }
  if (st.st_uid != ::geteuid()) {
    Refuse(path, "the folder belongs to another user");
    return false;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    Refuse(path, "other users may write to the folder");
    return false;
  }
  return ::access(path.c_str(), W_OK | X_OK) == 0;
}

const std::string& LockFileMutexes::ChooseDirectory() {
  if (chosen_) return directory_;
  chosen_ = true;
  for (const std::string& candidate : candidates_) {
    if (!candidate.empty() && UsableDirectory(candidate, explicitFolder_)) {
      directory_ = candidate;
      break;
    }
  }
  if (directory_.empty() && report_) {
    report_("No lock folder can be used; named locks cannot be taken");
  }
  return directory_;
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

UniqueFd LockFileMutexes::OpenLockFile(const std::string& path) {
  const int flags = O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
  UniqueFd fd(::open(path.c_str(), flags, 0600));
  if (!fd && errno == ENOENT) {
    // The folder went (a cleaner of /tmp, say): made again the same way.
    if (UsableDirectory(directory_, explicitFolder_)) {
      fd = UniqueFd(::open(path.c_str(), flags, 0600));
    }
  }
  if (!fd) return fd;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    Refuse(path, "it is not a plain file");
    return UniqueFd();
  }
  if (st.st_uid != ::geteuid()) {
    Refuse(path, "the file belongs to another user");
    return UniqueFd();
  }
  // Made readable to others by an earlier version: private from now on.
  if ((st.st_mode & 077) != 0) ::fchmod(fd.get(), 0600);
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

  std::lock_guard lock(mu_);
  if (ChooseDirectory().empty()) return {};
  auto entry = std::make_shared<Entry>();
  entry->path = directory_ + "/" + file;
  entry->fd = OpenLockFile(entry->path);
  if (!entry->fd) return {};
  const int err = TryLock(entry->fd.get());
  if (err == 0) {
    entry->holding = true;
    entry->ownCount = initialOwner ? 1 : 0;
  } else if (err != EWOULDBLOCK) {
    return {};
  }

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

std::optional<bool> LockFileMutexes::IsHeld(const char* name) {
  if (name == nullptr || *name == '\0') return false;
  std::string path;
  {
    std::lock_guard lock(mu_);
    if (ChooseDirectory().empty()) return std::nullopt;
    path = directory_ + "/" + FileNameFor(name);
  }
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    return errno == ENOENT ? std::optional<bool>(false) : std::nullopt;
  }
  std::FILE* locks = std::fopen("/proc/locks", "re");
  if (locks == nullptr) return std::nullopt;
  // "1: FLOCK  ADVISORY  WRITE 21509 fe:00:10952838 0 EOF"; a waiter's line
  // has "->" after the number and holds nothing.
  bool held = false;
  char line[512];
  while (!held && std::fgets(line, sizeof line, locks) != nullptr) {
    if (std::strstr(line, "->") != nullptr) continue;
    if (std::strstr(line, "FLOCK") == nullptr) continue;
    char* save = nullptr;
    for (char* word = ::strtok_r(line, " \t\n", &save); word != nullptr;
         word = ::strtok_r(nullptr, " \t\n", &save)) {
      unsigned int devMajor = 0, devMinor = 0;
      unsigned long long inode = 0;
      char rest = 0;
      if (std::sscanf(word, "%x:%x:%llu%c", &devMajor, &devMinor, &inode,
                      &rest) != 3) {
        continue;
      }
      held = devMajor == major(st.st_dev) && devMinor == minor(st.st_dev) &&
             inode == st.st_ino;
      break;
    }
  }
  std::fclose(locks);
  return held;
}

MutexPlace LockFileMutexes::PlaceOf(const Entry& entry) {
  struct stat held;
  struct stat named;
  if (::lstat(entry.path.c_str(), &named) != 0 ||
      ::fstat(entry.fd.get(), &held) != 0) {
    return MutexPlace::kGone;
  }
  return held.st_dev == named.st_dev && held.st_ino == named.st_ino
             ? MutexPlace::kInPlace
             : MutexPlace::kReplaced;
}

MutexPlace LockFileMutexes::Check(MutexHandle handle) {
  std::lock_guard lock(mu_);
  const auto entry = Find(handle);
  return entry ? PlaceOf(*entry) : MutexPlace::kGone;
}

MutexPlace LockFileMutexes::Retake(MutexHandle handle) {
  std::lock_guard lock(mu_);
  const auto entry = Find(handle);
  if (!entry) return MutexPlace::kGone;
  const MutexPlace place = PlaceOf(*entry);
  // Only a holder may swap its descriptor: a waiter polls its own outside
  // the table lock.
  if (place == MutexPlace::kInPlace || !entry->holding) return place;
  UniqueFd fd = OpenLockFile(entry->path);
  if (!fd) return MutexPlace::kGone;
  const int err = TryLock(fd.get());
  if (err == EWOULDBLOCK) return MutexPlace::kReplaced;
  if (err != 0) return MutexPlace::kGone;
  // The old file's lock kept nobody out once no path led to it.
  entry->fd = std::move(fd);
  return MutexPlace::kInPlace;
}

}  // namespace vt
