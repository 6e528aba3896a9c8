// What an administrator does to the quarantine: release a wrongly
// quarantined message to a mail box, and purge old spam. Both run beside a
// live router and keep its promise: a released message is copied durably
// before it leaves the quarantine, and a release repeated after a failure or
// a crash finishes the move without a second copy.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "datadir/Outcome.h"
#include "datadir/RouterSettings.h"
#include "notes/HandleOwners.h"
#include "quarantine/Quarantine.h"
#include "system/ScopedNamedMutex.h"
#include "system/posix/PosixSystemServices.h"

namespace vt::tool {

// Releases and deletions of one machine (by any vtserver command or web
// console) wait for each other, so that two releases of one message cannot
// choose two mail boxes.
class QuarantineLock {
 public:
  QuarantineLock() : lock_(system_, "VTRouterQuarantine", true) {}
  // Owns the lock, waiting up to 30 s for another holder; true once owned.
  bool Acquire() { return lock_.Acquire(30000); }
  static Outcome BusyFailure() {
    return Outcome::Failure(
        "another release or purge is running (waited 30 s); nothing done");
  }

 private:
  PosixSystemServices system_;
  ScopedNamedMutex lock_;
};

// The router's mail boxes, open, in the configuration's order; one that
// cannot be opened is a failure naming it.
class MailBoxes {
 public:
  Outcome Open(LocalNotesServices& server, const RouterSettings& settings);
  // The index of the mail box named name ('\' or '/', any case), or -1.
  int Find(const std::string& name) const;
  size_t size() const { return names_.size(); }
  const std::string& name(size_t i) const { return names_[i]; }
  DbHandle handle(size_t i) const { return databases_[i]->handle(); }
  // The name of the mail box of that handle.
  std::string NameOf(DbHandle db) const;

 private:
  std::vector<std::string> names_;
  std::vector<std::unique_ptr<Database>> databases_;
};

struct Released {
  std::string from;  // the quarantine database
  std::string to;    // the mail box
};

// Releases the message of universal ID id (text) into mailBoxes[target],
// or into the mail box an earlier, unfinished release of it reached.
Outcome ReleaseMessage(LocalNotesServices& server,
                       const std::vector<QuarantineFile>& files,
                       const MailBoxes& mailBoxes, size_t target,
                       const std::string& id, Released* released);

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
Outcome Purge(LocalNotesServices& server,
              const std::vector<QuarantineFile>& files,
              const PurgeSelector& doomed, bool dryRun,
              std::vector<PurgeResult>* results);

// The messages written before cutoff (Unix centiseconds).
Outcome PurgeOlder(LocalNotesServices& server,
                   const std::vector<QuarantineFile>& files, int64_t cutoff,
                   bool dryRun, std::vector<PurgeResult>* results);

}  // namespace vt::tool
