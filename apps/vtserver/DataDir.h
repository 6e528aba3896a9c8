// Opening an existing data directory for a command: the checks that turn a
// wrong DIR into one clear line, and the embedded server over it.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "Outcome.h"
#include "server/LocalNotesServices.h"

namespace vt::tool {

// A started server over dir (which must hold server.ini), echoing nothing.
Outcome OpenDataDirectory(const std::string& dir,
                          std::unique_ptr<LocalNotesServices>* server);

// The server's own name from server.ini; a failure when it names none.
Outcome OwnServerName(const LocalNotesServices& server, std::string* name);

}  // namespace vt::tool
