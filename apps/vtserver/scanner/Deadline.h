// The moment by which an engine must have answered. Every connect, write and
// read of the clients waits only for what is left of it, so that a stalled
// engine costs the scanner one deadline and never a hung thread.
#pragma once

#include <chrono>

namespace vt::scanner {

class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Deadline(Clock::time_point at) : at_(at) {}
  static Deadline In(std::chrono::milliseconds span) {
    return Deadline(Clock::now() + span);
  }

  Clock::time_point at() const { return at_; }
  bool Passed() const { return Clock::now() >= at_; }
  // What is left, never below zero.
  std::chrono::milliseconds Remaining() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        at_ - Clock::now());
    return left.count() > 0 ? left : std::chrono::milliseconds(0);
  }
  // What is left, but no more than cap (a connect's own limit).
  std::chrono::milliseconds RemainingAtMost(
      std::chrono::milliseconds cap) const {
    const auto left = Remaining();
    return left < cap ? left : cap;
  }

 private:
  Clock::time_point at_;
};

}  // namespace vt::scanner
