// The folders a database lives in, which must be as durable as the file.
#pragma once

#include <filesystem>

#include "notes/Status.h"

namespace vt::store {

// Makes the entries of a folder durable; a failure means they may be lost
// in a crash.
Status SyncFolder(const std::filesystem::path& folder);

// Makes the missing folders of a path one level at a time, each durable in
// its parent before the next is made in it.
Status MakeFolders(const std::filesystem::path& folder);

}  // namespace vt::store
