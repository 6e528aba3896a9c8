// The POSIX calls behind the store's name changes; see FileNames.h.
#include "server/store/FileNames.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/PosixFiles.h"

namespace vt::store {

int PosixFileNames::Link(const std::filesystem::path& from,
                         const std::filesystem::path& to) {
  return ::link(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int PosixFileNames::RenameNoReplace(const std::filesystem::path& from,
                                    const std::filesystem::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(),
                  RENAME_NOREPLACE) == 0) {
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // A file system without the flag: callers pick names nobody else uses,
  // so a look first is enough.
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0) return EEXIST;
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int PosixFileNames::Remove(const std::filesystem::path& file) {
  return ::unlink(file.c_str()) == 0 ? 0 : errno;
}

int PosixFileNames::MakeFolder(const std::filesystem::path& folder) {
  return ::mkdir(folder.c_str(), 0777) == 0 ? 0 : errno;
}

Status PosixFileNames::SyncFolder(const std::filesystem::path& folder) {
  return vt::SyncFolder(folder);
}

}  // namespace vt::store
