// Counting the router's "Moved" lines per minute, reading the log from its
// end so that a call costs what the window holds, not what the log holds.
#include "web/FlowHistory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <limits>
#include <optional>
#include <string>

#include "base/UniqueFd.h"

namespace vt::tool {
namespace {

constexpr size_t kBlockBytes = 64 * 1024;
// The router cuts its lines at about 1 KiB; anything much longer is not one
// of its lines, and skipping it keeps a log without line ends from filling
// memory.
constexpr size_t kLongestLine = 1024 * 1024;
// Several processes write the log and a clock may step back, so stamps are
// only nearly in order: the scan stops at the first line this much older
// than the window.
constexpr int64_t kDisorderSeconds = 5 * 60;
constexpr int kMostMinutes = 7 * 24 * 60;
// "YYYY-MM-DD HH:MM:SS" and two blanks before the text.
constexpr size_t kStampBytes = 19;
constexpr size_t kTextOffset = kStampBytes + 2;

// Where each route's messages go, as the router names it, in Route order.
constexpr std::array<std::string_view, FlowHistory::kRoutes> kDestinations = {
    "mail.box", "Quarantine B", "Quarantine C", "Quarantine D", "Scan box"};

// Hands out a file's complete lines from the last to the first. A last line
// without its line end is still being written and is left for the next call.
class BackwardLines {
 public:
  BackwardLines(int fd, uint64_t size) : fd_(fd), pos_(size) {}

  // The next line back (valid until the next call); false at the beginning
  // of the file or when it can no longer be read.
  bool Next(std::string_view* line) {
    while (true) {
      const size_t newline =
          end_ == 0 ? std::string::npos : buffer_.rfind('\n', end_ - 1);
      if (newline != std::string::npos) {
        const bool skipped = skipping_;
        *line =
            std::string_view(buffer_).substr(newline + 1, end_ - newline - 1);
        end_ = newline;
        skipping_ = false;
        if (!skipped) return true;
        continue;
      }
      if (pos_ == 0) {
        // What is left is the file's first line.
        if (done_ || skipping_) return false;
        done_ = true;
        *line = std::string_view(buffer_).substr(0, end_);
        return true;
      }
      if (end_ > kLongestLine) {
        skipping_ = true;
        end_ = 0;
      }
      if (!ReadBlockBefore()) return false;
    }
  }

 private:
  // Puts the block before the bytes held in front of them.
  bool ReadBlockBefore() {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kBlockBytes, pos_));
    std::string joined(n + end_, '\0');
    for (size_t got = 0; got < n;) {
      const ssize_t r = ::pread(fd_, joined.data() + got, n - got,
                                static_cast<off_t>(pos_ - n + got));
      if (r < 0 && errno == EINTR) continue;
      // Zero: the file was cut short under us (rotated with copytruncate).
      if (r <= 0) return false;
      got += static_cast<size_t>(r);
    }
    std::memcpy(joined.data() + n, buffer_.data(), end_);
    buffer_.swap(joined);
    end_ = buffer_.size();
    pos_ -= n;
    return true;
  }

  int fd_;
  uint64_t pos_;        // where the bytes held in buffer_ begin in the file
  std::string buffer_;  // its first end_ bytes are not handed out yet
  size_t end_ = 0;
  // The bytes after end_ belong to a line not to be handed out. At first
  // that is the last line, until its line end shows it complete.
  bool skipping_ = true;
  bool done_ = false;
};

bool Consume(std::string_view& text, std::string_view prefix) {
  if (!text.starts_with(prefix)) return false;
  text.remove_prefix(prefix.size());
  return true;
}

// A count as the router prints it with %ld: digits only, within a long.
bool ConsumeCount(std::string_view& text, uint64_t* count) {
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), *count);
  if (error != std::errc() ||
      *count > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return false;
  }
  text.remove_prefix(static_cast<size_t>(end - text.data()));
  return true;
}

// What follows the destination: nothing, ".  R rejected.", ".  E errors."
// or ".  R rejected.  E errors.".
bool IsMovedTail(std::string_view tail) {
  if (tail.empty()) return true;
  uint64_t ignored = 0;
  if (!Consume(tail, ".  ") || !ConsumeCount(tail, &ignored)) return false;
  if (Consume(tail, " rejected.")) {
    if (tail.empty()) return true;
    if (!Consume(tail, "  ") || !ConsumeCount(tail, &ignored)) return false;
  }
  return tail == " errors.";
}

struct Moved {
  FlowHistory::Route route;
  uint64_t count;
};

