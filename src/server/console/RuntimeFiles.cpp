// Shared file plumbing of the console components (see RuntimeFiles.h).
#include "server/console/RuntimeFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <system_error>

#include "notes/FixedText.h"

namespace vt::console {

namespace fs = std::filesystem;

fs::path RuntimeFolder(const fs::path& dir) { return dir / ".vtserver"; }

namespace {

// Writes all of bytes, resuming after short writes and interruptions.
bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

int64_t NowNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

Status EnsurePrivateFolder(const fs::path& dir, const fs::path& folder) {
  if (!IsFolder(dir)) return err::kNoDataDirectory;
  const fs::path relative = folder.lexically_relative(dir);
  if (relative.empty() || *relative.begin() == "..") {
    return err::kInvalidArgument;
  }
  fs::path current = dir;
  for (const fs::path& part : relative) {
    if (part == ".") continue;
    current /= part;
    if (::mkdir(current.c_str(), 0700) != 0 && errno != EEXIST) {
      return err::kDiskError;
    }
  }
  if (!IsFolder(folder)) return err::kDiskError;
  // A folder made earlier under a loose umask, or by hand, is tightened:
  // console commands and status lines are the owner's business only.
  if (::chmod(folder.c_str(), 0700) != 0) return err::kDiskError;
  return Status();
}

std::string EscapeFileName(std::string_view name, size_t maxBytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(name.size());
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    const bool keep = (byte >= 'a' && byte <= 'z') ||
                      (byte >= 'A' && byte <= 'Z') ||
                      (byte >= '0' && byte <= '9') || byte == '$' ||
                      byte == '-' || byte == '_';
    if (keep) {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0x0F]);
    }
    if (out.size() > maxBytes) return std::string();
  }
  return out;
}

Status ReplaceFile(const fs::path& path, std::string_view bytes, bool durable) {
  // The temporary name is unique per process and moment, and never ends
  // like the names readers look for.
  UniqueFd fd;
  fs::path temp;
  for (int attempt = 0; attempt < 8 && !fd; ++attempt) {
    FixedText<64> suffix;
    suffix.Format(".tmp-%ld-%lld-%d", static_cast<long>(::getpid()),
                  static_cast<long long>(NowNanos()), attempt);
    temp = path;
    temp += suffix.c_str();
    fd = UniqueFd(
        ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd && errno != EEXIST) return err::kDiskError;
  }
  if (!fd) return err::kDiskError;
  bool written = WriteAll(fd.get(), bytes);
  if (written && durable) written = ::fsync(fd.get()) == 0;
  fd.Reset();
  if (!written || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return err::kDiskError;
  }
  // The file is written and visible either way; only its survival of a
  // crash is at stake.
  if (durable) SyncFolder(path.parent_path()).IgnoreError();
  return Status();
}

std::optional<std::string> ReadSmallFile(const fs::path& path, size_t limit) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<uint64_t>(st.st_size) > limit) {
    return std::nullopt;
  }
  // Read one byte past the limit so that a file that grew after fstat is
  // still caught as too large.
  std::string bytes(limit + 1, '\0');
  size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(fd.get(), bytes.data() + got, bytes.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  if (got > limit) return std::nullopt;
  bytes.resize(got);
  return bytes;
}

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

std::vector<std::string> ListFolder(const fs::path& folder) {
  std::vector<std::string> names;
  const std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  return names;
}

namespace {

struct flock WholeFile(short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // to the end, however large the file grows
  lock.l_pid = 0;  // required by F_OFD_* commands
  return lock;
}

}  // namespace

bool TakeLock(int fd, LockKind kind, bool wait) {
  struct flock lock =
      WholeFile(kind == LockKind::kExclusive ? F_WRLCK : F_RDLCK);
  for (;;) {
    if (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) == 0) {
      return true;
    }
    if (errno != EINTR) return false;
  }
}

bool IsLockedByOther(int fd) {
  // Asking for the strongest lock reports any lock held through another open
  // file, shared or exclusive, without taking anything.
  struct flock lock = WholeFile(F_WRLCK);
  if (::fcntl(fd, F_OFD_GETLK, &lock) != 0) return false;
  return lock.l_type != F_UNLCK;
}

}  // namespace vt::console
