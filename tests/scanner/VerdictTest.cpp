// The documented defaults of the verdict mapping, on results as the engines
// give them, and the worst route over several engines.
#include <gtest/gtest.h>

#include "scanner/Verdict.h"

namespace vt::scanner {
namespace {

EngineOutcome Rspamd(std::string action, bool skipped = false) {
  EngineResult result;
  result.engine = Engine::kRspamd;
  result.action = std::move(action);
  result.score = 1;
  result.requiredScore = 15;
  result.skipped = skipped;
  return result;
}

EngineOutcome Spamd(double score, double required) {
  EngineResult result;
  result.engine = Engine::kSpamd;
  result.score = score;
  result.requiredScore = required;
  result.action = score >= required ? "spam" : "no action";
  return result;
}

TEST(VerdictTest, DefaultsMapEachEnginesAnswerAndTheWorstWins) {
  const VerdictPolicy policy;
  struct Case {
    std::vector<EngineOutcome> outcomes;
    std::optional<Route> route;
  };
  const std::vector<Case> cases = {
      {{Rspamd("reject")}, Route::kC},
      {{Rspamd("add header")}, Route::kB},
      {{Rspamd("rewrite subject")}, Route::kB},
      {{Rspamd("greylist")}, Route::kM},
      {{Rspamd("no action")}, Route::kM},
      {{Rspamd("quarantine")}, Route::kB},  // an action of its own: not ham
      {{Rspamd("soft reject")}, std::nullopt},
      {{Rspamd("no action", true)}, std::nullopt},  // rules skipped
      {{Rspamd("reject", true)}, Route::kC},        // GTUBE, a forced action
      {{Spamd(4.9, 5)}, Route::kM},
      {{Spamd(9.9, 5)}, Route::kB},
      {{Spamd(10, 5)}, Route::kC},
      {{Rspamd("add header"), Spamd(10, 5)}, Route::kC},
      {{Rspamd("reject"), Spamd(1, 5)}, Route::kC},
      {{Rspamd("soft reject"), Spamd(10, 5)}, std::nullopt},
      {{}, std::nullopt},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Verdict verdict = DecideVerdict(cases[i].outcomes, policy);
    EXPECT_EQ(verdict.route, cases[i].route)
        << "case " << i << ": " << verdict.reason;
  }
}

}  // namespace
}  // namespace vt::scanner
