// The messages moved since the start of the current day, by destination.
// Nothing is stored: a restart begins at zero.
#pragma once

#include "engine/MessageCounts.h"
#include "notes/NotesServices.h"

namespace vt {

struct DailyTotals : MessageCounts {
  // The date of the last reset, with the time word set to kAnyTime so that
  // any two stamps of one date compare equal.
  TimeDate Day;
};

// Zeroes the counters and starts the current day.
void StartDay(NotesServices& notes, DailyTotals& totals);
// Starts a new day when the date changed (later or earlier).
void CheckDay(NotesServices& notes, DailyTotals& totals);

}  // namespace vt
