// Base64 as HTTP Basic authentication carries its credentials.
#pragma once

#include <string>
#include <string_view>

namespace vt::tool {

// Decodes the standard alphabet, stopping at the first '='; false on any
// other character.
bool Base64Decode(std::string_view text, std::string* out);

}  // namespace vt::tool
