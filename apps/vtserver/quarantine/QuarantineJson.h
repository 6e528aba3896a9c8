// Quarantined messages as JSON, the same for `vtserver quarantine --json`
// and the web console's API.
#pragma once

#include "datadir/JsonOut.h"
#include "quarantine/Quarantine.h"

namespace vt::tool {

// A listing's entry: where it is, its universal ID, date, From, SendTo and
// Subject.
Json QuarantinedMessageJson(const QuarantinedMessage& message);
// Where it is, its universal ID and date, and every item by name.
Json QuarantinedNoteJson(const QuarantinedNote& note);

}  // namespace vt::tool
