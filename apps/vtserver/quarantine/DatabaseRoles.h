// What each database of a data directory is on a message's road, by the
// router's configuration: a mail box, a scan box, a quarantine (the
// configured one or a rolled-over one), or none of these.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "datadir/RouterSettings.h"
#include "server/LocalNotesServices.h"

namespace vt::tool {

enum class DatabaseRole { kOther, kMailBox, kScanBox, kQuarantine };

// "mail box", "scan box", "quarantine", "other database".
const char* DatabaseRoleName(DatabaseRole role);

// A configured database path ('\' or '/') as the data directory's listing
// names it (relative, '/' separators); empty when it does not resolve.
std::string ListedPath(const LocalNotesServices& server,
                       const std::string& configured);

class DatabaseRoles {
 public:
  // None known: every database is kOther.
  DatabaseRoles() = default;
  DatabaseRoles(const LocalNotesServices& server,
                const RouterSettings& settings);

  // path as the data directory's listing names it.
  DatabaseRole Of(const std::string& path) const;
  // The databases of the road, by path.
  std::vector<std::string> Road() const;

 private:
  std::map<std::string, DatabaseRole> roles_;
};

}  // namespace vt::tool
