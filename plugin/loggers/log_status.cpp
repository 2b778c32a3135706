#include "plugin/loggers/log_status.h"

#include "framework/shm/shm_areas.h"

const LoggerStatusRow log_StatusRows[LOG_STATUS_ROWS] = {
    {"STATUS", "STATUS", "ENABLED", "DISABLED"},
    {"DIRECTORY1", "DIRECTORY1", "N/A", "N/A"},
    {"DIRECTORY2", "DIRECTORY2", "N/A", "N/A"},
    {"DIRECTORY3", "DIRECTORY3", "N/A", "N/A"},
    {"DIRECTORY4", "DIRECTORY4", "N/A", "N/A"},
    {"DIRECTORY5", "DIRECTORY5", "N/A", "N/A"},
    {"DIRECTORY6", "DIRECTORY6", "N/A", "N/A"},
    {"PREFIX", "FILE/TABLE PREFIX", "N/A", "N/A"},
    {"TYPE", "STORAGE TYPE", "DATABASE", "FILE"},
    {"ACTIVITY", "ACTIVITY", "Not Started", "N/A"},
    {"ERROR", "ERROR MESSAGE", "ERROR", "NONE"},
    {"RESET CNTS", "RESET COUNTS", "RESET", "NORESET"},
    {"DATE LST W", "DATE OF LAST WRITE", "", ""},
    {"TIME LST W", "TIME OF LAST WRITE", "", ""},
    {"SEC LAST W", "TIME SINCE LAST WRITE", "SECS", ""},
    {"NO WRITES", "NO OF WRITE REQUESTS", "", ""},
    {"BYTES WRIT", "NO BYTES WRITTEN", "BYTES", ""},
    {"NO READ", "NO OF READ REQUESTS", "", ""},
    {"BYTES READ", "NO BYTES READ", "BYTES", ""},
    {"R-T LOG NO", "REAL-TIME LOG NUMBER", "", ""},
    {"R-T LOG DT", "REAL-TIME LOG DATE", "YYMMDD", ""},
    {"R-T LOG TM", "REAL-TIME LOG TIME", "HHMNSS", ""},
    {"LAG LOG NO", "LAG LOG NUMBER", "", ""},
    {"LAG LOG DT", "LAG LOG DATE", "YYMMDD", ""},
    {"LAG LOG TM", "LAG LOG TIME", "HHMNSS", ""},
    {"HIS LOG NO", "HISTORICAL LOG NUMBER", "", ""},
    {"HIS LOG DT", "HISTORICAL LOG DATE", "YYMMDD", ""},
    {"HIS LOG TM", "HISTORICAL LOG TIME", "HHMNSS", ""},
    {"EXPIRY DT", "EXPIRY DATE", "YYMNDD", ""},
    {"EXPIRY TM", "EXPIRY TIME", "HHMNSS", ""},
    {"SEC TO EXP", "TIME TO EXPIRY", "HRS", ""},
    {"NO INCOMPL", "NO OF INCOMPLETE PUBS", "", ""},
    {"YEAR LST W", "YEAR OF LAST WRITE", "", ""},
    {"MON LST W", "MONTH OF LAST WRITE", "", ""},
    {"DAY LST W", "DAY OF LAST WRITE", "", ""},
    {"HOUR LST W", "HOUR OF LAST WRITE", "", ""},
    {"MIN LST W", "MINUTE OF LAST WRITE", "", ""},
    {"SEC LST W", "SECON OF LAST WRITE", "", ""},
    {"R-T LOG YY", "REAL-TIME LOG YEAR", "", ""},
    {"R-T LOG MM", "REAL-TIME LOG MONTH", "", ""},
    // The day row has its own tag, so a tag lookup of the seconds finds row 44.
    {"R-T LOG DD", "REAL-TIME LOG DAY", "", ""},
    {"R-T LOG HH", "REAL-TIME LOG HOUR", "", ""},
    {"R-T LOG MN", "REAL-TIME LOG MINUTE", "", ""},
    {"R-T LOG SS", "REAL-TIME LOG SECOND", "", ""},
    {"HIS LOG YY", "HISTORICAL LOG YEAR", "", ""},
    {"HIS LOG MM", "HISTORICAL LOG MONTH", "", ""},
    {"HIS LOG DD", "HISTORICAL LOG DAY", "", ""},
    {"HIS LOG HH", "HISTORICAL LOG HOUR", "", ""},
    {"HIS LOG MN", "HISTORICAL LOG MINUTE", "", ""},
    {"HIS LOG SS", "HISTORICAL LOG SECOND", "", ""},
    {"LAG LOG YY", "LAG LOG YEAR", "", ""},
    {"LAG LOG MM", "LAG LOG MONTH", "", ""},
    {"LAG LOG DD", "LAG LOG DAY", "", ""},
    {"LAG LOG HH", "LAG LOG HOUR", "", ""},
    {"LAG LOG MN", "LAG LOG MINUTE", "", ""},
    {"LAG LOG SS", "LAG LOG SECOND", "", ""},
};

const char *log_ActivityText(int code) {
  static const char *const kTexts[] = {"Not Started",      "Finished Successfully", "Finished In Error",
                                       "Preparing to Log", "Waiting to Start",      "Logging"};
  if (code < 0 || code >= static_cast<int>(sizeof kTexts / sizeof kTexts[0])) return "Unknown";
  return kTexts[code];
}

int32_t log_DateNumber(int year, int month, int day) {
  return static_cast<int32_t>((year % 100) * 10000 + month * 100 + day);
}

int32_t log_TimeNumber(int hour, int minute, int second) {
  return static_cast<int32_t>(hour * 10000 + minute * 100 + second);
}

void log_DeriveStatusRows(float *values, uint32_t *status) {
  // Source date and time rows of the four groups, in the order of rows 33-56.
  static const int kSources[4][2] = {
      {LOG_ROW_DATE_LAST_WRITE, LOG_ROW_TIME_LAST_WRITE},
      {LOG_ROW_RT_DATE, LOG_ROW_RT_TIME},
      {LOG_ROW_HIS_DATE, LOG_ROW_HIS_TIME},
      {LOG_ROW_LAG_DATE, LOG_ROW_LAG_TIME},
  };
  for (int g = 0; g < 4; ++g) {
    for (int half = 0; half < 2; ++half) {
      int source = kSources[g][half] - 1;
      int32_t number = static_cast<int32_t>(values[source]);
      const int32_t parts[3] = {(number / 10000) % 100, (number / 100) % 100, number % 100};
      for (int k = 0; k < 3; ++k) {
        int row = LOG_ROW_DERIVED_FIRST - 1 + g * 6 + half * 3 + k;
        values[row] = static_cast<float>(parts[k]);
        status[row] = CST_ANALOGUE | (status[source] & CST_BAD);
      }
    }
  }
}
