// Names, literals, conditions and column lists of the database logger tables.
#include "plugin/loggers/log_db_schema.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/ado/ado.h"
#include "platform/os_registry.h"
#include "tests/support/logger_db.h"

namespace {

using tnwtest::SetSetting;

// 2023-06-15 12:34:56 as a wall-clock second value (day 19523).
constexpr int32_t kT = 19523 * 86400 + 12 * 3600 + 34 * 60 + 56;

LdbChannel Ch(const char *prefix, uint16_t n, const char *tag, bool digital = false) {
  LdbChannel c{};
  snprintf(c.prefix, sizeof c.prefix, "%s", prefix);
  c.number = n;
  snprintf(c.tag, sizeof c.tag, "%s", tag);
  c.digital = digital;
  return c;
}

TEST(LogDbSchema, QuotesAndTableNames) {
  EXPECT_EQ(ldb_Quote("O'Brien's"), "O''Brien''s");
  EXPECT_EQ(ldb_Quote(nullptr), "");
  const struct {
    const char *in, *out;
  } names[] = {
      {"Pump 1", "Pump_1_"},          // the run-name rule
      {"a'b\"c`d", "a_b_c_d_"},       // quotes would end a literal or a name
      {"[x].y;z/w\\v", "_x__y_z_w_v_"},  // brackets, dots, separators, path marks
      {"", "_"},
  };
  for (const auto &n : names) EXPECT_EQ(ldb_PrefixBase(n.in), n.out) << n.in;
}

TEST(LogDbSchema, PrefixCandidates) {
  auto c = ldb_PrefixCandidates("L", true, true, 7, kT);
  ASSERT_EQ(c.size(), 3u);
  EXPECT_EQ(c[0].prefix, "L_");
  EXPECT_EQ(c[0].sequence, 7);
  EXPECT_EQ(c[1].prefix, "L_20230615_");
  EXPECT_EQ(c[1].sequence, 20230615);
  EXPECT_EQ(c[2].prefix, "L_00000007_");
  c = ldb_PrefixCandidates("L", false, false, 2, kT);
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].prefix, "L_00000002_");
}

TEST(LogDbSchema, DateLiteralsAndRanges) {
  ldb_SetUtcMode(0);
  EXPECT_EQ(ldb_DateLiteral(0, kT), "{ ts '2023-06-15 12:34:56.000' }");
  EXPECT_EQ(ldb_DateLiteral(1, kT), "{ ts '2023/06/15 12:34:56.000' }");
  EXPECT_EQ(ldb_DateLiteral(2, kT), "#06/15/2023 12:34:56#");
  EXPECT_EQ(ldb_DateLiteral(3, kT), "");
  TimeStamp a{kT, 5, 0}, b{kT + 1, 7, 0};
  EXPECT_EQ(ldb_RangeCondition(2, nullptr, nullptr), "");
  EXPECT_EQ(ldb_RangeCondition(2, &a, nullptr),
            " WHERE ((DT = #06/15/2023 12:34:56# AND MS > 5) OR DT > #06/15/2023 12:34:56#) ");
  EXPECT_EQ(ldb_RangeCondition(2, nullptr, &b),
            " WHERE ((DT = #06/15/2023 12:34:57# AND MS < 7) OR DT < #06/15/2023 12:34:57#) ");
  EXPECT_EQ(ldb_RangeCondition(2, &a, &b),
            " WHERE ((DT = #06/15/2023 12:34:56# AND MS > 5) OR DT > #06/15/2023 12:34:56#)  AND ((DT = "
            "#06/15/2023 12:34:57# AND MS < 7) OR DT < #06/15/2023 12:34:57#) ");
  EXPECT_EQ(ldb_RangeParts(2, &a, nullptr).substr(0, 5), " AND ");
  int32_t back = 0;
  ASSERT_TRUE(ldb_FromOleDate(ldb_ToOleDate(kT), &back));
  EXPECT_EQ(back, kT);
}

// Stored dates and query literals shift together, so a query still finds
// the row it stored; and the shift is the zone's.
TEST(LogDbSchema, UtcShiftsStoredDatesAndLiteralsAlike) {
  const char *old = getenv("TZ");
  std::string saved = old ? old : "";
  setenv("TZ", "JST-9", 1);
  tzset();
  ldb_SetUtcMode(1);
  EXPECT_EQ(ldb_DateLiteral(0, kT), "{ ts '2023-06-15 03:34:56.000' }");
  double stored = ldb_ToOleDate(kT);
  int y, mo, d, h, mi, s, ms;
  ASSERT_TRUE(ado::date_ToParts(stored, &y, &mo, &d, &h, &mi, &s, &ms));
  EXPECT_EQ(h, 3);
  int32_t back = 0;
  ASSERT_TRUE(ldb_FromOleDate(stored, &back));
  EXPECT_EQ(back, kT);
  ldb_SetUtcMode(0);
  EXPECT_EQ(ldb_DateLiteral(0, kT), "{ ts '2023-06-15 12:34:56.000' }");
  if (old) setenv("TZ", saved.c_str(), 1);
  else unsetenv("TZ");
  tzset();
}

