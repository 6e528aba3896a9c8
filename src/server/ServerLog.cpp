// Writing server log lines to the file, standard output and memory.
#include "server/ServerLog.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "notes/FixedText.h"

namespace vt {

ServerLog::~ServerLog() { CloseFile(); }

void ServerLog::CloseFile() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void ServerLog::SetFile(std::filesystem::path file) {
  CloseFile();
  file_ = std::move(file);
}

void ServerLog::Write(int64_t unixCentis, std::string_view text) {
  time_t seconds = static_cast<time_t>(unixCentis / 100);
  if (unixCentis < 0 && unixCentis % 100 != 0) --seconds;
  tm local{};
  localtime_r(&seconds, &local);
  char stamp[32];
  if (strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local) == 0) {
    stamp[0] = '\0';
  }

  std::string line;
  line.reserve(text.size() + 24);
  line.append(stamp);
  line.append("  ");
  // A console command may carry any byte.
  AppendOnOneLine(line, text);

  lines_.push_back(line);
  if (lines_.size() > kKeptLines) lines_.pop_front();

  line.push_back('\n');
  if (!file_.empty()) {
    if (fd_ < 0) {
      std::error_code ec;
      std::filesystem::create_directories(file_.parent_path(), ec);
      fd_ = ::open(file_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                   0644);
    }
    if (fd_ >= 0) {
      // One write with O_APPEND: the line lands whole at the end even when
      // other processes log at the same time.
      const ssize_t n = ::write(fd_, line.data(), line.size());
      static_cast<void>(n);  // a full disk must not stop the task
    }
  }
  if (echo_) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  }
}

}  // namespace vt
