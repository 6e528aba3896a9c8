// Data directory checks, in the order an administrator would look.
#include "datadir/DataDir.h"

#include <unistd.h>

#include <cerrno>

namespace vt::tool {

namespace fs = std::filesystem;

Outcome OpenDataDirectory(const std::string& dir,
                          std::unique_ptr<LocalNotesServices>* server,
                          const DataDirOptions& dataDirOptions) {
  if (dir.empty()) return Outcome::Failure("no data directory given");
  std::error_code ec;
  const fs::file_status status = fs::status(dir, ec);
  if (!fs::exists(status)) {
    return Outcome::Failure(dir + " does not exist");
  }
  if (!fs::is_directory(status)) {
    return Outcome::Failure(dir + " is not a directory");
  }
  const fs::path ini = fs::path(dir) / "server.ini";
  if (::access(ini.c_str(), R_OK) != 0 && errno == EACCES) {
    return Outcome::Failure("cannot read " + ini.string() +
                            ": Permission denied");
  }
  if (!fs::is_regular_file(ini, ec)) {
    return Outcome::Failure(dir +
                            " is not a data directory (no server.ini; make one "
                            "with 'vtserver init " +
                            dir + "')");
  }
  LocalNotesServicesOptions options;
  options.dataDirectory = dir;
  options.echoToStdout = false;
  options.checkDatabases = dataDirOptions.checkDatabases;
  options.upgradeDatabases = dataDirOptions.upgrade;
  options.readOnly = !dataDirOptions.writes;
  auto started = std::make_unique<LocalNotesServices>(options);
  Status s = started->Start();
  if (!s.ok()) return StatusFailure("cannot use " + dir, s);
  if (dataDirOptions.writes) {
    std::string problem;
    s = started->CheckOwner(&problem);
    if (!s.ok()) return Outcome::Failure(problem);
  }
  if (dataDirOptions.checkFormat) {
    std::string problem;
    s = started->CheckDataFormat(&problem);
    if (!s.ok()) return Outcome::Failure(problem);
  }
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
