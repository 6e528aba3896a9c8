// Machine-wide named mutexes on Linux: one lock file per name in a folder of
// the running user's, held with flock(), so a name is free again as soon as
// its holder closes it or dies, and every process of that user sees it.
// No other user can hold or remove a lock: the folder and its files belong to
// the running user and are private to it, and a folder or file that belongs
// to anyone else is refused (and reported), never used.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/UniqueFd.h"
#include "system/SystemServices.h"

namespace vt {

class LockFileMutexes {
 public:
  // Receives one line for each folder or file refused.
  using Reporter = std::function<void(const std::string& text)>;

  // directory: the folder of the lock files; created (mode 0700, with its
  // missing parents) when the first name is created in it.
  explicit LockFileMutexes(std::string directory);
  // The folders tried in turn when the first name is created; the first
  // that is (or can be made) the running user's and private is kept.
  // Missing parents are not made.
  explicit LockFileMutexes(std::vector<std::string> candidates);
  LockFileMutexes(const LockFileMutexes&) = delete;
  LockFileMutexes& operator=(const LockFileMutexes&) = delete;

  // For the running user (by name, else by number): /run/lock/vtrouter-USER
  // (the folder the systemd unit has systemd make), /tmp/vtrouter-USER,
  // then ~/.vtrouter-locks. VT_LOCK_FOLDERS (folders separated by ':')
  // replaces the list.
  static std::vector<std::string> DefaultCandidates();

  void SetReporter(Reporter report);

  // The lock file's name for a mutex name: characters outside
  // [A-Za-z0-9._-] (and a leading '.') become %XX, so distinct names stay
  // distinct and none can reach outside the folder. Ends in ".lock".
  static std::string FileNameFor(std::string_view name);

  // The folder in use: empty until the first name was created, and when
  // no folder could be used.
  std::string directory();

  MutexHandle Create(const char* name, bool initialOwner, bool* alreadyExisted);
  // timeoutMs 0xFFFFFFFF waits without limit, as INFINITE does on Windows.
  MutexWait Wait(MutexHandle handle, uint32_t timeoutMs);
  void Release(MutexHandle handle);
  void Close(MutexHandle handle);
  // The held descriptor's device and inode against the file now at the
  // path. While a descriptor is open its inode cannot be reused, so a file
  // at the path with another inode is another file, never this one again.
  MutexPlace Check(MutexHandle handle);
  // A holder opens (making) the file at the path and takes its flock: taken,
  // that file is the mutex from now on; held elsewhere, the name is theirs.
  MutexPlace Retake(MutexHandle handle);
  // Whether any process (this one included) holds the named mutex, asked of
  // the kernel's table of file locks (/proc/locks) without taking it, so
  // that asking never makes a holder that starts at that moment fail.
  // nullopt when it cannot be told.
  std::optional<bool> IsHeld(const char* name);

 private:
  struct Entry {
    std::string path;  // where other processes look for this mutex
    UniqueFd fd;
    bool holding = false;   // this handle's description holds the flock
    uint32_t ownCount = 0;  // acquisitions not yet released (recursive)
  };

  // The folder in use, chosen on first use; empty when none is usable.
  const std::string& ChooseDirectory();
  bool UsableDirectory(const std::string& path, bool makeParents);
  UniqueFd OpenLockFile(const std::string& path);
  std::shared_ptr<Entry> Find(MutexHandle handle);
  static MutexPlace PlaceOf(const Entry& entry);
  // One line per refused path, however often it is met.
  void Refuse(const std::string& path, const char* why);

  const std::vector<std::string> candidates_;
  const bool explicitFolder_;
  std::mutex mu_;  // guards everything below
  bool chosen_ = false;
  std::string directory_;
  Reporter report_;
  std::set<std::string> refused_;
  uint32_t nextHandle_ = 1;
  std::map<uint32_t, std::shared_ptr<Entry>> entries_;
};

}  // namespace vt
