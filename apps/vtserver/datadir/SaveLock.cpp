// Taking the configuration-save lock, with vtserver's words for failure.
#include "datadir/SaveLock.h"

#include <string>

#include "config/ServerConfig.h"

namespace vt::tool {

Outcome ConfigSaveLock::Acquire() {
  lock_.emplace(system_, kSaveConfigMutexName, true);
  if (!lock_->valid()) {
    return Outcome::Failure(std::string("cannot make the lock ") +
                            kSaveConfigMutexName + "; nothing written");
  }
  if (!lock_->Acquire(kSaveConfigWaitMs)) {
    return Outcome::Failure(
        "another process is saving the configuration document (waited " +
        std::to_string(kSaveConfigWaitMs / 1000) + " s); nothing written");
  }
  return Outcome();
}

}  // namespace vt::tool
