// Taking and giving back the configuration-save lock.
#include "SaveLock.h"

#include "config/ServerConfig.h"

namespace vt::tool {

ConfigSaveLock::~ConfigSaveLock() {
  if (owned_) system_.ReleaseMutex(mutex_);
  if (mutex_) system_.CloseMutex(mutex_);
}

Outcome ConfigSaveLock::Acquire() {
  bool existed = false;
  mutex_ = system_.CreateNamedMutex(kSaveConfigMutexName, true, &existed);
  if (!mutex_) {
    return Outcome::Failure(std::string("cannot make the lock ") +
                            kSaveConfigMutexName + "; nothing written");
  }
  if (existed) {
    const MutexWait wait = system_.WaitForMutex(mutex_, kSaveConfigWaitMs);
    if (wait != MutexWait::kAcquired) {
      return Outcome::Failure(
          "another process is saving the configuration document (waited " +
          std::to_string(kSaveConfigWaitMs / 1000) + " s); nothing written");
    }
  }
  owned_ = true;
  return Outcome();
}

}  // namespace vt::tool
