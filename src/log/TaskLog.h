// The log front end of the task: every line goes to the server log through
// LogMessage, as "VTRouter: <text>", with the status of the failure it
// reports (0 for progress lines).
#pragma once

#include <cstdarg>

#include "notes/NotesServices.h"
#include "notes/Status.h"

namespace vt {

inline constexpr char kTaskName[] = "VTRouter";
inline constexpr size_t kLogTextSize = 1024;

class TaskLog {
 public:
  explicit TaskLog(NotesServices& notes) : notes_(notes) {}

  // Formats into a 1024-byte buffer (cut at 1023 characters) and logs it.
  void Log(Status status, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  void LogV(Status status, const char* format, va_list args);
  // Logs a text that is already formatted.
  void Write(Status status, const char* text);

 private:
  NotesServices& notes_;
};

}  // namespace vt
