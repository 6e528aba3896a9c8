// Starting, watching and ending a child process with posix_spawn.
#include "standins/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "system/posix/PosixSystemServices.h"

extern char** environ;

namespace vt::tool {
namespace {

namespace fs = std::filesystem;

constexpr int kGraceMillis = 10000;
constexpr int kPollMillis = 50;

bool IsExecutable(const fs::path& file) {
  std::error_code ec;
  return fs::is_regular_file(file, ec) && ::access(file.c_str(), X_OK) == 0;
}

// Frees the spawn attributes on every way out.
struct SpawnActions {
  posix_spawn_file_actions_t actions;
  bool made = false;
  SpawnActions() { made = posix_spawn_file_actions_init(&actions) == 0; }
  ~SpawnActions() {
    if (made) posix_spawn_file_actions_destroy(&actions);
  }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
};

}  // namespace

ChildProcess::~ChildProcess() {
  if (pid_ <= 0 || !Running()) return;
  Signal(SIGTERM);
  if (WaitForExit(kGraceMillis)) return;
  Signal(SIGKILL);
  WaitForExit(kGraceMillis);
}

Outcome ChildProcess::Start(const std::string& program,
                            const std::vector<std::string>& arguments,
                            const std::string& outputFile,
                            const std::string& errorFile) {
  SpawnActions spawn;
  if (!spawn.made) return Outcome::Failure("cannot start " + program);
  posix_spawn_file_actions_t* actions = &spawn.actions;
  if (posix_spawn_file_actions_addopen(actions, 0, "/dev/null", O_RDONLY, 0) !=
          0 ||
      posix_spawn_file_actions_addopen(actions, 1, outputFile.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC,
                                       0600) != 0 ||
      (errorFile.empty() ? posix_spawn_file_actions_adddup2(actions, 1, 2)
                         : posix_spawn_file_actions_addopen(
                               actions, 2, errorFile.c_str(),
                               O_WRONLY | O_CREAT | O_TRUNC, 0600)) != 0) {
    return Outcome::Failure("cannot start " + program);
  }
  std::vector<std::string> args;
  args.push_back(program);
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), actions, nullptr,
                             argv.data(), environ);
  if (rc != 0) {
    return Outcome::Failure("cannot start " + program + ": " +
                            std::strerror(rc));
  }
  pid_ = pid;
  reaped_ = false;
  return Outcome();
}

bool ChildProcess::Running() {
  if (pid_ <= 0 || reaped_) return false;
  int status = 0;
  const pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == 0) return true;
  if (r == pid_) {
    reaped_ = true;
    if (WIFEXITED(status)) {
      exitCode_ = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
      termSignal_ = WTERMSIG(status);
    }
    return false;
  }
  if (errno == EINTR) return true;
  reaped_ = true;  // not our child any more: nothing to wait for
  return false;
}

bool ChildProcess::WaitForExit(int timeoutMs) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Running()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMillis));
  }
  return true;
}

void ChildProcess::Signal(int signal) {
  if (pid_ > 0 && !reaped_) ::kill(pid_, signal);
}

std::string FindRouterExecutable() {
  PosixSystemServices system;
  std::array<char, 4096> self{};
  if (system.GetExecutablePath(self) > 0) {
    const fs::path folder = fs::path(self.data()).parent_path();
    for (const fs::path& candidate :
         {folder / "vtrouter", folder / ".." / "vtrouter" / "vtrouter"}) {
      if (IsExecutable(candidate)) return candidate.lexically_normal().string();
    }
  }
  const char* path = std::getenv("PATH");
  std::string_view rest = path == nullptr ? "" : path;
  while (!rest.empty()) {
    const size_t colon = rest.find(':');
    const std::string_view folder = rest.substr(0, colon);
    if (!folder.empty()) {
      const fs::path candidate = fs::path(folder) / "vtrouter";
      if (IsExecutable(candidate)) return candidate.string();
    }
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  return {};
}

}  // namespace vt::tool
