// How a database named by server and path becomes the name that is opened
// (the "local" rule), and the probe that tells whether a name is still free.
#pragma once

#include <cstdint>
#include <span>

#include "notes/NotesServices.h"

namespace vt {

inline constexpr size_t kServerNameSize = 257;
inline constexpr size_t kPathSize = 260;
inline constexpr size_t kNetPathSize = 517;

// An empty server name, or "local" in any case, stands for this server.
bool IsLocalServer(const char* server);

// The path itself for this server, else the network path the platform builds
// from server and path. The result is cut to fit out.
Status BuildDatabaseName(NotesServices& notes, const char* server,
                         const char* path, std::span<char> out);

// Tests whether path is free on server: taken = 0 and the full name in
// freeName (517 bytes) when no file of that name exists; taken = 1 for any
// other outcome, an unreachable server included. Returns the open status
// unmasked; logs nothing.
Status ProbeDatabaseName(NotesServices& notes, const char* server,
                         const char* path, uint32_t* taken,
                         std::span<char> freeName);

}  // namespace vt
