// Quarantined messages as JSON, the same for `vtserver quarantine --json`
// and the web console's API.
#pragma once

#include "datadir/JsonOut.h"
#include "quarantine/Quarantine.h"

namespace vt::tool {

// A listing's entry: where it is, its universal ID, date, From, SendTo,
// Subject, recipients, size and the scanner's evidence.
Json QuarantinedMessageJson(const QuarantinedMessage& message);
// Where it is, its universal ID and date, what a listing's entry says, a
// preview of its body as text, and every item by name.
Json QuarantinedNoteJson(const QuarantinedNote& note);

}  // namespace vt::tool
