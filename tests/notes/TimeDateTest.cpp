// Time-date conversions: the day boundary, negative instants and @Adjust's
// calendar rules are where off-by-one faults hide.
#include <gtest/gtest.h>

#include "notes/TimeDate.h"

namespace vt {
namespace {

TEST(TimeDate, UnixEpochIsJulianDay2440588AtMidnight) {
  const TimeDate td = TimeDateFromUnixCentis(0);
  EXPECT_EQ(td.date, 2440588u);
  EXPECT_EQ(td.time, 0u);
  EXPECT_EQ(UnixCentisFromTimeDate(td), 0);
}

TEST(TimeDate, RoundTripsAcrossDayBoundariesAndBeforeTheEpoch) {
  for (int64_t c : {int64_t{-1}, int64_t{1}, kCentisPerDay - 1, kCentisPerDay,
                    int64_t{-kCentisPerDay - 5}, int64_t{178'000'000'123}}) {
    const TimeDate td = TimeDateFromUnixCentis(c);
    EXPECT_LT(td.time, static_cast<uint32_t>(kCentisPerDay)) << c;
    EXPECT_EQ(UnixCentisFromTimeDate(td), c) << c;
  }
  EXPECT_EQ(TimeDateFromUnixCentis(-1).date, 2440587u);
}

TEST(TimeDate, ComparisonsOrderByDateThenTime) {
  const TimeDate a{100, 5}, b{50, 6}, c{100, 5};
  EXPECT_EQ(CompareTimeDateValues(a, b), -1);
  EXPECT_EQ(CompareTimeDateValues(b, a), 1);
  EXPECT_EQ(CompareTimeDateValues(a, c), 0);
  EXPECT_EQ(CompareDateValues(TimeDate{kAnyTime, 7}, TimeDate{kAnyTime, 7}), 0);
  EXPECT_NE(CompareDateValues(TimeDate{kAnyTime, 7}, TimeDate{kAnyTime, 8}), 0);
}

TEST(TimeDate, AdjustMovesMinutesAndClampsMonthEnds) {
  // 2024-01-31 12:00 UTC.
  const int64_t jan31 = (19753LL * 86400 + 12 * 3600) * 100;
  const TimeDate base = TimeDateFromUnixCentis(jan31);
  EXPECT_EQ(UnixCentisFromTimeDate(AdjustTimeDate(base, 0, 0, 0, 0, -10, 0)),
            jan31 - 600 * 100);
  // One month after January 31st of a leap year is February 29th.
  const TimeDate feb = AdjustTimeDate(base, 0, 1, 0, 0, 0, 0);
  EXPECT_EQ(UnixCentisFromTimeDate(feb), jan31 + 29LL * 86400 * 100);
  // Minus one year from 2024-02-29 is 2023-02-28.
  const TimeDate back = AdjustTimeDate(feb, -1, 0, 0, 0, 0, 0);
  EXPECT_EQ(UnixCentisFromTimeDate(back),
            jan31 + 29LL * 86400 * 100 - 366LL * 86400 * 100);
}

}  // namespace
}  // namespace vt
