// Episodes of a repeating failure.
#include "log/FailureEpisodes.h"

namespace vt {

bool FailureEpisodes::ShouldLog(Status status) {
  if (!status.Is(err::kDiskFull)) return true;
  if (!diskFull_) {
    diskFull_ = true;
    return true;
  }
  ++heldBack_;
  return false;
}

void FailureEpisodes::Succeeded(TaskLog& log) {
  if (!diskFull_) return;
  if (heldBack_ > 0) {
    log.Log(Status(),
            "%lu further messages could not be moved while the disk was full.",
            static_cast<unsigned long>(heldBack_));
  }
  diskFull_ = false;
  heldBack_ = 0;
}

}  // namespace vt
