// Running the real programs from the tests: vtserver commands to their end
// with their output and exit status, and vtrouter in the background for as
// long as a test needs it (and never longer: its owner ends it).
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "standins/ChildProcess.h"

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

// A program in the background: vtserver's own owner of its child process,
// with a yes-or-no start. Standard output and error go to outputFile; a
// process still running when its owner goes is ended, SIGTERM then SIGKILL.
class BackgroundProcess : public tool::ChildProcess {
 public:
  bool Start(const std::string& program,
             const std::vector<std::string>& arguments,
             const std::string& outputFile) {
    return ChildProcess::Start(program, arguments, outputFile).ok();
  }
};

}  // namespace vt::e2e
