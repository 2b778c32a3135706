// The framework's request lines, what their replies fill in, and the logger
// dialogue around processor commands.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "framework/server/srv_client.h"
#include "framework/server/srv_requests.h"
#include "framework/xml/xml_error.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_registry.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_requests.h"

namespace {

SimServedProcessor Processor(const std::string &name, const std::string &print, const std::string &prefix,
                             uint16_t count, uint8_t run, uint8_t type, const std::string &text = "") {
  SimServedProcessor p;
  p.name = name;
  p.printName = print;
  p.prefix = prefix;
  p.count = count;
  p.run = run;
  p.type = type;
  p.text = text;
  return p;
}

SimServedLogger Logger(const std::string &name, uint8_t active, const std::string &text = "") {
  SimServedLogger l;
  l.name = name;
  l.active = active;
  l.text = text;
  return l;
}

std::string User() {
  char user[257];
  uint32_t n = sizeof user;
  return os_GetUserName(user, &n) == 0 ? user : "";
}

void SetServerValue(const char *name, const char *text) {
  OsHKey k = nullptr;
  ASSERT_EQ(os_RegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenford\\Tessarine", 0, OS_KEY_ALL_ACCESS, nullptr,
                              &k, nullptr),
            0);
  if (text)
    ASSERT_EQ(os_RegSetValueEx(k, name, OS_REG_SZ, text, static_cast<uint32_t>(strlen(text) + 1)), 0);
  else
    os_RegDeleteValue(k, name);
  os_RegCloseKey(k);
}

int g_asked;
int g_answer;
int Ask(const char *question, const char *title) {
  ++g_asked;
  EXPECT_STREQ(question, "Do you wish to disable and re-enable loggers");
  EXPECT_STREQ(title, "Reconfigure Loggers");
  return g_answer;
}

class Requests : public ::testing::Test {
 protected:
  void SetUp() override {
    srv_CloseAllConnections();
    spec.processors = {Processor("SYSER", "SYSTEM ERRORS", "SE", 64, 1, 3, "status channels"),
                       Processor("TNWLL", "TARNWELL PUMPS", "TA", 128, 0, 2),
                       Processor("MODB1", "", "MB", 10, 1, 3),
                       Processor("ALARM", "", "", 0, 1, 6),
                       Processor("DERIVED", "", "DV", 5, 1, 2)};
    spec.loggers = {Logger("DATALOG", 1, "the data logger"), Logger("IDLELOG", 0), Logger("EVENTLOG", 1)};
    g_asked = 0;
    g_answer = 1;
    srv_SetAsker(Ask);
  }
  void Start() {
    std::string why;
    server = sim_StartRequestServer(spec, &why);
    ASSERT_NE(server, nullptr) << why;
  }
  void TearDown() override {
    srv_CloseAllConnections();
    sim_StopRequestServer(server);
    srv_SetAsker(nullptr);
    SetServerValue("ReconfigureLoggers", nullptr);
  }
  std::vector<std::string> Sent() { return sim_ServedRequests(server); }
  SimRequestSpec spec;
  SimRequestServer *server = nullptr;
};

}  // namespace

