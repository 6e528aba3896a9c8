// `vtserver demo [--keep]`: the live demonstration.
#include "Command.h"
#include "standins/Demo.h"

namespace vt::tool {
namespace {

class DemoCommand : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* sub = app.add_subcommand(
        "demo",
        "A live demonstration (about 20 seconds) in a new temporary data "
        "directory: vtrouter routes mail of every kind while vtserver plays "
        "the mail server and the scanner");
    sub->add_flag("--keep", keep_,
                  "keep the data directory afterwards (its path is printed)");
    return sub;
  }

  int Run() override { return RunDemo(keep_); }

 private:
  bool keep_ = false;
};

}  // namespace

std::unique_ptr<Command> MakeDemoCommand() {
  return std::make_unique<DemoCommand>();
}

}  // namespace vt::tool
