// The single-instance guard.
#include "host/InstanceGuard.h"

#include "log/TaskLog.h"
#include "notes/FixedText.h"
#include "system/ScopedNamedMutex.h"

namespace vt {

MutexHandle AcquireInstanceMutex(NotesServices& notes, SystemServices& system) {
  FixedText<257> serverName;
  serverName.Clear();
  if (!notes.GetServerIdName(serverName.span()).ok()) return MutexHandle();
  FixedText<260> name;
  InstanceMutexName(serverName.c_str(), name.span());
  ScopedNamedMutex mutex(system, name.c_str(), false);
  // Its mere existence is the guard: the handle stays open for the run.
  if (mutex.valid() && !mutex.alreadyExisted()) return mutex.Detach();
  notes.LogMessage("%s: The Veltrane Router is already running.", Status(),
                   kTaskName);
  return MutexHandle();
}

bool KeepInstanceMutex(NotesServices& notes, SystemServices& system,
                       MutexHandle mutex, bool& unrestored) {
  if (system.CheckNamedMutex(mutex) == MutexPlace::kInPlace) return true;
  switch (system.RetakeNamedMutex(mutex)) {
    case MutexPlace::kInPlace:
      notes.LogMessage(
          "%s: The Veltrane Router's lock file was removed; it has been "
          "created again.",
          Status(), kTaskName);
      unrestored = false;
      return true;
    case MutexPlace::kGone:
      if (!unrestored) {
        notes.LogMessage(
            "%s: The Veltrane Router's lock file was removed and cannot be "
            "created again; another router could start.",
            Status(), kTaskName);
      }
      unrestored = true;
      return true;
    case MutexPlace::kReplaced:
      break;
  }
  notes.LogMessage(
      "%s: Another Veltrane Router took over this server's lock file; this "
      "one ends.",
      Status(), kTaskName);
  return false;
}

}  // namespace vt
