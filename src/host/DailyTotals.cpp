// Day changes of the daily totals.
#include "host/DailyTotals.h"

namespace vt {

void StartDay(NotesServices& notes, DailyTotals& totals) {
  totals = DailyTotals();
  notes.CurrentTime(&totals.Day);
  totals.Day.time = kAnyTime;
}

void CheckDay(NotesServices& notes, DailyTotals& totals) {
  TimeDate today;
  notes.CurrentTime(&today);
  today.time = kAnyTime;
  if (notes.CompareDates(totals.Day, today) != 0) StartDay(notes, totals);
}

}  // namespace vt
