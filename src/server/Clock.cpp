// The real clocks behind the server's Clock.
#include "server/Clock.h"

#include <time.h>

namespace vt {

int64_t SystemClock::NowUnixCentis() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 100 + ts.tv_nsec / 10000000;
}

int64_t SystemClock::MonotonicMillis() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace vt
