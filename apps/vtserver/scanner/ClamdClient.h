// clamd's INSTREAM over a Unix socket or TCP: the message goes as chunks,
// each after its length in four big-endian bytes, and a zero length ends
// it. A stream clamd would not scan whole (its StreamMaxLength) is a
// failure, never "clean".
#pragma once

#include <chrono>
#include <cstddef>

#include "scanner/EngineResult.h"
#include "scanner/EngineSocket.h"
#include "scanner/ScanRequest.h"

namespace vt::scanner {

struct ClamdOptions {
  // Debian's clamd socket; "127.0.0.1:3310" for TCP.
  Endpoint endpoint{"/run/clamav/clamd.ctl", "", 0};
  std::chrono::milliseconds connectLimit{3000};
  size_t chunkBytes = 64 * 1024;
  size_t replyLimit = 4096;
};

class ClamdClient {
 public:
  explicit ClamdClient(ClamdOptions options) : options_(std::move(options)) {}

  // A result with action "clean", or "virus" and the name clamd found.
  EngineOutcome Scan(const ScanRequest& request) const;

  const ClamdOptions& options() const { return options_; }

 private:
  ClamdOptions options_;
};

}  // namespace vt::scanner
