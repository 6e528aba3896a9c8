// POSIX file helpers; see PosixFiles.h.
#include "base/PosixFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/UniqueFd.h"

namespace vt {

bool IsFolder(const std::filesystem::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Status SyncFolder(const std::filesystem::path& folder) {
  const UniqueFd fd(::open(folder.empty() ? "." : folder.c_str(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return err::kDiskError;
  int rc;
  while ((rc = ::fsync(fd.get())) != 0 && errno == EINTR) {
  }
  // EINVAL: a file system whose folders have nothing to flush.
  return rc == 0 || errno == EINVAL ? Status() : Status(err::kDiskError);
}

Status FileErrorStatus(int error, const std::filesystem::path& file,
                       std::string* detail) {
  if (detail != nullptr) {
    *detail = std::strerror(error);
    detail->append(": ");
    detail->append(file.string());
  }
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return err::kFileNotFound;
    case EEXIST:
      return err::kFileExists;
    case ENOSPC:
    case EDQUOT:
      return err::kDiskFull;
    case EROFS:
      return err::kReadOnly;
    case EACCES:
    case EPERM:
      return err::kPermissionDenied;
    default:
      return err::kDiskError;
  }
}

}  // namespace vt
