// The day's delivery counters that a pass adds to: ordinary mail and the
// three spam perimeters. The task's daily totals extend this record.
#pragma once

#include <cstdint>

namespace vt {

struct MessageCounts {
  int32_t Mail = 0;
  int32_t SpamD = 0;
  int32_t SpamC = 0;
  int32_t SpamB = 0;
};

}  // namespace vt
