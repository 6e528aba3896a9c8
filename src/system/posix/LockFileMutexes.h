// Machine-wide named mutexes on Linux: one lock file per name in a shared
// folder, held with flock(), so a name is free again as soon as its holder
// closes it or dies, and any process using the same folder sees it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "system/SystemServices.h"
#include "system/posix/UniqueFd.h"

namespace vt {

// A name "exists" while some handle holds the flock on its file. Ownership
// is per handle (flock belongs to the open file description), so two handles
// in one process exclude each other like two processes do. Releasing the
// last ownership unlocks the file, which also makes the name free for the
// next creator even while the handle stays open; Windows would keep the
// name alive until the handle is closed. The router never relies on that:
// its instance guard keeps its handle unreleased for the whole run.
// Lock files are never deleted: removing one while another process is
// opening it would let two holders lock two different files of one name.
class LockFileMutexes {
 public:
  // directory: the folder of the lock files; created (mode 0755, with its
  // missing parents) when the first name is created in it.
  explicit LockFileMutexes(std::string directory);
  LockFileMutexes(const LockFileMutexes&) = delete;
  LockFileMutexes& operator=(const LockFileMutexes&) = delete;

  // /run/lock/vtrouter when it can be made usable, else /tmp/vtrouter-locks,
  // else a per-user folder under /tmp (when another user owns the shared
  // one, names are then only machine-wide among that user's processes).
  static std::string DefaultDirectory();

  // The lock file's name for a mutex name: characters outside
  // [A-Za-z0-9._-] (and a leading '.') become %XX, so distinct names stay
  // distinct and none can reach outside the folder. Ends in ".lock".
  static std::string FileNameFor(std::string_view name);

  const std::string& directory() const { return directory_; }

  MutexHandle Create(const char* name, bool initialOwner, bool* alreadyExisted);
  // timeoutMs 0xFFFFFFFF waits without limit, as INFINITE does on Windows.
  MutexWait Wait(MutexHandle handle, uint32_t timeoutMs);
  void Release(MutexHandle handle);
  void Close(MutexHandle handle);

 private:
  struct Entry {
    UniqueFd fd;
    bool holding = false;   // this handle's description holds the flock
    uint32_t ownCount = 0;  // acquisitions not yet released (recursive)
  };

  UniqueFd OpenLockFile(const std::string& path) const;
  std::shared_ptr<Entry> Find(MutexHandle handle);

  const std::string directory_;
  std::mutex mu_;  // guards the table and the entries' state
  uint32_t nextHandle_ = 1;
  std::map<uint32_t, std::shared_ptr<Entry>> entries_;
};

}  // namespace vt
