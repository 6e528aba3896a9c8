// The variadic front ends of the two printf-like operations; implementations
// override the va_list forms only.
#include "notes/NotesServices.h"

namespace vt {

void NotesServices::LogMessage(const char* format, Status status, ...) {
  va_list args;
  va_start(args, status);
  LogMessageV(format, status, args);
  va_end(args);
}

void NotesServices::SetStatusText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  SetStatusTextV(format, args);
  va_end(args);
}

}  // namespace vt
