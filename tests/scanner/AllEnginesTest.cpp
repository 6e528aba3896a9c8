// The three engines together, as the scanner asks them about each message:
// the worst route wins, the evidence names every engine, and an engine that
// is down leaves the message waiting unless a virus was found.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "PrivateEngines.h"
#include "ScanMessages.h"
#include "scanner/ClamdClient.h"
#include "scanner/RspamdClient.h"
#include "scanner/ScanItems.h"
#include "scanner/SpamdClient.h"
#include "scanner/Verdict.h"

namespace vt::scanner::testing {
namespace {

class AllEnginesTest
    : public WithEngines<PrivateRspamd, PrivateSpamd, PrivateClamd> {
 protected:
  static RspamdOptions Rspamd(const std::string& url) {
    RspamdOptions options;
    options.url = url;
    return options;
  }
};

std::vector<EngineResult> Results(const std::vector<EngineOutcome>& outcomes) {
  std::vector<EngineResult> results;
  for (const EngineOutcome& outcome : outcomes) {
    EXPECT_TRUE(outcome.ok()) << outcome.failure().LogLine();
    if (outcome.ok()) results.push_back(outcome.value());
  }
  return results;
}

const ScanItem* Item(const std::vector<ScanItem>& items,
                     std::string_view name) {
  for (const ScanItem& item : items) {
    if (item.name == name) return &item;
  }
  return nullptr;
}

TEST_F(AllEnginesTest,
       TheWorstRouteWinsAndAnEngineDownLeavesTheMessageWaiting) {
  const RspamdClient rspamd(Rspamd(engine<PrivateRspamd>().url()));
  const SpamdClient spamd(SpamdAt(engine<PrivateSpamd>().tcp()));
  const ClamdClient clamd(ClamdAt(engine<PrivateClamd>().unixSocket()));
  const auto askAll = [&](const ScanRequest& request) {
    return std::vector<EngineOutcome>{rspamd.Scan(request), spamd.Scan(request),
                                      clamd.Scan(request)};
  };
  const VerdictPolicy policy;

  const std::vector<EngineOutcome> plain = askAll(PlainRequest());
  EXPECT_EQ(DecideVerdict(plain, policy).route, Route::kM);
  const std::vector<ScanItem> items = ScanItems(
      Results(plain),
      {std::chrono::system_clock::now(), std::chrono::milliseconds(42)});
  const ScanItem* engines = Item(items, "VTScanEngine");
  ASSERT_NE(engines, nullptr);
  EXPECT_EQ(engines->values,
            (std::vector<std::string>{"rspamd", "spamd", "clamd"}));
  const ScanItem* actions = Item(items, "VTScanAction");
  ASSERT_NE(actions, nullptr);
  EXPECT_EQ(actions->values,
            (std::vector<std::string>{"no action", "no action", "clean"}));
  const ScanItem* scores = Item(items, "VTScanScore");
  ASSERT_NE(scores, nullptr);
  ASSERT_EQ(scores->values.size(), 3u);
  EXPECT_TRUE(
      std::regex_match(scores->values[0], std::regex("-?[0-9]+\\.[0-9]{2}")));
  EXPECT_EQ(scores->values[2], "");
  const ScanItem* symbols = Item(items, "VTScanSymbols");
  ASSERT_NE(symbols, nullptr);
  EXPECT_TRUE(std::any_of(
      symbols->values.begin(), symbols->values.end(),
      [](const std::string& s) { return s == "rspamd:RCPT_COUNT_TWO(0.00)"; }));
  EXPECT_TRUE(
      std::any_of(symbols->values.begin(), symbols->values.end(),
                  [](const std::string& s) { return s == "spamd:NO_RELAYS"; }));
  EXPECT_EQ(Item(items, "VTScanVirus"), nullptr);
  const ScanItem* time = Item(items, "VTScanTime");
  ASSERT_NE(time, nullptr);
  EXPECT_TRUE(std::regex_match(
      time->values.at(0), std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}Z")));
  EXPECT_EQ(Item(items, "VTScanMillis")->values,
            std::vector<std::string>{"42"});

  // GTUBE: C from rspamd and spamd, clean for clamd.
  const Verdict gtube = DecideVerdict(askAll(GtubeRequest()), policy);
  EXPECT_EQ(gtube.route, Route::kC) << gtube.reason;
  // EICAR: clamd's D outranks whatever the spam engines say.
  const std::vector<EngineOutcome> eicar = askAll(EicarRequest());
  EXPECT_EQ(DecideVerdict(eicar, policy).route, Route::kD);
  const std::vector<ScanItem> virusItems = ScanItems(Results(eicar), {});
  ASSERT_NE(Item(virusItems, "VTScanVirus"), nullptr);

  // rspamd down: spamd's C alone is no verdict (rspamd's answer counts), but
  // clamd's D is one.
  const RspamdClient down(
      Rspamd("http://127.0.0.1:" + std::to_string(FreeLoopbackPort())));
  const Verdict waiting =
      DecideVerdict({down.Scan(GtubeRequest()), spamd.Scan(GtubeRequest()),
                     clamd.Scan(GtubeRequest())},
                    policy);
  EXPECT_FALSE(waiting.route.has_value());
  EXPECT_NE(waiting.reason.find("rspamd: "), std::string::npos)
      << waiting.reason;
  EXPECT_EQ(
      DecideVerdict({down.Scan(EicarRequest()), spamd.Scan(EicarRequest()),
                     clamd.Scan(EicarRequest())},
                    policy)
          .route,
      Route::kD);
}

}  // namespace
}  // namespace vt::scanner::testing
