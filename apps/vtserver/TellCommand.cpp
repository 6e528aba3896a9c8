// `vtserver tell DIR TASK COMMAND...`: one console command to a running
// task, through its message queue "MQ$<TASK>".
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "Command.h"
#include "DataDir.h"
#include "server/console/ConsoleQueue.h"

namespace vt::tool {
namespace {

class TellCommand : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* sub = app.add_subcommand(
        "tell",
        "Send one console command to a running task, as 'tell TASK COMMAND' "
        "on the server console ('quit' ends the task)");
    sub->add_option("DIR", dir_, "the data directory")->required();
    sub->add_option("TASK", task_, "the task, e.g. vtrouter")->required();
    sub->add_option("COMMAND", words_,
                    "the command and its words (at most 500 bytes); put -- "
                    "before words that begin with '-'")
        ->required();
    return sub;
  }

  int Run() override {
    std::string command;
    for (const std::string& word : words_) {
      command.append(command.empty() ? "" : " ");
      command.append(word);
    }
    if (command.find_first_not_of(' ') == std::string::npos) {
      return ReportFailure(Outcome::Failure("the command is empty"));
    }
    if (command.size() > console::ConsoleQueue::kMaxMessageBytes) {
      return ReportFailure(Outcome::Failure(
          "the command is " + std::to_string(command.size()) +
          " bytes; a console command holds at most " +
          std::to_string(console::ConsoleQueue::kMaxMessageBytes)));
    }
    std::unique_ptr<LocalNotesServices> server;
    const Outcome outcome = OpenDataDirectory(dir_, &server);
    if (!outcome.ok()) return ReportFailure(outcome);
    std::string queue = "MQ$";
    for (const char c : task_) {
      queue.push_back(
          static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    }
    const Status s = console::ConsoleQueue::Post(server->dataDirectory().root(),
                                                 queue, command);
    if (s.Is(err::kQueueNotFound)) {
      return ReportFailure(
          Outcome::Failure("task " + task_ + " is not running"));
    }
    if (!s.ok()) {
      return ReportFailure(StatusFailure("cannot tell " + task_, s));
    }
    return 0;
  }

 private:
  std::string dir_;
  std::string task_;
  std::vector<std::string> words_;
};

}  // namespace

std::unique_ptr<Command> MakeTellCommand() {
  return std::make_unique<TellCommand>();
}

}  // namespace vt::tool
