// The router's status line as the tools read it: whether the router runs,
// is paused or is stopped, its version and the day's totals it shows after
// each pass. The one reader of that line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "server/ServerAdmin.h"

namespace vt::tool {

enum class RouterState { kStopped, kRunning, kPaused };

// "stopped", "running" or "paused".
const char* RouterStateName(RouterState state);

// The day's totals as the router's status line shows them after each pass.
struct RouterTotals {
  int64_t mail = 0;
  int64_t spamB = 0;
  int64_t spamC = 0;
  int64_t spamD = 0;
};

struct RouterStatus {
  RouterState state = RouterState::kStopped;
  std::string text;                    // the live status line; empty if none
  std::string version;                 // from the totals text; empty if none
  std::optional<RouterTotals> totals;  // only while the text carries them
  // The messages moved since the router started, from its second line:
  // there while it runs, paused or not.
  std::optional<RouterTotals> moved;
};

// What a status text says: paused for "Paused"; running otherwise, with the
// version and totals when the text is the one written after a pass.
RouterStatus ParseRouterStatusText(std::string_view text);
// The counts of the router's second line; none when the text is not one.
std::optional<RouterTotals> ParseMovedText(std::string_view text);
// The router's live status line, or stopped when there is none (a line left
// behind by a task that died is none).
RouterStatus ReadRouterStatus(const ServerAdmin& server);

}  // namespace vt::tool
