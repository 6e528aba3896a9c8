// The body of the add-in task: start-up, the main loop with its timers and
// guarded passes, and the orderly shutdown.
#pragma once

#include "notes/NotesServices.h"
#include "system/SystemServices.h"

namespace vt {

inline constexpr char kQueueName[] = "MQ$VTROUTER";
inline constexpr char kStatusLineName[] = "VeltraneRouter";

// Runs until the server asks the task to end; returns 0 on every path.
Status TaskMain(NotesServices& notes, SystemServices& system,
                ModuleHandle module, int argc, char** argv);

}  // namespace vt
