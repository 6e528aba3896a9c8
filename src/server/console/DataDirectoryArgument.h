// Which data directory a task runs on: the one named by --data, or else the
// current directory when it is one. A data directory is a folder holding
// server.ini, as `vtserver init` makes it.
#pragma once

#include <filesystem>
#include <string>

#include "notes/Status.h"

namespace vt::console {

// "--data DIR" or "--data=DIR" (the last one given wins; relative to cwd),
// else cwd when it holds server.ini. kNoDataDirectory otherwise, with a
// one-line problem naming the folder and what it lacks. Other arguments are
// left for the task.
Status FindDataDirectory(int argc, char** argv, std::string cwd,
                         std::filesystem::path* dir, std::string* problem);

}  // namespace vt::console
