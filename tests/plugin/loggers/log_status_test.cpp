#include "plugin/loggers/log_status.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "framework/shm/shm_areas.h"
#include "plugin/loggers/log_format.h"

namespace {

struct Expect {
  int row;
  const char *tag, *description, *text1, *text2;
};
// Every row with a text of its own, and the rows a lookup confuses most easily.
const Expect kRows[] = {
    {1, "STATUS", "STATUS", "ENABLED", "DISABLED"},
    {2, "DIRECTORY1", "DIRECTORY1", "N/A", "N/A"},
    {7, "DIRECTORY6", "DIRECTORY6", "N/A", "N/A"},
    {8, "PREFIX", "FILE/TABLE PREFIX", "N/A", "N/A"},
    {9, "TYPE", "STORAGE TYPE", "DATABASE", "FILE"},
    {10, "ACTIVITY", "ACTIVITY", "Not Started", "N/A"},
    {11, "ERROR", "ERROR MESSAGE", "ERROR", "NONE"},
    {12, "RESET CNTS", "RESET COUNTS", "RESET", "NORESET"},
    {13, "DATE LST W", "DATE OF LAST WRITE", "", ""},
    {15, "SEC LAST W", "TIME SINCE LAST WRITE", "SECS", ""},
    {16, "NO WRITES", "NO OF WRITE REQUESTS", "", ""},
    {17, "BYTES WRIT", "NO BYTES WRITTEN", "BYTES", ""},
    {19, "BYTES READ", "NO BYTES READ", "BYTES", ""},
    {21, "R-T LOG DT", "REAL-TIME LOG DATE", "YYMMDD", ""},
    {22, "R-T LOG TM", "REAL-TIME LOG TIME", "HHMNSS", ""},
    {29, "EXPIRY DT", "EXPIRY DATE", "YYMNDD", ""},
    {31, "SEC TO EXP", "TIME TO EXPIRY", "HRS", ""},
    {32, "NO INCOMPL", "NO OF INCOMPLETE PUBS", "", ""},
    {38, "SEC LST W", "SECON OF LAST WRITE", "", ""},
    {41, "R-T LOG DD", "REAL-TIME LOG DAY", "", ""},
    {44, "R-T LOG SS", "REAL-TIME LOG SECOND", "", ""},
    {47, "HIS LOG DD", "HISTORICAL LOG DAY", "", ""},
    {51, "LAG LOG YY", "LAG LOG YEAR", "", ""},
    {56, "LAG LOG SS", "LAG LOG SECOND", "", ""},
};

TEST(LogStatus, TableRows) {
  for (const Expect &e : kRows) {
    SCOPED_TRACE(e.row);
    const LoggerStatusRow &r = log_StatusRows[e.row - 1];
    EXPECT_STREQ(r.tag, e.tag);
    EXPECT_STREQ(r.description, e.description);
    EXPECT_STREQ(r.text1, e.text1);
    EXPECT_STREQ(r.text2, e.text2);
  }
}

TEST(LogStatus, TagsAreUniqueAndFitTheirFields) {
  std::set<std::string> seen;
  for (const LoggerStatusRow &r : log_StatusRows) {
    EXPECT_TRUE(seen.insert(r.tag).second) << r.tag;
    EXPECT_LT(strnlen(r.tag, sizeof r.tag), sizeof r.tag);
    // "%04d_" before the suffix must still fit a channel tag of 16.
    EXPECT_LE(strlen(r.tag) + 5, 15u) << r.tag;
    EXPECT_GT(strlen(r.description), 0u);
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(LOG_STATUS_ROWS));
}

TEST(LogStatus, ActivityTexts) {
  const struct {
    int code;
    const char *text;
  } cases[] = {{0, "Not Started"},      {1, "Finished Successfully"}, {2, "Finished In Error"},
               {3, "Preparing to Log"}, {4, "Waiting to Start"},      {5, "Logging"},
               {6, "Unknown"},          {-1, "Unknown"},              {1 << 30, "Unknown"}};
  for (const auto &c : cases) EXPECT_STREQ(log_ActivityText(c.code), c.text) << c.code;
}

TEST(LogStatus, DateAndTimeNumbers) {
  EXPECT_EQ(log_DateNumber(2026, 12, 10), 261210);
  EXPECT_EQ(log_DateNumber(2000, 1, 2), 102);
  EXPECT_EQ(log_DateNumber(1999, 12, 31), 991231);
  EXPECT_EQ(log_TimeNumber(23, 59, 58), 235958);
  EXPECT_EQ(log_TimeNumber(0, 0, 7), 7);
}

TEST(LogStatus, DerivedRowsSplitTheirSourcesAndCopyTheBadBit) {
  float v[LOG_STATUS_ROWS] = {};
  uint32_t s[LOG_STATUS_ROWS] = {};
  for (uint32_t &w : s) w = 0xFFFF;  // derived rows must be overwritten, not or-ed
  const struct {
    int date_row, time_row;
    int32_t date, time;
    bool bad;
    int first_derived;
  } groups[] = {
      {13, 14, 261210, 235958, false, 33},
      {21, 22, 10203, 40506, true, 39},
      {27, 28, 991231, 7, false, 45},
      {24, 25, 0, 120000, true, 51},
  };
  for (const auto &g : groups) {
    v[g.date_row - 1] = static_cast<float>(g.date);
    v[g.time_row - 1] = static_cast<float>(g.time);
    s[g.date_row - 1] = CST_ANALOGUE | (g.bad ? uint32_t{CST_BAD} : 0u);
    s[g.time_row - 1] = CST_ANALOGUE;
  }
  log_DeriveStatusRows(v, s);
  for (const auto &g : groups) {
    SCOPED_TRACE(g.first_derived);
    const float want[6] = {static_cast<float>(g.date / 10000 % 100), static_cast<float>(g.date / 100 % 100),
                           static_cast<float>(g.date % 100),         static_cast<float>(g.time / 10000 % 100),
                           static_cast<float>(g.time / 100 % 100),   static_cast<float>(g.time % 100)};
    for (int k = 0; k < 6; ++k) {
      EXPECT_EQ(v[g.first_derived - 1 + k], want[k]) << k;
      uint32_t bad = k < 3 && g.bad ? uint32_t{CST_BAD} : 0u;
      EXPECT_EQ(s[g.first_derived - 1 + k], CST_ANALOGUE | bad) << k;
    }
  }
  // Spot values written out, so a swapped group shows.
  EXPECT_EQ(v[38 - 1], 58.0f);
  EXPECT_EQ(v[41 - 1], 3.0f);
  EXPECT_EQ(v[45 - 1], 99.0f);
  EXPECT_EQ(v[54 - 1], 12.0f);
}

struct Served {
  LoggerStatusRow rows[LOG_STATUS_ROWS];
  float v[LOG_STATUS_ROWS];
  uint32_t s[LOG_STATUS_ROWS];
};

void Serve(const LogProviderRun *run, Served *out) { log_ProviderStatusRows(run, out->rows, out->v, out->s); }

TEST(LogStatus, ProviderOnAFolderOfRuns) {
  const int32_t newest = static_cast<int32_t>(log_ParseStamp("231203_101530"));
  LogProviderRun run{"/data/D/A/E/FRANCE/C1/L1/PLANT/KL231203_090000.odl", 0, 0, 0, 7, newest};
  Served r;
  Serve(&run, &r);
  // Eight levels above the file: only the last five, oldest first; row 7 stays unset.
  const char *const levels[] = {"FRANCE", "C1", "L1", "PLANT"};
  EXPECT_STREQ(r.rows[2 - 1].text1, "E");
  EXPECT_STREQ(r.rows[2 - 1].description, "E");
  for (int i = 0; i < 4; ++i) {
    EXPECT_STREQ(r.rows[3 - 1 + i].text1, levels[i]) << i;
    EXPECT_STREQ(r.rows[3 - 1 + i].description, levels[i]) << i;
  }
  EXPECT_STREQ(r.rows[7 - 1].text1, "N/A");
  EXPECT_STREQ(r.rows[7 - 1].description, "DIRECTORY6");
  EXPECT_STREQ(r.rows[LOG_ROW_PREFIX - 1].text1, "KL");
  EXPECT_EQ(r.v[LOG_ROW_TYPE - 1], 0.0f);
  EXPECT_EQ(r.s[LOG_ROW_TYPE - 1] & CST_BAD, 0u);
  EXPECT_EQ(r.v[LOG_ROW_STATUS - 1], 1.0f);
  EXPECT_EQ(r.s[LOG_ROW_STATUS - 1] & CST_BAD, 0u);
  EXPECT_STREQ(r.rows[LOG_ROW_ACTIVITY - 1].text1, "Logging");
  EXPECT_EQ(r.v[LOG_ROW_RT_NUMBER - 1], 7.0f);
  EXPECT_EQ(r.v[LOG_ROW_RT_DATE - 1], 231203.0f);
  EXPECT_EQ(r.v[LOG_ROW_RT_TIME - 1], 101530.0f);
  EXPECT_EQ(r.s[LOG_ROW_RT_TIME - 1], uint32_t{CST_ANALOGUE});
  // Derived from the real-time rows: year 23 ... second 30, good.
  EXPECT_EQ(r.v[39 - 1], 23.0f);
  EXPECT_EQ(r.v[41 - 1], 3.0f);
  EXPECT_EQ(r.v[44 - 1], 30.0f);
  EXPECT_EQ(r.s[44 - 1], uint32_t{CST_ANALOGUE});
  // Rows the provider does not compute stay bad.
  EXPECT_EQ(r.s[16 - 1], uint32_t{CST_BAD | CST_ANALOGUE});
  EXPECT_EQ(r.s[11 - 1], uint32_t{CST_BAD});
}

TEST(LogStatus, ProviderOpenAndEndedRuns) {
  const int32_t t = 1700000000;
  struct Case {
    int hasStop;
    int32_t stop, records, newest;
    bool open;
  } cases[] = {
      {0, 0, 5, t, true},           // no stop time
      {1, t + 2, 5, t, true},       // newest two seconds before the stop
      {1, t + 1, 5, t, false},      // one second before counts as ended
      {1, t, 5, t, false},          // the stop record itself
      {1, t + 100, 0, 0, false},    // stopped with no record
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.stop - t);
    LogProviderRun run{"/r/AB230101_120000_230101_130000.odl", 0, c.hasStop, c.stop, c.records, c.newest};
    EXPECT_EQ(log_RunIsOpen(&run), c.open);
    Served r;
    Serve(&run, &r);
    EXPECT_EQ(r.v[LOG_ROW_STATUS - 1], c.open ? 1.0f : 0.0f);
    EXPECT_STREQ(r.rows[LOG_ROW_ACTIVITY - 1].text1, c.open ? "Logging" : "Finished");
    EXPECT_STREQ(r.rows[LOG_ROW_PREFIX - 1].text1, "AB");
  }
}

