// The single-instance guard.
#include "host/InstanceGuard.h"

#include <openssl/sha.h>

#include <cstring>

#include "log/TaskLog.h"
#include "notes/FixedText.h"
#include "system/ScopedNamedMutex.h"

namespace vt {

void InstanceMutexName(const char* serverName, std::span<char> name) {
  FixedText<16 + 257> text("VeltraneRouter1");
  text.Append(serverName);
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(text.c_str()), text.size(),
       digest);
  // The five 32-bit words of the digest, most significant byte first.
  unsigned long words[5];
  for (int i = 0; i < 5; ++i) {
    words[i] = (static_cast<unsigned long>(digest[4 * i]) << 24) |
               (static_cast<unsigned long>(digest[4 * i + 1]) << 16) |
               (static_cast<unsigned long>(digest[4 * i + 2]) << 8) |
               static_cast<unsigned long>(digest[4 * i + 3]);
  }
  FormatBounded(name, "%08lx%08lx%08lx%08lx%08lx", words[0], words[1], words[2],
                words[3], words[4]);
}

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
