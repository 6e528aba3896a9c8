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

Outcome DataDirCommand::StartServiceRuntime(LocalNotesServices& server) const {
  std::string data = dir_;
  char program[] = "vtserver";
  char option[] = "--data";
  char* arguments[] = {program, option, data.data(), nullptr};
  const Status started = server.StartRuntime(3, arguments);
  if (!started.ok()) return StatusFailure("cannot serve " + dir_, started);
  return Outcome();
}

ServiceStatusLine::ServiceStatusLine(LocalNotesServices& server,
                                     const char* name)
    : server_(server) {
  server_.QueryTaskDefaults(&module_, &defaultLine_);
  line_ = server_.CreateStatusLine(name);
}

ServiceStatusLine::~ServiceStatusLine() {
  if (line_) server_.DeleteStatusLine(line_);
}

void ServiceStatusLine::Show(const std::string& text) {
  if (!line_ || text == shown_) return;
  shown_ = text;
  server_.SetTaskDefaults(module_, line_);
  server_.SetStatusText("%s", text.c_str());
  server_.SetTaskDefaults(module_, defaultLine_);
}

}  // namespace vt::tool
