// The text-table reader and the processor and logger-type checks.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "framework/tables/tbl_text.h"
#include "tests/support/test_root.h"

namespace {

class TableTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(tnwtest::Root() + "/drives/c/CFG"); }
  void TearDown() override { tbl_Close(); }

  static std::string Write(const char *name, const std::string &text) {
    EXPECT_TRUE(tnwtest::WriteFile(tnwtest::Root() + "/drives/c/CFG/" + name, text));
    return std::string("C:\\CFG\\") + name;
  }

  // Checks every data line of a table into consecutive records; the first
  // failure's error text, or "" when all are valid.
  static std::string CheckAll(const std::string &table, std::vector<ProcessorRecord> &records) {
    std::string file = Write("DATPROC.TXT", table);
    int n = tbl_Open(file.c_str());
    EXPECT_GE(n, 0);
    records.assign(n > 0 ? n : 0, ProcessorRecord{});
    char *fields[5];
    int offsets[5], count, i = 0;
    while ((count = tbl_ReadFields(fields, offsets, 5)) > 0) {
      if (tbl_ParseProcessorLine(file.c_str(), &records[i], fields, offsets, count, records.data()) != 1)
        return tbl_GetErrorText();
      ++i;
    }
    return "";
  }

  static ProcessorRecord One(const char *line) {
    std::vector<ProcessorRecord> r;
    std::string error = CheckAll(std::string(line) + "\n", r);
    EXPECT_EQ(error, "") << line;
    return r.empty() ? ProcessorRecord{} : r[0];
  }
};

}  // namespace

TEST_F(TableTest, CommentsAndBlankLinesAreSkippedButCounted) {
  std::string file = Write("T.TXT",
                           "* header\r\n"
                           "FIRST,a\r\n"
                           "\r\n"
                           "   * indented comment\n"
                           "  \t \n"
                           "SECOND,b,c\n"
                           "THIRD");
  EXPECT_EQ(tbl_Open(file.c_str()), 3);
  EXPECT_STREQ(tbl_GetFileName(), "C:\\CFG\\T.TXT");
  const struct {
    const char *line;
    int number;
  } kLines[] = {{"FIRST,a", 2}, {"SECOND,b,c", 6}, {"THIRD", 7}};
  for (const auto &l : kLines) {
    ASSERT_EQ(tbl_NextLine(), 1);
    EXPECT_STREQ(tbl_GetLine(), l.line);
    EXPECT_EQ(tbl_GetLineNumber(), l.number);
  }
  // The end rewinds: the table reads again from its first line.
  EXPECT_EQ(tbl_NextLine(), 0);
  EXPECT_EQ(tbl_GetLineNumber(), 0);
  char *fields[4];
  int offsets[4];
  ASSERT_EQ(tbl_ReadFields(fields, offsets, 4), 2);
  EXPECT_STREQ(fields[0], "FIRST");
  EXPECT_STREQ(fields[1], "a");
  EXPECT_EQ(offsets[1], 6);
  EXPECT_EQ(tbl_GetLineNumber(), 2);
  tbl_Close();
  EXPECT_EQ(tbl_NextLine(), -1);
  EXPECT_EQ(tbl_ReadFields(fields, offsets, 4), -1);
  EXPECT_EQ(tbl_GetLine(), nullptr);
  EXPECT_EQ(tbl_GetLineNumber(), -1);
  EXPECT_EQ(tbl_GetErrorText(), nullptr);
}

TEST_F(TableTest, OverLongLinesAreCutAndCountAsOneLine) {
  std::string longLine(700, 'x');
  longLine.replace(0, 5, "LONG,");
  std::string file = Write("LONG.TXT", longLine + "\nNEXT,1\n");
  EXPECT_EQ(tbl_Open(file.c_str()), 2);
  ASSERT_EQ(tbl_NextLine(), 1);
  EXPECT_EQ(strlen(tbl_GetLine()), 499u);
  EXPECT_EQ(std::string(tbl_GetLine()), longLine.substr(0, 499));
  ASSERT_EQ(tbl_NextLine(), 1);
  EXPECT_STREQ(tbl_GetLine(), "NEXT,1");
  EXPECT_EQ(tbl_GetLineNumber(), 2);
}

