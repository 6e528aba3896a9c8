// JSON text for `--json` output. Item values are arbitrary bytes, so strings
// are escaped strictly: quotes, backslashes and control bytes, and every
// byte that is not part of valid UTF-8 as \u00XX (its Latin-1 reading).
#pragma once

#include <string>
#include <string_view>

namespace vt::tool {

// Appends text as a quoted JSON string.
void AppendJsonString(std::string& out, std::string_view text);

// Appends a number as JSON (integers without a fraction; non-finite values,
// which JSON cannot hold, as null).
void AppendJsonNumber(std::string& out, double value);

}  // namespace vt::tool