TEST_F(Requests, TheLinesEachSenderSends) {
  Start();
  struct Case {
    std::function<int()> send;
    int result;
    std::vector<std::string> lines;  // sent by this call
  } cases[] = {
      {[] { return srv_ControlProcessor(".", "TNWLL", 'c'); }, 0, {"CP,TNWLL,C"}},
      {[] { return srv_ControlProcessor(".", "TNWLL", 'I'); }, 0, {"CP,TNWLL,I"}},
      {[] { return srv_ControlProcessor(".", "TNWLL", 300); }, 0, {"CP,TNWLL,300"}},
      {[] { return srv_ControlProcessor(".", "NOSUCH", 'R'); }, -1, {"CP,NOSUCH,R"}},
      {[] { return srv_DisableProcessor(".", "SYSER"); }, 0, {"DP,SYSER"}},
      {[] { return srv_EnableProcessor(".", "TNWLL"); }, 0, {"EP,TNWLL"}},
      {[] { return srv_CountProcessors("."); }, 5, {"QP,"}},
      {[] { return srv_SendYL(".", "a", "b"); }, 0, {"YL,a,b"}},
      {[] { return srv_ControlLogger(".", "DATALOG", 's'); }, 0, {"CL,DATALOG,S"}},
      {[] { return srv_ControlLogger(".", "DATALOG", 1000); }, 0, {"CL,DATALOG,1000"}},
      {[] { return srv_DisableLogger(".", "DATALOG"); }, 0, {"DL,DATALOG," + User()}},
      {[] { return srv_EnableLogger(".", "DATALOG"); }, 0, {"EL,DATALOG," + User()}},
      {[] { return srv_SendRL(".", "EVENTLOG"); }, 0, {"RL,EVENTLOG"}},
      {[] { return srv_CountLoggers("."); }, 3, {"QL"}},
      {[] { return srv_SendML(".", "x", "y"); }, 0, {"ML,x,y"}},
      {[] { return srv_SendXL(".", "1", "2"); }, 0, {"XL,1,2"}},
      // Letters the request does not know: nothing is sent, errno 0.
      {[] { return srv_ControlProcessor(".", "TNWLL", 'x'); }, -1, {}},
      {[] { return srv_ControlProcessor(".", "TNWLL", 0); }, -1, {}},
      {[] { return srv_ControlLogger(".", "DATALOG", 'q'); }, -1, {}},
  };
  size_t before = 0;
  for (const Case &c : cases) {
    errno = 12345;
    int rc = c.send();
    std::vector<std::string> sent = Sent();
    std::vector<std::string> mine(sent.begin() + static_cast<long>(before), sent.end());
    EXPECT_EQ(rc, c.result) << (c.lines.empty() ? "(nothing)" : c.lines[0]);
    EXPECT_EQ(mine, c.lines);
    if (c.lines.empty()) {
      EXPECT_EQ(errno, 0);
    }
    before = sent.size();
  }
  EXPECT_FALSE(sim_ServedProcessorRuns(server, "SYSER"));
  EXPECT_TRUE(sim_ServedProcessorRuns(server, "TNWLL"));
  // A line too long for a request fails before anything is sent.
  std::string huge(3000, 'N');
  EXPECT_EQ(srv_DisableProcessor(".", huge.c_str()), -1);
  EXPECT_EQ(errno, OS_ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Sent().size(), before);
}

TEST_F(Requests, ProcessorRecordsFromReplies) {
  Start();
  ProcessorRecord r[8];
  ASSERT_EQ(srv_GetProcessors(".", "*,5", r, 8), 5);
  EXPECT_EQ(Sent().back(), "IP,*,5");
  EXPECT_STREQ(r[0].Name, "SYSER");
  EXPECT_STREQ(r[0].PrintName, "SYSTEM ERRORS");
  EXPECT_EQ(std::string(r[0].Prefix, 2), "SE");
  EXPECT_EQ(r[0].Count, 64);
  EXPECT_EQ(r[0].Run, 1);
  EXPECT_EQ(r[0].Type, 3);
  EXPECT_EQ(r[1].Type, 2) << "letter A";
  EXPECT_EQ(r[1].Run, 0);
  EXPECT_EQ(r[2].Type, 6) << "a modb name";
  EXPECT_EQ(r[3].Type, 6) << "no letter";
  EXPECT_EQ(r[3].Count, 0);
  EXPECT_EQ(std::string(r[3].Prefix, 2), std::string(2, '\0')) << "no colon: no prefix, no count";
  EXPECT_EQ(srv_GetProcessors(".", "2", r, 8), 1);
  EXPECT_STREQ(r[0].Name, "TNWLL");

  // Never more records than the caller's array holds.
  ProcessorRecord two[3];
  memset(two, 0x5A, sizeof two);
  EXPECT_EQ(srv_GetProcessors(".", "*,5", two, 2), 2);
  const uint8_t *guard = reinterpret_cast<const uint8_t *>(&two[2]);
  for (size_t i = 0; i < sizeof two[2]; ++i) ASSERT_EQ(guard[i], 0x5A);
  EXPECT_EQ(srv_GetProcessors(".", "*,5", nullptr, 0), 0);
}

