// A named mutex held for one scope, the way LevelDB's MutexLock holds a
// mutex: created (and owned, once acquired) in one place, released and
// closed on every way out, so no path can leave a machine-wide lock behind.
#pragma once

#include <cstdint>
#include <utility>

#include "system/SystemServices.h"

namespace vt {

class ScopedNamedMutex {
 public:
  // Creates or opens the name; with initialOwner, a creator that finds the
  // name free owns it at once.
  ScopedNamedMutex(SystemServices& system, const char* name, bool initialOwner)
      : system_(system),
        mutex_(system.CreateNamedMutex(name, initialOwner, &existed_)),
        owned_(mutex_ && initialOwner && !existed_) {}
  ScopedNamedMutex(const ScopedNamedMutex&) = delete;
  ScopedNamedMutex& operator=(const ScopedNamedMutex&) = delete;
  ~ScopedNamedMutex() {
    if (owned_) system_.ReleaseMutex(mutex_);
    if (mutex_) system_.CloseMutex(mutex_);
  }

  // False when the name could not be created or opened at all.
  bool valid() const { return static_cast<bool>(mutex_); }
  // Whether another holder had the name when it was created.
  bool alreadyExisted() const { return existed_; }
  bool owned() const { return owned_; }

  // Owns the mutex, waiting up to timeoutMs while another holder has it;
  // true once owned.
  bool Acquire(uint32_t timeoutMs) {
    if (!owned_ && mutex_) {
      owned_ = system_.WaitForMutex(mutex_, timeoutMs) == MutexWait::kAcquired;
    }
    return owned_;
  }

  // Hands the open handle (and any ownership) to the caller, who then
  // closes it; the scope no longer does.
  MutexHandle Detach() {
    owned_ = false;
    return std::exchange(mutex_, MutexHandle());
  }

 private:
  SystemServices& system_;
  bool existed_ = false;
  MutexHandle mutex_;
  bool owned_;
};

}  // namespace vt