TEST(LogDbSchema, DataColumnNames) {
  std::string cols, dup;
  std::vector<std::string> names;
  // Names that are substrings of others or of type words are not duplicates.
  std::vector<LdbChannel> ok = {Ch("AI", 10, "A"), Ch("AI", 1, "REAL"), Ch("DI", 3, "x", true)};
  ASSERT_TRUE(ldb_DataColumns(ok, false, true, "INTEGER", &cols, &dup, &names));
  EXPECT_EQ(cols, ",LL integer, LV float NULL, AI10 REAL NULL, AI1 REAL NULL, DI3 INTEGER NULL, TP float NULL)");
  ASSERT_TRUE(ldb_DataColumns(ok, true, false, "char(32)", &cols, &dup, &names));
  EXPECT_EQ(cols, ", A REAL NULL, REAL REAL NULL, x char(32) NULL, TP float NULL)");
  EXPECT_EQ(names, (std::vector<std::string>{"A", "REAL", "x"}));

  const struct {
    std::vector<LdbChannel> channels;
    bool sig;
    const char *dup;
  } bad[] = {
      {{Ch("AI", 1, "Flow 1"), Ch("AI", 2, "Flow-1")}, false, "Flow_1"},  // same after the name rule
      {{Ch("AI", 1, "abc"), Ch("AI", 2, "ABC")}, false, "ABC"},           // case ignored
      {{Ch("AI", 1, "ll")}, true, "ll"},                                  // a fixed column
      {{Ch("AI", 1, "tp")}, false, "tp"},
  };
  for (const auto &b : bad) {
    dup.clear();
    EXPECT_FALSE(ldb_DataColumns(b.channels, true, b.sig, "INTEGER", &cols, &dup, nullptr));
    EXPECT_EQ(dup, b.dup);
  }
  // Reserved tags fall back to the default name.
  EXPECT_EQ(ldb_ColumnName(Ch("AI", 4, "DT"), true), "AI4");
  EXPECT_EQ(ldb_ColumnName(Ch("AI", 4, ""), true), "AI4");
}

TEST(LogDbSchema, DigitalTypeSetting) {
  bool present = true;
  SetSetting("DatabaseDigitalText", nullptr);
  EXPECT_EQ(ldb_DigitalType(&present), "INTEGER");
  EXPECT_FALSE(present);
  SetSetting("DatabaseDigitalText", "on");
  EXPECT_EQ(ldb_DigitalType(&present), "char(32)");
  EXPECT_TRUE(present);
  SetSetting("DatabaseDigitalText", "smallint");
  EXPECT_EQ(ldb_DigitalType(&present), "smallint");
  EXPECT_FALSE(ldb_IsTextType("smallint"));
  EXPECT_TRUE(ldb_IsTextType("varchar(40)"));
  SetSetting("DatabaseDigitalText", nullptr);
}

TEST(LogDbSchema, HeaderTextSplit) {
  std::string h;
  EXPECT_FALSE(ldb_HeaderColumn("no header", &h));
  std::string text = "[HEADER]\r\n" + std::string(300, 'h') + "\r\n[PREDEFINED]\r\nOne\r\n\r\n" + std::string(260, 'p') +
                     "\r\nLast";
  ASSERT_TRUE(ldb_HeaderColumn(text.c_str(), &h));
  EXPECT_EQ(h, std::string(255, 'h'));  // cut on every provider
  auto lines = ldb_PredefinedLines(text.c_str());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "One");
  EXPECT_EQ(lines[1], std::string(255, 'p'));
  EXPECT_EQ(lines[2], "Last");
  ASSERT_TRUE(ldb_HeaderColumn("[HEADER]\r\nshort", &h));
  EXPECT_EQ(h, "short");
  EXPECT_TRUE(ldb_PredefinedLines("[HEADER]\r\nshort").empty());
  EXPECT_EQ(ldb_TrimRight("ab  "), "ab");
  // A character across the column's end goes whole, so the column keeps valid text.
  const std::string e = "\xC3\xA9";  // U+00E9
  ASSERT_TRUE(ldb_HeaderColumn(("[HEADER]\r\n" + std::string(254, 'h') + e + "x").c_str(), &h));
  EXPECT_EQ(h, std::string(254, 'h'));
  lines = ldb_PredefinedLines(("\r\n[PREDEFINED]\r\n" + std::string(253, 'p') + e + e).c_str());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], std::string(253, 'p') + e);
  std::string t = std::string(252, 't') + "\xE2\x82\xAC" + "\xE2\x82\xAC";  // U+20AC at bytes 252-254
  ldb_CutToColumn(&t);
  EXPECT_EQ(t, std::string(252, 't') + "\xE2\x82\xAC");
}

TEST(LogDbSchema, JetConnections) {
  EXPECT_TRUE(ldb_IsJet("provider=microsoft.jet.oledb.4.0;Data Source=x"));
  EXPECT_FALSE(ldb_IsJet("Provider=SQLOLEDB;Data Source=."));
  EXPECT_FALSE(ldb_IsJet(nullptr));
}

}  // namespace
