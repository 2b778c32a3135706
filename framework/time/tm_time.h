// The framework's 8-byte time stamp, durations, aligned scan times, the C
// runtime's time zone, and the float operations of the scan cycle.
#pragma once
#include <cstddef>
#include <cstdint>

// Seconds since 1970 counted on the wall clock (local time when taken with
// tm_Now), milliseconds 0-999, microseconds (only tm_DiffMicros uses them).
struct TimeStamp {
  int32_t seconds;
  int16_t ms;
  int16_t us;
};
static_assert(sizeof(TimeStamp) == 8);
static_assert(offsetof(TimeStamp, ms) == 4);
static_assert(offsetof(TimeStamp, us) == 6);

// A calendar time as the system clock gives it.
struct TmCalendar {
  uint16_t year, month, dayOfWeek, day, hour, minute, second, ms;
};

// The current local time, into *stamp or into a static stamp that is returned.
TimeStamp *tm_Now(TimeStamp *stamp);
// The current local calendar time.
void tm_LocalCalendar(TmCalendar *cal);
void tm_FromSystemTime(const TmCalendar *cal, TimeStamp *stamp);
int32_t tm_DiffMs(const TimeStamp *a, const TimeStamp *b);
int64_t tm_DiffMicros(const TimeStamp *a, const TimeStamp *b);
void tm_AddMs(TimeStamp *stamp, int32_t ms);
int32_t tm_CompareStamps(const TimeStamp *a, const TimeStamp *b);
// The first time strictly after now on the grid origin + k * period.
// Returns a static stamp that the next call overwrites.
const TimeStamp *tm_NextPeriodBoundary(const TimeStamp *now, const TimeStamp *origin, uint32_t periodMs);
// time + period, rounded down to a multiple of min(period, 60000) ms from the
// stamp's midnight. Returns a static stamp that the next call overwrites.
const TimeStamp *tm_NextAlignedTime(const TimeStamp *time, uint32_t periodMs);

float tm_CheckedAdd(float a, float b);
float tm_CheckedSubtract(float a, float b);
float tm_CheckedMultiply(float a, float b);
float tm_CheckedDivide(float a, float b);
float tm_CheckedNegate(float a);
float tm_IntToFloat(int32_t v);

// Builds the C runtime's TZ text from the system time zone and applies it
// where it gives the same local time as the system's own zone rules; where it
// would not (daylight saving), those rules stay in force.
void tm_SetTimeZone(void);
// The text the last tm_SetTimeZone built ("TZ=..."), applied or not.
const char *tm_TimeZoneText(void);
// The TZ text for a zone (bias in minutes, UTC = local + bias), without "TZ=".
// Exposed for tests.
void tm_FormatTimeZone(char *out, size_t size, const char *standardName, int32_t biasMinutes,
                       const char *daylightName);
