// Writing server log lines to the file, standard output and memory.
#include "server/ServerLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "notes/FixedText.h"

namespace vt {
namespace {

std::string ErrorText(int error) {
  return std::error_code(error, std::generic_category()).message();
}

// "Log times are local time, UTC+01:00 (CET)": the stamps carry no zone.
std::string ZoneText(long utcOffset, const char* zoneName) {
  const long minutes = (utcOffset < 0 ? -utcOffset : utcOffset) / 60;
  char text[96];
  std::snprintf(text, sizeof text,
                "Log times are local time, UTC%c%02ld:%02ld (%s)",
                utcOffset < 0 ? '-' : '+', minutes / 60, minutes % 60,
                zoneName != nullptr ? zoneName : "?");
  return text;
}

}  // namespace

ServerLog::~ServerLog() { CloseFile(); }

void ServerLog::CloseFile() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void ServerLog::SetFile(std::filesystem::path file, bool mayCreate) {
  CloseFile();
  file_ = std::move(file);
  mayCreate_ = mayCreate;
}

void ServerLog::Reopen(int64_t unixCentis) {
  CloseFile();
  // A file that names its zone begins at once, so that the rotation shows.
  if (nameZone_ && !file_.empty()) {
    tm local{};
    const std::string stamp = Stamp(unixCentis, &local);
    static_cast<void>(WriteToFile(stamp, local.tm_gmtoff, local.tm_zone,
                                  {}));  // a failure is reported there
  }
}

std::string ServerLog::Stamp(int64_t unixCentis, tm* local) {
  time_t seconds = static_cast<time_t>(unixCentis / 100);
  if (unixCentis < 0 && unixCentis % 100 != 0) --seconds;
  localtime_r(&seconds, local);
  char stamp[32];
  if (strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", local) == 0) {
    stamp[0] = '\0';
  }
  return stamp;
}

void ServerLog::Write(int64_t unixCentis, std::string_view text, bool failure) {
  tm local{};
  const std::string stamp = Stamp(unixCentis, &local);

  std::string line;
  line.reserve(text.size() + 24);
  line.append(stamp);
  line.append("  ");
  const size_t textStart = line.size();
  // A console command may carry any byte.
  AppendOnOneLine(line, text);

  lines_.push_back(line);
  if (lines_.size() > kKeptLines) lines_.pop_front();

  if (!file_.empty()) {
    static_cast<void>(WriteToFile(stamp, local.tm_gmtoff, local.tm_zone,
                                  line));  // a lost line is counted there
  }
  if (echo_ == Echo::kStamped) {
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  } else if (echo_ == Echo::kJournal) {
    std::string entry = failure ? "<3>" : "<6>";
    entry.append(line, textStart);
    entry.push_back('\n');
    std::fwrite(entry.data(), 1, entry.size(), stdout);
    std::fflush(stdout);
  }
}

bool ServerLog::WriteToFile(const std::string& stamp, long utcOffset,
                            const char* zoneName, std::string_view line) {
  if (fd_ < 0) {
    int flags = O_WRONLY | O_APPEND | O_CLOEXEC;
    if (mayCreate_) {
      std::error_code ec;
      std::filesystem::create_directories(file_.parent_path(), ec);
      flags |= O_CREAT;
    }
    fd_ = ::open(file_.c_str(), flags, 0644);
    if (fd_ < 0) {
      // Not this user's to make: the lines go to the console only.
      if (!mayCreate_ && errno == ENOENT) return false;
      ReportFailure(errno);
      return false;
    }
    zoneNamed_ = false;
  }
  std::string out;
  if (torn_) out += '\n';
  if (failing_) {
    out += stamp + "  Server log: " + std::to_string(lostLines_) +
           " lines could not be written here (" + ErrorText(failureError_) +
           ")\n";
  }
  const bool nameZone = nameZone_ && (!zoneNamed_ || namedOffset_ != utcOffset);
  if (nameZone) out += stamp + "  " + ZoneText(utcOffset, zoneName) + "\n";
  if (!line.empty()) {
    out += line;
    out += '\n';
  }
  if (out.empty()) return true;
  // One write with O_APPEND: the lines land whole at the end even when
  // other processes log at the same time.
  const ssize_t n = ::write(fd_, out.data(), out.size());
  if (n != static_cast<ssize_t>(out.size())) {
    if (n > 0) CutShortWrite(static_cast<off_t>(n));
    ReportFailure(n < 0 ? errno : ENOSPC);
    // Opened again for the next line, which may find room or a mended path.
    CloseFile();
    return false;
  }
  torn_ = false;
  failing_ = false;
  lostLines_ = 0;
  if (nameZone) {
    zoneNamed_ = true;
    namedOffset_ = utcOffset;
  }
  return true;
}

void ServerLog::CutShortWrite(off_t written) {
  // Cut only while the fragment is still the file's end: a line another
  // process appended after it must stay.
  struct stat st {};
  const off_t end = ::lseek(fd_, 0, SEEK_CUR);
  if (end >= written && ::fstat(fd_, &st) == 0 && st.st_size == end &&
      ::ftruncate(fd_, end - written) == 0) {
    return;
  }
  torn_ = true;
}

void ServerLog::ReportFailure(int error) {
  ++lostLines_;
  if (failing_) return;
  failing_ = true;
  failureError_ = error;
  // A full disk must not stop the task, but nobody should have to find out
  // from a gap in the log.
  std::fprintf(stderr,
               "%sServer log %s cannot be written (%s); its lines are lost "
               "until it can\n",
               echo_ == Echo::kJournal ? "<3>" : "", file_.c_str(),
               ErrorText(error).c_str());
  std::fflush(stderr);
}

}  // namespace vt
