// Copies of a data directory taken beside a running router. Every database
// is copied as it was at one moment: for as long as it takes to pin a read
// snapshot of each database (milliseconds) the router is paused and
// releases and purges wait, so that no message can be in flight between two
// of them, missing from both copies or held by both; the copying itself runs
// after they go on.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "datadir/Outcome.h"
#include "server/LocalNotesServices.h"

namespace vt::tool {

struct BackupReport {
  size_t databases = 0;
  uint64_t bytes = 0;
  double seconds = 0;
  int64_t lockWaitMillis = 0;       // waiting for releases and purges under way
  bool routerAlive = false;         // a router ran (or was starting)
  bool routerPaused = false;        // this backup paused it
  bool routerWasPaused = false;     // by its administrator, before the backup
  int64_t pauseWaitMillis = 0;      // until nothing moved: the router paused
  int64_t pausedMillis = 0;         // from its pause to the resume command
  std::vector<std::string> failed;  // "path: why" of databases not copied
};

// Makes dest, a new folder (or takes an empty one), as private as the
// folder like; made says whether it was made here. A folder that cannot be
// made is named with the reason.
Outcome MakeCopyFolder(const std::filesystem::path& dest,
                       const std::filesystem::path& like, bool* made);

// Makes the folders of path (relative) under dest that are missing, each as
// private as its namesake under root.
Outcome MakeCopyFolders(const std::filesystem::path& root,
                        const std::filesystem::path& path,
                        const std::filesystem::path& dest);

// Copies a plain file with its permissions, durable on return.
Outcome CopyFileDurably(const std::filesystem::path& from,
                        const std::filesystem::path& to);

// Copies every database and server.ini of the server's data directory into
// dest, a new folder (or an empty one), every folder and file as private as
// its source. A database that cannot be read is
// named in report->failed and the others are still copied; the outcome then
// fails.
Outcome BackupDataDirectory(LocalNotesServices& server,
                            const std::filesystem::path& dest,
                            BackupReport* report);

}  // namespace vt::tool
