// On the Windows 9x family local requests go to the server's request mailslot
// and their replies come back chunked. The platform query is asked once per
// process: this program plays 9x from its start.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "framework/registry/prod_platform.h"
#include "framework/server/srv_chunked.h"
#include "framework/server/srv_client.h"
#include "framework/server/srv_requests.h"
#include "platform/os_error.h"
#include "platform/os_handle.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_requests.h"

namespace {

const int g_plays9x = setenv("PLATFORM_WIN9X", "1", 1);

class Win9xRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(g_plays9x, 0);
    ASSERT_EQ(prod_GetOsPlatformId(), 1u);
    srv_CloseAllConnections();
  }
  void TearDown() override {
    srv_CloseAllConnections();
    for (SimRequestServer *s : servers) sim_StopRequestServer(s);
    srv_SetReplyWaitForTests(0);
  }
  SimRequestServer *Serve(SimRequestSpec spec) {
    std::string why;
    SimRequestServer *s = sim_StartRequestServer(spec, &why);
    EXPECT_NE(s, nullptr) << why;
    if (s) servers.push_back(s);
    return s;
  }
  static SimRequestSpec MailslotsOnly(int processors) {
    SimRequestSpec spec;
    spec.pipe = false;
    spec.mailslots = true;
    for (int i = 0; i < processors; ++i) {
      spec.processors.emplace_back();
      spec.processors.back().name = "P" + std::to_string(i + 1);
      spec.processors.back().printName = "PROCESSOR NUMBER " + std::to_string(i + 1);
    }
    return spec;
  }
  static const ServerConnection *Entry(const char *name) {
    int count = 0;
    ServerConnection *t = srv_ConnectionTable(&count);
    for (int i = 0; i < count; ++i)
      if (t[i].server == std::string(name)) return &t[i];
    return nullptr;
  }
  std::vector<SimRequestServer *> servers;
};

int Ask(const char *server, const std::string &line, uint32_t capacity, std::string *reply = nullptr) {
  std::vector<char> buf(capacity);
  uint32_t n = capacity;
  int rc = srv_Request(server, line.c_str(), buf.data(), &n);
  if (reply) *reply = std::string(buf.data(), n);
  return rc;
}

}  // namespace

TEST_F(Win9xRequests, LocalRequestsUseTheRequestMailslot) {
  SimRequestServer *s = Serve(MailslotsOnly(3));
  EXPECT_EQ(srv_CountProcessors("localhost"), 3);
  const ServerConnection *e = Entry(".");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->kind, SRV_KIND_PIPE);
  EXPECT_EQ(e->viaMailslot, 1);
  ProcessorRecord r[3];
  EXPECT_EQ(srv_GetProcessors(".", "*,3", r, 3), 3);
  EXPECT_STREQ(r[2].PrintName, "PROCESSOR NUMBER 3");
  EXPECT_EQ(sim_ServedRequests(s), (std::vector<std::string>{"QP,", "IP,*,3"}));
  // The reply slot goes with its exchange.
  char folder[16];
  snprintf(folder, sizeof folder, "%X", os_GetCurrentProcessId());
  std::string slots = tnwtest::Root() + "/kernel/mailslot/" + folder;
  ASSERT_TRUE(std::filesystem::exists(slots));
  EXPECT_TRUE(std::filesystem::is_empty(slots));
}

TEST_F(Win9xRequests, LongRepliesComeInPieces) {
  std::string big = "9," + std::string(20000, 'x');
  SimRequestSpec spec = MailslotsOnly(0);
  spec.answer = [&](const std::string &line, std::string *reply) {
    if (line != "BIG") return false;
    *reply = big;
    return true;
  };
  Serve(spec);
  std::string reply;
  EXPECT_EQ(Ask(".", "BIG", SRV_LIST_REPLY, &reply), 9);
  EXPECT_EQ(reply, big);
  // A reply longer than the buffer fails the exchange; the next one opens it again.
  EXPECT_EQ(Ask(".", "BIG", 10000), -1);
  EXPECT_EQ(errno, OS_ERROR_MORE_DATA);
  EXPECT_EQ(Entry(".")->kind, 0);
  EXPECT_EQ(Ask(".", "QP,", 64), 0);
}

TEST_F(Win9xRequests, OtherHostsStillUseTheirPipes) {
  SimRequestSpec b;
  b.host = "HOSTB";
  b.processors.emplace_back();
  b.processors.back().name = "ONLY";
  Serve(b);
  EXPECT_EQ(srv_CountProcessors("HOSTB"), 1);
  EXPECT_EQ(Entry("HOSTB")->viaMailslot, 0);
}

TEST_F(Win9xRequests, AServerThatIsDownOrSilent) {
  EXPECT_EQ(Ask(".", "QP,", 64), -1);
  EXPECT_EQ(errno, OS_ERROR_FILE_NOT_FOUND) << "no request mailslot";
  SimRequestSpec silent = MailslotsOnly(1);
  silent.dropConnections = true;
  Serve(silent);
  srv_SetReplyWaitForTests(500);
  uint32_t t0 = os_GetTickCount();
  EXPECT_EQ(Ask(".", "QL", 64), -1);
  EXPECT_EQ(errno, OS_ERROR_SEM_TIMEOUT);
  EXPECT_LT(os_GetTickCount() - t0, 5000u);
}
