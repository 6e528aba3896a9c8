// rspamd over its HTTP protocol, with libcurl: POST /checkv2 on the normal
// worker with the envelope and the client's data as headers, and learning
// on the controller (/learnham, /learnspam).
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "scanner/EngineResult.h"
#include "scanner/ScanRequest.h"

namespace vt::scanner {

struct RspamdOptions {
  std::string url = "http://127.0.0.1:11333";            // the normal worker
  std::string controllerUrl = "http://127.0.0.1:11334";  // for learning
  std::string password;  // the controller's, sent when set
  std::chrono::milliseconds connectLimit{3000};
  size_t replyLimit = 4 * 1024 * 1024;
};

class RspamdClient {
 public:
  explicit RspamdClient(RspamdOptions options);
  ~RspamdClient();
  RspamdClient(const RspamdClient&) = delete;
  RspamdClient& operator=(const RspamdClient&) = delete;

  // rspamd's action, score and required score, its symbols, whether it
  // skipped its rules, and the Message-ID it read. Each call has a curl
  // handle of its own.
  EngineOutcome Scan(const ScanRequest& request) const;
  // Learns the message as ham or spam; Learned::kAlready when rspamd holds
  // it in that class already.
  LearnOutcome Learn(const ScanRequest& request, bool spam) const;

  const RspamdOptions& options() const { return options_; }

 private:
  struct HttpReply {
    long status = 0;
    std::string body;
  };
  EngineReply<HttpReply> Post(const std::string& url,
                              const ScanRequest& request,
                              bool withPassword) const;

  RspamdOptions options_;
  bool curlReady_ = false;
};

}  // namespace vt::scanner
