// From the engines' results to the route the router reads in Kesto_Router:
// M (mail box), B, C or D (the quarantines, in rising severity). The
// mapping is configurable; its defaults:
//   - a virus (clamd) -> D;
//   - rspamd "reject" -> C; "add header" or "rewrite subject" -> B;
//     "greylist" or "no action" -> M; an action not in the table -> B;
//     "soft reject" gives no verdict (rspamd asks to be asked again);
//   - spamd spam with a score of at least twice its threshold -> C, other
//     spam -> B, not spam -> M;
//   - with several engines the worst route wins (D > C > B > M).
// No verdict means the message waits and is scanned again: an engine that
// failed (or rspamd skipping its rules without an action of its own) could
// have given a worse route, so its silence is never taken for "clean". Only
// D stands without every engine: nothing could make it worse.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "scanner/EngineResult.h"

namespace vt::scanner {

enum class Route { kM, kB, kC, kD };  // in rising order of severity

// 'M', 'B', 'C' or 'D': the value of Kesto_Router.
char RouteLetter(Route route);
std::optional<Route> RouteFromLetter(char letter);

struct VerdictPolicy {
  Route virus = Route::kD;
  // rspamd's actions, in lower case; no route: no verdict from that action.
  std::map<std::string, std::optional<Route>, std::less<>> rspamdActions = {
      {"reject", Route::kC},          {"add header", Route::kB},
      {"rewrite subject", Route::kB}, {"greylist", Route::kM},
      {"no action", Route::kM},       {"soft reject", std::nullopt},
  };
  Route rspamdOtherAction = Route::kB;
  // Whether a result rspamd skipped its rules for, with "no action", is a
  // verdict (a settings rule that exempts a sender on purpose) or not (a
  // message too large for it).
  bool rspamdSkippedIsVerdict = false;
  // spamd: spam scored at least spamdHighFactor times its threshold.
  double spamdHighFactor = 2.0;
  Route spamdHigh = Route::kC;
  Route spamdSpam = Route::kB;
};

struct Verdict {
  std::optional<Route> route;  // none: the message waits
  // One line: which engine decided and why, or why there is no verdict.
  std::string reason;
};

// The route one result gives, or none (with the reason) when it gives none.
std::optional<Route> RouteOf(const EngineResult& result,
                             const VerdictPolicy& policy, std::string* reason);

// The verdict over every engine asked for one message.
Verdict DecideVerdict(const std::vector<EngineOutcome>& outcomes,
                      const VerdictPolicy& policy);

}  // namespace vt::scanner
