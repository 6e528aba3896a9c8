// An engine that is not there, or that takes the connection and never
// answers: every client returns a failure, of the kind the scanner logs,
// by the request's deadline, and never a result.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "PrivateEngines.h"
#include "ScanMessages.h"
#include "scanner/ClamdClient.h"
#include "scanner/RspamdClient.h"
#include "scanner/SpamdClient.h"

namespace vt::scanner::testing {
namespace {

using std::chrono::milliseconds;

struct Call {
  const char* what;
  std::function<EngineFailure(const ScanRequest&)> failure;
};

// Every operation of every client, each asked to fail; a result is a test
// failure recorded here.
std::vector<Call> EveryCall(const Endpoint& socketPeer,
                            const std::string& url) {
  const auto failed = [](const auto& outcome) {
    EXPECT_FALSE(outcome.ok());
    return outcome.ok() ? EngineFailure{} : outcome.failure();
  };
  RspamdOptions rspamd;
  rspamd.url = url;
  rspamd.controllerUrl = url;
  const SpamdOptions spamd = SpamdAt(socketPeer);
  const ClamdOptions clamd = ClamdAt(socketPeer);
  return {
      {"rspamd check",
       [=](const ScanRequest& r) {
         return failed(RspamdClient(rspamd).Scan(r));
       }},
      {"rspamd learn",
       [=](const ScanRequest& r) {
         return failed(RspamdClient(rspamd).Learn(r, true));
       }},
      {"spamd check",
       [=](const ScanRequest& r) {
         return failed(SpamdClient(spamd).Scan(r));
       }},
      {"spamd tell",
       [=](const ScanRequest& r) {
         return failed(SpamdClient(spamd).Learn(r, false));
       }},
      {"clamd",
       [=](const ScanRequest& r) {
         return failed(ClamdClient(clamd).Scan(r));
       }},
  };
}

TEST(EngineFailureTest, AnEngineNotListeningIsUnreachable) {
  const uint16_t closed = FreeLoopbackPort();
  const Endpoint tcp{"", "127.0.0.1", closed};
  for (const Call& call :
       EveryCall(tcp, "http://127.0.0.1:" + std::to_string(closed))) {
    SCOPED_TRACE(call.what);
    const EngineFailure failure = call.failure(PlainRequest());
    EXPECT_EQ(failure.kind, FailureKind::kUnreachable) << failure.LogLine();
    EXPECT_NE(failure.LogLine().find("127.0.0.1:" + std::to_string(closed)),
              std::string::npos)
        << failure.LogLine();
  }
  TempFolder folder("vt-absent");
  const Endpoint absent{(folder.path() / "engine.sock").string(), "", 0};
  for (const Call& call :
       EveryCall(absent, "http://127.0.0.1:" + std::to_string(closed))) {
    SCOPED_TRACE(call.what);
    EXPECT_EQ(call.failure(PlainRequest()).kind, FailureKind::kUnreachable);
  }
}

TEST(EngineFailureTest, AnEngineThatNeverAnswersFailsAtTheDeadline) {
  const StallingListener stalled;
  ASSERT_NE(stalled.endpoint().port, 0);
  for (const Call& call : EveryCall(stalled.endpoint(), stalled.url())) {
    SCOPED_TRACE(call.what);
    // A small letter, which the peer's buffers take whole, and one too large
    // for them: the wait for the reply, and the wait to send.
    for (ScanRequest request : {PlainRequest(), LargeRequest(16 << 20)}) {
      request.deadline = Deadline::In(milliseconds(300));
      const EngineFailure failure = call.failure(request);
      EXPECT_EQ(failure.kind, FailureKind::kTimeout) << failure.LogLine();
    }
  }
}

}  // namespace
}  // namespace vt::scanner::testing