TEST_F(TableTest, OpenFailuresAndTheCurrentDirectory) {
  EXPECT_EQ(tbl_Open("C:\\CFG\\MISSING.TXT"), -1);
  EXPECT_EQ(errno, 2);
  EXPECT_EQ(tbl_GetLine(), nullptr);
  std::string file = Write("HERE.TXT", "A\n");
  (void)file;
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir((tnwtest::Root() + "/drives/c/CFG").c_str()), 0);
  EXPECT_EQ(tbl_Open("HERE.TXT"), 1);
  ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(TableTest, SplitFields) {
  char text[] = "a,,b c,d,e,f";
  char *fields[4];
  int offsets[4];
  ASSERT_EQ(tbl_SplitFields(text, fields, offsets, 4), 4);
  EXPECT_STREQ(fields[0], "a");
  EXPECT_STREQ(fields[1], "");
  EXPECT_STREQ(fields[2], "b c");
  EXPECT_STREQ(fields[3], "d,e,f") << "the last field keeps further commas";
  EXPECT_EQ(offsets[3], 7);
  char one[] = "single";
  EXPECT_EQ(tbl_SplitFields(one, fields, nullptr, 4), 1);
  char trailing[] = "x,";
  EXPECT_EQ(tbl_SplitFields(trailing, fields, nullptr, 4), 2);
  EXPECT_STREQ(fields[1], "");
  EXPECT_EQ(tbl_SplitFields(trailing, fields, nullptr, 0), 0);
}

TEST_F(TableTest, ProcessorLinesIntoRecords) {
  ProcessorRecord r = One("tnwll,Tarnwell pumps,a-TW:128,,further,text");
  EXPECT_STREQ(r.Name, "TNWLL");
  EXPECT_STREQ(r.PrintName, "TARNWELL PUMPS");
  EXPECT_EQ(std::string(r.Prefix, 2), "TW");
  EXPECT_EQ(r.Count, 128);
  EXPECT_EQ(r.Run, 0);
  EXPECT_EQ(r.Type, 2);
  r = One("DIG1,,D-X:62500,Run");
  EXPECT_STREQ(r.PrintName, "DIG1");
  EXPECT_EQ(std::string(r.Prefix, 2), std::string("X\0", 2));
  EXPECT_EQ(r.Count, 62500);
  EXPECT_EQ(r.Run, 1);
  EXPECT_EQ(r.Type, 3);
  r = One("modbus1,,X-MB:5");
  EXPECT_EQ(r.Type, 6);
  r = One("CUSTA,,D-CA:4,");
  EXPECT_EQ(r.Type, 2);
  r = One("CUSTA,,..CA:4");
  EXPECT_EQ(r.Type, 2) << "CUSTA is analogue even without a type letter";
  // The longest names that fit: 8 and 24 characters.
  r = One("eightchr,abcdefghijklmnopqrstuvwx,A-AB:1");
  EXPECT_STREQ(r.Name, "EIGHTCHR");
  EXPECT_STREQ(r.PrintName, "ABCDEFGHIJKLMNOPQRSTUVWX");
  r = One("PLAIN,,..AB:7");
  EXPECT_EQ(r.Type, 3);
  EXPECT_EQ(std::string(r.Prefix, 2), "AB");
  r = One("ALARM,,,run");
  EXPECT_EQ(r.Run, 1);
  EXPECT_EQ(r.Count, 256);
  r = One("ALARM,,1000,run");
  EXPECT_EQ(r.Count, 1000);
  r = One("ALARM,,X-??:0,");
  EXPECT_EQ(r.Count, 0);
  EXPECT_EQ(r.Prefix[0], 0);
  r = One("NOSPEC");
  EXPECT_EQ(r.Count, 0);
  EXPECT_EQ(r.Type, 0);
}

TEST_F(TableTest, ProcessorLineErrorsPointAtTheField) {
  const struct {
    const char *table, *error;
  } kCases[] = {
      {"* c\n,x,A-AB:1\n",
       "Can't Parse C:\\CFG\\DATPROC.TXT\nLine 2 : **** no processor name specified ****\n,x,A-AB:1\nError : 1\n"},
      {"NINECHARS,x\n",
       "Can't Parse C:\\CFG\\DATPROC.TXT\nLine 1 : **** processor name too long ****\n>NINECHARS<,x\nError : 1\n"},
      {"P1,0123456789012345678901234,A-AB:1\n",
       "Can't Parse C:\\CFG\\DATPROC.TXT\nLine 1 : **** processor print name too long ****\n"
       "P1,>0123456789012345678901234<,A-AB:1\nError : 1\n"},
      {"P1,,X-AB:10\n",
       "Can't Parse C:\\CFG\\DATPROC.TXT\nLine 1 : **** channel type must be A or D ****\nP1,,>X-AB:10<\nError : 1\n"},
      {"CUSTA,,X-CA:4\n", "channel type must be A or D"},
      {"P1,,A-1B:10,run\n",
       "Can't Parse C:\\CFG\\DATPROC.TXT\nLine 1 : **** invalid channel prefix ****\nP1,,>A-1B:10<,run\nError : 1\n"},
      {"P1,,A-AB:0\n",
       "Can't Parse C:\\CFG\\DATPROC.TXT\nLine 1 : **** invalid number of channels ****\nP1,,>A-AB:0<\nError : 1\n"},
      {"P1,,A-AB:62501\n", "invalid number of channels"},
      {"P1,,A-AB:1x\n", "invalid number of channels"},
      {"P1,,A-AB\n", "invalid number of channels"},
      {"P1,,A-\n", "invalid channel prefix"},
      {"P1,,A-A1:3\n", "invalid channel prefix"},
      {"ALARM,,5000,run\n",
       "Can't Parse C:\\CFG\\DATPROC.TXT\nLine 1 : **** invalid number of alarm queue entries ****\n"
       "ALARM,,>5000<,run\nError : 1\n"},
      {"ALARM,,1,run\n", "invalid number of alarm queue entries"},
      {"P1,FIRST,A-AB:1\n\np1,SECOND,A-AC:1\n",
       "Can't Parse C:\\CFG\\DATPROC.TXT\nLine 3 : **** duplicate processor name ****\n>p1<,SECOND,A-AC:1\nError : 1\n"},
      {"P1,SAME,A-AB:1\nP2,same,A-AC:1\n",
       "Can't Parse C:\\CFG\\DATPROC.TXT\nLine 2 : **** duplicate processor print name ****\nP2,>same<,A-AC:1\nError : 1\n"},
  };
  for (const auto &c : kCases) {
    std::vector<ProcessorRecord> records;
    std::string error = CheckAll(c.table, records);
    if (strncmp(c.error, "Can't", 5) == 0)
      EXPECT_EQ(error, c.error) << c.table;
    else
      EXPECT_NE(error.find(std::string("**** ") + c.error + " ****"), std::string::npos) << c.table << error;
  }
}

