// Opening an existing data directory for a command: the checks that turn a
// wrong DIR into one clear line, and the embedded server over it.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "datadir/Outcome.h"
#include "server/LocalNotesServices.h"

namespace vt::tool {

struct DataDirOptions {
  // SQLite's quick check when a database is first opened: for commands
  // that write; a read-only listing of large databases goes without.
  bool checkDatabases = true;
  // Refuses a data directory whose databases this version cannot use as
  // they are (older or newer format), naming the file.
  bool checkFormat = true;
  // The command writes (a database, the console queue, the log): only the
  // data directory's owner may run it.
  bool writes = true;
  // Brings databases of an older layout up to date (`vtserver upgrade`).
  bool upgrade = false;

  // For a command that only reads: anyone who can read may run it, and it
  // skips the quick check, which costs a pass over every page of a large
  // database.
  static DataDirOptions ReadOnly() {
    DataDirOptions options;
    options.checkDatabases = false;
    options.writes = false;
    return options;
  }
};

// A started server over dir (which must hold server.ini), echoing nothing.
Outcome OpenDataDirectory(const std::string& dir,
                          std::unique_ptr<LocalNotesServices>* server,
                          const DataDirOptions& options = {});

// The server's own name from server.ini; a failure when it names none.
Outcome OwnServerName(const LocalNotesServices& server, std::string* name);

}  // namespace vt::tool
