// POSIX file helpers every layer shares, as LevelDB keeps its in
// util/env_posix.cc: one folder test, one folder sync, and one place where an
// errno becomes a status.
#pragma once

#include <filesystem>
#include <string>

#include "notes/Status.h"

namespace vt {

// A real folder (following links), not a file or nothing.
bool IsFolder(const std::filesystem::path& path);

// Makes the entries of a folder durable: a file made, linked, renamed or
// removed in it survives a crash only once this returned 0 (kDiskError
// otherwise). An empty path is the current folder.
Status SyncFolder(const std::filesystem::path& folder);

// The status for a failed file operation's errno; when detail is given, it
// gets the system's words and the file ("No space left on device:
// /srv/mail1/mail.box") for the caller's message.
Status FileErrorStatus(int error, const std::filesystem::path& file,
                       std::string* detail = nullptr);

}  // namespace vt
