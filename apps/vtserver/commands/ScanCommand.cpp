// `vtserver scan DIR --verdict V [--db PATH]`: the scanner's stand-in gives
// every unverified message of the scan boxes (or of PATH) its verdict.
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "DataDirCommand.h"
#include "datadir/ConfigDocument.h"
#include "notes/HandleOwners.h"
#include "standins/Verdicts.h"

namespace vt::tool {
namespace {

class ScanCommand : public DataDirCommand {
 public:
  ScanCommand()
      : DataDirCommand("scan",
                       "Act as the scanner: every unverified message of the "
                       "configured scan boxes (or of --db) gets "
                       "VeltraneVerified \"1\" and Kesto_Router VERDICT") {}

 private:
  void AddArguments(CLI::App& sub) override {
    sub.add_option("--verdict", verdict_,
                   "M ordinary mail, B, C or D spam of that perimeter")
        ->required()
        ->check(CLI::IsMember({"M", "B", "C", "D"}, CLI::ignore_case));
    sub.add_option("--db", database_,
                   "this database instead of the configured scan boxes");
  }

  Outcome CheckArguments() override {
    verdictChar_ = static_cast<char>(std::toupper(
        static_cast<unsigned char>(verdict_.empty() ? 0 : verdict_[0])));
    if (!IsVerdict(verdictChar_)) {
      return Outcome::Failure("the verdict must be M, B, C or D");
    }
    return Outcome();
  }

  Outcome RunOn(LocalNotesServices& server) override {
    const char verdict = verdictChar_;
    std::vector<std::string> boxes;
    if (!database_.empty()) {
      boxes.push_back(database_);
    } else {
      const Outcome outcome = ReadConfiguredScanBoxes(server, &boxes);
      if (!outcome.ok()) return outcome;
    }
    // A scan box that cannot be read does not keep the others waiting; the
    // first failure is reported after the count of what was done.
    VerdictCounts counts;
    Outcome failure;
    for (const std::string& box : boxes) {
      Database db(server);
      const Status s = db.Open(box);
      // The router makes its scan boxes when it starts; until then there is
      // nothing in them to scan.
      if (s.Is(err::kFileNotFound) && database_.empty()) continue;
      const Outcome outcome =
          s.ok()
              ? GiveVerdicts(
                    server, db.handle(), box,
                    [verdict](const std::string&) { return verdict; }, &counts)
              : StatusFailure("cannot open " + box, s);
      if (!outcome.ok() && failure.ok()) failure = outcome;
    }
    std::printf("%d message%s given verdict %c\n", counts.given,
                counts.given == 1 ? "" : "s", verdict);
    std::fflush(stdout);
    return failure;
  }

  std::string verdict_;
  std::string database_;
  char verdictChar_ = 0;
};

}  // namespace

std::unique_ptr<Command> MakeScanCommand() {
  return std::make_unique<ScanCommand>();
}

}  // namespace vt::tool