TEST_F(Requests, TableEntriesFromReplies) {
  const std::string longText(300, 'L'), shortText(40, 'S');
  spec.answer = [&](const std::string &line, std::string *reply) {
    if (line == "TP,odd") *reply = "3,1,2," + shortText + ";7,8,third," + longText + ";9,10,third,";
    else if (line == "TL,odd") *reply = "2,LOG1,1,2,3,-4," + shortText + ";LOG2,0,5,6,7,six,seven";
    else if (line == "TL,short") *reply = "2,LOG1,1,2,3,4;LOG2,1,2,3";
    else if (line == "IP,short") *reply = "2,A,B,AB:1,1,A;C,D";
    else if (line == "IP,lying") *reply = "3,A,B,AB:1,1,A";
    else if (line == "NL,9") *reply = "1," + std::string(30, 'N');
    else if (line == "IP,cases") *reply = "3,P1,,AB:1,1,a;P2,,AB:1,1,A;P3,,AB:1,1,d";
    else if (line.find("fail") != std::string::npos || line == "NL,7") *reply = std::string("-1,5", 5);
    else if (line.find("empty") != std::string::npos || line == "NL,8") *reply = "";
    else return false;
    return true;
  };
  Start();
  ProcessorTableEntry tp[4];
  ASSERT_EQ(srv_GetProcessorTable(".", "odd", tp, 4), 3);
  EXPECT_EQ(tp[0].First, 1);
  EXPECT_EQ(tp[0].Second, 2);
  EXPECT_EQ(std::string(tp[0].Text), shortText.substr(0, 30)) << "the third field, 30 characters";
  EXPECT_EQ(std::string(tp[1].Text), longText.substr(0, 254)) << "the fourth field, 254 characters";
  EXPECT_STREQ(tp[2].Text, "third") << "an empty fourth field";
  ASSERT_EQ(srv_GetProcessorTable(".", "*,9", tp, 4), 4) << "bounded by the array";
  EXPECT_EQ(tp[0].First, 1);
  EXPECT_STREQ(tp[0].Text, "status channels");

  LoggerTableEntry tl[2];
  ASSERT_EQ(srv_GetLoggerTable(".", "odd", tl, 2), 2);
  EXPECT_STREQ(tl[0].Name, "LOG1");
  EXPECT_EQ(tl[0].Active, 1);
  EXPECT_EQ(tl[0].Third, 2);
  EXPECT_EQ(tl[0].Fourth, 3);
  EXPECT_EQ(tl[0].Fifth, -4);
  EXPECT_EQ(std::string(tl[0].Text), shortText.substr(0, 30));
  EXPECT_STREQ(tl[1].Text, "seven");
  EXPECT_EQ(srv_GetLoggerTable(".", "*,3", tl, 2), 2);
  EXPECT_STREQ(tl[1].Name, "IDLELOG");
  EXPECT_EQ(tl[1].Active, 0);
  // Records with too few fields fail the call.
  EXPECT_EQ(srv_GetLoggerTable(".", "short", tl, 2), -1);
  EXPECT_EQ(errno, OS_ERROR_INVALID_DATA);
  ProcessorRecord r[4];
  EXPECT_EQ(srv_GetProcessors(".", "short", r, 4), -1);
  EXPECT_EQ(srv_GetProcessors(".", "lying", r, 4), -1) << "fewer records than announced";
  // Only a capital A is analogue.
  ASSERT_EQ(srv_GetProcessors(".", "cases", r, 4), 3);
  EXPECT_EQ(r[0].Type, 3) << "a";
  EXPECT_EQ(r[1].Type, 2) << "A";
  EXPECT_EQ(r[2].Type, 3) << "d";

  char name[64];
  EXPECT_EQ(srv_GetLoggerName(".", 3, name, sizeof name), 1);
  EXPECT_STREQ(name, "EVENTLOG");
  EXPECT_EQ(srv_GetLoggerName(".", 9, name, sizeof name), 1);
  EXPECT_EQ(std::string(name), std::string(24, 'N')) << "at most 24 characters";
  EXPECT_EQ(srv_GetLoggerName(".", 4, name, sizeof name), 0);
  EXPECT_STREQ(name, "");
  char small[5];
  EXPECT_EQ(srv_GetLoggerName(".", 1, small, sizeof small), 1);
  EXPECT_STREQ(small, "DATA") << "and never more than the caller's buffer";

  // A refusal passes the server's code on; an empty reply is error 8001.
  struct Failure {
    const char *what;
    std::function<int()> send;
    int error;
  } failures[] = {
      {"TP -1,5", [&] { return srv_GetProcessorTable(".", "fail", tp, 4); }, 5},
      {"TP empty", [&] { return srv_GetProcessorTable(".", "empty", tp, 4); }, SRV_EMPTY_REPLY},
      {"TL -1,5", [&] { return srv_GetLoggerTable(".", "fail", tl, 2); }, 5},
      {"TL empty", [&] { return srv_GetLoggerTable(".", "empty", tl, 2); }, SRV_EMPTY_REPLY},
      {"NL -1,5", [&] { return srv_GetLoggerName(".", 7, name, sizeof name); }, 5},
      {"NL empty", [&] { return srv_GetLoggerName(".", 8, name, sizeof name); }, SRV_EMPTY_REPLY},
  };
  for (const Failure &f : failures) {
    strcpy(name, "stale");
    errno = 0;
    EXPECT_EQ(f.send(), -1) << f.what;
    EXPECT_EQ(errno, f.error) << f.what;
    EXPECT_EQ(static_cast<int>(os_GetLastError()), f.error) << f.what;
    if (f.what[0] == 'N') {
      EXPECT_STREQ(name, "") << f.what;
    }
  }
}

