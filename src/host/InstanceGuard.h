// Only one copy of the task may run for one server: a machine-wide mutex
// named after the server's ID, whose existence is the guard.
#pragma once

#include <span>

#include "notes/NotesServices.h"
#include "system/SystemServices.h"

namespace vt {

// The 40 lower-case hex digits of SHA-1 over "VeltraneRouter1" followed by
// the server's name (260-byte buffer).
void InstanceMutexName(const char* serverName, std::span<char> name);

// The mutex, held for the task's run; none when the task must not run (no
// server name: silently; already running: logged).
MutexHandle AcquireInstanceMutex(NotesServices& notes, SystemServices& system);

}  // namespace vt
