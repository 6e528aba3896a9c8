// One vtserver command: it adds its subcommand and options to the command
// line, and runs once the line is parsed. main() owns one of each.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <vector>

namespace vt::tool {

class Command {
 public:
  Command() = default;
  Command(const Command&) = delete;
  Command& operator=(const Command&) = delete;
  virtual ~Command() = default;

  // Adds the subcommand to app and returns it; options bind to members.
  virtual CLI::App* Register(CLI::App& app) = 0;
  // The exit code.
  virtual int Run() = 0;
};

std::unique_ptr<Command> MakeInitCommand();
std::unique_ptr<Command> MakeConfigCommand();
std::unique_ptr<Command> MakeSendCommand();
std::unique_ptr<Command> MakeScanCommand();
std::unique_ptr<Command> MakeTellCommand();
std::unique_ptr<Command> MakeShowCommand();
std::unique_ptr<Command> MakeLsCommand();
std::unique_ptr<Command> MakeDemoCommand();
std::unique_ptr<Command> MakeQuarantineCommand();
std::unique_ptr<Command> MakeStatsCommand();
std::unique_ptr<Command> MakeBackupCommand();
std::unique_ptr<Command> MakeCheckCommand();
std::unique_ptr<Command> MakeUpgradeCommand();
std::unique_ptr<Command> MakeCompactCommand();
std::unique_ptr<Command> MakeWebCommand();
std::unique_ptr<Command> MakeSmtpCommand();
std::unique_ptr<Command> MakeScannerCommand();

}  // namespace vt::tool
