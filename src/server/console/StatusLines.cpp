// Status line files: "<pid> <name bytes> <text bytes>\n", then the name and
// the text as they are, so any bytes survive and a torn or foreign file is
// recognised and skipped.
#include "server/console/StatusLines.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <optional>

#include "notes/FixedText.h"

namespace vt::console {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kLineSuffix = ".line";
constexpr std::string_view kLockSuffix = ".lock";
// Further lines of one name, beside a live one; '~' never occurs in an
// escaped name, so these cannot collide with another name's file.
constexpr int kMaxSlots = 99;
constexpr size_t kMaxFileBytes =
    64 + StatusLines::kMaxNameBytes + StatusLines::kMaxTextBytes;

fs::path StatusFolder(const fs::path& dir) {
  return RuntimeFolder(dir) / "status";
}

std::string_view Cut(std::string_view text, size_t limit) {
  return text.substr(0, std::min(text.size(), limit));
}

// Reads one decimal number followed by the given separator.
std::optional<uint64_t> TakeNumber(std::string_view* text, char separator) {
  uint64_t value = 0;
  const char* begin = text->data();
  const char* end = begin + text->size();
  const auto [next, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || next == begin || next == end || *next != separator) {
    return std::nullopt;
  }
  text->remove_prefix(static_cast<size_t>(next - begin) + 1);
  return value;
}

std::optional<StatusLineInfo> ParseLine(std::string_view bytes) {
  const auto pid = TakeNumber(&bytes, ' ');
  const auto nameBytes = pid ? TakeNumber(&bytes, ' ') : std::nullopt;
  const auto textBytes = nameBytes ? TakeNumber(&bytes, '\n') : std::nullopt;
  if (!textBytes || *nameBytes > StatusLines::kMaxNameBytes ||
      *textBytes > StatusLines::kMaxTextBytes ||
      bytes.size() != *nameBytes + *textBytes) {
    return std::nullopt;
  }
  StatusLineInfo info;
  info.pid = static_cast<pid_t>(*pid);
  info.name = std::string(bytes.substr(0, *nameBytes));
  info.text = std::string(bytes.substr(*nameBytes));
  return info;
}

bool SameFile(int fd, const fs::path& path) {
  struct stat held {};
  struct stat named {};
  return ::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// Takes the lock file at path for this process: false when a live owner
// holds it. A lock file that its owner unlinked while this one opened it is
// not the one at path any more, and holding it would prove nothing.
bool ClaimLockFile(const fs::path& path, UniqueFd* held) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    UniqueFd fd(
        ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) return false;
    if (!TakeLock(fd.get(), LockKind::kExclusive, /*wait=*/false)) {
      return false;
    }
    if (SameFile(fd.get(), path)) {
      *held = std::move(fd);
      return true;
    }
  }
  return false;
}

}  // namespace

StatusLines::StatusLines(fs::path dir) : dir_(std::move(dir)) {}

StatusLines::~StatusLines() {
  for (auto& [handle, line] : lines_) Remove(line);
}

StatusLineHandle StatusLines::Create(std::string_view taskName) {
  const std::string name(Cut(taskName, kMaxNameBytes));
  const std::string base = EscapeFileName(name);
  if (base.empty()) return StatusLineHandle();
  const fs::path folder = StatusFolder(dir_);
  if (!EnsurePrivateFolder(dir_, folder).ok()) return StatusLineHandle();

  for (int slot = 1; slot <= kMaxSlots; ++slot) {
    FixedText<8> suffix;
    if (slot > 1) suffix.Format("~%d", slot);
    const std::string stem = base + suffix.c_str();
    Line line;
    line.name = name;
    line.file = folder / (stem + std::string(kLineSuffix));
    line.lockFile = folder / (stem + std::string(kLockSuffix));
    if (!ClaimLockFile(line.lockFile, &line.lock)) continue;
    // The slot is ours; whatever a dead owner left in it is replaced, and
    // its half-written texts go.
    const std::string tempPrefix = stem + std::string(kLineSuffix) + ".tmp-";
    for (const std::string& fileName : ListFolder(folder)) {
      if (fileName.starts_with(tempPrefix)) {
        ::unlink((folder / fileName).c_str());
      }
    }
    if (!Write(line, std::string_view()).ok()) {
      Remove(line);
      return StatusLineHandle();
    }
    const uint32_t handle = ++lastHandle_;
    lines_.emplace(handle, std::move(line));
    return StatusLineHandle(handle);
  }
  return StatusLineHandle();
}

Status StatusLines::SetText(StatusLineHandle line, std::string_view text) {
  const auto it = lines_.find(line.value);
  if (it == lines_.end()) return err::kInvalidHandle;
  return Write(it->second, Cut(text, kMaxTextBytes));
}

Status StatusLines::Delete(StatusLineHandle line) {
  const auto it = lines_.find(line.value);
  if (it == lines_.end()) return err::kInvalidHandle;
  Remove(it->second);
  lines_.erase(it);
  return Status();
}

Status StatusLines::Write(const Line& line, std::string_view text) {
  FixedText<64> header;
  header.Format("%ld %zu %zu\n", static_cast<long>(::getpid()),
                line.name.size(), text.size());
  std::string bytes(header.view());
  bytes += line.name;
  bytes += text;
  // A status line is only news: atomic for readers, but not worth an fsync
  // on every change.
  return ReplaceFile(line.file, bytes, /*durable=*/false);
}

void StatusLines::Remove(Line& line) {
  // The line goes before its lock, so a reader never finds a line of a live
  // task without the lock that proves it alive.
  ::unlink(line.file.c_str());
  ::unlink(line.lockFile.c_str());
  line.lock.Reset();
}

std::vector<StatusLineInfo> StatusLines::ReadAll(const fs::path& dir) {
  struct Found {
    std::string fileName;
    StatusLineInfo info;
  };
  std::vector<Found> found;
  const fs::path folder = StatusFolder(dir);
  for (const std::string& fileName : ListFolder(folder)) {
    if (!fileName.ends_with(kLineSuffix)) continue;
    const auto bytes = ReadSmallFile(folder / fileName, kMaxFileBytes);
    if (!bytes) continue;
    auto info = ParseLine(*bytes);
    if (!info) continue;
    const std::string stem =
        fileName.substr(0, fileName.size() - kLineSuffix.size());
    const fs::path lockFile = folder / (stem + std::string(kLockSuffix));
    // Only asks about the lock, never takes it, so the owner's own claim
    // cannot fail because someone was looking.
    const UniqueFd lock(
        ::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    info->running = lock && IsLockedByOther(lock.get());
    found.push_back(Found{fileName, std::move(*info)});
  }
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    if (a.info.name != b.info.name) return a.info.name < b.info.name;
    return a.fileName < b.fileName;
  });
  std::vector<StatusLineInfo> lines;
  lines.reserve(found.size());
  for (Found& f : found) lines.push_back(std::move(f.info));
  return lines;
}

}  // namespace vt::console
