#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/os_error.h"
#include "platform/os_handle.h"
#include "platform/os_io.h"
#include "platform/os_path.h"
#include "platform/os_pipe.h"

namespace {

OsHandle OpenClient(const char *name) {
  return os_CreateFile(name, OS_GENERIC_READ | OS_GENERIC_WRITE, 0, OS_OPEN_EXISTING, 0);
}

// Answers every request on one connection with "<length>:" + the request, until the client leaves.
void EchoServer(OsHandle conn) {
  char buf[70000];
  for (;;) {
    uint32_t got = 0;
    if (os_ReadFile(conn, buf, sizeof buf, &got) != 0) break;
    std::string reply = std::to_string(got) + ":" + std::string(buf, got);
    uint32_t w = 0;
    if (os_WriteFile(conn, reply.data(), static_cast<uint32_t>(reply.size()), &w) != 0) break;
  }
  os_CloseHandle(conn);
}

}  // namespace

TEST(PipeTest, MessagesKeepTheirBoundaries) {
  OsHandle listener = os_CreatePipeListener("\\\\.\\pipe\\echo");
  ASSERT_NE(listener, nullptr);
  std::thread server([&] {
    OsHandle c = os_AcceptPipeClient(listener, 10000);
    if (c) EchoServer(c);
  });
  OsHandle client = OpenClient("\\\\.\\pipe\\echo");
  ASSERT_NE(client, nullptr);
  uint32_t mode = OS_PIPE_READMODE_MESSAGE;
  EXPECT_EQ(os_SetNamedPipeHandleState(client, &mode), 0);
  char reply[100] = {};
  uint32_t got = 0;
  ASSERT_EQ(os_TransactNamedPipe(client, "QP,", 4, reply, sizeof reply, &got), 0);
  EXPECT_EQ(std::string(reply, got), std::string("4:QP,\0", 6));
  // A large request, then a reply larger than the buffer: 234, and the rest follows.
  std::string big(60000, 'x');
  ASSERT_EQ(os_TransactNamedPipe(client, big.data(), static_cast<uint32_t>(big.size()), reply, 10, &got), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_MORE_DATA);
  EXPECT_EQ(std::string(reply, got), "60000:xxxx");
  std::string rest;
  for (;;) {
    char part[4096];
    int rc = os_ReadFile(client, part, sizeof part, &got);
    rest.append(part, got);
    if (rc == 0) break;
    ASSERT_EQ(os_GetLastError(), OS_ERROR_MORE_DATA);
  }
  EXPECT_EQ(rest.size(), 60006u - 10);
  // An empty message is a message too.
  ASSERT_EQ(os_TransactNamedPipe(client, "", 0, reply, sizeof reply, &got), 0);
  EXPECT_EQ(std::string(reply, got), "0:");
  os_CloseHandle(client);
  server.join();
  os_CloseHandle(listener);
}

TEST(PipeTest, MissingServersAndHosts) {
  EXPECT_EQ(OpenClient("\\\\.\\pipe\\nobody"), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OpenClient("\\\\FARAWAY\\pipe\\tessarine"), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_BAD_NETPATH);
  // A second host is a folder under hosts/ with its own pipes.
  std::filesystem::create_directories(std::string(os_Root()) + "/hosts/PLANT2");
  EXPECT_EQ(OpenClient("\\\\PLANT2\\pipe\\tessarine"), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILE_NOT_FOUND);
  OsHandle remote = os_CreatePipeListener("\\\\PLANT2\\pipe\\tessarine");
  ASSERT_NE(remote, nullptr);
  OsHandle c = OpenClient("\\\\plant2\\pipe\\tessarine");
  EXPECT_NE(c, nullptr);
  if (c) os_CloseHandle(c);
  os_CloseHandle(remote);
}

TEST(PipeTest, ListenerNamesAreExclusiveAndStaleOnesTakenOver) {
  OsHandle a = os_CreatePipeListener("\\\\.\\pipe\\one");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(os_CreatePipeListener("\\\\.\\pipe\\one"), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_ALREADY_EXISTS);
  EXPECT_EQ(os_AcceptPipeClient(a, 50), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_WAIT_TIMEOUT);
  os_CloseHandle(a);
  // A listener whose process died leaves its socket file: the next one takes it.
  pid_t child = fork();
  if (child == 0) {
    _exit(os_CreatePipeListener("\\\\.\\pipe\\two") ? 0 : 1);
  }
  int st = 0;
  waitpid(child, &st, 0);
  ASSERT_EQ(st, 0);
  OsHandle b = os_CreatePipeListener("\\\\.\\pipe\\two");
  EXPECT_NE(b, nullptr);
  if (b) os_CloseHandle(b);
}

TEST(PipeTest, AServerThatLeavesBreaksThePipe) {
  OsHandle listener = os_CreatePipeListener("\\\\.\\pipe\\leaver");
  ASSERT_NE(listener, nullptr);
  std::thread server([&] {
    OsHandle c = os_AcceptPipeClient(listener, 10000);
    char buf[64];
    uint32_t got;
    if (c) {
      os_ReadFile(c, buf, sizeof buf, &got);
      os_CloseHandle(c);  // reads the request, answers nothing
    }
  });
  OsHandle client = OpenClient("\\\\.\\pipe\\leaver");
  ASSERT_NE(client, nullptr);
  char reply[16];
  uint32_t got = 0;
  EXPECT_EQ(os_TransactNamedPipe(client, "QL", 3, reply, sizeof reply, &got), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_BROKEN_PIPE);
  server.join();
  // Writing to a closed peer fails without SIGPIPE.
  uint32_t w = 0;
  int rc = 0;
  for (int i = 0; i < 3 && rc == 0; ++i) rc = os_WriteFile(client, "QL", 3, &w);
  EXPECT_EQ(rc, -1);
  os_CloseHandle(client);
  os_CloseHandle(listener);
}
