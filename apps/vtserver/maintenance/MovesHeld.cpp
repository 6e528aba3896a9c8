// The quarantine lock first, so that the router is paused only once every
// release and purge has finished, for the moment itself.
#include "maintenance/MovesHeld.h"

#include <chrono>

namespace vt::tool {

Outcome MovesHeld::Hold() {
  const auto begun = std::chrono::steady_clock::now();
  lock_.emplace();
  const bool owned = lock_->Acquire();
  lockWaitMillis_ = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - begun)
                        .count();
  if (!owned) {
    lock_.reset();
    return Outcome::Failure(
        "a release or purge of the quarantine did not finish within 30 s");
  }
  return router_.Pause();
}

void MovesHeld::Let() {
  router_.Resume();
  lock_.reset();
}

}  // namespace vt::tool
