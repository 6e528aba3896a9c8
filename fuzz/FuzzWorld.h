// What the fuzz targets over a real data directory share: a scratch folder
// made once per process (on tmpfs when there is one) and removed at exit,
// the Linux system services pointed into it, a wrapper that counts what the
// code under test leaves open, and the checks every server log line passes.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "log/TaskLog.h"
#include "notes/FixedText.h"
#include "server/LocalNotesServices.h"
#include "support/FaultyNotes.h"
#include "system/posix/PosixSystemServices.h"

namespace vt::fuzzing {

namespace fs = std::filesystem;

// Stops the run with a reason a person can read before the trap.
[[noreturn]] inline void Fail(const char* format, ...)
    __attribute__((format(printf, 1, 2)));
[[noreturn]] inline void Fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::fputs("fuzz invariant: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
  __builtin_trap();
}

// A folder of this process's own; everything in it goes at exit. A crash
// leaves it behind for a look at the data directory it held.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string base = "/dev/shm";
    if (::access(base.c_str(), W_OK | X_OK) != 0) {
      const char* tmp = std::getenv("TMPDIR");
      base = (tmp != nullptr && tmp[0] != '\0') ? tmp : "/tmp";
    }
    std::string pattern = base + "/vtfuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      Fail("cannot make a scratch folder in %s", base.c_str());
    }
    path_ = pattern;
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  ~ScratchFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }

  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// The real Linux services, except that the executable "lives" in the scratch
// folder (so the Veltrane.ini beside it is one the target writes, or none)
// and the named mutexes are lock files of this process alone, so that
// nothing else on the machine waits on them or makes them wait.
class FuzzSystem : public PosixSystemServices {
 public:
  explicit FuzzSystem(const fs::path& folder)
      : PosixSystemServices((folder / "locks").string()),
        executable_((folder / "vtrouter").string()) {}

  uint32_t GetExecutablePath(std::span<char> path) override {
    if (!CopyBounded(path, executable_)) {
      if (!path.empty()) path[0] = '\0';
      return 0;
    }
    return static_cast<uint32_t>(executable_.size());
  }

 private:
  std::string executable_;
};

// Counts every call and open handle (FaultyNotes, which injects nothing
// here) and keeps the last status text, which the embedded server drops
// while no task runtime is started.
class CountingNotes : public testing::FaultyNotes {
 public:
  using FaultyNotes::FaultyNotes;

  std::string statusText;
  int statusTexts = 0;

  void SetStatusTextV(const char* format, va_list args) override {
    va_list copy;
    va_copy(copy, args);
    FixedText<1024> text;
    FormatBoundedV(text.span(), format, copy);
    va_end(copy);
    statusText.assign(text.view());
    ++statusTexts;
    FaultyNotes::SetStatusTextV(format, args);
  }
  int LogCalls() const { return Calls(NotesOp::kLogMessageV); }
};

// "YYYY-MM-DD HH:MM:SS" and two blanks before each line's text.
inline constexpr size_t kStampSize = 21;
// What LogMessage can make of one call: 1023 characters of formatted text,
// then ": " and a status text of at most 255.
inline constexpr size_t kMaxLineText = 1023 + 2 + 255;

// The text of one server log line, checked for its stamp and its bound.
inline std::string_view LineText(const std::string& line) {
  if (line.size() < kStampSize || line[4] != '-' || line[7] != '-' ||
      line[10] != ' ' || line[13] != ':' || line[16] != ':' ||
      line.compare(19, 2, "  ") != 0) {
    Fail("log line without its time stamp: '%s'", line.c_str());
  }
  const std::string_view text = std::string_view(line).substr(kStampSize);
  if (text.size() > kMaxLineText) {
    Fail("log line of %zu characters", text.size());
  }
  return text;
}

// The texts of the last n lines of the server's log; every one of them must
// be the router's.
inline std::deque<std::string_view> LastLines(const LocalNotesServices& server,
                                              int n) {
  const std::deque<std::string>& lines = server.LogLines();
  if (n < 0 || static_cast<size_t>(n) > lines.size()) {
    Fail("%d log calls but %zu lines kept", n, lines.size());
  }
  std::deque<std::string_view> texts;
  for (size_t i = lines.size() - static_cast<size_t>(n); i < lines.size();
       ++i) {
    const std::string_view text = LineText(lines[i]);
    if (!text.starts_with(kTaskName) ||
        text.substr(std::strlen(kTaskName)).substr(0, 2) != ": ") {
      Fail("log line not the router's: '%s'", lines[i].c_str());
    }
    texts.push_back(text);
  }
  return texts;
}

// The server keeps its latest log lines in memory; until it has its fill,
// every line is one more allocation than the input frees, which sends
// libFuzzer into a leak check after each input. Filling it first keeps the
// memory of an input's run in balance.
inline void FillKeptLines(LocalNotesServices& server) {
  while (server.LogLines().size() < ServerLog::kKeptLines) {
    server.LogMessage("%s: %s", Status(), kTaskName, "(fuzzing starts)");
  }
}

// The server log file only grows; a long run empties it now and then (the
// server appends with O_APPEND, so it carries on at the new end).
inline void KeepLogSmall(const LocalNotesServices& server, uint64_t runs) {
  if (runs % 4096 != 0) return;
  const fs::path file = server.dataDirectory().RuntimeFolder() / "server.log";
  static_cast<void>(::truncate(file.c_str(), 0));
}

// A fixed-size text field must hold its terminator within its size.
template <size_t N>
void CheckTerminated(const FixedText<N>& field, const char* name) {
  if (std::memchr(field.c_str(), '\0', N) == nullptr) {
    Fail("%s is not terminated within its %zu bytes", name, N);
  }
}

}  // namespace vt::fuzzing
