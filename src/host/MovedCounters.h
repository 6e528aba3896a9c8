// The messages moved since the task started, by route, on a status line of
// their own: what a monitoring system counts. The day's totals cannot serve:
// they go back to zero at midnight, and the task's own line shows them only
// after a pass, never while it is paused or starting.
#pragma once

#include <cstdint>

#include "engine/MessageCounts.h"
#include "notes/NotesServices.h"

namespace vt {

class MovedCounters {
 public:
  // Makes the line, at zero; the task's default line stays the default.
  void Start(NotesServices& notes, ModuleHandle module,
             StatusLineHandle defaultLine);
  // Adds what one pass added to the day's totals (before and after it).
  void Add(NotesServices& notes, const MessageCounts& before,
           const MessageCounts& after);

 private:
  void Show(NotesServices& notes);

  int64_t mail_ = 0;
  int64_t spamD_ = 0;
  int64_t spamC_ = 0;
  int64_t spamB_ = 0;
  ModuleHandle module_;
  StatusLineHandle line_;
  StatusLineHandle defaultLine_;
};

}  // namespace vt
