// Formatting and writing of the task's log lines.
#include "log/TaskLog.h"

#include "notes/FixedText.h"

namespace vt {

void TaskLog::Log(Status status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogV(status, format, args);
  va_end(args);
}

void TaskLog::LogV(Status status, const char* format, va_list args) {
  FixedText<kLogTextSize> text;
  FormatBoundedV(text.span(), format, args);
  Write(status, text.c_str());
}

void TaskLog::Write(Status status, const char* text) {
  // The text goes in as an argument, never as a format: it may hold '%'.
  notes_.LogMessage("%s: %s", status, kTaskName, text);
}

}  // namespace vt
