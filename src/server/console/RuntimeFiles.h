// The plumbing the console components share: the hidden runtime folder of a
// data directory, file names made from task and queue names, owned
// descriptors, atomic replacement of small files, and the locks that tell a
// live owner from a dead one.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/PosixFiles.h"
#include "base/UniqueFd.h"
#include "notes/Status.h"

namespace vt::console {

// <dir>/.vtserver, where the log, status lines and queues live.
std::filesystem::path RuntimeFolder(const std::filesystem::path& dir);

// Creates folder (and its missing parents below dir) with mode 0700, and
// makes sure the folder itself is the owner's only. dir itself must exist:
// kNoDataDirectory otherwise, kDiskError when creating fails.
Status EnsurePrivateFolder(const std::filesystem::path& dir,
                           const std::filesystem::path& folder);

// A file name for any name: letters, digits, '$', '-' and '_' stay as they
// are, every other byte becomes %XX (and so does a leading '.'), so that
// distinct names never share a file and no name can climb out of its folder.
// Empty when the name is empty or its file name would exceed maxBytes.
std::string EscapeFileName(std::string_view name, size_t maxBytes = 200);

// Replaces path with bytes through a temporary sibling and rename(), so that
// a reader sees the old or the new content, never a part. With durable the
// data and the folder entry reach the disk before it returns.
Status ReplaceFile(const std::filesystem::path& path, std::string_view bytes,
                   bool durable);

// Reads a whole regular file of at most limit bytes. Empty for a missing,
// unreadable, non-regular or larger file.
std::optional<std::string> ReadSmallFile(const std::filesystem::path& path,
                                         size_t limit);

// The names in a folder (without "." and ".."); empty when unreadable.
std::vector<std::string> ListFolder(const std::filesystem::path& folder);

// Open-file-description locks over the whole file. Like flock they belong to
// the open file and end when it is closed or its process dies; unlike flock
// they can be tested without being taken, so a reader asking "is the owner
// alive?" never makes the owner's own locking fail.
enum class LockKind { kShared, kExclusive };
// false when another holder's lock conflicts (or on error); wait blocks
// until the lock is free.
bool TakeLock(int fd, LockKind kind, bool wait);
// True when someone (another open file) holds any lock on the file.
bool IsLockedByOther(int fd);

}  // namespace vt::console
