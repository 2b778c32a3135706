// The connection table holds 100 servers: the 101st gets no entry, the ones
// it has keep theirs.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "framework/server/srv_client.h"
#include "platform/os_error.h"

namespace {

int Ask(const std::string &server) {
  char reply[64];
  uint32_t n = sizeof reply;
  return srv_Request(server.c_str(), "QP,", reply, &n);
}

}  // namespace

TEST(ConnectionTable, TheHundredAndFirstServerGetsNoEntry) {
  // Hosts without a folder cannot be reached, yet each takes an entry.
  for (int i = 1; i <= SRV_TABLE_SIZE; ++i) {
    EXPECT_EQ(Ask("H" + std::to_string(i)), -1);
    ASSERT_EQ(errno, OS_ERROR_BAD_NETPATH) << i;
  }
  EXPECT_EQ(Ask("H101"), -1);
  EXPECT_EQ(errno, OS_ERROR_TOO_MANY_OPEN_FILES);
  EXPECT_EQ(srv_Connect("H102"), 0);
  EXPECT_EQ(Ask("h57"), -1) << "a known server keeps its entry";
  EXPECT_EQ(errno, OS_ERROR_BAD_NETPATH);
  int count = 0;
  ServerConnection *t = srv_ConnectionTable(&count);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(count, SRV_TABLE_SIZE);
  EXPECT_STREQ(t[0].server, "H1");
  EXPECT_STREQ(t[99].server, "H100");
  // A local request finds no room either: every entry is taken.
  EXPECT_EQ(Ask("localhost"), -1);
  EXPECT_EQ(errno, OS_ERROR_TOO_MANY_OPEN_FILES);
}
