// The body of the add-in task: start-up, the main loop with its timers and
// guarded passes, and the orderly shutdown.
#pragma once

#include "databases/RouterItems.h"
#include "notes/NotesServices.h"
#include "system/SystemServices.h"

namespace vt {

// Runs until the server asks the task to end; returns 0 on every path.
Status TaskMain(NotesServices& notes, SystemServices& system,
                ModuleHandle module, int argc, char** argv);

}  // namespace vt
