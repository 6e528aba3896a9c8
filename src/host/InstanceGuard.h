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

// Run before every pass: whether the task may go on. A name that went (a
// cleaner removed the lock file) is taken back, logged; one that cannot be
// taken back yet is logged once, with unrestored set until it is. False,
// logged, once another copy of the task holds the name: two copies would
// move the same mail.
bool KeepInstanceMutex(NotesServices& notes, SystemServices& system,
                       MutexHandle mutex, bool& unrestored);

}  // namespace vt
