// `vtserver check DIR`: SQLite's integrity check of every database; the
// damaged ones are named and the exit status is 1.
#include <cstdio>
#include <string>
#include <vector>

#include "DataDirCommand.h"
#include "Handles.h"

namespace vt::tool {
namespace {

class CheckCommand : public DataDirCommand {
 public:
  CheckCommand()
      : DataDirCommand("check",
                       "Check the integrity of every database; exit 1 and "
                       "name the damaged ones") {}

 private:
  DataDirOptions Options() const override {
    // Each file is checked in full below; one of another format is named
    // as such, not refused for the whole directory.
    DataDirOptions options = DataDirOptions::ReadOnly();
    options.checkFormat = false;
    return options;
  }

  void AddArguments(CLI::App&) override {}

  Outcome RunOn(LocalNotesServices& server) override {
    std::vector<std::string> damaged;
    size_t checked = 0;
    for (const std::string& path : server.dataDirectory().DatabaseFiles()) {
      ++checked;
      Database db(server);
      Status s = db.Open(path);
      std::string problem;
      store::NsfDatabase* database =
          s.ok() ? server.Database(db.handle()) : nullptr;
      if (database != nullptr) s = database->CheckIntegrity(false, &problem);
      if (!s.ok()) problem = StatusMessage(s);
      std::printf("%s: %s\n", path.c_str(),
                  problem.empty() ? "ok" : problem.c_str());
      if (!problem.empty()) damaged.push_back(path);
    }
    std::fflush(stdout);
    if (damaged.empty()) return Outcome();
    std::string names;
    for (const std::string& path : damaged) {
      names.append(names.empty() ? "" : ", ").append(path);
    }
    return Outcome::Failure(std::to_string(damaged.size()) + " of " +
                            std::to_string(checked) +
                            " databases failed the check: " + names);
  }
};

}  // namespace

std::unique_ptr<Command> MakeCheckCommand() {
  return std::make_unique<CheckCommand>();
}

}  // namespace vt::tool
