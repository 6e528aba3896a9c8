// The engines' replies read into results, apart from the sockets and HTTP
// that carry them, so that every parser of what a peer sends sits in one
// place and can be fed any bytes: each returns a result or a protocol
// failure, never throws and never reads past its input.
#pragma once

#include <string_view>

#include "scanner/EngineResult.h"

namespace vt::scanner {

// rspamd's /checkv2 JSON: action, score, required_score, symbols (with
// score, description and options), is_skipped, message-id.
EngineOutcome ParseRspamdCheck(std::string_view json);
// The controller's answer to /learnham or /learnspam with its HTTP status.
LearnOutcome ParseRspamdLearn(long httpStatus, std::string_view body);
// The text of an rspamd error reply ({"error": "..."}), or the body itself.
std::string RspamdErrorText(std::string_view body);

// "SPAMD/1.1 0 EX_OK", "Spam: True ; 15.0 / 5.0", a blank line and the
// rules that hit, separated by commas.
EngineOutcome ParseSpamdSymbols(std::string_view reply);
// TELL's answer: "DidSet: local" when spamd learnt the message; no DidSet
// when it had learnt it already.
LearnOutcome ParseSpamdTell(std::string_view reply);

// "stream: OK", "stream: NAME FOUND", or "... ERROR" (a size limit among
// them, which is a failure: the stream was not scanned).
EngineOutcome ParseClamdReply(std::string_view reply);

}  // namespace vt::scanner
