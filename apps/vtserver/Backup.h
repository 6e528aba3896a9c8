// Copies of a data directory taken beside a running router. Every database
// is copied as it was at one moment: the router is paused for as long as it
// takes to pin a read snapshot of each database (milliseconds), so that no
// message can be in flight between two of them and missing from both
// copies; the copying itself runs after it resumed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "Outcome.h"
#include "server/LocalNotesServices.h"

namespace vt::tool {

struct BackupReport {
  size_t databases = 0;
  uint64_t bytes = 0;
  double seconds = 0;
  bool routerPaused = false;  // it ran and was paused for the snapshots
  int64_t pausedMillis = 0;   // from the pause command to the resume command
  std::vector<std::string> failed;  // "path: why" of databases not copied
};

// Copies every database and server.ini of the server's data directory into
// dest, a new folder (or an empty one). A database that cannot be read is
// named in report->failed and the others are still copied; the outcome then
// fails.
Outcome BackupDataDirectory(LocalNotesServices& server,
                            const std::filesystem::path& dest,
                            BackupReport* report);

// The router of this data directory: whether it runs, and its status text.
struct RouterState {
  bool running = false;
  std::string text;
};
RouterState ReadRouterState(const LocalNotesServices& server);

}  // namespace vt::tool
