// `vtserver check DIR [--repair [--dry-run]]`: the store's integrity check of
// every database (files, and those kept in PostgreSQL), and every message
// that more than one database holds; the damaged databases and such
// messages are named and the exit status is 1. --repair finishes the moves
// that left a message in two places.
#include <cstdio>
#include <string>
#include <vector>

#include "DataDirCommand.h"
#include "datadir/Databases.h"
#include "datadir/ItemText.h"
#include "datadir/RouterSettings.h"
#include "maintenance/MovesHeld.h"
#include "maintenance/TwoPlacesRepair.h"
#include "notes/HandleOwners.h"
#include "quarantine/DatabaseRoles.h"
#include "quarantine/Quarantine.h"
#include "stats/TwoPlaces.h"

namespace vt::tool {
namespace {

std::string MessagesAre(size_t n) {
  return std::to_string(n) + (n == 1 ? " message is" : " messages are");
}

void PrintFound(const std::vector<MessageInTwoPlaces>& found) {
  for (const MessageInTwoPlaces& message : found) {
    std::printf("Message %s is held by %zu databases:\n",
                UnidText(message.unid).c_str(), message.copies.size());
    for (const MessageCopy& copy : message.copies) {
      std::printf("  %s (%s): %s\n", Printable(copy.database).c_str(),
                  DatabaseRoleName(copy.role), CopyText(copy).c_str());
    }
  }
}

void PrintRepair(const RepairResult& result, bool dryRun) {
  const std::string id = UnidText(result.unid);
  if (!result.kept) {
    std::printf("Message %s: left alone: %s\n", id.c_str(),
                Printable(result.problem).c_str());
    return;
  }
  const MessageCopy& kept = result.copies[*result.kept];
  if (result.removed.empty() && result.copies.size() == 1) {
    std::printf("Message %s: in one place now (%s)\n", id.c_str(),
                Printable(kept.database).c_str());
  }
  for (const size_t i : result.removed) {
    const MessageCopy& copy = result.copies[i];
    std::printf("Message %s: %s the copy in %s (version %u); %s in %s\n",
                id.c_str(), dryRun ? "would remove" : "removed",
                Printable(copy.database).c_str(), copy.sequence,
                dryRun ? "it would be kept" : "it is kept",
                Printable(kept.database).c_str());
  }
  if (!result.problem.empty()) {
    std::printf("Message %s: left alone: %s\n", id.c_str(),
                Printable(result.problem).c_str());
  }
}

class CheckCommand : public DataDirCommand {
 public:
  CheckCommand()
      : DataDirCommand(
            "check",
            "Check the integrity of every database and find the messages "
            "that more than one database holds; exit 1 and name them when a "
            "database is damaged or a message is in two places") {}

 private:
  DataDirOptions Options() const override {
    // A repair writes, after every database passed its check in full.
    if (repair_ && !dryRun_) {
      DataDirOptions options;
      options.checkFormat = false;
      return options;
    }
    // Each file is checked in full below; one of another format is named
    // as such, not refused for the whole directory.
    DataDirOptions options = DataDirOptions::ReadOnly();
    options.checkFormat = false;
    return options;
  }

  void AddArguments(CLI::App& sub) override {
    sub.add_flag("--repair", repair_,
                 "finish the moves that left a message in two places (the "
                 "router is paused meanwhile)");
    sub.add_flag("--dry-run", dryRun_,
                 "with --repair: show what it would do, change nothing");
  }

  Outcome CheckArguments() override {
    if (dryRun_ && !repair_) {
      return Outcome::Failure("--dry-run goes with --repair");
    }
    return Outcome();
  }

