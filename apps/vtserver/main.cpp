// vtserver: the embedded server's console and administration client. It
// plays the administrator, the mail server and the scanner beside a running
// vtrouter. Each command lives in its own file; this one parses the line.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Command.h"
#include "datadir/Outcome.h"

namespace {

constexpr int kUsageError = 2;

constexpr char kDescription[] =
    "The embedded server's console and administration client.\n"
    "Every command takes the data directory DIR first (except demo).\n"
    "Exit status: 0 done, 1 failed, 2 bad command line.";

// CLI11's own failure text spans two lines; ours is one.
std::string OneLineFailure(const CLI::App*, const CLI::Error& error) {
  std::string line = "vtserver: ";
  line.append(error.what());
  line.append(" (see --help)\n");
  return line;
}

using CommandList =
    std::vector<std::pair<CLI::App*, std::unique_ptr<vt::tool::Command>>>;

// A missing or misspelt command or option, named as such (CLI11 would call
// it an "extra" or a missing command); empty when the first word is fine.
std::string FirstWordProblem(int argc, char** argv,
                             const CommandList& commands) {
  if (argc < 2) return "no command given (see vtserver --help)";
  const std::string first = argv[1];
  if (first.empty()) return "no command given (see vtserver --help)";
  if (first[0] == '-') {
    if (first == "-h" || first == "--help" || first == "--version") return {};
    return "unknown option '" + first + "' (see vtserver --help)";
  }
  for (const auto& entry : commands) {
    if (entry.first->check_name(first)) return {};
  }
  return "unknown command '" + first + "' (see vtserver --help)";
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(kDescription, "vtserver");
  app.set_version_flag("--version", "vtserver " VT_VERSION);
  app.require_subcommand(1);
  app.failure_message(OneLineFailure);

  CommandList commands;
  for (auto make : {vt::tool::MakeInitCommand, vt::tool::MakeConfigCommand,
                    vt::tool::MakeSendCommand, vt::tool::MakeScanCommand,
                    vt::tool::MakeTellCommand, vt::tool::MakeShowCommand,
                    vt::tool::MakeLsCommand, vt::tool::MakeQuarantineCommand,
                    vt::tool::MakeStatsCommand, vt::tool::MakeBackupCommand,
                    vt::tool::MakeCheckCommand, vt::tool::MakeUpgradeCommand,
                    vt::tool::MakeCompactCommand, vt::tool::MakeWebCommand,
                    vt::tool::MakeSmtpCommand, vt::tool::MakeScannerCommand,
                    vt::tool::MakeDemoCommand}) {
    std::unique_ptr<vt::tool::Command> command = make();
    CLI::App* sub = command->Register(app);
    commands.emplace_back(sub, std::move(command));
  }

  // "vtserver help", as administrators type it, is --help.
  char helpFlag[] = "--help";
  if (argc == 2 && std::strcmp(argv[1], "help") == 0) argv[1] = helpFlag;

  const std::string problem = FirstWordProblem(argc, argv, commands);
  if (!problem.empty()) {
    vt::tool::ReportFailure(vt::tool::Outcome::Failure(problem));
    return kUsageError;
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // Help and version end well; any other complaint about the command
    // line is the usual usage error, 2.
    return app.exit(error) == 0 ? 0 : kUsageError;
  }
  for (auto& [sub, command] : commands) {
    if (sub->parsed()) return command->Run();
  }
  return 1;
}
