// Conversions between time-dates and Unix time, and the calendar arithmetic
// that @Adjust needs.
#include "notes/TimeDate.h"

namespace vt {
namespace {

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

// Civil date <-> days since 1970-01-01 (proleptic Gregorian calendar).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = FloorDiv(y, 400);
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, int* m, int* d) {
  z += 719468;
  const int64_t era = FloorDiv(z, 146097);
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = yoe + era * 400 + (*m <= 2);
}

int DaysInMonth(int64_t y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m == 2) {
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return leap ? 29 : 28;
  }
  return kDays[m - 1];
}

}  // namespace

TimeDate TimeDateFromUnixCentis(int64_t centis) {
  const int64_t days = FloorDiv(centis, kCentisPerDay);
  TimeDate td;
  td.time = static_cast<uint32_t>(centis - days * kCentisPerDay);
  td.date = static_cast<uint32_t>(days + kJulianDayOfUnixEpoch);
  return td;
}

int64_t UnixCentisFromTimeDate(const TimeDate& td) {
  const int64_t days = static_cast<int64_t>(td.date) -
                       static_cast<int64_t>(kJulianDayOfUnixEpoch);
  const int64_t time = td.time == kAnyTime ? 0 : td.time;
  return days * kCentisPerDay + time;
}

int CompareTimeDateValues(const TimeDate& a, const TimeDate& b) {
  if (a.date != b.date) return a.date < b.date ? -1 : 1;
  if (a.time != b.time) return a.time < b.time ? -1 : 1;
  return 0;
}

int CompareDateValues(const TimeDate& a, const TimeDate& b) {
  if (a.date != b.date) return a.date < b.date ? -1 : 1;
  return 0;
}

TimeDate AdjustTimeDate(const TimeDate& td, int years, int months, int days,
                        int hours, int minutes, int seconds) {
  const int64_t centis = UnixCentisFromTimeDate(td);
  int64_t day = FloorDiv(centis, kCentisPerDay);
  const int64_t timeOfDay = centis - day * kCentisPerDay;
  if (years != 0 || months != 0) {
    int64_t y;
    int m, d;
    CivilFromDays(day, &y, &m, &d);
    const int64_t totalMonths = y * 12 + (m - 1) + years * 12LL + months;
    y = FloorDiv(totalMonths, 12);
    m = static_cast<int>(totalMonths - y * 12) + 1;
    if (d > DaysInMonth(y, m)) d = DaysInMonth(y, m);
    day = DaysFromCivil(y, m, d);
  }
  const int64_t delta =
      (static_cast<int64_t>(days) * 86400 + static_cast<int64_t>(hours) * 3600 +
       static_cast<int64_t>(minutes) * 60 + seconds) *
      100;
  return TimeDateFromUnixCentis(day * kCentisPerDay + timeOfDay + delta);
}

}  // namespace vt
