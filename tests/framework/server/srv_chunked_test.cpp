// Chunked transfers over mailslots: the writer, the reader and their
// acknowledgements, against each other and against hand-made peers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "framework/notify/ntf_notify.h"
#include "framework/server/srv_chunked.h"
#include "platform/os_error.h"
#include "platform/os_io.h"
#include "platform/os_mailslot.h"

namespace {

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
  return s;
}

OsHandle Writer(const char *name) {
  return os_CreateFile(ntf_MailslotPath(name), OS_GENERIC_WRITE, OS_FILE_SHARE_READ | OS_FILE_SHARE_WRITE,
                       OS_OPEN_EXISTING, 0);
}

class Chunked : public ::testing::Test {
 protected:
  void SetUp() override {
    // The server's end: its acknowledgement slot; the client's reply slot.
    ack = os_CreateMailslot(ntf_MailslotPath(SRV_ACK_SLOT), 0, 3000, nullptr);
    ASSERT_NE(ack, nullptr);
    reply = os_CreateMailslot(ntf_MailslotPath("1A\\2B"), 65536, OS_MAILSLOT_WAIT_FOREVER, nullptr);
    ASSERT_NE(reply, nullptr);
  }
  void TearDown() override {
    if (ack) os_CloseHandle(ack);
    if (reply) os_CloseHandle(reply);
    srv_SetReplyWaitForTests(0);
  }
  // Reads one message of the reply slot as a client would, acknowledging it.
  std::string ReadAndAcknowledge(OsHandle ackWriter) {
    std::vector<char> buf(65536);
    uint32_t got = 0;
    if (os_ReadFile(reply, buf.data(), static_cast<uint32_t>(buf.size()), &got) != 0) return "<read failed>";
    uint32_t written = 0;
    os_WriteFile(ackWriter, " ", 1, &written);
    return std::string(buf.data(), got);
  }
  // Sends raw messages as a server would, waiting for each acknowledgement.
  void SendRaw(const std::vector<std::string> &messages) {
    OsHandle w = Writer("1A\\2B");
    ASSERT_NE(w, nullptr);
    for (const std::string &m : messages) {
      uint32_t written = 0;
      ASSERT_EQ(os_WriteFile(w, m.data(), static_cast<uint32_t>(m.size()), &written), 0);
      char b[8];
      uint32_t got = 0;
      ASSERT_EQ(os_ReadFile(ack, b, sizeof b, &got), 0);
    }
    os_CloseHandle(w);
  }
  static std::string WithTotal(uint32_t total, const std::string &data) {
    std::string m(4, '\0');
    memcpy(m.data(), &total, 4);
    return m + data;
  }
  OsHandle ack = nullptr, reply = nullptr;
};

}  // namespace

TEST_F(Chunked, TheWriterSplitsAtTheMessageLimits) {
  struct Case {
    size_t size;
    std::vector<size_t> messages;
  } cases[] = {
      {0, {4}},
      {1, {5}},
      {4089, {4093}},
      {4090, {4093, 1}},
      {4089 + 4093 + 1, {4093, 4093, 1}},
  };
  OsHandle ackWriter = Writer(SRV_ACK_SLOT);
  ASSERT_NE(ackWriter, nullptr);
  for (const Case &c : cases) {
    std::string data = Pattern(c.size);
    int rc = -1;
    uint32_t written = 12345;
    std::thread server([&] { rc = srv_WriteChunked(Writer("1A\\2B"), ack, data.data(), static_cast<uint32_t>(c.size), &written); });
    std::vector<size_t> sizes;
    std::string joined;
    for (size_t i = 0; i < c.messages.size(); ++i) {
      std::string m = ReadAndAcknowledge(ackWriter);
      sizes.push_back(m.size());
      joined += m;
    }
    server.join();
    EXPECT_EQ(rc, 1) << c.size;
    EXPECT_EQ(written, c.size);
    EXPECT_EQ(sizes, c.messages) << c.size;
    uint32_t total = 0;
    ASSERT_GE(joined.size(), 4u);
    memcpy(&total, joined.data(), 4);
    EXPECT_EQ(total, c.size);
    EXPECT_EQ(joined.substr(4), data);
    uint32_t next = 0;
    ASSERT_EQ(os_GetMailslotInfo(reply, &next, nullptr), 0);
    EXPECT_EQ(next, OS_MAILSLOT_NO_MESSAGE) << "nothing after the last piece";
  }
  os_CloseHandle(ackWriter);
}

