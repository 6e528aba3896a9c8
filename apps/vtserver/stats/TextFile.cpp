// The textfile's replacement through a synced temporary.
#include "stats/TextFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/PosixFiles.h"
#include "base/UniqueFd.h"

namespace vt::tool {
namespace {

Outcome FileFailure(const char* what, int error,
                    const std::filesystem::path& file) {
  std::string detail;
  FileErrorStatus(error, file, &detail).IgnoreError();
  return Outcome::Failure(std::string(what) + ": " + detail);
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

Outcome ReplaceTextFile(const std::filesystem::path& path,
                        std::string_view bytes) {
  std::filesystem::path temp = path;
  temp += ".tmp";
  // Readable by others: the collector usually runs as a user of its own.
  UniqueFd fd(::open(temp.c_str(),
                     O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                     0644));
  if (!fd) return FileFailure("cannot write the metrics", errno, temp);
  int error = 0;
  if (!WriteAll(fd.get(), bytes) || ::fsync(fd.get()) != 0) error = errno;
  // What close could report, fsync has reported already.
  fd.Reset();
  if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temp.c_str());
    return FileFailure("cannot write the metrics", error, path);
  }
  // The new file is in place; only its survival of a crash is at stake, and
  // the next run writes it again.
  SyncFolder(path.parent_path()).IgnoreError();
  return Outcome();
}

}  // namespace vt::tool
