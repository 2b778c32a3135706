// The logger list: "IL" replies as parsed, the server's own answer from its
// world, a server that answers oddly, and a server that is down, where the
// configuration folder's LOGCAP.TXT and LOGGERS records answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "framework/server/srv_client.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "plugin/loggers/lcfg_list.h"
#include "plugin/loggers/lcfg_types.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_requests.h"

namespace fs = std::filesystem;

namespace {

constexpr uint8_t kUntouched = 0xAB;

std::vector<LoggerListEntry> Fresh(size_t n) {
  std::vector<LoggerListEntry> v(n);
  memset(v.data(), kUntouched, n * sizeof(LoggerListEntry));
  return v;
}

bool Untouched(const LoggerListEntry &e) {
  const uint8_t *p = reinterpret_cast<const uint8_t *>(&e);
  for (size_t i = 0; i < sizeof e; ++i)
    if (p[i] != kUntouched) return false;
  return true;
}

bool RestUntouched(const LoggerListEntry &e) {
  for (uint8_t b : e.rest)
    if (b != kUntouched) return false;
  return true;
}

std::string Entry(const LoggerListEntry &e) {
  return std::string(e.TypeName) + "/" + std::to_string(e.Number) + "/" + e.Description;
}

TEST(LoggerListReply, PiecesFillAtMostTheRoomGiven) {
  const std::string longName(40, 'D');
  const struct {
    std::string reply;
    int capacity;
    int result;
    std::vector<std::string> entries;
  } cases[] = {
      {"2,stand,1,Main pumps;resub,2,Backup", 8, 2, {"stand/1/Main pumps", "resub/2/Backup"}},
      {"1,stand,1,Main;", 8, 1, {"stand/1/Main"}},
      {"2,stand,1,Main;resub,2,B;", 8, 2, {"stand/1/Main", "resub/2/B"}},
      {"3,a,1,x;b,2,y;c,3,z", 2, 2, {"a/1/x", "b/2/y"}},
      {"1,standardlogger,7," + longName, 4, 1, {"standardl/7/" + std::string(24, 'D')}},
      {"1,stand,1,a,b", 4, 1, {"stand/1/a,b"}},
      {"1,stand,007,", 4, 1, {"stand/7/"}},
      {"1,", 4, 0, {}},
      {"1,stand,1", 4, -1, {}},
      {"2,stand,1,x;resub", 4, -1, {}},
      {"1,stand,x,d", 4, -1, {}},
      {"1,stand,70000,d", 4, -1, {}},
      {"1,stand,-1,d", 4, -1, {}},
      {"5", 4, -1, {}},
      {"2,a,1,x;b,2,y", 0, 0, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.reply);
    std::vector<LoggerListEntry> e = Fresh(static_cast<size_t>(c.capacity) + 1);
    // The reply as received: no terminator inside its size.
    std::vector<char> bytes(c.reply.begin(), c.reply.end());
    ASSERT_EQ(lcfg_ParseLoggerList(bytes.data(), static_cast<int>(bytes.size()), e.data(), c.capacity), c.result);
    if (c.result < 0) continue;
    for (int i = 0; i < c.result; ++i) {
      EXPECT_EQ(Entry(e[static_cast<size_t>(i)]), c.entries[static_cast<size_t>(i)]);
      EXPECT_TRUE(RestUntouched(e[static_cast<size_t>(i)]));
    }
    EXPECT_TRUE(Untouched(e[static_cast<size_t>(c.result)])) << "nothing past the filled entries";
  }
}

TEST(LoggerListReply, FormattedListParsesBack) {
  std::vector<LoggerListEntry> in = Fresh(2);
  snprintf(in[0].TypeName, sizeof in[0].TypeName, "stand");
  in[0].Number = 3;
  snprintf(in[0].Description, sizeof in[0].Description, "Main pumps");
  snprintf(in[1].TypeName, sizeof in[1].TypeName, "resub");
  in[1].Number = 65535;
  in[1].Description[0] = '\0';
  char text[128];
  ASSERT_EQ(lcfg_FormatLoggerList(in.data(), 2, text, sizeof text), 33);
  EXPECT_STREQ(text, "2,stand,3,Main pumps;resub,65535,");
  std::vector<LoggerListEntry> out = Fresh(2);
  ASSERT_EQ(lcfg_ParseLoggerList(text, static_cast<int>(strlen(text)), out.data(), 2), 2);
  EXPECT_EQ(Entry(out[0]), "stand/3/Main pumps");
  EXPECT_EQ(Entry(out[1]), "resub/65535/");
  char small[10];
  EXPECT_EQ(lcfg_FormatLoggerList(in.data(), 2, small, sizeof small), -1);
}

TEST(LoggerListReply, SelectorLimits) {
  const struct {
    const char *selector;
    int64_t limit;
  } cases[] = {{"*,0", 0}, {"*,5", 5}, {"*,-3", 0}, {"*,x", 0}, {"*,99999999999999999999999", INT64_MAX},
               {"4", 1}, {"stand", 1}, {"*", 1}};
  for (const auto &c : cases) EXPECT_EQ(lcfg_ListSelectorLimit(c.selector), c.limit) << c.selector;
}

// A configuration folder "C:\LSTCFG" with its tables and records.
class LoggerList : public ::testing::Test {
 protected:
  void SetUp() override {
    srv_CloseAllConnections();
    dir = tnwtest::Root() + "/drives/c/LSTCFG";
    fs::remove_all(dir);
    fs::create_directories(dir + "/LOGGERS");
    os_SetEnvironmentVariable("TSQ_CURRENT_CONFIG", "C:\\LSTCFG");
  }
  void TearDown() override {
    srv_CloseAllConnections();
    if (server) sim_StopRequestServer(server);
    os_SetEnvironmentVariable("TSQ_CURRENT_CONFIG", nullptr);
  }
  void Table(const std::string &text) { ASSERT_TRUE(tnwtest::WriteFile(dir + "/LOGCAP.TXT", text)); }
  // A binary record whose name (bytes 1 to 32) is `name`.
  void Record(const std::string &type, int n, const std::string &name, size_t size = LCFG_RESUB_SIZE) {
    std::string bytes(size, '\0');
    bytes.replace(1, std::min(name.size(), size_t{32}), name.substr(0, 32));
    ASSERT_TRUE(tnwtest::WriteFile(dir + "/LOGGERS/" + type + "_" + std::to_string(n), bytes));
  }
  void World() {
    Table("* logger types\r\nstand\r\n\r\n  * second\r\nRESUB\r\nfilelog,extra\r\n");
    Record("stand", 1, "Main pumps");
    Record("resub", 2, "A resubscriber with a very long name");
    Record("filelog", 3, "Log", 40);
  }
  void Serve(std::function<bool(const std::string &, std::string *)> answer = nullptr) {
    SimRequestSpec spec;
    spec.answer = std::move(answer);
    std::string why;
    server = sim_StartRequestServer(spec, &why);
    ASSERT_NE(server, nullptr) << why;
  }
  std::vector<std::string> Asked() const {
    std::vector<std::string> out;
    for (const std::string &r : sim_ServedRequests(server))
      if (r.rfind("IL,", 0) == 0) out.push_back(r);
    return out;
  }
  std::vector<std::string> List(const char *selector, int capacity, int *result) {
    std::vector<LoggerListEntry> e = Fresh(static_cast<size_t>(capacity) + 1);
    *result = lcfg_ListLoggers(".", selector, e.data(), capacity);
    std::vector<std::string> out;
    for (int i = 0; i < *result; ++i) {
      out.push_back(Entry(e[static_cast<size_t>(i)]));
      EXPECT_TRUE(RestUntouched(e[static_cast<size_t>(i)]));
    }
    if (*result >= 0) {
      EXPECT_TRUE(Untouched(e[static_cast<size_t>(*result)])) << selector;
    }
    return out;
  }
  std::string dir;
  SimRequestServer *server = nullptr;
};

const std::vector<std::string> kAll = {"stand/1/Main pumps", "resub/2/A resubscriber with a ve", "filelog/3/Log"};

// The same selectors from the tables (server down) and from scadasim's
// own answer, which reads the same world.
TEST_F(LoggerList, SelectorsFromTheTablesAndFromTheServer) {
  World();
  const struct {
    const char *selector;
    int capacity;
    int result;
    std::vector<std::string> entries;
  } cases[] = {
      {"*,3", 8, 3, kAll},
      {"*,9", 8, 3, kAll},
      {"*,2", 8, 2, {kAll[0], kAll[1]}},
      {"*,3", 2, 2, {kAll[0], kAll[1]}},
      {"*,0", 8, 0, {}},
      {"*,-1", 8, 0, {}},
      {"2", 8, 1, {kAll[1]}},
      {"3", 1, 1, {kAll[2]}},
      {"4", 8, 0, {}},
      {"0", 8, 0, {}},
      {"Resub", 8, 1, {kAll[1]}},
      {"FILELOG", 8, 1, {kAll[2]}},
      {"nosuch", 8, 0, {}},
      {"2", 0, 0, {}},
  };
  for (bool served : {false, true}) {
    if (served) Serve();
    for (const auto &c : cases) {
      SCOPED_TRACE(std::string(c.selector) + (served ? " served" : " down"));
      int result = 0;
      EXPECT_EQ(List(c.selector, c.capacity, &result), c.entries);
      EXPECT_EQ(result, c.result);
    }
  }
  EXPECT_EQ(Asked().size(), std::size(cases)) << "every one of these selectors is sent";
}

TEST_F(LoggerList, CountsTooLargeToSendComeFromTheTables) {
  World();
  Serve([](const std::string &, std::string *reply) { return *reply = std::string("-1,5", 5), true; });
  int result = 0;
  EXPECT_EQ(List("*,300", 8, &result), kAll);
  EXPECT_EQ(List("*,219", 8, &result), kAll);
  EXPECT_EQ(List("*,99999999999999999999", 8, &result), kAll);
  EXPECT_TRUE(Asked().empty());
  // The largest count that is sent; refused, the tables answer it too.
  EXPECT_EQ(List("*,218", 8, &result), kAll);
  EXPECT_EQ(Asked(), std::vector<std::string>{"IL,*,218"});
}

TEST_F(LoggerList, RepliesNeverFillMoreThanTheSelectorAllows) {
  std::string next;
  Serve([&next](const std::string &, std::string *reply) { return *reply = next, true; });
  const struct {
    std::string reply;
    const char *selector;
    int capacity;
    int result;
  } cases[] = {
      {std::string("3,a,1,x;b,2,y;c,3,z", 20), "*,2", 8, 2},
      {std::string("3,a,1,x;b,2,y;c,3,z", 20), "1", 8, 1},
      {std::string("3,a,1,x;b,2,y;c,3,z", 20), "b", 8, 1},
      {std::string("3,a,1,x;b,2,y;c,3,z", 20), "*,5", 2, 2},
      {std::string("2,a,1,x;b,2,y;", 15), "*,5", 8, 2},
      {std::string("3,a,1,x;b,2,y;c,3,z", 20), "*,0", 8, 0},
      {std::string("0", 2), "*,5", 8, 0},
      {std::string("1,a,1", 6), "*,5", 8, -1},
      // No terminator: the reply ends where its bytes end.
      {std::string("1,a,1,xyz"), "*,5", 8, 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.reply + " " + c.selector);
    next = c.reply;
    int result = 0;
    List(c.selector, c.capacity, &result);
    EXPECT_EQ(result, c.result);
  }
}

TEST_F(LoggerList, TablesThatFail) {
  int result = 0;
  // No table: no loggers.
  EXPECT_TRUE(List("*,3", 8, &result).empty());
  EXPECT_EQ(result, 0);

  Table("stand\r\nlongtypename\r\nresub\r\n");
  Record("stand", 1, "One");
  Record("resub", 3, "Three");
  const struct {
    const char *selector;
    int result;
  } bad[] = {{"*,3", -2}, {"*,1", 1}, {"2", -2}, {"3", 1}, {"1", 1}, {"resub", -2}, {"stand", 1}};
  for (const auto &c : bad) {
    List(c.selector, 8, &result);
    EXPECT_EQ(result, c.result) << c.selector;
  }

  Table("stand\r\nresub\r\n");
  fs::remove(dir + "/LOGGERS/resub_3");
  Record("stand", 1, "One");
  const struct {
    const char *selector;
    int result;
  } unreadable[] = {{"*,2", -1}, {"*,1", 1}, {"2", -1}, {"resub", -1}, {"stand", 1}};
  for (const auto &c : unreadable) {
    List(c.selector, 8, &result);
    EXPECT_EQ(result, c.result) << c.selector;
  }
}

TEST_F(LoggerList, BadArguments) {
  std::vector<LoggerListEntry> e = Fresh(1);
  EXPECT_EQ(lcfg_ListLoggers(".", nullptr, e.data(), 1), -1);
  EXPECT_EQ(lcfg_ListLoggers(".", "*,1", nullptr, 1), -1);
  EXPECT_EQ(lcfg_ListLoggers(".", std::string(300, 'x').c_str(), e.data(), 1), -1);
  EXPECT_EQ(os_GetLastError(), static_cast<uint32_t>(OS_ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(Untouched(e[0]));
}

}  // namespace
