// Child processes for the end-to-end tests, started with posix_spawn.
#include "Programs.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

extern char** environ;

namespace vt::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int kPollMillis = 20;

std::string BuildPath(const char* relative) {
  const char* build = std::getenv("VT_BUILD_DIR");
  if (build == nullptr || build[0] == '\0') return {};
  return (fs::path(build) / relative).string();
}

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A spawned child with its standard streams redirected.
pid_t Spawn(const std::string& program,
            const std::vector<std::string>& arguments, const std::string& out,
            const std::string& err) {
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (err.empty()) {
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  std::vector<std::string> args;
  args.push_back(program);
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr,
                             argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// Reaps pid if it ended; true then, with its status. A pid that is no
// child of ours (any more) counts as ended.
bool Reap(pid_t pid, int* status) {
  const pid_t r = ::waitpid(pid, status, WNOHANG);
  if (r == pid) return true;
  if (r < 0 && errno != EINTR) {
    *status = 0;
    return true;
  }
  return false;
}

}  // namespace

std::string VtServerPath() { return BuildPath("apps/vtserver/vtserver"); }
std::string VtRouterPath() { return BuildPath("apps/vtrouter/vtrouter"); }

RunResult RunProgram(const std::string& program,
                     const std::vector<std::string>& arguments, int timeoutMs) {
  RunResult result;
  std::string folder = (fs::temp_directory_path() / "vtrun-XXXXXX").string();
  if (mkdtemp(folder.data()) == nullptr) return result;
  const fs::path out = fs::path(folder) / "out";
  const fs::path err = fs::path(folder) / "err";
  const pid_t pid = Spawn(program, arguments, out.string(), err.string());
  if (pid > 0) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (!Reap(pid, &status)) {
      if (std::chrono::steady_clock::now() >= deadline) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(kPollMillis));
    }
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.termSignal = WTERMSIG(status);
  }
  result.out = ReadAll(out);
  result.err = ReadAll(err);
  std::error_code ec;
  fs::remove_all(folder, ec);
  return result;
}

RunResult RunVtServer(const std::vector<std::string>& arguments) {
  return RunProgram(VtServerPath(), arguments);
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

}  // namespace vt::e2e
