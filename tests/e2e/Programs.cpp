// Child processes for the end-to-end tests, started as vtserver starts its
// own.
#include "Programs.h"

#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace vt::e2e {
namespace {

namespace fs = std::filesystem;

std::string BuildPath(const char* relative) {
  const char* build = std::getenv("VT_BUILD_DIR");
  if (build == nullptr || build[0] == '\0') return {};
  return (fs::path(build) / relative).string();
}

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
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
  tool::ChildProcess child;
  if (child.Start(program, arguments, out.string(), err.string()).ok()) {
    if (!child.WaitForExit(timeoutMs)) {
      child.Signal(SIGKILL);
      child.WaitForExit(timeoutMs);
    }
    result.exitCode = child.termSignal() != 0 ? -1 : child.exitCode();
    result.termSignal = child.termSignal();
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
