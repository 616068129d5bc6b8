#include <gtest/gtest.h>

#include "support/clock.h"
#include "support/dates.h"
#include "test_util.h"

namespace drayline {
namespace {

TEST(PackedDateTime, PacksAndUnpacksWithEvenSeconds) {
  DateTimeRecord dt{2001, 6, 15, 10, 15, 37};
  DateTimeRecord back = UnpackDateTime(PackDateTime(dt));
  EXPECT_EQ(back.Year, 2001);
  EXPECT_EQ(back.Month, 6);
  EXPECT_EQ(back.Day, 15);
  EXPECT_EQ(back.Hour, 10);
  EXPECT_EQ(back.Minute, 15);
  EXPECT_EQ(back.Second, 36);
  EXPECT_EQ(TimeString(PackDateTime(dt), false), "10:15:36");
}

TEST(PackedDateTime, CurrentTimeComesFromTheEnvClock) {
  ClockEnv clock({2001, 6, 15, 10, 15, 37});
  EXPECT_EQ(CurrentPackedDateTime(&clock),
            PackDateTime({2001, 6, 15, 10, 15, 36}));
  clock.Set({2026, 12, 31, 23, 59, 59});
  EXPECT_EQ(CurrentLocalDateTime(&clock).Year, 2026);
}

TEST(DateText, StylesAndTwelveHourForm) {
  PackedDateTime d = PackDateTime({2001, 12, 5, 0, 30, 0});
  EXPECT_EQ(DateString(d, 1), "12/05/01");
  EXPECT_EQ(DateString(d, 2), "05/12/01");
  EXPECT_EQ(DateString(d, 3), "01/05/12");
  EXPECT_EQ(DateString(d, 4), "");
  EXPECT_EQ(DateString(d, kNoDateStyle), "");
  EXPECT_EQ(TimeString(d, true), "12:30a");
  EXPECT_EQ(TimeString(PackDateTime({2001, 1, 1, 12, 0, 0}), true), "12:00p");
  EXPECT_EQ(TimeString(PackDateTime({2001, 1, 1, 23, 59, 0}), true), "11:59p");
}

TEST(StrToInt, AcceptsOnlyWholeNumbers) {
  EXPECT_EQ(StrToInt("  42  "), 42);
  EXPECT_EQ(StrToInt("-7"), -7);
  EXPECT_EQ(StrToInt("$1F"), 31);
  EXPECT_EQ(StrToInt("%101"), 5);
  EXPECT_EQ(StrToInt("$FFFFFFFF"), -1);
  EXPECT_EQ(StrToInt("2147483647"), 2147483647);
  EXPECT_EQ(StrToInt("2147483648"), 0);
  EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
  for (const char* bad : {"12a", "1 2", "3.5", "", "-", "$", "5x", "abc", "7\t"}) {
    EXPECT_EQ(StrToInt(bad), 0) << bad;
  }
  EXPECT_EQ(StrToInt("\t9"), 9);
  EXPECT_EQ(IntToStr(INT32_MIN), "-2147483648");
  EXPECT_EQ(StripBoth("   ", ' '), "");
}

TEST(JulianDays, RoundTripAndKnownValues) {
  EXPECT_EQ(DateToJulianDay({1970, 1, 1}), 2440588);
  EXPECT_EQ(DateToJulianDay({2000, 2, 29}), 2451604);
  EXPECT_EQ(DateToJulianDay({2000, 3, 1}), 2451605);
  uint16_t y, m, d;
  JulianDayToDate(2451604, &y, &m, &d);
  EXPECT_EQ(y, 2000);
  EXPECT_EQ(m, 2);
  EXPECT_EQ(d, 29);
  DateTimeRecord zero = UnixToDateTime(0);
  EXPECT_EQ(zero.Year, 1970);
  EXPECT_EQ(zero.Month, 1);
  EXPECT_EQ(zero.Day, 1);
  EXPECT_EQ(DateTimeToUnix({2001, 12, 31, 0, 0, 0}), 1009756800u);
  EXPECT_EQ(DateTimeToUnix({2038, 1, 19, 0, 0, 0}), 2147472000u);
  EXPECT_EQ(DateTimeToUnix({2001, 6, 15, 14, 30, 0}), 992615400u);
}

TEST(JulianDays, DatesAfter2038StayUnsigned) {
  DateTimeRecord dt{2040, 5, 6, 7, 8, 10};
  UnixTime t = DateTimeToUnix(dt);
  EXPECT_GT(t, 2147483647u);
  DateTimeRecord back = UnixToDateTime(t);
  EXPECT_EQ(back.Year, 2040);
  EXPECT_EQ(back.Month, 5);
  EXPECT_EQ(back.Day, 6);
  EXPECT_EQ(back.Hour, 7);
  EXPECT_EQ(back.Minute, 8);
  EXPECT_EQ(back.Second, 10);
}

TEST(DateMask, FillsFirstTokensOnly) {
  DateTimeRecord dt{2001, 12, 5, 9, 5, 8};
  EXPECT_EQ(FormatDateMask(dt, "DD NNN YY  "), "05 Dec 01  ");
  EXPECT_EQ(FormatDateMask(dt, "YYYY-MM-DD HH:II:SS"), "2001-12-05  9:05:08");
  EXPECT_EQ(FormatDateMask(dt, "dd.mm.yy"), "05.12.01");
  EXPECT_EQ(FormatDateMask(dt, "DD DD"), "05 DD");
  EXPECT_EQ(FormatDateMask(dt, "none"), "none");
  EXPECT_EQ(MonthAbbrev(0), "???");
  EXPECT_EQ(MonthAbbrev(13), "???");
}

}  // namespace
}  // namespace drayline
