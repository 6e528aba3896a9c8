// A clock that stands still until a test moves it, for stamps and timers
// that must come out the same on every run.
#pragma once

#include <cstdint>

#include "server/Clock.h"

namespace vt {

class FakeClock : public Clock {
 public:
  // 2024-03-01 12:00:00 UTC, an ordinary day away from any month's end.
  static constexpr int64_t kDefaultStart = 170929440000;

  explicit FakeClock(int64_t unixCentis = kDefaultStart)
      : unixCentis_(unixCentis) {}

  int64_t NowUnixCentis() override { return unixCentis_; }
  int64_t MonotonicMillis() override { return monotonicMillis_; }

  void SetUnixCentis(int64_t centis) { unixCentis_ = centis; }
  // Moves both clocks on, as real time would.
  void AdvanceMillis(int64_t millis) {
    monotonicMillis_ += millis;
    unixCentis_ += millis / 10;
  }

 private:
  int64_t unixCentis_;
  int64_t monotonicMillis_ = 1000;
};

}  // namespace vt
