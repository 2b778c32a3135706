// The debug trace against the registry stand-in and the debugger output file.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "framework/registry/reg_settings.h"
#include "framework/trace/dbg_trace.h"
#include "platform/os_debug.h"
#include "platform/os_registry.h"
#include "tests/support/test_root.h"

namespace {

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string path = std::string("SOFTWARE\\Quenford\\") + prod_GetProductName();
    ASSERT_EQ(os_RegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, path.c_str(), 0, OS_KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
    for (const char *v : {"DEV1_Debug", "DEV1_DebugType", "DEV1_DebugFile"}) os_RegDeleteValue(key, v);
    unlink(os_DebugOutputPath().c_str());
  }
  void TearDown() override {
    dbg_Close();
    os_RegCloseKey(key);
  }
  void Set(const char *name, const std::string &value) {
    ASSERT_EQ(os_RegSetValueEx(key, name, OS_REG_SZ, value.c_str(), static_cast<uint32_t>(value.size() + 1)), 0);
  }
  static std::string Debugger() { return tnwtest::ReadFile(os_DebugOutputPath()); }
  static std::string Pid() { return "[" + std::to_string(getpid()) + "] "; }
  OsHKey key = nullptr;
};

}  // namespace

TEST_F(TraceTest, RegistrySwitchesTheTraceAtRunTime) {
  dbg_Open("DEV1");
  EXPECT_FALSE(dbg_IsOn());
  EXPECT_EQ(dbg_Write("not traced\n"), 0);
  Set("DEV1_Debug", "on");  // any case
  EXPECT_GT(dbg_Write("Tx to Pump 1 : RP1STATUS\r\n"), 0);
  EXPECT_TRUE(dbg_IsOn());
  EXPECT_EQ(dbg_Object()->Mode(), DBG_MODE_DEBUGGER);
  Set("DEV1_Debug", "OFF");
  dbg_Write("after off\n");
  EXPECT_FALSE(dbg_IsOn());
  Set("DEV1_Debug", "On please");
  dbg_Write("again\n");
  os_RegDeleteValue(key, "DEV1_Debug");  // a deleted value is off
  dbg_Write("deleted\n");
  EXPECT_FALSE(dbg_IsOn());
  EXPECT_EQ(Debugger(), Pid() + "DEV1 : Tx to Pump 1 : RP1STATUS\r\n" + Pid() + "DEV1 : again\n");
  EXPECT_EQ(dbg_Write("x\n"), 0);
  dbg_Close();
  EXPECT_EQ(dbg_Write("no object\n"), 0);
}

TEST_F(TraceTest, ConsoleFileAndDebuggerOutputs) {
  std::string dir = tnwtest::MakeTempDir("trace");
  std::string file = dir + "/trace.txt";
  ASSERT_TRUE(tnwtest::WriteFile(file, "old content that goes\n"));
  Set("DEV1_DebugType", "CON+FILE");
  Set("DEV1_DebugFile", file);
  Set("DEV1_Debug", "ON");
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  fflush(stdout);
  int saved = dup(1);
  dup2(pipeFds[1], 1);
  dbg_Open("DEV1");  // the console is opened as the trace switches on
  dup2(saved, 1);
  close(saved);
  close(pipeFds[1]);
  EXPECT_EQ(dbg_Object()->Mode(), DBG_MODE_CONSOLE | DBG_MODE_FILE | DBG_MODE_DEBUGGER);
  dbg_Write("Rx from Pump 2 : ");
  EXPECT_EQ(Debugger(), "");  // no line end yet: the debugger line waits
  dbg_Write("000,1.5\r\n");
  const unsigned char bytes[] = {0x0d, 0xff};
  dbg_WriteHex(bytes, sizeof bytes);
  dbg_Write("\n");
  // A change of the type while on takes effect only at the next switching on.
  Set("DEV1_DebugType", "");
  dbg_Write("still everywhere\n");
  EXPECT_EQ(dbg_Object()->Mode(), DBG_MODE_CONSOLE | DBG_MODE_FILE | DBG_MODE_DEBUGGER);
  Set("DEV1_Debug", "off");
  dbg_Write("gone\n");
  Set("DEV1_Debug", "on");
  dbg_Write("debugger only\n");
  EXPECT_EQ(dbg_Object()->Mode(), DBG_MODE_DEBUGGER);
  dbg_Close();

  const std::string text = "Rx from Pump 2 : 000,1.5\r\n0x0d 0xff \nstill everywhere\n";
  EXPECT_EQ(tnwtest::ReadFile(file), text);  // created anew, written as given
  char buf[256] = {};
  ssize_t n = read(pipeFds[0], buf, sizeof buf - 1);
  close(pipeFds[0]);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), text);
  EXPECT_EQ(Debugger(), Pid() + "DEV1 : Rx from Pump 2 : 000,1.5\r\n" + Pid() + "DEV1 : 0x0d 0xff \n" + Pid() +
                            "DEV1 : still everywhere\n" + Pid() + "DEV1 : debugger only\n");
}

