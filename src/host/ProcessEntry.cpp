// Runtime start and stop around the task; errors go to the console only.
#include "host/ProcessEntry.h"

#include "host/TaskMain.h"
#include "notes/FixedText.h"

namespace vt {
namespace {

constexpr uint16_t kErrorTextMax = 255;

// Fetches the text for status (start-up or exit text) and shows it unless
// the status asks not to be shown. Returns the fetch's result.
int ShowError(NotesServices& notes, SystemServices& system, Status status,
              bool startup) {
  FixedText<kErrorTextMax + 1> text;
  const uint16_t result =
      startup ? notes.GetStartupErrorText(status, text.span(), kErrorTextMax)
              : notes.GetExitErrorText(status, text.span(), kErrorTextMax);
  if (!status.hidden()) ShowStartupError(system, text.c_str());
  return result;
}

// The exit code of a runtime that did not start: the error text's length,
// as the platform reports it, but never 0, which would report success.
int StartupFailureCode(int result) { return result != 0 ? result : -1; }

}  // namespace

void ShowStartupError(SystemServices& system, const char* text) {
  FixedText<kErrorTextMax + 8> line;
  line.Format("\r\n%s\r\n\r\n", text);
  system.ConsoleWrite(line.c_str());
}

int ProcessEntry(NotesServices& notes, SystemServices& system, int argc,
                 char** argv) {
  Status status = notes.StartRuntime(argc, argv);
  if (!status.ok()) {
    return StartupFailureCode(ShowError(notes, system, status, true));
  }
  int newArgc = argc;
  char** newArgv = argv;
  status = notes.StartProcessArguments(argc, argv, &newArgc, &newArgv);
  if (!status.ok()) {
    const int result = ShowError(notes, system, status, true);
    notes.StopRuntime();
    return StartupFailureCode(result);
  }
  argc = newArgc;
  argv = newArgv;
  // The embedded runtime runs the task in this very call; it needs no entry
  // point to call back.
  status = notes.RunProcessEntry(nullptr, argc, argv, 0, 0);
  if (status.ok()) {
    status = RunTaskMain(notes, system, argc, argv);
    if (!status.ok()) ShowError(notes, system, status, false);
  }
  notes.EndProcessArguments(argc, argv);
  notes.StopRuntime();
  return status.ok() ? 0 : -1;
}

Status RunTaskMain(NotesServices& notes, SystemServices& system, int argc,
                   char** argv) {
  const Status started = notes.StartTaskRuntime(argc, argv);
  if (!started.ok()) return started;
  ModuleHandle module;
  notes.GetTaskModule(&module, 0, 0);
  const Status status = TaskMain(notes, system, module, argc, argv);
  return notes.EndTaskRuntime(status);
}

}  // namespace vt
