// The server's sense of time, injectable so that tests can hold it still or
// move it on: wall-clock time for stamps, a monotonic clock for intervals.
#pragma once

#include <cstdint>

namespace vt {

class Clock {
 public:
  Clock() = default;
  Clock(const Clock&) = delete;
  Clock& operator=(const Clock&) = delete;
  virtual ~Clock() = default;

  // Hundredths of a second since 1970-01-01 00:00 UTC.
  virtual int64_t NowUnixCentis() = 0;
  // Milliseconds from an arbitrary origin; never goes back.
  virtual int64_t MonotonicMillis() = 0;
};

class SystemClock : public Clock {
 public:
  int64_t NowUnixCentis() override;
  int64_t MonotonicMillis() override;
};

}  // namespace vt
