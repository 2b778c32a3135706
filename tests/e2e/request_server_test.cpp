// The request client against the scadasim program playing the server: killed
// and started again, and on another host.
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <string>
#include <vector>

#include "framework/server/srv_client.h"
#include "framework/server/srv_requests.h"
#include "platform/os_error.h"
#include "platform/os_handle.h"
#include "tests/support/test_root.h"

namespace {

class RequestServerProcess : public ::testing::Test {
 protected:
  void TearDown() override {
    srv_CloseAllConnections();
    for (OsHandle p : procs) {
      os_TerminateProcess(p, 9);
      os_WaitForSingleObject(p, 5000);
      os_CloseHandle(p);
    }
  }
  // Starts "scadasim requests ..." and waits until `server` takes connections.
  OsHandle Start(const std::vector<std::string> &args, const char *server, uint32_t *pid) {
    std::string bin = tnwtest::BinPath("scadasim");
    std::vector<const char *> argv = {bin.c_str(), "requests"};
    for (const std::string &a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    OsHandle p = os_CreateProcessArgv(argv.data(), pid);
    if (!p) return nullptr;
    procs.push_back(p);
    uint32_t t0 = os_GetTickCount();
    while (os_GetTickCount() - t0 < 10000) {
      if (srv_Connect(server)) return p;
      os_Sleep(20);
    }
    return nullptr;
  }
  void Forget(OsHandle p) {
    for (auto it = procs.begin(); it != procs.end(); ++it)
      if (*it == p) {
        procs.erase(it);
        break;
      }
    os_CloseHandle(p);
  }
  std::vector<OsHandle> procs;
};

int Ask(const char *server, const char *line) {
  char reply[SRV_RESULT_REPLY];
  uint32_t n = sizeof reply;
  return srv_Request(server, line, reply, &n);
}

}  // namespace

TEST_F(RequestServerProcess, AKilledServerIsReconnectedWhenItComesBack) {
  uint32_t pid = 0;
  OsHandle first = Start({"--logger", "DATALOG", "--logger", "EVENTLOG"}, ".", &pid);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(Ask(".", "QL"), 2);
  char name[32];
  EXPECT_EQ(srv_GetLoggerName("localhost", 2, name, sizeof name), 1);
  EXPECT_STREQ(name, "EVENTLOG");
  ASSERT_EQ(os_TerminateProcess(first, 9), 0);
  ASSERT_EQ(os_WaitForSingleObject(first, 5000), OS_WAIT_OBJECT_0);
  Forget(first);
  // The connection died with the process; the request on it fails and closes it.
  EXPECT_EQ(Ask(".", "QL"), -1);
  EXPECT_TRUE(errno == OS_ERROR_BROKEN_PIPE || errno == OS_ERROR_NO_DATA) << errno;
  // The server comes back on the name the dead one left behind.
  ASSERT_NE(Start({"--logger", "DATALOG"}, ".", &pid), nullptr);
  EXPECT_EQ(Ask(".", "QL"), 1);
  EXPECT_EQ(Ask(".", "DL,DATALOG,someone"), 0);
  EXPECT_EQ(Ask(".", "DL,NOSUCH,someone"), -1);
  EXPECT_EQ(errno, OS_ERROR_FILE_NOT_FOUND);
}

TEST_F(RequestServerProcess, AServerOnAnotherHostThatIsSlow) {
  uint32_t pid = 0;
  OsHandle p = Start({"--host", "HOSTB", "--delay", "300", "--logger", "L1"}, "HOSTB", &pid);
  ASSERT_NE(p, nullptr);
  uint32_t t0 = os_GetTickCount();
  EXPECT_EQ(Ask("HOSTB", "QL"), 1);
  EXPECT_GE(os_GetTickCount() - t0, 300u);
  EXPECT_EQ(Ask(".", "QL"), -1) << "this computer has no server";
  EXPECT_EQ(errno, OS_ERROR_FILE_NOT_FOUND);
  // Asked to end, it ends cleanly and the host is down.
  ASSERT_EQ(kill(static_cast<pid_t>(pid), SIGTERM), 0);
  ASSERT_EQ(os_WaitForSingleObject(p, 5000), OS_WAIT_OBJECT_0);
  uint32_t code = 99;
  ASSERT_EQ(os_GetExitCodeProcess(p, &code), 0);
  EXPECT_EQ(code, 0u);
  srv_CloseAllConnections();
  EXPECT_EQ(Ask("HOSTB", "QL"), -1);
  EXPECT_EQ(errno, OS_ERROR_FILE_NOT_FOUND);
}
