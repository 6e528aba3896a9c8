// The messages the scanner's tests send through the engines, as the
// scanner would hand them over: an ordinary letter, GTUBE, EICAR as an
// attachment, and one above clamd's stream limit.
#pragma once

#include <cstddef>
#include <string>

#include "scanner/ScanRequest.h"

namespace vt::scanner::testing {

// Envelope: alice@example.com to bob@example.org and carol@example.org (as
// the letter's To), from 192.0.2.10, mail.example.com.
ScanRequest PlainRequest(const std::string& queueId = "VTQ1");
ScanRequest GtubeRequest();
ScanRequest EicarRequest();
// A plain letter of at least bytes bytes.
ScanRequest LargeRequest(size_t bytes);

}  // namespace vt::scanner::testing
