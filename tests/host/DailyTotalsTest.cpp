// The day's totals reset when the date changes, later or earlier, and only
// then.
#include <gtest/gtest.h>

#include "host/DailyTotals.h"
#include "support/FakeClock.h"
#include "support/TempDataDir.h"

namespace vt {
namespace {

constexpr int64_t kHour = 3600 * 100;

TEST(DailyTotals, ResetOnlyWhenTheDateChanges) {
  FakeClock clock(FakeClock::kDefaultStart);  // 12:00 UTC
  TempDataDir dir;
  auto server = dir.MakeServer(&clock);
  DailyTotals totals;
  StartDay(*server, totals);
  EXPECT_EQ(totals.Day.time, kAnyTime);
  totals.Mail = 5;
  totals.SpamB = 2;

  clock.SetUnixCentis(FakeClock::kDefaultStart + 11 * kHour);  // 23:00
  CheckDay(*server, totals);
  EXPECT_EQ(totals.Mail, 5);

  clock.SetUnixCentis(FakeClock::kDefaultStart + 12 * kHour + 1);  // 00:00+
  CheckDay(*server, totals);
  EXPECT_EQ(totals.Mail, 0);
  EXPECT_EQ(totals.SpamB, 0);

  totals.SpamC = 3;
  clock.SetUnixCentis(FakeClock::kDefaultStart - 30 * 24 * kHour);
  CheckDay(*server, totals);  // a clock set back also starts a new day
  EXPECT_EQ(totals.SpamC, 0);
}

}  // namespace
}  // namespace vt
