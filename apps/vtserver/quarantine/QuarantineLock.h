// The lock that releases and deletions of quarantined mail on one machine
// take, so that two releases of one message cannot choose two mail boxes,
// and that a backup takes to hold them off while it pins its snapshots.
#pragma once

#include "datadir/Outcome.h"
#include "system/ScopedNamedMutex.h"
#include "system/posix/PosixSystemServices.h"

namespace vt::tool {

// Releases and deletions of one machine (by any vtserver command or web
// console) wait for each other.
class QuarantineLock {
 public:
  QuarantineLock() : lock_(system_, "VTRouterQuarantine", true) {}
  // Owns the lock, waiting up to 30 s for another holder; true once owned.
  bool Acquire() { return lock_.Acquire(30000); }
  static Outcome BusyFailure() {
    return Outcome::Failure(
        "another release or purge is running (waited 30 s); nothing done",
        Outcome::Kind::kUnavailable);
  }

 private:
  PosixSystemServices system_;
  ScopedNamedMutex lock_;
};

}  // namespace vt::tool
