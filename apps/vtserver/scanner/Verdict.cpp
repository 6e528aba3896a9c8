// The worst route over the engines' results, and no route while an engine
// that could still make it worse has not answered.
#include "scanner/Verdict.h"

#include "base/Ascii.h"

namespace vt::scanner {
namespace {

std::string Described(const EngineResult& result) {
  std::string text(EngineName(result.engine));
  text += ": ";
  if (!result.virus.empty()) return text + result.virus + " found";
  text += result.action;
  if (result.score) {
    text += " (" + ScoreText(result.score) + " / " +
            ScoreText(result.requiredScore) + ")";
  }
  return text;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = AsciiToLower(c);
  return lower;
}

}  // namespace

char RouteLetter(Route route) {
  switch (route) {
    case Route::kM:
      return 'M';
    case Route::kB:
      return 'B';
    case Route::kC:
      return 'C';
    case Route::kD:
      return 'D';
  }
  return 'M';
}

std::optional<Route> RouteFromLetter(char letter) {
  switch (AsciiToLower(letter)) {
    case 'm':
      return Route::kM;
    case 'b':
      return Route::kB;
    case 'c':
      return Route::kC;
    case 'd':
      return Route::kD;
    default:
      return std::nullopt;
  }
}

std::optional<Route> RouteOf(const EngineResult& result,
                             const VerdictPolicy& policy, std::string* reason) {
  *reason = Described(result);
  if (!result.virus.empty()) return policy.virus;
  switch (result.engine) {
    case Engine::kClamd:
      return Route::kM;
    case Engine::kSpamd: {
      if (result.action != "spam") return Route::kM;
      const double required = result.requiredScore.value_or(0);
      const bool high = required > 0 && result.score &&
                        *result.score >= policy.spamdHighFactor * required;
      return high ? policy.spamdHigh : policy.spamdSpam;
    }
    case Engine::kRspamd:
      break;
  }
  const std::string action = Lower(result.action);
  if (result.skipped && action == "no action" &&
      !policy.rspamdSkippedIsVerdict) {
    *reason += ", rules skipped";
    return std::nullopt;
  }
  const auto known = policy.rspamdActions.find(action);
  if (known == policy.rspamdActions.end()) return policy.rspamdOtherAction;
  return known->second;
}

Verdict DecideVerdict(const std::vector<EngineOutcome>& outcomes,
                      const VerdictPolicy& policy) {
  if (outcomes.empty()) return Verdict{std::nullopt, "no engine was asked"};
  Verdict worst;
  std::string silent;  // why some engine gave no route
  for (const EngineOutcome& outcome : outcomes) {
    std::string reason;
    std::optional<Route> route;
    if (outcome.ok()) {
      route = RouteOf(outcome.value(), policy, &reason);
    } else {
      reason = outcome.failure().LogLine();
    }
    if (!route) {
      silent += (silent.empty() ? "" : "; ") + reason;
    } else if (!worst.route || *route > *worst.route) {
      worst = Verdict{route, reason};
    }
  }
  if (worst.route == Route::kD || silent.empty()) return worst;
  return Verdict{std::nullopt, "no verdict: " + OneLine(silent, 600)};
}

}  // namespace vt::scanner
