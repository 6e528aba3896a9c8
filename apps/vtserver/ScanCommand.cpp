// `vtserver scan DIR --verdict V [--db PATH]`: the scanner's stand-in gives
// every unverified message of the scan boxes (or of PATH) its verdict.
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "Command.h"
#include "ConfigDocument.h"
#include "DataDir.h"
#include "Handles.h"
#include "Verdicts.h"

namespace vt::tool {
namespace {

class ScanCommand : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* sub = app.add_subcommand(
        "scan",
        "Act as the scanner: every unverified message of the configured scan "
        "boxes (or of --db) gets VeltraneVerified \"1\" and Kesto_Router "
        "VERDICT");
    sub->add_option("DIR", dir_, "the data directory")->required();
    sub->add_option("--verdict", verdict_,
                    "M ordinary mail, B, C or D spam of that perimeter")
        ->required()
        ->check(CLI::IsMember({"M", "B", "C", "D"}, CLI::ignore_case));
    sub->add_option("--db", database_,
                    "this database instead of the configured scan boxes");
    return sub;
  }

  int Run() override {
    const char verdict = static_cast<char>(std::toupper(
        static_cast<unsigned char>(verdict_.empty() ? 0 : verdict_[0])));
    if (!IsVerdict(verdict)) {
      return ReportFailure(
          Outcome::Failure("the verdict must be M, B, C or D"));
    }
    std::unique_ptr<LocalNotesServices> server;
    Outcome outcome = OpenDataDirectory(dir_, &server);
    if (!outcome.ok()) return ReportFailure(outcome);

    std::vector<std::string> boxes;
    if (!database_.empty()) {
      boxes.push_back(database_);
    } else {
      outcome = ConfiguredBoxes(*server, &boxes);
      if (!outcome.ok()) return ReportFailure(outcome);
    }
    // A scan box that cannot be read does not keep the others waiting; the
    // first failure is reported after the count of what was done.
    VerdictCounts counts;
    Outcome failure;
    for (const std::string& box : boxes) {
      Database db(*server);
      const Status s = db.Open(box);
      // The router makes its scan boxes when it starts; until then there is
      // nothing in them to scan.
      if (s.Is(err::kFileNotFound) && database_.empty()) continue;
      outcome = s.ok() ? GiveVerdicts(
                             *server, db.handle(), box,
                             [verdict](const std::string&) { return verdict; },
                             &counts)
                       : StatusFailure("cannot open " + box, s);
      if (!outcome.ok() && failure.ok()) failure = outcome;
    }
    std::printf("%d message%s given verdict %c\n", counts.given,
                counts.given == 1 ? "" : "s", verdict);
    std::fflush(stdout);
    return failure.ok() ? 0 : ReportFailure(failure);
  }

 private:
  Outcome ConfiguredBoxes(LocalNotesServices& server,
                          std::vector<std::string>* boxes) {
    std::string name;
    Outcome outcome = OwnServerName(server, &name);
    if (!outcome.ok()) return outcome;
    Database admin(server);
    uint32_t noteId = 0;
    outcome = OpenConfigDocument(server, name, admin, &noteId);
    if (!outcome.ok()) return outcome;
    Note config(server);
    const Status s = config.Open(admin.handle(), noteId);
    if (!s.ok()) {
      return StatusFailure("cannot open the configuration document", s);
    }
    *boxes = ConfiguredScanBoxes(server, config.handle());
    return Outcome();
  }

  std::string dir_;
  std::string verdict_;
  std::string database_;
};

}  // namespace

std::unique_ptr<Command> MakeScanCommand() {
  return std::make_unique<ScanCommand>();
}

}  // namespace vt::tool
