// A stored message as the engines are handed it: the listener's bytes with
// the envelope and the client's data it kept, or, for a message that never
// came over SMTP (the stand-ins' mail), a plain RFC 5322 text made from its
// From, SendTo, Subject and Body, so that every message can be scanned.
#pragma once

#include <string>

#include "scanner/ScanRequest.h"
#include "server/ServerAdmin.h"

namespace vt::tool {

// The request for a note read whole; its deadline is left to the caller.
scanner::ScanRequest RequestFromNote(const ServerAdmin::NoteContents& note);

// The universal ID as 32 hexadecimal digits: how the log, the engines and
// the listener's "queued as" name a message.
std::string QueueId(const UniversalId& unid);

}  // namespace vt::tool
