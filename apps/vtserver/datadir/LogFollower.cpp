// Reading what was appended to the log since last time.
#include "datadir/LogFollower.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "base/UniqueFd.h"

namespace vt::tool {

std::vector<std::string> LogFollower::NewLines() {
  std::vector<std::string> lines;
  const UniqueFd fd(::open(file_.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return lines;
  // A log rotated away starts again from its first byte.
  struct stat st {};
  if (::fstat(fd.get(), &st) == 0 &&
      static_cast<uint64_t>(st.st_size) < offset_) {
    offset_ = 0;
    partial_.clear();
  }
  std::array<char, 16384> buffer;
  while (true) {
    const ssize_t n = ::pread(fd.get(), buffer.data(), buffer.size(),
                              static_cast<off_t>(offset_));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    offset_ += static_cast<uint64_t>(n);
    partial_.append(buffer.data(), static_cast<size_t>(n));
  }
  size_t start = 0;
  for (size_t end = partial_.find('\n'); end != std::string::npos;
       end = partial_.find('\n', start)) {
    lines.push_back(partial_.substr(start, end - start));
    start = end + 1;
  }
  partial_.erase(0, start);
  return lines;
}

}  // namespace vt::tool
