// The roles, resolved once from the configuration and the quarantines'
// roll-over series on disk.
#include "quarantine/DatabaseRoles.h"

#include <algorithm>

#include "quarantine/Quarantine.h"

namespace vt::tool {

const char* DatabaseRoleName(DatabaseRole role) {
  switch (role) {
    case DatabaseRole::kMailBox:
      return "mail box";
    case DatabaseRole::kScanBox:
      return "scan box";
    case DatabaseRole::kQuarantine:
      return "quarantine";
    case DatabaseRole::kOther:
      break;
  }
  return "other database";
}

std::string ListedPath(const LocalNotesServices& server,
                       const std::string& configured) {
  // Kept elsewhere (on another server, or in PostgreSQL): listed by name,
  // '/' separators, as ListDatabases gives them.
  const size_t bang = configured.find("!!");
  if (bang != std::string::npos || !server.serverIni().databases().empty()) {
    const size_t start = bang == std::string::npos ? 0 : bang + 2;
    std::string name = configured.substr(start);
    std::replace(name.begin(), name.end(), '\\', '/');
    name.erase(0, name.find_first_not_of('/'));
    return configured.substr(0, start) + name;
  }
  std::filesystem::path file;
  if (!server.dataDirectory().Resolve(configured, &file).ok()) return {};
  return file.lexically_relative(server.dataDirectory().root())
      .generic_string();
}

DatabaseRoles::DatabaseRoles(const LocalNotesServices& server,
                             const RouterSettings& settings) {
  for (const std::string& box : settings.mailBoxes) {
    roles_[ListedPath(server, box)] = DatabaseRole::kMailBox;
  }
  for (const std::string& box : settings.scanBoxes) {
    roles_[ListedPath(server, box)] = DatabaseRole::kScanBox;
  }
  for (const QuarantineFile& file : QuarantineFiles(server, settings, 0)) {
    roles_[file.path] = DatabaseRole::kQuarantine;
  }
  roles_.erase(std::string());
}

DatabaseRole DatabaseRoles::Of(const std::string& path) const {
  const auto found = roles_.find(path);
  return found == roles_.end() ? DatabaseRole::kOther : found->second;
}

std::vector<std::string> DatabaseRoles::Road() const {
  std::vector<std::string> paths;
  for (const auto& [path, role] : roles_) paths.push_back(path);
  return paths;
}

}  // namespace vt::tool
