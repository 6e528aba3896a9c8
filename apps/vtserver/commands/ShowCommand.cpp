// `vtserver show DIR tasks|log [--tail N] [--follow]`: the running tasks'
// status lines, or the server log.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "DataDirCommand.h"
#include "datadir/LogFollower.h"

namespace vt::tool {
namespace {

Outcome ShowTasks(const LocalNotesServices& server) {
  std::string text;
  for (const ServerAdmin::TaskLine& line : server.ReadTaskLines()) {
    // A line left behind by a task that died is no running task.
    if (!line.running) continue;
    text.append(line.name);
    text.append("  ");
    text.append(line.text);
    text.push_back('\n');
  }
  if (text.empty()) text = "no tasks running\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
  return Outcome();
}

Outcome ShowLog(const LocalNotesServices& server) {
  const std::string file = server.LogFile().string();
  const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  bool any = false;
  if (fd) {
    // The log may be long: copied through in pieces.
    std::array<char, 65536> buffer;
    while (true) {
      const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return Outcome::Failure("cannot read " + file);
      if (n == 0) break;
      any = true;
      std::fwrite(buffer.data(), 1, static_cast<size_t>(n), stdout);
    }
  } else if (errno != ENOENT) {
    return Outcome::Failure("cannot read " + file);
  }
  if (!any) std::puts("the log is empty");
  return Outcome();
}

// The last lines, then, with follow, every line as it is written, until
// the command is interrupted.
Outcome TailLog(const LocalNotesServices& server, size_t last, bool follow) {
  LogFollower log(server.LogFile());
  std::vector<std::string> lines = log.NewLines();
  const size_t skip = last > 0 && lines.size() > last ? lines.size() - last : 0;
  for (size_t i = skip; i < lines.size(); ++i) std::puts(lines[i].c_str());
  std::fflush(stdout);
  while (follow) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    for (const std::string& line : log.NewLines()) std::puts(line.c_str());
    std::fflush(stdout);
  }
  return Outcome();
}

class ShowCommand : public DataDirCommand {
 public:
  ShowCommand()
      : DataDirCommand(
            "show",
            "Show the status lines of running tasks, or the server log") {}

 private:
  DataDirOptions Options() const override { return DataDirOptions::ReadOnly(); }

  void AddArguments(CLI::App& sub) override {
    sub.add_option("WHAT", what_, "tasks or log")
        ->required()
        ->check(CLI::IsMember({"tasks", "log"}));
    sub.add_option("--tail", tail_, "the log's last N lines")
        ->check(CLI::PositiveNumber);
    sub.add_flag("--follow,-f", follow_,
                 "then the log's lines as they are written (Ctrl-C ends)");
  }

  Outcome RunOn(LocalNotesServices& server) override {
    if (what_ == "tasks") return ShowTasks(server);
    if (tail_ > 0 || follow_) return TailLog(server, tail_, follow_);
    return ShowLog(server);
  }

  std::string what_;
  size_t tail_ = 0;
  bool follow_ = false;
};

}  // namespace

std::unique_ptr<Command> MakeShowCommand() {
  return std::make_unique<ShowCommand>();
}

}  // namespace vt::tool
