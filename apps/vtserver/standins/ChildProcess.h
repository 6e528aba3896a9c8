// A program vtserver starts and owns (the demonstration's vtrouter): its
// output goes to a file, and a child still running when its owner goes is
// ended, first politely, so that no process outlives the demonstration.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "datadir/Outcome.h"

namespace vt::tool {

class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // Ends a child still running: SIGTERM, then SIGKILL after a grace period.
  ~ChildProcess();

  // Starts program with arguments (argv[0] is program), standard output
  // into outputFile, standard error into errorFile (or outputFile when that
  // is empty), standard input from /dev/null.
  Outcome Start(const std::string& program,
                const std::vector<std::string>& arguments,
                const std::string& outputFile,
                const std::string& errorFile = {});

  pid_t pid() const { return pid_; }
  // Whether it still runs (reaping it when it has ended).
  bool Running();
  // Waits up to timeoutMs for it to end; true once it has.
  bool WaitForExit(int timeoutMs);
  void Signal(int signal);
  // After it ended: its exit code, or -1 when a signal ended it.
  int exitCode() const { return exitCode_; }
  int termSignal() const { return termSignal_; }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int exitCode_ = -1;
  int termSignal_ = 0;
};

// The vtrouter beside this vtserver (same folder, then the build tree's
// ../vtrouter/vtrouter), else the first one on PATH; empty when none.
std::string FindRouterExecutable();

}  // namespace vt::tool
