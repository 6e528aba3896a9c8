// Running the real programs from the tests: vtserver commands to their end
// with their output and exit status, and vtrouter in the background for as
// long as a test needs it (and never longer: its owner ends it).
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace vt::e2e {

struct RunResult {
  int exitCode = -1;   // -1 when a signal ended it or it could not start
  int termSignal = 0;  // the signal that ended it
  std::string out;
  std::string err;
};

// The built programs, from VT_BUILD_DIR (set by the test run for every
// test); empty when the variable is missing.
std::string VtServerPath();
std::string VtRouterPath();

// Runs program with the arguments (argv[0] is added) to its end; one that
// runs longer than timeoutMs is killed and reported with its signal.
RunResult RunProgram(const std::string& program,
                     const std::vector<std::string>& arguments,
                     int timeoutMs = 120000);
RunResult RunVtServer(const std::vector<std::string>& arguments);

// Polls until done holds or timeoutMs passed; the last answer.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs);

class BackgroundProcess {
 public:
  BackgroundProcess() = default;
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;
  // A process still running is ended: SIGTERM, then SIGKILL.
  ~BackgroundProcess();

  // Standard output and error go to outputFile; false when it cannot start.
  bool Start(const std::string& program,
             const std::vector<std::string>& arguments,
             const std::string& outputFile);
  bool Running();
  bool WaitForExit(int timeoutMs);
  void Signal(int signal);
  pid_t pid() const { return pid_; }
  int exitCode() const { return exitCode_; }
  int termSignal() const { return termSignal_; }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int exitCode_ = -1;
  int termSignal_ = 0;
};

}  // namespace vt::e2e