TEST_F(Chunked, TheReaderTakesWhatTheWriterSends) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{4089}, size_t{4090}, size_t{8183}, size_t{20000}}) {
    std::string data = Pattern(size);
    int wrote = -1;
    std::thread server([&] {
      uint32_t written = 0;
      wrote = srv_WriteChunked(Writer("1A\\2B"), ack, data.data(), static_cast<uint32_t>(size), &written);
    });
    std::vector<char> buf(size + 1);
    uint32_t length = 99;
    // The reader closes its slot; each round gets a new one, as each exchange does.
    EXPECT_EQ(srv_ReadMailslotReply(reply, buf.data(), static_cast<uint32_t>(size + 1), &length), 1) << size;
    reply = nullptr;
    server.join();
    EXPECT_EQ(wrote, 1);
    EXPECT_EQ(length, size);
    EXPECT_EQ(std::string(buf.data(), length), data);
    reply = os_CreateMailslot(ntf_MailslotPath("1A\\2B"), 65536, OS_MAILSLOT_WAIT_FOREVER, nullptr);
    ASSERT_NE(reply, nullptr);
  }
}

TEST_F(Chunked, TheReaderIsBoundedByItsCapacity) {
  std::thread server([&] { SendRaw({WithTotal(5000, Pattern(4089))}); });
  std::vector<char> buf(4096);
  uint32_t length = 7;
  EXPECT_EQ(srv_ReadMailslotReply(reply, buf.data(), static_cast<uint32_t>(buf.size()), &length), 0);
  reply = nullptr;
  EXPECT_EQ(os_GetLastError(), OS_ERROR_MORE_DATA);
  EXPECT_EQ(length, 0u);
  server.join();
}

TEST_F(Chunked, BytesBeyondTheTotalAreIgnored) {
  std::thread server([&] { SendRaw({WithTotal(3, "abcdefghij")}); });
  char buf[16] = {};
  uint32_t length = 0;
  EXPECT_EQ(srv_ReadMailslotReply(reply, buf, 3, &length), 1);
  reply = nullptr;
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(std::string(buf, 3), "abc");
  server.join();
}

TEST_F(Chunked, AFirstMessageWithoutLengthFails) {
  std::thread server([&] { SendRaw({"ab"}); });
  char buf[16];
  uint32_t length = 0;
  EXPECT_EQ(srv_ReadMailslotReply(reply, buf, sizeof buf, &length), 0);
  reply = nullptr;
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_DATA);
  server.join();
}

TEST_F(Chunked, ALyingTotalGivesUpWhenTheServerGoes) {
  // The server promises 10000 bytes, sends 100 and ends.
  std::thread server([&] {
    SendRaw({WithTotal(10000, Pattern(100))});
    os_CloseHandle(ack);
    ack = nullptr;
  });
  std::vector<char> buf(20000);
  uint32_t length = 0;
  uint32_t t0 = os_GetTickCount();
  EXPECT_EQ(srv_ReadMailslotReply(reply, buf.data(), static_cast<uint32_t>(buf.size()), &length), 0);
  reply = nullptr;
  EXPECT_EQ(os_GetLastError(), OS_ERROR_BROKEN_PIPE);
  EXPECT_LT(os_GetTickCount() - t0, 5000u) << "well before the silence limit";
  server.join();
}

TEST_F(Chunked, ALyingTotalGivesUpAfterTheSilenceLimit) {
  srv_SetReplyWaitForTests(300);
  std::thread server([&] { SendRaw({WithTotal(10000, Pattern(100))}); });
  std::vector<char> buf(20000);
  uint32_t length = 0;
  uint32_t t0 = os_GetTickCount();
  EXPECT_EQ(srv_ReadMailslotReply(reply, buf.data(), static_cast<uint32_t>(buf.size()), &length), 0);
  reply = nullptr;
  uint32_t spent = os_GetTickCount() - t0;
  EXPECT_EQ(os_GetLastError(), OS_ERROR_SEM_TIMEOUT);
  EXPECT_GE(spent, 300u);
  EXPECT_LT(spent, 5000u);
  server.join();
}

TEST_F(Chunked, NoAcknowledgementSlotOrNoAcknowledgement) {
  os_CloseHandle(ack);
  ack = nullptr;
  char buf[16];
  uint32_t length = 0;
  EXPECT_EQ(srv_ReadMailslotReply(reply, buf, sizeof buf, &length), 0) << "nowhere to acknowledge";
  reply = nullptr;
  EXPECT_EQ(os_GetLastError(), OS_ERROR_FILE_NOT_FOUND);

  // A writer whose reader never acknowledges gives up after its slot's read time-out.
  OsHandle quiet = os_CreateMailslot(ntf_MailslotPath("quietack"), 0, 200, nullptr);
  OsHandle sink = os_CreateMailslot(ntf_MailslotPath("sink"), 0, 0, nullptr);
  ASSERT_NE(quiet, nullptr);
  ASSERT_NE(sink, nullptr);
  uint32_t written = 5;
  EXPECT_EQ(srv_WriteChunked(Writer("sink"), quiet, "hello", 5, &written), 0);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_SEM_TIMEOUT);
  os_CloseHandle(quiet);
  os_CloseHandle(sink);
}
