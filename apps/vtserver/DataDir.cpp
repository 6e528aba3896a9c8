// Data directory checks, in the order an administrator would look.
#include "DataDir.h"

namespace vt::tool {

namespace fs = std::filesystem;

Outcome OpenDataDirectory(const std::string& dir,
                          std::unique_ptr<LocalNotesServices>* server) {
  if (dir.empty()) return Outcome::Failure("no data directory given");
  std::error_code ec;
  const fs::file_status status = fs::status(dir, ec);
  if (!fs::exists(status)) {
    return Outcome::Failure(dir + " does not exist");
  }
  if (!fs::is_directory(status)) {
    return Outcome::Failure(dir + " is not a directory");
  }
  if (!fs::is_regular_file(fs::path(dir) / "server.ini", ec)) {
    return Outcome::Failure(dir +
                            " is not a data directory (no server.ini; make one "
                            "with 'vtserver init " +
                            dir + "')");
  }
  LocalNotesServicesOptions options;
  options.dataDirectory = dir;
  options.echoToStdout = false;
  auto started = std::make_unique<LocalNotesServices>(options);
  const Status s = started->Start();
  if (!s.ok()) return StatusFailure("cannot use " + dir, s);
  *server = std::move(started);
  return Outcome();
}

Outcome OwnServerName(const LocalNotesServices& server, std::string* name) {
  *name = server.serverIni().serverName();
  if (name->empty()) {
    return Outcome::Failure("server.ini of " +
                            server.dataDirectory().root().string() +
                            " names no server (ServerName=)");
  }
  return Outcome();
}

}  // namespace vt::tool