TEST_F(TraceTest, CounterSettingsParseRules) {
  struct Case {
    const char *text;
    bool ok;
    const char *code;
    uint32_t limit;
  } cases[] = {
      {"RX500", true, "RX", 500}, {"t1", true, "T", 1},        {"ab10000", true, "AB", 10000},
      {"ABC1", false, "", 0},     {"R0", false, "", 0},        {"R10001", false, "", 0},
      {"R5X", false, "", 0},      {"RX", false, "", 0},        {"5", false, "", 0},
      {"RX00500", true, "RX", 500}, {"RX005000", false, "", 0}, {"", false, "", 0},
      {"R-5", false, "", 0},      {"R 5", false, "", 0},
      // Letters and digits are ASCII ones whatever the process locale says.
      {"\xC9X5", false, "", 0},  {"R\xB2", false, "", 0},
  };
  for (const Case &c : cases) {
    DebugCounter d = {{'Z', 'Z', 0}, 99};
    EXPECT_EQ(dbg_ParseCounter(c.text, &d), c.ok) << c.text;
    EXPECT_STREQ(d.code, c.code) << c.text;
    EXPECT_EQ(d.limit, c.limit) << c.text;
  }
  // Read when the trace switches on; an invalid text clears the setting.
  Set("DEV1_DebugRxCount", "rx500");
  Set("DEV1_DebugTxCRCErrorCount", "R5X");
  Set("DEV1_DebugTxGoodPacketCount", "GP7");
  Set("DEV1_Debug", "ON");
  dbg_Open("DEV1");
  DebugTrace *t = dbg_Object();
  EXPECT_STREQ(t->Counter(DBG_RX_COUNT).code, "RX");
  EXPECT_EQ(t->Counter(DBG_RX_COUNT).limit, 500u);
  EXPECT_EQ(t->Counter(DBG_TX_CRC_ERROR_COUNT).limit, 0u);
  EXPECT_STREQ(t->Counter(DBG_TX_GOOD_PACKET_COUNT).code, "GP");
  EXPECT_EQ(t->Counter(DBG_TX_COUNT).limit, 0u);
  // Changed while on: kept until the trace switches off and on again.
  Set("DEV1_DebugRxCount", "RX9");
  dbg_Write("x\n");
  EXPECT_EQ(t->Counter(DBG_RX_COUNT).limit, 500u);
  Set("DEV1_Debug", "OFF");
  dbg_Write("x\n");
  EXPECT_EQ(t->Counter(DBG_RX_COUNT).limit, 0u);
  Set("DEV1_Debug", "ON");
  dbg_Write("x\n");
  EXPECT_EQ(t->Counter(DBG_RX_COUNT).limit, 9u);
  for (const char *v : {"DEV1_DebugRxCount", "DEV1_DebugTxCRCErrorCount", "DEV1_DebugTxGoodPacketCount"})
    os_RegDeleteValue(key, v);
}

TEST_F(TraceTest, LongTextsKeepTheirTail) {
  Set("DEV1_Debug", "ON");
  dbg_Open("DEV1");
  std::string big(6000, 'a');
  big += "END\n";
  dbg_Write(big.c_str());
  std::string out = Debugger();
  ASSERT_GE(out.size(), Pid().size());
  std::string line = out.substr(Pid().size());
  // 4999 characters: the prefix and the last characters of the text.
  EXPECT_EQ(line.size(), 4999u);
  EXPECT_EQ(line.substr(0, 7), "DEV1 : ");
  EXPECT_EQ(line.substr(line.size() - 5), "aEND\n");
  // A line already full takes nothing more: its end becomes CR LF.
  unlink(os_DebugOutputPath().c_str());
  dbg_Write(std::string(4992, 'b').c_str());  // 7 + 4992 = 4999
  dbg_Write("more\n");
  out = Debugger();
  ASSERT_GE(out.size(), Pid().size());
  line = out.substr(Pid().size());
  EXPECT_EQ(line.size(), 4999u);
  EXPECT_EQ(line.substr(line.size() - 4), "bb\r\n");
}

TEST_F(TraceTest, LinesFromSeveralThreadsStayWhole) {
  Set("DEV1_Debug", "ON");
  dbg_Open("DEV1");
  std::vector<std::thread> ts;
  for (int i = 0; i < 4; ++i)
    ts.emplace_back([i] {
      std::string piece(20, static_cast<char>('a' + i));
      for (int k = 0; k < 200; ++k) {
        dbg_Write(piece.c_str());
        dbg_Write(piece.c_str());
        dbg_Write("\n");
      }
    });
  for (auto &t : ts) t.join();
  std::string all = Debugger();
  size_t lines = 0, chars = 0;
  for (size_t p = 0, e; (e = all.find('\n', p)) != std::string::npos; p = e + 1, ++lines) {
    std::string line = all.substr(p, e - p);
    ASSERT_GE(line.size(), Pid().size() + 7);
    std::string body = line.substr(Pid().size() + 7);
    chars += body.size();
    // Pieces of different threads may share a line, but every line is whole.
    EXPECT_EQ(line.substr(Pid().size(), 7), "DEV1 : ");
    EXPECT_EQ(body.size() % 20, 0u) << line;
  }
  EXPECT_EQ(lines, 800u);
  EXPECT_EQ(chars, 4u * 200 * 40);
}
