// The clamd client against a private clamd that knows one signature, the
// EICAR test file's: EICAR as an attachment is found (route D) over TCP and
// a Unix socket, an ordinary letter is clean, and a message above the
// stream limit is a failure, never "clean".
#include <gtest/gtest.h>

#include "PrivateEngines.h"
#include "ScanMessages.h"
#include "scanner/ClamdClient.h"
#include "scanner/Verdict.h"

namespace vt::scanner::testing {
namespace {

class ClamdTest : public WithEngines<PrivateClamd> {};

TEST_F(ClamdTest, EicarIsFoundAndAnOrdinaryLetterIsCleanOverTcpAndAUnixSocket) {
  for (const Endpoint& endpoint :
       {engine<PrivateClamd>().tcp(), engine<PrivateClamd>().unixSocket()}) {
    SCOPED_TRACE(endpoint.Text());
    const ClamdClient client(ClamdAt(endpoint));

    const EngineOutcome eicar = client.Scan(EicarRequest());
    ASSERT_TRUE(eicar.ok()) << eicar.failure().LogLine();
    EXPECT_EQ(eicar.value().action, "virus");
    EXPECT_TRUE(eicar.value().virus.starts_with("Eicar-Test-Signature"))
        << eicar.value().virus;
    EXPECT_EQ(DecideVerdict({eicar}, VerdictPolicy()).route, Route::kD);

    const EngineOutcome plain = client.Scan(PlainRequest());
    ASSERT_TRUE(plain.ok()) << plain.failure().LogLine();
    EXPECT_EQ(plain.value().action, "clean");
    EXPECT_EQ(plain.value().virus, "");
    EXPECT_EQ(DecideVerdict({plain}, VerdictPolicy()).route, Route::kM);
  }
}

TEST_F(ClamdTest, AMessageAboveTheStreamLimitIsAFailureNeverClean) {
  ClamdOptions options = ClamdAt(engine<PrivateClamd>().unixSocket());
  options.chunkBytes = 16 * 1024;
  const ClamdClient client(options);
  const EngineOutcome large =
      client.Scan(LargeRequest(4 * PrivateClamd::kStreamMaxBytes));
  ASSERT_FALSE(large.ok()) << "clamd said " << large.value().action;
  EXPECT_EQ(large.failure().kind, FailureKind::kTooLarge)
      << large.failure().LogLine();
  EXPECT_FALSE(DecideVerdict({large}, VerdictPolicy()).route.has_value());
}

}  // namespace
}  // namespace vt::scanner::testing
