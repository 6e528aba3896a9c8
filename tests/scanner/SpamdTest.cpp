// The spamd client against a private spamd, over TCP and a Unix socket:
// GTUBE is spam far above the threshold (route C), an ordinary letter is ham
// (M); TELL learns a letter and tells one learnt again.
#include <gtest/gtest.h>

#include <algorithm>

#include "PrivateEngines.h"
#include "ScanMessages.h"
#include "scanner/SpamdClient.h"
#include "scanner/Verdict.h"

namespace vt::scanner::testing {
namespace {

class SpamdTest : public WithEngines<PrivateSpamd> {};

bool HasSymbol(const EngineResult& result, std::string_view name) {
  return std::any_of(result.symbols.begin(), result.symbols.end(),
                     [&](const Symbol& symbol) { return symbol.name == name; });
}

TEST_F(SpamdTest, GtubeIsSpamAndAnOrdinaryLetterIsHamOverTcpAndAUnixSocket) {
  for (const Endpoint& endpoint :
       {engine<PrivateSpamd>().tcp(), engine<PrivateSpamd>().unixSocket()}) {
    SCOPED_TRACE(endpoint.Text());
    const SpamdClient client(SpamdAt(endpoint));

    const EngineOutcome gtube = client.Scan(GtubeRequest());
    ASSERT_TRUE(gtube.ok()) << gtube.failure().LogLine();
    EXPECT_EQ(gtube.value().action, "spam");
    EXPECT_EQ(gtube.value().requiredScore, 5.0);
    EXPECT_GE(gtube.value().score.value_or(0), 1000.0);
    EXPECT_TRUE(HasSymbol(gtube.value(), "GTUBE"));
    EXPECT_EQ(DecideVerdict({gtube}, VerdictPolicy()).route, Route::kC);

    const EngineOutcome plain = client.Scan(PlainRequest());
    ASSERT_TRUE(plain.ok()) << plain.failure().LogLine();
    EXPECT_EQ(plain.value().action, "no action");
    EXPECT_LT(plain.value().score.value_or(99), 5.0);
    EXPECT_EQ(DecideVerdict({plain}, VerdictPolicy()).route, Route::kM);
  }
}

TEST_F(SpamdTest, TellLearnsALetterAndTellsOneLearntAlready) {
  const SpamdClient client(SpamdAt(engine<PrivateSpamd>().tcp()));
  ExpectLearntOnceThenAlready(
      [&](const ScanRequest& request) { return client.Learn(request, false); });
}

}  // namespace
}  // namespace vt::scanner::testing
