// One message to scan, as the scanner hands it to every engine: the bytes as
// the store keeps them, and what the mail server learnt about them in SMTP,
// which rspamd scores (the client's address, its names, the envelope).
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "scanner/Deadline.h"

namespace vt::scanner {

struct ScanRequest {
  std::string message;   // RFC 5322 text, headers and body
  std::string mailFrom;  // the envelope sender; empty for a bounce
  std::vector<std::string> recipients;
  std::string clientIp;    // the SMTP client's address
  std::string clientHost;  // its name from reverse DNS, when it has one
  std::string helo;
  std::string queueId;  // names the message in the engines' logs
  Deadline deadline = Deadline::In(std::chrono::seconds(30));
};

}  // namespace vt::scanner