// The longest "-1,1465,<text>" a server sends: the XML layer's combined text
// of a 256-character configuration name and section and a 255-character text.
TEST_F(Requests, TheLongestXmlErrorReplyReachesTheCaller) {
  const std::string text = std::string(256, 'C') + " " + std::string(256, 'S') + " - " + std::string(255, 'T');
  spec.processors[1].xmlError = text;
  spec.answer = [&](const std::string &line, std::string *reply) {
    if (line != "DP,TNWLL") return false;
    *reply = "-1,1465," + text + std::string(1, '\0');
    return true;
  };
  Start();
  for (int pass = 0; pass < 2; ++pass) {
    xml_ClearError();
    errno = 0;
    EXPECT_EQ(pass == 0 ? srv_ControlProcessor(".", "TNWLL", 'c') : srv_DisableProcessor(".", "TNWLL"), -1);
    EXPECT_EQ(errno, OS_ERROR_XML_PARSE_ERROR) << pass;
    EXPECT_EQ(std::string(xml_GetErrorText()), " - " + text.substr(0, XML_TEXT_MAX - 1)) << pass;
  }
  EXPECT_EQ(Sent(), (std::vector<std::string>{"CP,TNWLL,C", "DP,TNWLL"}));
}

TEST_F(Requests, TheLoggerDialogueAroundProcessorCommands) {
  Start();
  const std::string user = User();
  auto since = [&](size_t from) {
    std::vector<std::string> s = Sent();
    return std::vector<std::string>(s.begin() + static_cast<long>(from), s.end());
  };
  // Not switched on: the command alone.
  EXPECT_EQ(srv_ControlProcessor(".", "TNWLL", 'C'), 0);
  EXPECT_EQ(since(0), std::vector<std::string>{"CP,TNWLL,C"});
  EXPECT_EQ(g_asked, 0);

  SetServerValue("ReconfigureLoggers", "on, please");
  size_t at = Sent().size();
  EXPECT_EQ(srv_ControlProcessor(".", "TNWLL", 'T'), 0);
  std::vector<std::string> expected = {
      "QL", "TL,*,3", "DL,DATALOG," + user, "DL,EVENTLOG," + user, "CP,TNWLL,T", "EL,DATALOG," + user,
      "EL,EVENTLOG," + user,
  };
  EXPECT_EQ(since(at), expected);
  EXPECT_EQ(g_asked, 1);
  EXPECT_TRUE(sim_ServedLoggerActive(server, "DATALOG"));
  EXPECT_FALSE(sim_ServedLoggerActive(server, "IDLELOG")) << "an idle logger is left alone";

  // Other letters need no dialogue.
  at = Sent().size();
  EXPECT_EQ(srv_ControlProcessor(".", "TNWLL", 'R'), 0);
  EXPECT_EQ(since(at), std::vector<std::string>{"CP,TNWLL,R"});

  // No: nothing disabled, the command still goes.
  g_answer = 0;
  at = Sent().size();
  EXPECT_EQ(srv_ControlProcessor(".", "TNWLL", 'c'), 0);
  EXPECT_EQ(since(at), (std::vector<std::string>{"QL", "TL,*,3", "CP,TNWLL,C"}));
  EXPECT_EQ(srv_ReenableLoggers("."), 0) << "nothing is remembered";

  // No asker installed: the answer is No.
  srv_SetAsker(nullptr);
  g_answer = 1;
  int asked = g_asked;
  at = Sent().size();
  EXPECT_EQ(srv_ControlProcessor(".", "TNWLL", 'T'), 0);
  EXPECT_EQ(since(at), (std::vector<std::string>{"QL", "TL,*,3", "CP,TNWLL,T"}));
  EXPECT_EQ(g_asked, asked);
  EXPECT_TRUE(sim_ServedLoggerActive(server, "DATALOG"));
}

