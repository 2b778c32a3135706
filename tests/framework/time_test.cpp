#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "framework/time/tm_time.h"

static TimeStamp At(int h, int m, int s, int ms) {
  // 2026-03-04 as the day, so midnight is not day 0.
  TmCalendar cal{2026, 3, 3, 4, static_cast<uint16_t>(h), static_cast<uint16_t>(m), static_cast<uint16_t>(s),
                 static_cast<uint16_t>(ms)};
  TimeStamp t;
  tm_FromSystemTime(&cal, &t);
  return t;
}

TEST(TimeTest, CalendarToSecondsCountsLeapYears) {
  struct Case { TmCalendar cal; int32_t seconds; } cases[] = {
      {{1970, 1, 4, 1, 0, 0, 0, 0}, 0},
      {{2000, 2, 2, 29, 12, 0, 0, 0}, 951825600},   // 2000 is a leap year (divisible by 400)
      {{2000, 3, 3, 1, 0, 0, 0, 0}, 951868800},
      {{2100, 3, 1, 1, 0, 0, 0, 0}, 0},             // 2100 is not (checked against timegm below)
      {{2024, 12, 2, 31, 23, 59, 59, 999}, 1735689599},
  };
  for (auto &c : cases) {
    TimeStamp t;
    tm_FromSystemTime(&c.cal, &t);
    struct tm tm = {};
    tm.tm_year = c.cal.year - 1900;
    tm.tm_mon = c.cal.month - 1;
    tm.tm_mday = c.cal.day;
    tm.tm_hour = c.cal.hour;
    tm.tm_min = c.cal.minute;
    tm.tm_sec = c.cal.second;
    int64_t expect = static_cast<int64_t>(timegm(&tm));
    if (c.seconds != 0) {
      EXPECT_EQ(t.seconds, c.seconds) << c.cal.year;
    }
    EXPECT_EQ(static_cast<int32_t>(expect), t.seconds) << c.cal.year;
    EXPECT_EQ(t.ms, c.cal.ms);
  }
}

TEST(TimeTest, DifferencesAndAdditionCarry) {
  TimeStamp a = At(0, 0, 12, 900), b = At(0, 0, 13, 100);
  EXPECT_EQ(tm_DiffMs(&b, &a), 200);
  EXPECT_EQ(tm_DiffMs(&a, &b), -200);
  EXPECT_LT(tm_CompareStamps(&a, &b), 0);
  TimeStamp c = a;
  tm_AddMs(&c, 1350);
  EXPECT_EQ(c.seconds, a.seconds + 2);
  EXPECT_EQ(c.ms, 250);
  tm_AddMs(&c, -1350);
  EXPECT_EQ(tm_DiffMs(&c, &a), 0);
  a.us = 5;
  b.us = 2;
  EXPECT_EQ(tm_DiffMicros(&b, &a), 200 * 1000 - 3);
}

TEST(TimeTest, AlignedTimesAndPeriodBoundaries) {
  TimeStamp t = At(10, 0, 7, 250);
  const TimeStamp *n = tm_NextAlignedTime(&t, 1000);
  EXPECT_EQ(tm_DiffMs(n, &t), 750);  // 10:00:08.000
  TimeStamp five = At(10, 5, 0, 0);
  n = tm_NextAlignedTime(&t, 300000);
  EXPECT_EQ(tm_DiffMs(n, &five), 0);  // never coarser than a minute
  EXPECT_EQ(tm_DiffMs(tm_NextAlignedTime(&t, 0), &t), 0);

  EXPECT_EQ(tm_DiffMs(tm_NextPeriodBoundary(&t, &t, 500), &t), 500);
  TimeStamp origin = At(10, 0, 0, 0);
  EXPECT_EQ(tm_DiffMs(tm_NextPeriodBoundary(&t, &origin, 1000), &origin), 8000);  // strictly after now
  TimeStamp onGrid = At(10, 0, 7, 0);
  EXPECT_EQ(tm_DiffMs(tm_NextPeriodBoundary(&onGrid, &origin, 1000), &origin), 8000);
  TimeStamp later = At(10, 0, 30, 0);
  EXPECT_EQ(tm_DiffMs(tm_NextPeriodBoundary(&t, &later, 1000), &t), 750);  // origin ahead of now
  EXPECT_EQ(tm_DiffMs(tm_NextPeriodBoundary(&t, &origin, 0), &t), 0);
}

