// Finishing the moves that left a message in two places, by the rules the
// router and a repeated release already follow, so that the copy kept is the
// one they would have kept:
//   - a released copy in a mail box (VTAdminReleased "1") wins over its
//     quarantined copy;
//   - otherwise a later version wins over an earlier one;
//   - at equal versions the copy further along the road wins: unverified in
//     a mail box, then in a scan box, then verified in a mail box or in a
//     quarantine (a move's source is what is left when its deletion failed).
// Copies these rules cannot order, and copies in databases off the road,
// are left for a person.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "datadir/Outcome.h"
#include "quarantine/DatabaseRoles.h"
#include "server/LocalNotesServices.h"
#include "stats/TwoPlaces.h"

namespace vt::tool {

// The index of the copy the rules keep among the copies of the road, or
// nullopt when no copy of the road wins over every other.
std::optional<size_t> CopyToKeep(const std::vector<MessageCopy>& copies);

struct RepairResult {
  UniversalId unid{};
  std::vector<MessageCopy> copies;  // as they were when decided
  std::optional<size_t> kept;       // index into copies
  std::vector<size_t> removed;      // or, in a dry run, would be
  // Why a copy stays beside the one kept, or why nothing was removed, and
  // what to do about it.
  std::string problem;
  bool Finished() const { return kept && problem.empty(); }
};

// Decides for each message found and, unless dryRun, deletes the copies that
// lose, durably, each deletion logged. Every copy is read again first, in
// every database of the road: the caller holds every move meanwhile
// (MovesHeld), so that what was decided stays true. A database that cannot
// be opened or written is a failure, with the results so far.
Outcome RepairTwoPlaces(LocalNotesServices& server, const DatabaseRoles& roles,
                        const std::vector<MessageInTwoPlaces>& found,
                        bool dryRun, std::vector<RepairResult>* results);

}  // namespace vt::tool