TEST_F(Requests, AFailedDisableEnablesTheLoggersDoneSoFar) {
  spec.answer = [](const std::string &line, std::string *reply) {
    if (line.rfind("DL,EVENTLOG,", 0) != 0) return false;
    *reply = std::string("-1,5", 5);
    return true;
  };
  Start();
  SetServerValue("ReconfigureLoggers", "ON");
  const std::string user = User();
  EXPECT_EQ(srv_ControlProcessor(".", "TNWLL", 'C'), -1);
  EXPECT_EQ(errno, 5);
  std::vector<std::string> expected = {"QL", "TL,*,3", "DL,DATALOG," + user, "DL,EVENTLOG," + user,
                                       "EL,DATALOG," + user};
  EXPECT_EQ(Sent(), expected) << "the command is not sent";
  EXPECT_TRUE(sim_ServedLoggerActive(server, "DATALOG"));
}

TEST_F(Requests, AFailedCommandStillEnablesTheLoggers) {
  spec.answer = [](const std::string &line, std::string *reply) {
    if (line != "CP,TNWLL,T") return false;
    *reply = std::string("-1,31", 6);
    return true;
  };
  Start();
  SetServerValue("ReconfigureLoggers", "ON");
  const std::string user = User();
  EXPECT_EQ(srv_ControlProcessor(".", "TNWLL", 't'), -1);
  EXPECT_EQ(errno, 31) << "the command's own error";
  std::vector<std::string> sent = Sent();
  ASSERT_GE(sent.size(), 2u);
  EXPECT_EQ(sent[sent.size() - 2], "EL,DATALOG," + user);
  EXPECT_EQ(sent.back(), "EL,EVENTLOG," + user);
  EXPECT_TRUE(sim_ServedLoggerActive(server, "EVENTLOG"));
}

TEST_F(Requests, NoLoggersLeaveNothingToDisable) {
  spec.loggers.clear();
  Start();
  SetServerValue("ReconfigureLoggers", "ON");
  EXPECT_EQ(srv_ControlProcessor(".", "TNWLL", 'C'), 0);
  EXPECT_EQ(Sent(), (std::vector<std::string>{"QL", "CP,TNWLL,C"}));
  EXPECT_EQ(g_asked, 0);
}

TEST(RequestModule, OperationsWithoutArguments) {
  const struct {
    int (*op)(void);
    int result;
  } kOps[] = {{srv_ReservedZeroA, 0}, {srv_ReservedZeroB, 0}, {srv_ReservedTwelve, 12}, {srv_ReservedFail, -1}};
  for (const auto &o : kOps) EXPECT_EQ(o.op(), o.result);
}

TEST(RequestSettings, HostSwitchesAndKeyNames) {
  SetServerValue("ReconfigureLoggers", nullptr);
  EXPECT_EQ(srv_ReconfigureLoggersEnabled("."), 0);
  for (const char *on : {"ON", "on", "Once"}) {
    SetServerValue("ReconfigureLoggers", on);
    EXPECT_EQ(srv_ReconfigureLoggersEnabled("."), 1) << on;
  }
  SetServerValue("ReconfigureLoggers", "OFF");
  EXPECT_EQ(srv_ReconfigureLoggersEnabled("localhost"), 0);
  SetServerValue("Alarms From Desktop", "ON");
  EXPECT_EQ(srv_FromDesktopEnabled(".", "Alarms"), 1);
  SetServerValue("Alarms From Desktop", "on");
  EXPECT_EQ(srv_FromDesktopEnabled(".", "Alarms"), 0) << "exactly ON";
  EXPECT_EQ(srv_FromDesktopEnabled(".", "Events"), 0);

  // Another host's own registry; a host that cannot be reached is off.
  OsHKey remote = nullptr, k = nullptr;
  std::filesystem::create_directories(tnwtest::Root() + "/hosts/HOSTB");
  ASSERT_EQ(os_RegConnectRegistry("\\\\HOSTB", OS_HKEY_LOCAL_MACHINE, &remote), 0);
  ASSERT_EQ(os_RegCreateKeyEx(remote, "SOFTWARE\\Quenford\\Tessarine", 0, OS_KEY_ALL_ACCESS, nullptr, &k, nullptr), 0);
  ASSERT_EQ(os_RegSetValueEx(k, "ReconfigureLoggers", OS_REG_SZ, "ON", 3), 0);
  os_RegCloseKey(k);
  os_RegCloseKey(remote);
  EXPECT_EQ(srv_ReconfigureLoggersEnabled("HOSTB"), 1);
  EXPECT_EQ(srv_ReconfigureLoggersEnabled("HOSTC"), 0);
  SetServerValue("ReconfigureLoggers", nullptr);

  EXPECT_STREQ(srv_LoggerKeyName("DataLog", 3), "LOGGERS\\DataLog_3");
}