TEST(TimeTest, TimeZoneText) {
  char buf[64];
  tm_FormatTimeZone(buf, sizeof buf, "CET", -60, "CEST");
  EXPECT_STREQ(buf, "CET-1:0:0CEST");
  tm_FormatTimeZone(buf, sizeof buf, "EST", 300, "EDT");
  EXPECT_STREQ(buf, "EST5:0:0EDT");
  tm_FormatTimeZone(buf, sizeof buf, "IST", -330, nullptr);
  EXPECT_STREQ(buf, "IST-5:30:0");
  tm_FormatTimeZone(buf, sizeof buf, "UTC", 0, "");
  EXPECT_STREQ(buf, "UTC");

  setenv("TZ", "UTC", 1);
  tm_SetTimeZone();
  EXPECT_STREQ(getenv("TZ"), "UTC");
  TimeStamp now;
  tm_Now(&now);
  EXPECT_LE(std::llabs(static_cast<long long>(now.seconds) - static_cast<long long>(time(nullptr))), 2);
}

namespace {
int32_t OffsetAt(int y, int mo, int d) {
  struct tm u = {};
  u.tm_year = y - 1900;
  u.tm_mon = mo - 1;
  u.tm_mday = d;
  u.tm_hour = 12;
  time_t t = timegm(&u);
  struct tm lt;
  localtime_r(&t, &lt);
  return static_cast<int32_t>(lt.tm_gmtoff);
}
}  // namespace

TEST(TimeTest, ZoneRulesOfTheSystemStayInForce) {
  struct Case {
    const char *zone;
    const char *text;     // what the builder makes of it
    const char *applied;  // TZ afterwards
  } cases[] = {
      // The built text knows no daylight-saving dates: Europe's would move a
      // fortnight early each spring, so the zone's own rules stay.
      {"Europe/Berlin", "TZ=CET-1:0:0CEST", "Europe/Berlin"},
      // "+04" is no valid name in a TZ text: it would read as UTC.
      {"Asia/Dubai", "TZ=+04-4:0:0", "Asia/Dubai"},
      // A zone without daylight saving: the text says the same and is applied.
      {"Asia/Kolkata", "TZ=IST-5:30:0", "IST-5:30:0"},
      {"UTC", "TZ=UTC", "UTC"},
  };
  for (const Case &c : cases) {
    setenv("TZ", c.zone, 1);
    tm_SetTimeZone();
    EXPECT_STREQ(tm_TimeZoneText(), c.text) << c.zone;
    EXPECT_STREQ(getenv("TZ"), c.applied) << c.zone;
  }
  setenv("TZ", "Europe/Berlin", 1);
  tm_SetTimeZone();
  EXPECT_EQ(OffsetAt(2026, 1, 15), 3600);
  EXPECT_EQ(OffsetAt(2026, 3, 20), 3600);  // after the second Sunday of March, before the last
  EXPECT_EQ(OffsetAt(2026, 7, 1), 7200);
  EXPECT_EQ(OffsetAt(2026, 11, 2), 3600);
  // Local stamps follow those rules.
  TimeStamp now;
  tm_Now(&now);
  time_t t = time(nullptr);
  struct tm lt;
  localtime_r(&t, &lt);
  EXPECT_LE(std::llabs(static_cast<long long>(now.seconds) - (static_cast<long long>(t) + lt.tm_gmtoff)), 2);
  setenv("TZ", "UTC", 1);
  tzset();
}
