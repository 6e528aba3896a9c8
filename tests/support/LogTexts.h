// Reading back what the task logged: the texts of the server's log lines
// without their date and time, and a wrapper that keeps each line's status
// and whole formatted text before the server sees it (the server cuts and
// decorates lines, so limits of the task's own formatting show only here).
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "notes/NotesServicesWrapper.h"
#include "server/LocalNotesServices.h"

namespace vt::testing {

// The log lines' texts, oldest first: "YYYY-MM-DD HH:MM:SS  " cut off.
inline std::vector<std::string> LogTexts(const LocalNotesServices& server) {
  static const std::regex kStamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d  )");
  std::vector<std::string> texts;
  for (const std::string& line : server.LogLines()) {
    std::smatch stamp;
    if (std::regex_search(line, stamp, kStamp,
                          std::regex_constants::match_continuous)) {
      texts.push_back(line.substr(stamp.length(0)));
    } else {
      ADD_FAILURE() << "log line without date and time: " << line;
      texts.push_back(line);
    }
  }
  return texts;
}

// How many log lines contain text.
inline int CountLog(const LocalNotesServices& server, std::string_view text) {
  int n = 0;
  for (const std::string& line : server.LogLines()) {
    if (line.find(text) != std::string::npos) ++n;
  }
  return n;
}

struct LoggedLine {
  Status status;
  std::string text;  // formatted without any limit
};

class LogCapture : public NotesServicesWrapper {
 public:
  explicit LogCapture(NotesServices& target) : NotesServicesWrapper(target) {}

  const std::vector<LoggedLine>& lines() const { return lines_; }

  void LogMessageV(const char* format, Status status, va_list args) override {
    va_list measure;
    va_copy(measure, args);
    const int n = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) {
      va_list copy;
      va_copy(copy, args);
      std::vsnprintf(text.data(), text.size() + 1, format, copy);
      va_end(copy);
    }
    lines_.push_back(LoggedLine{status, std::move(text)});
    NotesServicesWrapper::LogMessageV(format, status, args);
  }

 private:
  std::vector<LoggedLine> lines_;
};

}  // namespace vt::testing
