// The platform's 8-byte time-date: a time word (hundredths of a second since
// midnight, UTC) and a date word (Julian day number). A time word of
// 0xFFFFFFFF means "any time of that day", which is how the daily totals
// compare dates.
#pragma once

#include <cstdint>

namespace vt {

struct TimeDate {
  uint32_t time = 0;
  uint32_t date = 0;

  friend constexpr bool operator==(const TimeDate&, const TimeDate&) = default;
};

inline constexpr uint32_t kAnyTime = 0xFFFFFFFF;
inline constexpr uint32_t kJulianDayOfUnixEpoch = 2440588;  // 1970-01-01
inline constexpr int64_t kCentisPerDay = 8640000;

// Hundredths of a second since 1970-01-01 00:00 UTC, and back. Stamps before
// the epoch are supported; a time word of kAnyTime counts as midnight.
TimeDate TimeDateFromUnixCentis(int64_t centis);
int64_t UnixCentisFromTimeDate(const TimeDate& td);

// -1, 0 or 1. Dates compare by the date word alone.
int CompareTimeDateValues(const TimeDate& a, const TimeDate& b);
int CompareDateValues(const TimeDate& a, const TimeDate& b);

// Adds the given amounts (any sign) the way @Adjust does: years and months
// move the calendar date (clamping the day to the month's length), the rest
// moves the instant.
TimeDate AdjustTimeDate(const TimeDate& td, int years, int months, int days,
                        int hours, int minutes, int seconds);

}  // namespace vt
