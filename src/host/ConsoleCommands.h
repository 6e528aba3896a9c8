// The administrator's console commands, one message at a time from the
// task's queue, and the pause state they control.
#pragma once

#include <cstdint>

#include "engine/RouterEngine.h"
#include "host/DailyTotals.h"

namespace vt {

inline constexpr size_t kCommandSize = 500;  // plus one for the terminator
inline constexpr char kRunningStatus[] =
    "Routes mail messages to mail.box and quarantine";

struct PauseState {
  bool paused = false;
  bool timedPause = false;  // set by pause30 only
  int32_t timedPauseMinutes = 0;
};

// Acts on one message: the first command word it begins with (ASCII letters
// compared without regard to case) wins; anything else is unknown.
void HandleConsoleCommand(RouterEngine& engine, const DailyTotals& totals,
                          PauseState& pause, const char* message);

// The 60-second tick of a timed pause: ends it after 30 minutes.
void TimedPauseTick(PauseState& pause);

}  // namespace vt
