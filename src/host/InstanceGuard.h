// Only one copy of the task may run for one server: a machine-wide mutex
// named after the server's ID, whose existence is the guard.
#pragma once

#include <span>

#include "databases/InstanceName.h"
#include "notes/NotesServices.h"
#include "system/SystemServices.h"

namespace vt {

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
