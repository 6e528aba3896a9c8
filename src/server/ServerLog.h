// The server log: one line per message, "YYYY-MM-DD HH:MM:SS  text" in local
// time, appended to <data>/.vtserver/server.log with one write per line (so
// that lines of several processes never interleave), echoed to standard
// output on request, and the latest lines kept in memory for tests and tools.
//
// A log rotated away under a running task is let go by Reopen: the next line
// creates the file anew. A line that cannot be written is said once on
// standard error, and the log itself counts the lost lines once it can be
// written again.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <filesystem>
#include <string>
#include <string_view>

namespace vt {

class ServerLog {
 public:
  static constexpr size_t kKeptLines = 1000;

  // What standard output receives.
  enum class Echo {
    kNone,
    kStamped,  // the lines as the file has them
    // For the systemd journal, which stamps lines itself: no time, and a
    // priority prefix, "<3>" for a failure and "<6>" for the rest.
    kJournal,
  };

  ServerLog() = default;
  ServerLog(const ServerLog&) = delete;
  ServerLog& operator=(const ServerLog&) = delete;
  ~ServerLog();

  // The file is created (with its folder) at the first line, unless
  // mayCreate is false: a user other than the data directory's owner only
  // appends to a log that exists, since a folder or file it made would be
  // its own and shut the owner's router out. An empty path keeps lines in
  // memory (and on standard output) only.
  void SetFile(std::filesystem::path file, bool mayCreate = true);
  void SetEcho(Echo echo) { echo_ = echo; }
  // With it, every time the file is opened, and whenever the offset from UTC
  // changes (daylight saving time), the file gets a line of the server's own
  // naming the time zone of the stamps.
  void SetNameZone(bool on) { nameZone_ = on; }

  // Writes text (without line end) stamped with the given time; control
  // bytes in it other than tabs are written as '?'. A failure (a line
  // logged with a nonzero status) only changes the journal's priority.
  void Write(int64_t unixCentis, std::string_view text, bool failure = false);

  // Closes the file and opens the path again, so that a log renamed by a
  // rotation is left alone and a new one begins. A file that names its zone
  // begins with that line, stamped now; any other at the next line.
  void Reopen(int64_t unixCentis);

  // The latest lines, oldest first, without line ends.
  const std::deque<std::string>& lines() const { return lines_; }
  const std::filesystem::path& file() const { return file_; }

 private:
  static std::string Stamp(int64_t unixCentis, tm* local);
  void CloseFile();
  // Appends the line (with its line end; none when empty) to the file,
  // after the server's own lines that are due; false if it could not.
  bool WriteToFile(const std::string& stamp, long utcOffset,
                   const char* zoneName, std::string_view line);
  // Takes the written bytes of a line that did not fit back off the file.
  void CutShortWrite(off_t written);
  void ReportFailure(int error);

  std::filesystem::path file_;
  bool mayCreate_ = true;
  int fd_ = -1;
  // A short write left part of a line at the end of the file, which could
  // not be cut off: the next write ends it first.
  bool torn_ = false;
  Echo echo_ = Echo::kStamped;
  bool nameZone_ = false;
  long namedOffset_ = 0;
  bool zoneNamed_ = false;
  // A failure episode: from the first line that could not be written to the
  // next line that could.
  bool failing_ = false;
  int failureError_ = 0;
  uint64_t lostLines_ = 0;
  std::deque<std::string> lines_;
};

}  // namespace vt
