// `vtserver show DIR tasks|log`: the running tasks' status lines, or the
// server log.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <string>

#include "DataDirCommand.h"
#include "server/console/RuntimeFiles.h"
#include "server/console/StatusLines.h"

namespace vt::tool {
namespace {

Outcome ShowTasks(const LocalNotesServices& server) {
  std::string text;
  for (const console::StatusLineInfo& line :
       console::StatusLines::ReadAll(server.dataDirectory().root())) {
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
  const std::string file =
      (server.dataDirectory().RuntimeFolder() / "server.log").string();
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

class ShowCommand : public DataDirCommand {
 public:
  ShowCommand()
      : DataDirCommand(
            "show",
            "Show the status lines of running tasks, or the server log") {}

 private:
  void AddArguments(CLI::App& sub) override {
    sub.add_option("WHAT", what_, "tasks or log")
        ->required()
        ->check(CLI::IsMember({"tasks", "log"}));
  }

  Outcome RunOn(LocalNotesServices& server) override {
    return what_ == "tasks" ? ShowTasks(server) : ShowLog(server);
  }

  std::string what_;
};

}  // namespace

std::unique_ptr<Command> MakeShowCommand() {
  return std::make_unique<ShowCommand>();
}

}  // namespace vt::tool
