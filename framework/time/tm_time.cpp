#include "framework/time/tm_time.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/os_env.h"

namespace {

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int64_t ToMs(const TimeStamp *t) { return static_cast<int64_t>(t->seconds) * 1000 + t->ms; }

void FromMs(TimeStamp *t, int64_t ms) {
  int64_t s = ms / 1000, r = ms % 1000;
  if (r < 0) {
    r += 1000;
    s -= 1;
  }
  t->seconds = static_cast<int32_t>(s);
  t->ms = static_cast<int16_t>(r);
  t->us = 0;
}

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

}  // namespace

void tm_LocalCalendar(TmCalendar *cal) {
  struct timespec ts;
  timespec_get(&ts, TIME_UTC);
  time_t secs = ts.tv_sec;
  struct tm lt;
  localtime_r(&secs, &lt);
  cal->year = static_cast<uint16_t>(lt.tm_year + 1900);
  cal->month = static_cast<uint16_t>(lt.tm_mon + 1);
  cal->dayOfWeek = static_cast<uint16_t>(lt.tm_wday);
  cal->day = static_cast<uint16_t>(lt.tm_mday);
  cal->hour = static_cast<uint16_t>(lt.tm_hour);
  cal->minute = static_cast<uint16_t>(lt.tm_min);
  cal->second = static_cast<uint16_t>(lt.tm_sec);
  cal->ms = static_cast<uint16_t>(ts.tv_nsec / 1000000);
}

TimeStamp *tm_Now(TimeStamp *stamp) {
  static thread_local TimeStamp s_now;
  TimeStamp *out = stamp ? stamp : &s_now;
  TmCalendar cal;
  tm_LocalCalendar(&cal);
  tm_FromSystemTime(&cal, out);
  return out;
}

void tm_FromSystemTime(const TmCalendar *cal, TimeStamp *stamp) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int64_t days = 0;
  for (int y = 1970; y < cal->year; ++y) days += IsLeap(y) ? 366 : 365;
  for (int m = 1; m < cal->month && m <= 12; ++m) days += kDays[m - 1] + ((m == 2 && IsLeap(cal->year)) ? 1 : 0);
  days += cal->day - 1;
  int64_t secs = days * 86400 + cal->hour * 3600 + cal->minute * 60 + cal->second;
  stamp->seconds = static_cast<int32_t>(secs);
  stamp->ms = static_cast<int16_t>(cal->ms);
  stamp->us = 0;
}

int32_t tm_DiffMs(const TimeStamp *a, const TimeStamp *b) {
  return static_cast<int32_t>((static_cast<int64_t>(a->seconds) - b->seconds) * 1000 + (a->ms - b->ms));
}

int64_t tm_DiffMicros(const TimeStamp *a, const TimeStamp *b) {
  return (static_cast<int64_t>(a->seconds) - b->seconds) * 1000000 + static_cast<int64_t>(a->ms - b->ms) * 1000 +
         (a->us - b->us);
}

void tm_AddMs(TimeStamp *stamp, int32_t ms) {
  int16_t us = stamp->us;
  FromMs(stamp, ToMs(stamp) + ms);
  stamp->us = us;
}

int32_t tm_CompareStamps(const TimeStamp *a, const TimeStamp *b) {
  if (a->seconds != b->seconds) return a->seconds - b->seconds;
  return a->ms - b->ms;
}

const TimeStamp *tm_NextPeriodBoundary(const TimeStamp *now, const TimeStamp *origin, uint32_t periodMs) {
  static thread_local TimeStamp s_next;
  if (periodMs == 0) {
    s_next = *now;
    return &s_next;
  }
  int64_t o = ToMs(origin), diff = ToMs(now) - o;
  int64_t k = FloorDiv(diff, periodMs) + 1;
  FromMs(&s_next, o + k * static_cast<int64_t>(periodMs));
  return &s_next;
}

const TimeStamp *tm_NextAlignedTime(const TimeStamp *time, uint32_t periodMs) {
  static thread_local TimeStamp s_aligned;
  if (periodMs == 0) {
    s_aligned = *time;
    return &s_aligned;
  }
  int64_t align = periodMs < 60000 ? periodMs : 60000;
  int64_t midnight = FloorDiv(time->seconds, 86400) * 86400 * 1000;
  int64_t since = ToMs(time) - midnight + periodMs;
  FromMs(&s_aligned, midnight + since - since % align);
  return &s_aligned;
}

float tm_CheckedAdd(float a, float b) { return a + b; }
float tm_CheckedSubtract(float a, float b) { return a - b; }
float tm_CheckedMultiply(float a, float b) { return a * b; }
float tm_CheckedDivide(float a, float b) { return a / b; }
float tm_CheckedNegate(float a) { return -a; }
float tm_IntToFloat(int32_t v) { return static_cast<float>(v); }

void tm_FormatTimeZone(char *out, size_t size, const char *standardName, int32_t biasMinutes,
                       const char *daylightName) {
  int n = snprintf(out, size, "%s", standardName ? standardName : "");
  if (biasMinutes < 0) {
    n += snprintf(out + n, size > static_cast<size_t>(n) ? size - n : 0, "-");
    biasMinutes = -biasMinutes;
  }
  if (biasMinutes != 0)
    n += snprintf(out + n, size > static_cast<size_t>(n) ? size - n : 0, "%d:%d:%d", biasMinutes / 60,
                  biasMinutes % 60, 0);
  if (daylightName && *daylightName) snprintf(out + n, size > static_cast<size_t>(n) ? size - n : 0, "%s", daylightName);
}

namespace {

char g_zoneText[160];

// Local offsets from UTC, hour by hour over this year and the next: enough to
// see any daylight-saving rule the C library applies.
std::vector<int32_t> LocalOffsets(time_t from) {
  std::vector<int32_t> out;
  out.reserve(2 * 366 * 24);
  for (time_t t = from; t < from + 2 * 366 * 86400; t += 3600) {
    struct tm lt;
    localtime_r(&t, &lt);
    out.push_back(static_cast<int32_t>(lt.tm_gmtoff));
  }
  return out;
}

}  // namespace

void tm_SetTimeZone(void) {
  // The system zone as the C library knows it: names and the bias in minutes west.
  std::string systemZone;
  bool hadZone = os_GetEnvironmentText("TZ", &systemZone);
  tzset();
  struct tm now;
  time_t t = time(nullptr);
  gmtime_r(&t, &now);
  now.tm_mon = 0;
  now.tm_mday = 1;
  now.tm_hour = now.tm_min = now.tm_sec = 0;
  time_t yearStart = timegm(&now);
  std::vector<int32_t> before = LocalOffsets(yearStart);
  // A daylight zone name counts only where the zone keeps daylight saving
  // now, not where it had one long ago.
  bool daylightNow = false;
  for (int32_t o : before) daylightNow = daylightNow || o != before.front();
  char text[128];
  int32_t bias = static_cast<int32_t>(timezone / 60);
  tm_FormatTimeZone(text, sizeof text, tzname[0], bias, daylight && daylightNow ? tzname[1] : nullptr);
  snprintf(g_zoneText, sizeof g_zoneText, "TZ=%s", text);

  // The text has no daylight-saving dates (and names such as "+04" are no
  // valid zone names): it is kept only when it gives the same local time as
  // the system's own rules, which stay in force otherwise.
  os_SetEnvironmentVariable("TZ", text);
  tzset();
  if (LocalOffsets(yearStart) != before) {
    os_SetEnvironmentVariable("TZ", hadZone ? systemZone.c_str() : nullptr);
    tzset();
  }
}

const char *tm_TimeZoneText(void) { return g_zoneText; }
