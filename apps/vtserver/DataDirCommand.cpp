// The shared opening steps of the commands on a data directory.
#include "DataDirCommand.h"

#include <memory>
#include <utility>

#include "datadir/DataDir.h"

namespace vt::tool {

CLI::App* DataDirCommand::Register(CLI::App& app) {
  CLI::App* sub = app.add_subcommand(name_, description_);
  sub->add_option("DIR", dir_, "the data directory")->required();
  AddArguments(*sub);
  return sub;
}

int DataDirCommand::Run() {
  Outcome outcome = CheckArguments();
  std::unique_ptr<LocalNotesServices> server;
  if (outcome.ok()) outcome = OpenDataDirectory(dir_, &server, Options());
  if (outcome.ok()) outcome = RunOn(*server);
  outcome = Finish(std::move(outcome));
  return outcome.ok() ? 0 : ReportFailure(outcome);
}

}  // namespace vt::tool
