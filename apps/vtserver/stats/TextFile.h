// Writing a file that another program reads at any moment (node_exporter's
// textfile collector): the reader sees the old file or the new, never a part
// of one, and a failed write leaves no temporary behind.
#pragma once

#include <filesystem>
#include <string_view>

#include "datadir/Outcome.h"

namespace vt::tool {

// Writes bytes to PATH.tmp (which the collector ignores, not ending in
// .prom), syncs it, renames it over path and syncs the folder. On failure
// PATH.tmp is removed and path is as it was.
Outcome ReplaceTextFile(const std::filesystem::path& path,
                        std::string_view bytes);

}  // namespace vt::tool
