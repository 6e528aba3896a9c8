// The access token of a console reachable beyond loopback: read from a
// file only its owner may read, and checked on every request.
#pragma once

#include <string>
#include <string_view>

#include "datadir/Outcome.h"

namespace vt::tool {

// The access token in file: its first line, trimmed, at least 16
// characters; a file others may read is refused.
Outcome ReadTokenFile(const std::string& file, std::string* token);

// The token of an Authorization header: the password of Basic (whatever
// the user name) or a Bearer token; empty when it carries none.
std::string PresentedToken(std::string_view header);

// Compares without stopping at the first difference, so that the time
// taken tells nothing about how much of a guess was right.
bool SameSecret(std::string_view a, std::string_view b);

}  // namespace vt::tool
