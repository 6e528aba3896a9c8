// The scanner's stand-in: unverified messages get VeltraneVerified "1" and
// a verdict in Kesto_Router. It works beside a live router that may move or
// delete any message at any moment, so a message that vanished is skipped,
// never written back.
#pragma once

#include <functional>
#include <string>

#include "datadir/Outcome.h"
#include "server/LocalNotesServices.h"

namespace vt::tool {

// The verdict for a message, by its VTMessageId (empty when it has none);
// 0 leaves the message alone.
using VerdictChoice = std::function<char(const std::string& messageId)>;

struct VerdictCounts {
  int given = 0;
  int vanished = 0;  // gone between the search and the update
};

// True for M, B, C and D.
bool IsVerdict(char verdict);

// Every unverified document of db (named name in messages) that choose
// gives a verdict to.
Outcome GiveVerdicts(LocalNotesServices& server, DbHandle db,
                     const std::string& name, const VerdictChoice& choose,
                     VerdictCounts* counts);

}  // namespace vt::tool
