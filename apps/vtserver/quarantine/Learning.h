// Teaching the engines what an administrator decided: a released false
// positive is ham, a missed spam message is spam. The engines are those
// the scanner asks (server.ini's [Scanner] section); each learns on its own,
// and one that fails is reported without undoing what the others learnt.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "datadir/Outcome.h"
#include "quarantine/Quarantine.h"
#include "quarantine/QuarantineRelease.h"
#include "scanner/EngineSet.h"
#include "server/LocalNotesServices.h"

namespace vt::tool {

// The engines of the data directory's server.ini that learn; a failure
// naming the setting that is wrong, or saying that none learns.
Outcome LearningEngines(const LocalNotesServices& server,
                        std::unique_ptr<scanner::EngineSet>* engines);

struct LearnReport {
  std::vector<std::string> learnt;   // engines that learnt it now
  std::vector<std::string> already;  // engines that had learnt it before
  // "rspamd at URL: cannot learn WHAT as ham: <reason>", one per engine.
  std::vector<std::string> failures;

  bool ok() const { return failures.empty(); }
  // "learnt as ham by rspamd, spamd; already known to spamd".
  std::string Summary(bool spam) const;
};

// Trains every engine that learns on request, named what in failures.
LearnReport LearnMessage(const scanner::EngineSet& engines,
                         scanner::ScanRequest request, bool spam,
                         const std::string& what);

// A quarantined message as the engines are handed it.
scanner::ScanRequest RequestFromQuarantined(const QuarantinedNote& note);

struct ReleaseResult {
  std::string id;
  Outcome outcome;  // the release's
  Released released;
  std::optional<LearnReport> learning;  // with engines, once released
};

// Releases each ID as ReleaseMessage does and then, with engines, teaches
// them the released message as ham. The message is read before its release
// and learnt after it, so a failure to learn never costs or doubles a
// release; done hears of each ID in turn.
void ReleaseEach(LocalNotesServices& server,
                 const std::vector<QuarantineFile>& files,
                 const MailBoxes& mailBoxes, size_t target,
                 const std::vector<std::string>& ids,
                 const scanner::EngineSet* engines,
                 const std::function<void(const ReleaseResult&)>& done);

}  // namespace vt::tool