TEST(LogStatus, ProviderWithoutARunOrInADatabase) {
  Served r;
  Serve(nullptr, &r);
  EXPECT_STREQ(r.rows[LOG_ROW_ACTIVITY - 1].text1, "Not Started");
  EXPECT_EQ(r.s[LOG_ROW_STATUS - 1], uint32_t{CST_BAD});
  EXPECT_EQ(r.v[LOG_ROW_RT_NUMBER - 1], 0.0f);
  EXPECT_EQ(r.v[LOG_ROW_RT_DATE - 1], -1.0f);
  EXPECT_EQ(r.s[LOG_ROW_RT_DATE - 1], uint32_t{CST_BAD | CST_ANALOGUE});
  EXPECT_EQ(r.s[41 - 1], uint32_t{CST_BAD | CST_ANALOGUE});
  EXPECT_STREQ(r.rows[LOG_ROW_DIRECTORY1 - 1].text1, "N/A");

  // A level longer than a field is cut; a database keeps "N/A" as prefix.
  std::string path = "D:\\" + std::string(40, 'x') + "\\T230101_120000.odl";
  LogProviderRun run{path.c_str(), 1, 0, 0, 0, 0};
  Serve(&run, &r);
  EXPECT_EQ(std::string(r.rows[LOG_ROW_DIRECTORY1 - 1].text1), std::string(31, 'x'));
  EXPECT_STREQ(r.rows[LOG_ROW_DIRECTORY1 + 1 - 1].text1, "N/A");  // the drive is no level
  EXPECT_STREQ(r.rows[LOG_ROW_PREFIX - 1].text1, "N/A");
  EXPECT_EQ(r.v[LOG_ROW_TYPE - 1], 1.0f);
  EXPECT_EQ(r.v[LOG_ROW_RT_TIME - 1], -1.0f);
}

}  // namespace
