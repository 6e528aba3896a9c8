// The folders of a database (see DatabaseFiles.h).
#include "server/store/DatabaseFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "system/posix/UniqueFd.h"

namespace vt::store {

namespace fs = std::filesystem;

namespace {

fs::path FolderOf(const fs::path& file) {
  const fs::path folder = file.parent_path();
  return folder.empty() ? fs::path(".") : folder;
}

}  // namespace

Status SyncFolder(const fs::path& folder) {
  const UniqueFd fd(::open(folder.empty() ? "." : folder.c_str(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return err::kDiskError;
  int rc;
  while ((rc = ::fsync(fd.get())) != 0 && errno == EINTR) {
  }
  // EINVAL: a file system whose folders have nothing to flush.
  return rc == 0 || errno == EINVAL ? Status() : Status(err::kDiskError);
}

Status MakeFolders(const fs::path& folder) {
  std::vector<fs::path> missing;
  for (fs::path p = folder; !p.empty(); p = p.parent_path()) {
    struct stat st {};
    if (::stat(p.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return err::kDiskError;
      break;
    }
    if (errno != ENOENT) return err::kDiskError;
    missing.push_back(p);
    if (p == p.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    // Another creator may make the same folder at once; it is synced again
    // here all the same.
    if (::mkdir(it->c_str(), 0777) != 0 && errno != EEXIST) {
      return err::kDiskError;
    }
    const Status s = SyncFolder(FolderOf(*it));
    if (!s.ok()) return s;
  }
  return Status();
}

}  // namespace vt::store
