// SpamAssassin's spamd over SPAMC/1.5, on TCP or a Unix socket: SYMBOLS for a
// verdict (whether it is spam, the score against the threshold, the rules
// that hit) and TELL to learn a message as ham or spam.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "scanner/EngineResult.h"
#include "scanner/EngineSocket.h"
#include "scanner/ScanRequest.h"

namespace vt::scanner {

struct SpamdOptions {
  Endpoint endpoint{"", "127.0.0.1", 783};
  // Whose preferences and Bayes data spamd uses; empty: the user this
  // process runs as, as spamc does.
  std::string user;
  std::chrono::milliseconds connectLimit{3000};
  size_t replyLimit = 64 * 1024;
};

class SpamdClient {
 public:
  explicit SpamdClient(SpamdOptions options);

  // A result with action "spam" or "no action", score and threshold, and
  // the rules (without their scores: SYMBOLS does not give them).
  EngineOutcome Scan(const ScanRequest& request) const;
  // TELL with Message-class ham or spam and Set: local. spamd must run with
  // --allow-tell.
  LearnOutcome Learn(const ScanRequest& request, bool spam) const;

  const SpamdOptions& options() const { return options_; }

 private:
  EngineReply<std::string> Exchange(std::string_view command,
                                    std::string_view extraHeaders,
                                    const ScanRequest& request) const;

  SpamdOptions options_;
};

}  // namespace vt::scanner
