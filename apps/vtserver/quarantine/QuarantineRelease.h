// An administrator's release of a wrongly quarantined message into a mail
// box. It runs beside a live router and keeps its promise: the message is
// copied durably before it leaves the quarantine, and a release repeated
// after a failure or a crash finishes the move without a second copy. It
// reaches the server through NotesServices alone, so that it can run under
// the same fault injection as the router's own moves.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "datadir/Outcome.h"
#include "quarantine/MailBoxes.h"
#include "quarantine/Quarantine.h"

namespace vt::tool {

struct Released {
  std::string from;  // the quarantine database
  std::string to;    // the mail box
};

// Releases the message of universal ID id (text) into mailBoxes[target],
// or into the mail box an earlier, unfinished release of it reached.
Outcome ReleaseMessage(NotesServices& notes,
                       const std::vector<QuarantineFile>& files,
                       const MailBoxes& mailBoxes, size_t target,
                       const std::string& id, Released* released);

}  // namespace vt::tool
