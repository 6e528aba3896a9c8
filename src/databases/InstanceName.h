// The name of the router's single-instance guard: the router takes it, and
// the server's tools ask whether a router holds it.
#pragma once

#include <span>

namespace vt {

// The 40 lower-case hex digits of SHA-1 over "VeltraneRouter1" followed by
// the server's name (260-byte buffer).
void InstanceMutexName(const char* serverName, std::span<char> name);

}  // namespace vt