// A line's text after the stamp, when it is one of the router's four forms
// of "Moved %ld messages to %s" behind the task's name and ": ".
std::optional<Moved> ParseMoved(std::string_view text) {
  const size_t colon = text.find(": ");
  if (colon == std::string_view::npos) return std::nullopt;
  text.remove_prefix(colon + 2);
  uint64_t count = 0;
  if (!Consume(text, "Moved ") || !ConsumeCount(text, &count) ||
      !Consume(text, " messages to ")) {
    return std::nullopt;
  }
  for (size_t route = 0; route < kDestinations.size(); ++route) {
    std::string_view tail = text;
    if (Consume(tail, kDestinations[route]) && IsMovedTail(tail)) {
      return Moved{static_cast<FlowHistory::Route>(route), count};
    }
  }
  return std::nullopt;
}

bool ParseDigits(std::string_view text, int* value) {
  *value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    *value = *value * 10 + (c - '0');
  }
  return true;
}

// Turns local stamps into Unix seconds. mktime is slow next to the rest of
// a line's work, and the lines of one minute come together, so the minute's
// start is kept for the next line.
class LocalStamps {
 public:
  // The line's stamp, or nothing when the line does not begin with one.
  std::optional<int64_t> Seconds(std::string_view line) {
    int second = 0;
    if (line.size() < kTextOffset || line[16] != ':' ||
        line.substr(kStampBytes, 2) != "  " ||
        !ParseDigits(line.substr(17, 2), &second) || second > 59) {
      return std::nullopt;
    }
    const std::string_view minute = line.substr(0, 16);
    if (minute != minute_) {
      minute_.assign(minute);
      minuteStart_ = MinuteStart(minute);
    }
    if (!minuteStart_) return std::nullopt;
    return *minuteStart_ + second;
  }

 private:
  // "YYYY-MM-DD HH:MM" in local time; nothing for a date that does not exist.
  static std::optional<int64_t> MinuteStart(std::string_view text) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    if (text[4] != '-' || text[7] != '-' || text[10] != ' ' ||
        text[13] != ':' || !ParseDigits(text.substr(0, 4), &year) ||
        !ParseDigits(text.substr(5, 2), &month) ||
        !ParseDigits(text.substr(8, 2), &day) ||
        !ParseDigits(text.substr(11, 2), &hour) ||
        !ParseDigits(text.substr(14, 2), &minute) || month < 1 || month > 12 ||
        day < 1 || hour > 23 || minute > 59) {
      return std::nullopt;
    }
    tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_isdst = -1;
    const time_t seconds = ::mktime(&local);
    // mktime moves a 31st of a short month into the next one.
    if (seconds == static_cast<time_t>(-1) || local.tm_mon != month - 1) {
      return std::nullopt;
    }
    return static_cast<int64_t>(seconds);
  }

  std::string minute_;
  std::optional<int64_t> minuteStart_;
};

enum class ScanEnd { kMissing, kBeginning, kOlderThanWindow };

// Adds the moves of one log file's lines in the window to history, from the
// end back to the first line that shows the rest is older still.
ScanEnd ScanLog(const std::filesystem::path& file, LocalStamps& stamps,
                FlowHistory& history) {
  const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return ScanEnd::kMissing;
  }
  history.logFound = true;
  const int64_t windowEnd = history.start + int64_t{history.minutes} * 60;
  BackwardLines lines(fd.get(), static_cast<uint64_t>(st.st_size));
  std::string_view line;
  while (lines.Next(&line)) {
    ++history.linesRead;
    const std::optional<int64_t> stamp = stamps.Seconds(line);
    if (!stamp) continue;
    if (*stamp < history.start - kDisorderSeconds) {
      return ScanEnd::kOlderThanWindow;
    }
    if (*stamp < history.start || *stamp >= windowEnd) continue;
    const std::optional<Moved> moved = ParseMoved(line.substr(kTextOffset));
    if (!moved) continue;
    uint64_t& slot =
        history.counts[static_cast<size_t>((*stamp - history.start) / 60)]
                      [moved->route];
    constexpr uint64_t kMost = std::numeric_limits<uint64_t>::max();
    slot = moved->count > kMost - slot ? kMost : slot + moved->count;
  }
  return ScanEnd::kBeginning;
}

}  // namespace

FlowHistory ReadFlowHistory(const std::filesystem::path& logFile,
                            int64_t nowUnixSeconds, int minutes) {
  FlowHistory history;
  history.minutes = std::clamp(minutes, 0, kMostMinutes);
  const int64_t nowMinute = nowUnixSeconds - ((nowUnixSeconds % 60) + 60) % 60;
  history.start = nowMinute - int64_t{history.minutes - 1} * 60;
  history.counts.resize(static_cast<size_t>(history.minutes));

  LocalStamps stamps;
  // A scan of the current log that reached its first line without passing
  // the window may have missed minutes that only the rotated log holds
  // (a task may even still write there until it reopens the log).
  if (ScanLog(logFile, stamps, history) != ScanEnd::kOlderThanWindow) {
    std::filesystem::path rotated = logFile;
    rotated += ".1";
    ScanLog(rotated, stamps, history);
  }
  return history;
}

}  // namespace vt::tool
