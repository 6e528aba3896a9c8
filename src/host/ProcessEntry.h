// The process entry: brings the runtime up around the task, runs the task
// main once, shows start-up and exit errors on the console, and ends the
// runtime. Its result is the process exit code.
#pragma once

#include "notes/NotesServices.h"
#include "system/SystemServices.h"

namespace vt {

// 0 when the task ran and ended with status 0, -1 when a later step failed,
// or a nonzero code when the runtime did not start.
int ProcessEntry(NotesServices& notes, SystemServices& system, int argc,
                 char** argv);
Status RunTaskMain(NotesServices& notes, SystemServices& system, int argc,
                   char** argv);
// Prints "\r\n<text>\r\n\r\n" on the console.
void ShowStartupError(SystemServices& system, const char* text);

}  // namespace vt
