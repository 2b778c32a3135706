// The connection table holds 100 servers. A server that cannot be reached
// gives its entry back, so unreachable names never fill the table; the 101st
// live server gets no entry and the ones the table has keep theirs.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "framework/server/srv_client.h"
#include "platform/os_error.h"

namespace {

int Ask(const std::string &server) {
  char reply[64];
  uint32_t n = sizeof reply;
  return srv_Request(server.c_str(), "QP,", reply, &n);
}

// A kind-2 transport that opens every server and answers "0".
int Open(ServerConnection *e) {
  e->handle = e;
  return 1;
}
int Exchange(ServerConnection *, const void *, uint32_t, void *reply, uint32_t *n) {
  if (*n < 2) return os_Fail(OS_ERROR_MORE_DATA), 0;
  memcpy(reply, "0", 2);
  *n = 2;
  return 1;
}
void Close(ServerConnection *e) { e->handle = nullptr; }
const SrvTransport kAlwaysOpen = {Open, Exchange, Close, 0};

int NamedEntries() {
  int count = 0;
  ServerConnection *t = srv_ConnectionTable(&count);
  int named = 0;
  for (int i = 0; i < count; ++i) named += t[i].server[0] != '\0';
  return named;
}

}  // namespace

TEST(ConnectionTable, UnreachableServersLeaveNoEntryAndTheHundredAndFirstLiveOneIsRefused) {
  // Hosts without a folder cannot be reached.
  for (int i = 1; i <= SRV_TABLE_SIZE + 50; ++i) {
    EXPECT_EQ(Ask("H" + std::to_string(i)), -1);
    ASSERT_EQ(errno, OS_ERROR_BAD_NETPATH) << i;
  }
  EXPECT_EQ(NamedEntries(), 0);

  srv_SetTransport(SRV_KIND_SOCKET, &kAlwaysOpen);
  for (int i = 1; i <= SRV_TABLE_SIZE; ++i) ASSERT_EQ(Ask("tnw://live" + std::to_string(i)), 0) << i;
  EXPECT_EQ(NamedEntries(), SRV_TABLE_SIZE);
  EXPECT_EQ(Ask("tnw://live101"), -1);
  EXPECT_EQ(errno, OS_ERROR_TOO_MANY_OPEN_FILES);
  EXPECT_EQ(srv_Connect("tnw://live102"), 0);
  EXPECT_EQ(Ask("TNW://LIVE57"), 0) << "a known server keeps its entry";
  int count = 0;
  ServerConnection *t = srv_ConnectionTable(&count);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(count, SRV_TABLE_SIZE);
  EXPECT_STREQ(t[0].server, "tnw://live1");
  EXPECT_STREQ(t[99].server, "tnw://live100");
  // A local request finds no room either: every entry is taken.
  EXPECT_EQ(Ask("localhost"), -1);
  EXPECT_EQ(errno, OS_ERROR_TOO_MANY_OPEN_FILES);

  // Closed entries that nobody uses make room for new servers.
  srv_CloseAllConnections();
  EXPECT_EQ(Ask("tnw://live101"), 0);
  EXPECT_EQ(Ask("tnw://live3"), 0) << "a closed server opens again";
  srv_SetTransport(SRV_KIND_SOCKET, nullptr);
  EXPECT_EQ(Ask("tnw://live3"), -1) << "a kind whose transport has gone";
  EXPECT_EQ(errno, OS_ERROR_NOT_SUPPORTED);
}
