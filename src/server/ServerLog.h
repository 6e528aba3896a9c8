// The server log: one line per message, "YYYY-MM-DD HH:MM:SS  text" in local
// time, appended to <data>/.vtserver/server.log with one write per line (so
// that lines of several processes never interleave), echoed to standard
// output on request, and the latest lines kept in memory for tests and tools.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <string>
#include <string_view>

namespace vt {

class ServerLog {
 public:
  static constexpr size_t kKeptLines = 1000;

  ServerLog() = default;
  ServerLog(const ServerLog&) = delete;
  ServerLog& operator=(const ServerLog&) = delete;
  ~ServerLog();

  // The file is created (with its folder) at the first line. An empty path
  // keeps lines in memory (and on standard output) only.
  void SetFile(std::filesystem::path file);
  void SetEcho(bool echo) { echo_ = echo; }

  // Writes text (without line end) stamped with the given time; control
  // bytes in it other than tabs are written as '?'.
  void Write(int64_t unixCentis, std::string_view text);

  // The latest lines, oldest first, without line ends.
  const std::deque<std::string>& lines() const { return lines_; }
  const std::filesystem::path& file() const { return file_; }

 private:
  void CloseFile();

  std::filesystem::path file_;
  int fd_ = -1;
  bool echo_ = true;
  std::deque<std::string> lines_;
};

}  // namespace vt