  Outcome RunOn(LocalNotesServices& server) override {
    RouterSettings settings;
    const Outcome configured = ReadRouterSettings(server, &settings);
    const DatabaseRoles roles =
        configured.ok() ? DatabaseRoles(server, settings) : DatabaseRoles();
    std::vector<std::string> damaged;
    std::vector<std::string> older;
    size_t checked = 0;
    TwoPlacesFinder finder;
    std::vector<UnlistedServer> unlisted;
    for (const std::string& path : StoredDatabases(server, &unlisted)) {
      ++checked;
      Database db(server);
      Status s = db.Open(path);
      std::string problem;
      if (s.ok()) s = server.CheckDatabase(db.handle(), false, &problem);
      if (s.ok() && problem.empty()) {
        finder.StartDatabase(path);
        s = server.ScanDocuments(db.handle(), {},
                                 [&](const ServerAdmin::Document& document) {
                                   finder.Add(document);
                                   return Status();
                                 });
      }
      // Sound, only not of this version's format: upgrade's work, not damage.
      if (s.Is(err::kOlderFormat)) {
        std::printf("%s: older format\n", path.c_str());
        older.push_back(path);
        continue;
      }
      if (!s.ok()) problem = StatusMessage(s);
      std::printf("%s: %s\n", path.c_str(),
                  problem.empty() ? "ok" : problem.c_str());
      if (!problem.empty()) damaged.push_back(path);
    }
    std::string unreached;
    for (const UnlistedServer& other : unlisted) {
      const std::string problem = StatusMessage(other.status);
      std::printf("%s: %s\n", other.name.c_str(), problem.c_str());
      unreached.append(unreached.empty() ? "" : ", ")
          .append(other.name + " (" + problem + ")");
    }
    if (!configured.ok()) {
      std::printf("%s: no copy of a message can be told from another\n",
                  configured.message().c_str());
    }
    const std::vector<MessageInTwoPlaces> found = finder.Finish(server, roles);
    PrintFound(found);

    std::vector<std::string> failures;
    if (!damaged.empty()) {
      std::string names;
      for (const std::string& path : damaged) {
        names.append(names.empty() ? "" : ", ").append(path);
      }
      failures.push_back(std::to_string(damaged.size()) + " of " +
                         std::to_string(checked) +
                         " databases failed the check: " + names);
    }
    if (!unreached.empty()) {
      failures.push_back("the databases of " + unreached +
                         " could not be checked");
    }
    if (!older.empty()) {
      failures.push_back(std::to_string(older.size()) + " of " +
                         std::to_string(checked) +
                         " databases are of an older format (run "
                         "'vtserver upgrade " +
                         dir() + "')");
    }
    if (!found.empty()) {
      const Outcome repaired =
          Repair(server, roles, found, damaged.empty() && unreached.empty());
      if (!repaired.ok()) failures.push_back(repaired.message());
    }
    std::fflush(stdout);
    if (failures.empty()) return Outcome();
    std::string text;
    for (const std::string& failure : failures) {
      text.append(text.empty() ? "" : "; ").append(failure);
    }
    return Outcome::Failure(text);
  }

  // Succeeds only when every message found is in one place afterwards.
  Outcome Repair(LocalNotesServices& server, const DatabaseRoles& roles,
                 const std::vector<MessageInTwoPlaces>& found, bool undamaged) {
    const std::string heldTwice =
        MessagesAre(found.size()) + " held by more than one database";
    if (!repair_) {
      return Outcome::Failure(heldTwice + " ('vtserver check " + dir() +
                              " --repair' finishes their moves)");
    }
    if (!undamaged) {
      return Outcome::Failure(heldTwice +
                              ", not repaired while a database is damaged "
                              "or out of reach");
    }
    MovesHeld held(server);
    if (!dryRun_) {
      const Outcome outcome = held.Hold();
      if (!outcome.ok()) {
        return Outcome::Failure(outcome.message() + "; nothing repaired");
      }
    }
    std::vector<RepairResult> results;
    const Outcome outcome =
        RepairTwoPlaces(server, roles, found, dryRun_, &results);
    held.Let();
    size_t left = 0;
    for (const RepairResult& result : results) {
      PrintRepair(result, dryRun_);
      if (!result.Finished()) ++left;
    }
    if (!outcome.ok()) return outcome;
    if (dryRun_) {
      return Outcome::Failure(heldTwice + " (a dry run: nothing changed)");
    }
    if (left == 0) return Outcome();
    return Outcome::Failure(MessagesAre(left) +
                            " still held by more than one database: a "
                            "person must choose");
  }

  bool repair_ = false;
  bool dryRun_ = false;
};

}  // namespace

std::unique_ptr<Command> MakeCheckCommand() {
  return std::make_unique<CheckCommand>();
}

}  // namespace vt::tool
