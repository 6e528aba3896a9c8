// Making a new data directory: server.ini, mail.box, the router's templates
// and the administration database with its view and the server's
// configuration document. Built whole beside its final place and renamed
// into it, so that a failure leaves nothing behind.
#pragma once

#include <string>

#include "Outcome.h"

namespace vt::tool {

inline constexpr char kDefaultServerName[] = "CN=Mail1/O=Example";

// Refuses, changing nothing, when dir holds server.ini, is not a folder, or
// is a folder with anything in it.
Outcome InitDataDirectory(const std::string& dir,
                          const std::string& serverName);

// Whether a name can be written to server.ini and read back unchanged.
Outcome CheckServerName(const std::string& name);

}  // namespace vt::tool
