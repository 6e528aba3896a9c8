// The expiry of old spam: quarantined messages deleted in durable batches,
// and rolled-over quarantines left empty removed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "datadir/Outcome.h"
#include "quarantine/Quarantine.h"
#include "server/ServerAdmin.h"

namespace vt::tool {

struct PurgeResult {
  std::string database;
  char perimeter = 0;
  uint32_t deleted = 0;    // or, in a dry run, would be
  uint32_t remaining = 0;  // documents left
  bool removed = false;  // the emptied, rolled-over file is gone (or would be)
};

// Deletes the messages of files that doomed picks, in durable batches,
// then removes each rolled-over database left empty that is numbered below
// its perimeter's configured one. A dry run changes nothing.
using PurgeSelector = std::function<bool(const QuarantinedMessage&)>;
Outcome Purge(NotesServices& notes, ServerAdmin& admin,
              const std::vector<QuarantineFile>& files,
              const PurgeSelector& doomed, bool dryRun,
              std::vector<PurgeResult>* results);

// The messages written before cutoff (Unix centiseconds).
Outcome PurgeOlder(NotesServices& notes, ServerAdmin& admin,
                   const std::vector<QuarantineFile>& files, int64_t cutoff,
                   bool dryRun, std::vector<PurgeResult>* results);

}  // namespace vt::tool