TEST_F(TableTest, TheErrorTextIsBounded) {
  std::string name(250, 'N');
  std::string file = Write((name + ".TXT").c_str(), "P1,," + std::string(480, 'Z') + "\n");
  ASSERT_EQ(tbl_Open(file.c_str()), 1);
  char *fields[5];
  int offsets[5];
  int n = tbl_ReadFields(fields, offsets, 5);
  ProcessorRecord r;
  EXPECT_EQ(tbl_ParseProcessorLine(nullptr, &r, fields, offsets, n, &r), -2);
  EXPECT_EQ(strlen(tbl_GetErrorText()), static_cast<size_t>(TBL_ERROR_MAX - 1));
  EXPECT_EQ(std::string(tbl_GetErrorText()).rfind("Can't Parse C:\\CFG\\NNNN", 0), 0u);
  tbl_SetErrorText("replaced");
  EXPECT_STREQ(tbl_GetErrorText(), "replaced");
  tbl_ReportError(0, "plain", 0, 0);
  EXPECT_EQ(std::string(tbl_GetErrorText()).find("\nError"), std::string::npos);
}

TEST_F(TableTest, LoggerTypeLines) {
  std::string file = Write("LOGCAP.TXT", "* types\nFileLog,x\n\nTOOLONGNAME\n,empty\n");
  ASSERT_EQ(tbl_Open(file.c_str()), 3);
  char *fields[3];
  LoggerTypeRecord r;
  int n = tbl_ReadFields(fields, nullptr, 3);
  EXPECT_EQ(tbl_ParseLoggerTypeLine(fields, n, &r), 1);
  EXPECT_STREQ(r.Name, "filelog");
  n = tbl_ReadFields(fields, nullptr, 3);
  EXPECT_EQ(tbl_ParseLoggerTypeLine(fields, n, &r), -2);
  EXPECT_EQ(std::string(tbl_GetErrorText()),
            "Can't Parse C:\\CFG\\LOGCAP.TXT\nLine 4 : **** logger type name too long ****\n>TOOLONGNAME<\nError : 1\n");
  n = tbl_ReadFields(fields, nullptr, 3);
  EXPECT_EQ(tbl_ParseLoggerTypeLine(fields, n, &r), -2);
  EXPECT_NE(std::string(tbl_GetErrorText()).find("no logger name specified"), std::string::npos);
}

TEST_F(TableTest, EachThreadReadsItsOwnTable) {
  std::string a = Write("A.TXT", "A1\nA2\nA3\n");
  std::string b = Write("B.TXT", "* x\nB1\nB2\n");
  ASSERT_EQ(tbl_Open(a.c_str()), 3);
  ASSERT_EQ(tbl_NextLine(), 1);
  std::vector<std::string> seen;
  std::thread other([&] {
    EXPECT_EQ(tbl_GetLine(), nullptr) << "a new thread has no table";
    EXPECT_EQ(tbl_Open(b.c_str()), 2);
    while (tbl_NextLine() == 1) seen.push_back(std::string(tbl_GetLine()) + "@" + std::to_string(tbl_GetLineNumber()));
    // Left open: the thread's end frees it.
  });
  other.join();
  EXPECT_EQ(seen, (std::vector<std::string>{"B1@2", "B2@3"}));
  ASSERT_EQ(tbl_NextLine(), 1);
  EXPECT_STREQ(tbl_GetLine(), "A2");
  EXPECT_EQ(tbl_GetLineNumber(), 2);
}

TEST(TableModule, OperationsWithoutArgumentsReturnOne) {
  for (int (*op)(void) : {tbl_ReservedOneA, tbl_ReservedOneB}) EXPECT_EQ(op(), 1);
}
