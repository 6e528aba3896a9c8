// What the end-to-end tests do to a data directory behind the programs' back,
// through the store as the server itself would: databases made empty, and a
// message left in a second database as a move cut short leaves it; and the
// one thing no program may do, an entry time moved back.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "notes/Status.h"

namespace vt::e2e {

// A new, empty database at path of the data directory dir.
Status MakeDatabase(const std::string& dir, const std::string& path);

// Writes the document of that Subject in from into to as well, with its
// universal ID and version, as a move's copy does.
Status CopyMessage(const std::string& dir, const std::string& from,
                   const std::string& subject, const std::string& to);

// Sets text items of the document of that Subject in path: a new version.
Status SetItems(const std::string& dir, const std::string& path,
                const std::string& subject,
                const std::vector<std::pair<std::string, std::string>>& items);

// The documents of path as if they had entered it minutes earlier: a wait
// that has lasted, without the test waiting for it.
Status BackdateEntries(const std::string& dir, const std::string& path,
                       int minutes);
// The documents of path as if they had been made minutes earlier (@Created):
// mail that has waited longer than the router's release time.
Status BackdateCreation(const std::string& dir, const std::string& path,
                        int minutes);

}  // namespace vt::e2e
