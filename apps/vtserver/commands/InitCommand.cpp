// `vtserver init DIR [--server NAME] [--mailboxes N] [--databases URI]`: a
// new data directory.
#include <cstdio>
#include <string>

#include "Command.h"
#include "datadir/DataDirInit.h"
#include "datadir/Outcome.h"

namespace vt::tool {
namespace {

class InitCommand : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* sub = app.add_subcommand(
        "init",
        "Make a new data directory: server.ini, mail.box (and mail2.box ... "
        "with --mailboxes), the templates "
        "Veltrane/scan.ntf, Veltrane/quarantine.ntf, "
        "Veltrane/quarantineadmin.ntf and the administration database "
        "Veltrane/VeltraneAdmin.nsf with the server's configuration document");
    sub->add_option("DIR", dir_, "the new data directory (new or empty)")
        ->required();
    sub->add_option("--server", server_, "the server's name")
        ->capture_default_str();
    sub->add_option("--mailboxes", mailboxes_,
                    "how many mail boxes: mail.box, mail2.box ... mailN.box")
        ->check(CLI::Range(1, kMaxInitMailboxes))
        ->capture_default_str();
    sub->add_option("--databases", databases_,
                    "keep the server's databases in this PostgreSQL database "
                    "(a libpq URI, postgresql://...), which holds none yet");
    return sub;
  }

  int Run() override {
    const Outcome outcome =
        InitDataDirectory(dir_, server_, mailboxes_, databases_);
    if (!outcome.ok()) return ReportFailure(outcome);
    std::printf("Made data directory %s for server %s\n", dir_.c_str(),
                server_.c_str());
    return 0;
  }

 private:
  std::string dir_;
  std::string server_ = kDefaultServerName;
  int mailboxes_ = 1;
  std::string databases_;
};

}  // namespace

std::unique_ptr<Command> MakeInitCommand() {
  return std::make_unique<InitCommand>();
}

}  // namespace vt::tool
