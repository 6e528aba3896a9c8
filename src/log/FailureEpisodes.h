// A failure that strikes every message while it lasts, a full disk above
// all, would log one line per message and pass: tens of thousands of lines
// in minutes, on the very disk that is full. Such a failure is logged once
// when its episode begins, and once more, with the count held back, when
// the next success ends it.
#pragma once

#include <cstdint>

#include "log/TaskLog.h"

namespace vt {

class FailureEpisodes {
 public:
  // Whether the line of a failure with this status is to be written: every
  // other status always, a full disk only at the start of its episode.
  bool ShouldLog(Status status);
  // A success: an episode under way ends, and its held-back count is logged.
  void Succeeded(TaskLog& log);

 private:
  bool diskFull_ = false;
  uint32_t heldBack_ = 0;
};

}  // namespace vt
