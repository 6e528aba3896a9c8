// `vtserver show DIR tasks|log`: the running tasks' status lines, or the
// server log.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <string>

#include "Command.h"
#include "DataDir.h"
#include "server/console/RuntimeFiles.h"
#include "server/console/StatusLines.h"

namespace vt::tool {
namespace {

int ShowTasks(const LocalNotesServices& server) {
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
  return 0;
}

int ShowLog(const LocalNotesServices& server) {
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
      if (n < 0) {
        return ReportFailure(Outcome::Failure("cannot read " + file));
      }
      if (n == 0) break;
      any = true;
      std::fwrite(buffer.data(), 1, static_cast<size_t>(n), stdout);
    }
  } else if (errno != ENOENT) {
    return ReportFailure(Outcome::Failure("cannot read " + file));
  }
  if (!any) std::puts("the log is empty");
  return 0;
}

class ShowCommand : public Command {
 public:
  CLI::App* Register(CLI::App& app) override {
    CLI::App* sub = app.add_subcommand(
        "show", "Show the status lines of running tasks, or the server log");
    sub->add_option("DIR", dir_, "the data directory")->required();
    sub->add_option("WHAT", what_, "tasks or log")
        ->required()
        ->check(CLI::IsMember({"tasks", "log"}));
    return sub;
  }

  int Run() override {
    std::unique_ptr<LocalNotesServices> server;
    const Outcome outcome = OpenDataDirectory(dir_, &server);
    if (!outcome.ok()) return ReportFailure(outcome);
    return what_ == "tasks" ? ShowTasks(*server) : ShowLog(*server);
  }

 private:
  std::string dir_;
  std::string what_;
};

}  // namespace

std::unique_ptr<Command> MakeShowCommand() {
  return std::make_unique<ShowCommand>();
}

}  // namespace vt::tool
