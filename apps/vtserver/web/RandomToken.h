// Secrets the console makes for itself, such as the CSRF token its pages
// carry.
#pragma once

#include <string>

namespace vt::tool {

// 32 bytes from the kernel's random source, as 64 hexadecimal digits.
std::string RandomToken();

}  // namespace vt::tool
