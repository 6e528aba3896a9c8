// `vtserver tell DIR TASK COMMAND...`: one console command to a running
// task, through its message queue "MQ$<TASK>".
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "DataDirCommand.h"
#include "base/Ascii.h"
#include "databases/RouterItems.h"

namespace vt::tool {
namespace {

bool RouterKnows(std::string_view command) {
  for (const char* word : kRouterCommandWords) {
    const std::string_view known(word);
    if (command.size() >= known.size() &&
        EqualsIgnoreCase(command.substr(0, known.size()), known)) {
      return true;
    }
  }
  // The words that end a task count alone, blanks around them aside.
  const size_t first = command.find_first_not_of(' ');
  const size_t last = command.find_last_not_of(' ');
  const std::string_view word = command.substr(first, last - first + 1);
  for (const char* end : kTaskEndWords) {
    if (EqualsIgnoreCase(word, end)) return true;
  }
  return false;
}

class TellCommand : public DataDirCommand {
 public:
  TellCommand()
      : DataDirCommand("tell",
                       "Send one console command to a running task, as 'tell "
                       "TASK COMMAND' on the server console ('quit' ends the "
                       "task)") {}

 private:
  void AddArguments(CLI::App& sub) override {
    sub.add_option("TASK", task_, "the task, e.g. vtrouter")->required();
    sub.add_option("COMMAND", words_,
                   "the command and its words (at most 500 bytes); put -- "
                   "before words that begin with '-'")
        ->required();
  }

  Outcome CheckArguments() override {
    for (const std::string& word : words_) {
      command_.append(command_.empty() ? "" : " ");
      command_.append(word);
    }
    if (command_.find_first_not_of(' ') == std::string::npos) {
      return Outcome::Failure("the command is empty");
    }
    if (command_.size() > ServerAdmin::kMaxConsoleCommand) {
      return Outcome::Failure("the command is " +
                              std::to_string(command_.size()) +
                              " bytes; a console command holds at most " +
                              std::to_string(ServerAdmin::kMaxConsoleCommand));
    }
    return Outcome();
  }

  Outcome RunOn(LocalNotesServices& server) override {
    std::string queue = "MQ$";
    for (const char c : task_) {
      queue.push_back(
          static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    }
    const Status s = server.PostConsoleCommand(queue, command_);
    if (s.Is(err::kQueueNotFound)) {
      return Outcome::Failure("task " + task_ + " is not running");
    }
    if (!s.ok()) return StatusFailure("cannot tell " + task_, s);
    // The router answers an unknown command only in its log; a script must
    // not take it for done.
    if (queue == kQueueName && !RouterKnows(command_)) {
      return Outcome::Failure(task_ + ": Unknown command " + command_);
    }
    return Outcome();
  }

  std::string task_;
  std::vector<std::string> words_;
  std::string command_;
};

}  // namespace

std::unique_ptr<Command> MakeTellCommand() {
  return std::make_unique<TellCommand>();
}

}  // namespace vt::tool
