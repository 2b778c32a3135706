// The serial line and the pump framing against pumpsim through a real
// pseudo-terminal.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <atomic>
#include <filesystem>
#include <future>
#include <thread>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "framework/registry/reg_settings.h"
#include "framework/status/sts_stats.h"
#include "framework/trace/dbg_trace.h"
#include "platform/os_debug.h"
#include "platform/os_error.h"
#include "platform/os_handle.h"
#include "platform/os_registry.h"
#include "platform/os_serial.h"
#include "scanner/com_port.h"
#include "tests/scanner/comm_stats_world.h"
#include "tests/support/test_root.h"
#include "tools/pumpsim/psim.h"

namespace {

void PutConfig(DeviceRecord *r, const char *port, uint32_t baud, uint32_t parity, uint32_t bits) {
  memset(r->Config + 4, 0, 20);
  memcpy(r->Config + 4, &baud, 4);
  memcpy(r->Config + 8, port, strlen(port));
  memcpy(r->Config + 16, &parity, 4);
  memcpy(r->Config + 20, &bits, 4);
}

uint32_t ConfigWord(const DeviceRecord *r, int offset) {
  uint32_t v;
  memcpy(&v, r->Config + offset, 4);
  return v;
}

class ComPortTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(stats.ok) << stats.why; }
  void Start(PsimConfig c = PsimConfig{}) {
    c.port = "COM3";
    std::string why;
    sim = psim_Start(c, &why);
    ASSERT_NE(sim, nullptr) << why;
    record.Instance = 3;
  }
  void TearDown() override {
    com_ClosePort();
    psim_Stop(sim);
  }
  struct termios Line() {
    struct termios t = {};
    int fd = open(psim_DevicePath(sim).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(tcgetattr(fd, &t), 0);
    close(fd);
    return t;
  }
  // One exchange; the reply in *reply.
  int Exchange(int pump, const std::string &command, std::string *reply, int limit = PUMP_SINGLE_REPLY_LIMIT) {
    char buf[256];
    pump_SendCommand(pump, command.c_str());
    int rc = pump_ReadReply(pump, buf, static_cast<char>(PUMP_CR), limit);
    if (reply) *reply = buf;
    return rc;
  }
  CommStatsWorld stats;
  PumpSim *sim = nullptr;
  DeviceRecord record = {};
};

}  // namespace

TEST_F(ComPortTest, EmptyPortNameOpensTheInstancePortAndIsWrittenBack) {
  Start();
  PutConfig(&record, "", 38400, 2, 7);  // an empty name brings its own settings
  ASSERT_EQ(com_OpenPort(&record), 0) << errno;
  EXPECT_EQ(std::string(reinterpret_cast<char *>(record.Config + 8)), "COM3:");
  EXPECT_EQ(ConfigWord(&record, 4), 9600u);
  EXPECT_EQ(ConfigWord(&record, 16), 0u);
  EXPECT_EQ(ConfigWord(&record, 20), 8u);
  struct termios t = Line();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB), static_cast<tcflag_t>(CS8));
  OsDcb dcb;
  ASSERT_EQ(os_GetCommState(com_PortHandle(), &dcb), 0);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, 0);
  std::string reply;
  EXPECT_EQ(Exchange(1, "RP1STATUS", &reply), 0);
  EXPECT_EQ(reply, "000,1\r");
  EXPECT_EQ(psim_Commands(sim), std::vector<std::string>{"RP1STATUS"});
}

TEST_F(ComPortTest, SettingsOfTheConfigurationReachTheLine) {
  Start();
  struct Case {
    uint32_t baud, parity, bits;
    speed_t speed;
    tcflag_t kept;  // parity bits a pseudo-terminal keeps (it drops PARENB and the size)
  } cases[] = {
      {300, 0, 8, B300, 0},          {1200, 1, 7, B1200, PARODD},          {9600, 2, 8, B9600, 0},
      {19200, 3, 6, B19200, PARODD | CMSPAR}, {38400, 4, 5, B38400, CMSPAR},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.baud);
    PutConfig(&record, "COM3:", c.baud, c.parity, c.bits);
    ASSERT_EQ(com_OpenPort(&record), 0) << errno;
    struct termios t = Line();
    EXPECT_EQ(cfgetospeed(&t), c.speed);
    EXPECT_EQ(cfgetispeed(&t), c.speed);
    EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), c.kept);
    EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    // The mapping of size and parity, as a real line takes it.
    OsDcb dcb;
    ASSERT_EQ(os_GetCommState(com_PortHandle(), &dcb), 0);
    EXPECT_EQ(dcb.BaudRate, c.baud);
    EXPECT_EQ(dcb.ByteSize, c.bits);
    EXPECT_EQ(dcb.Parity, c.parity);
    EXPECT_EQ(dcb.StopBits, OS_ONESTOPBIT);
    EXPECT_EQ(dcb.flags & 0x7FFFu, 0x1091u);
    EXPECT_EQ(dcb.ErrorChar, '?');
    EXPECT_EQ(dcb.EofChar, '?');
    EXPECT_EQ(dcb.EvtChar, 0x13);
    struct termios mapped = t;
    ASSERT_EQ(os_TermiosFromDcb(&dcb, &mapped), 0);
    static const tcflag_t kSize[4] = {CS5, CS6, CS7, CS8};
    EXPECT_EQ(mapped.c_cflag & CSIZE, kSize[c.bits - 5]);
    EXPECT_EQ((mapped.c_cflag & PARENB) != 0, c.parity != 0);
    std::string reply;
    EXPECT_EQ(Exchange(2, "RP2STATUS", &reply), 0);
  }
}

TEST_F(ComPortTest, PortsThatCannotBeOpened) {
  Start();
  record.Instance = 100;  // "COM100:" does not fit the field
  ASSERT_EQ(com_OpenPort(&record), -1);
  EXPECT_EQ(errno, static_cast<int>(OS_ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(record.Config[8], 0);  // nothing written back
  EXPECT_EQ(ConfigWord(&record, 4), 0u);
  EXPECT_EQ(com_PortHandle(), nullptr);

  PutConfig(&record, "COM9:", 9600, 0, 8);
  EXPECT_EQ(com_OpenPort(&record), -1);
  EXPECT_EQ(errno, static_cast<int>(OS_ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(com_PortHandle(), nullptr);

  PutConfig(&record, "COM3:", 14400, 0, 8);  // a rate no line runs
  EXPECT_EQ(com_OpenPort(&record), -1);
  EXPECT_EQ(errno, static_cast<int>(OS_ERROR_INVALID_PARAMETER));
  EXPECT_EQ(com_PortHandle(), nullptr);

  PutConfig(&record, "COM3:", 9600, 0, 8);
  ASSERT_EQ(com_OpenPort(&record), 0);
  // Opening again closes the first handle: the port is not held twice.
  ASSERT_EQ(com_OpenPort(&record), 0);
  EXPECT_EQ(com_ClosePort(), 0);
  EXPECT_EQ(com_ClosePort(), 0);
  // Without a port nothing is sent and a read fails at once.
  std::string reply;
  uint32_t t0 = os_GetTickCount();
  EXPECT_EQ(Exchange(1, "RP1STATUS", &reply), -1);
  EXPECT_LT(os_GetTickCount() - t0, 500u);
  EXPECT_TRUE(psim_Commands(sim).empty());
}

TEST_F(ComPortTest, TwentyBytesWithoutCarriageReturnAreACrcError) {
  PsimConfig c;
  c.faults.push_back(PsimFault{1, "CYL1_POS", PSIM_FAULT_OVERLONG, 0, 100});
  Start(c);
  PutConfig(&record, "COM3:", 9600, 0, 8);
  ASSERT_EQ(com_OpenPort(&record), 0);
  uint32_t crc = sts_GetCommCounter(0, STS_SLOT_RX_CRC_ERRORS), bytes = sts_GetCommCounter(0, STS_SLOT_RX_BYTES);
  std::string reply;
  EXPECT_EQ(Exchange(1, "RP1CYL1_POS", &reply), -1);
  EXPECT_EQ(reply.size(), 20u);
  EXPECT_EQ(sts_GetCommCounter(0, STS_SLOT_RX_CRC_ERRORS), crc + 1);
  // The rest of the over-long reply was flushed and counted as received.
  EXPECT_EQ(sts_GetCommCounter(0, STS_SLOT_RX_BYTES), bytes + 30);
  EXPECT_EQ(Exchange(1, "RP1CYL2_POS", &reply), 0);
  EXPECT_EQ(reply.substr(0, 4), "000,");
  // The same for a bulk reply at its own limit.
  psim_SetFaults(sim, {PsimFault{0, "PRV_ALL", PSIM_FAULT_OVERLONG, 0, 100}});
  EXPECT_EQ(Exchange(1, "RP1PRV_ALL", &reply, PUMP_PRV_ALL_REPLY_LIMIT), -1);
  EXPECT_EQ(reply.size(), 140u);
  EXPECT_EQ(sts_GetCommCounter(0, STS_SLOT_RX_CRC_ERRORS), crc + 2);
}

TEST_F(ComPortTest, AReplyWithoutAThreeDigitStatusIsLineNoise) {
  PsimConfig c;
  c.seed = 11;
  c.faults.push_back(PsimFault{1, "CYL1_POS", PSIM_FAULT_GARBAGE, 0, 100});
  c.keepExchanges = true;
  Start(c);
  PutConfig(&record, "COM3:", 9600, 0, 8);
  ASSERT_EQ(com_OpenPort(&record), 0);
  uint32_t errors = sts_GetCommCounter(0, STS_SLOT_RX_COMM_ERRORS), packets = sts_GetCommCounter(0, STS_SLOT_RX_PACKETS);
  for (int i = 0; i < 20; ++i) {
    std::string reply;
    EXPECT_EQ(Exchange(1, "RP1CYL1_POS", &reply), -1) << i;
    std::vector<PsimExchange> sent = psim_TakeExchanges(sim);
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(sent[0].reply.back(), '\r');
    EXPECT_FALSE(isdigit(static_cast<unsigned char>(sent[0].reply[0])) &&
                 isdigit(static_cast<unsigned char>(sent[0].reply[1])) &&
                 isdigit(static_cast<unsigned char>(sent[0].reply[2])))
        << "this seed's noise never looks like a status";
  }
  EXPECT_EQ(sts_GetCommCounter(0, STS_SLOT_RX_COMM_ERRORS), errors + 20);
  EXPECT_EQ(sts_GetCommCounter(0, STS_SLOT_RX_PACKETS), packets);
  std::string reply;
  EXPECT_EQ(Exchange(1, "RP1CYL2_POS", &reply), 0);
  EXPECT_EQ(reply.substr(0, 4), "000,");
}

TEST_F(ComPortTest, StatusAndFieldsOfReplies) {
  PsimConfig c;
  c.faults.push_back(PsimFault{2, "", PSIM_FAULT_ERROR, 12, 100});
  Start(c);
  PutConfig(&record, "COM3:", 9600, 0, 8);
  ASSERT_EQ(com_OpenPort(&record), 0);
  std::string reply;
  ASSERT_EQ(Exchange(2, "RP2STATUS", &reply), 0);
  EXPECT_EQ(reply, "012\r");
  EXPECT_EQ(pump_ReplyStatus(reply.c_str()), 12);

  ASSERT_EQ(Exchange(1, "RP1PRV_ALL", &reply, PUMP_PRV_ALL_REPLY_LIMIT), 0);
  EXPECT_EQ(pump_ReplyStatus(reply.c_str()), 0);
  int fields = 0;
  for (char ch : reply) fields += ch == ',';
  EXPECT_EQ(fields, 9);
  float cumVolume = pump_FieldToFloat(reply.c_str(), 8, 4);
  EXPECT_GE(cumVolume, 0.0f);
  EXPECT_EQ(pump_FieldToFloat(reply.c_str(), 9, 4), 0.0f);
  ASSERT_EQ(Exchange(1, "RP1SETPOINT_ALL", &reply, PUMP_SETPOINT_ALL_REPLY_LIMIT), 0);
  EXPECT_EQ(pump_FieldToFloat(reply.c_str(), 0, 4), 6.0f);    // CYL1 SET RATE of unit 1
  EXPECT_EQ(pump_FieldToFloat(reply.c_str(), 7, 4), 1.0f);    // CYL2 MODE
  EXPECT_EQ(pump_FieldToFloat(reply.c_str(), 8, 4), 0.0f);
  ASSERT_EQ(Exchange(1, "RP1CONTR_VER", &reply), 0);
  EXPECT_FLOAT_EQ(pump_FieldToFloat(reply.c_str(), 0, 3), 4.12f);  // one comma skipped at character 3
  ASSERT_EQ(Exchange(1, "RP1STATUS", &reply), 0);
  EXPECT_EQ(pump_FieldToInt(reply.c_str() + 3, 0), 1);
}

TEST(PumpReplyTest, FieldRules) {
  const char *r = "000,1.5,2.5,3.5";
  EXPECT_EQ(pump_FieldToFloat(r, 2, 4), 3.5f);
  EXPECT_EQ(pump_FieldToFloat(r, 0, 4), 1.5f);
  EXPECT_EQ(pump_FieldToFloat(r, 3, 4), 0.0f);   // more fields than the reply has
  EXPECT_EQ(pump_FieldToFloat(r, 40, 4), 0.0f);
  EXPECT_EQ(pump_FieldToFloat(r, 0, 3), 1.5f);   // standing on a comma: it is skipped
  EXPECT_EQ(pump_FieldToFloat(r, 0, 100), 0.0f);  // a start beyond the reply reads nothing
  EXPECT_EQ(pump_FieldToFloat("000,-2.25e1\r", 0, 3), -22.5f);
  // A field of 20 or more characters is cut to 19.
  EXPECT_EQ(pump_FieldToFloat("000,12345678901234567890123,5", 0, 4), 1234567890123456789.0f);
  EXPECT_EQ(pump_FieldToFloat("000,12345678901234567890123,5", 1, 4), 5.0f);
  EXPECT_EQ(pump_FieldToInt("000,5\r", 1), 5);
  EXPECT_EQ(pump_FieldToInt(",0\r", 0), 0);
  EXPECT_EQ(pump_FieldToInt(",7\r", 0), 7);
  EXPECT_EQ(pump_FieldToInt("000", 2), 0);
  EXPECT_EQ(pump_ReplyStatus("012,1"), 12);
  EXPECT_EQ(pump_ReplyStatus("000,1"), 0);
  EXPECT_EQ(pump_ReplyStatus("7\r"), 7);
  EXPECT_EQ(pump_ReplyStatus("#?x"), 0);
  EXPECT_EQ(pump_ReplyStatus(""), 0);
  EXPECT_EQ(pump_ReplyStatus("1234"), 123);  // three characters only
}

TEST_F(ComPortTest, SilentUnitTimesOutAfterAbout800ms) {
  PsimConfig c;
  c.units = 0x01;  // unit 1 only
  Start(c);
  PutConfig(&record, "COM3:", 9600, 0, 8);
  ASSERT_EQ(com_OpenPort(&record), 0);
  uint32_t timeouts = sts_GetCommCounter(0, STS_SLOT_RX_TIMEOUTS);
  uint32_t t0 = os_GetTickCount();
  std::string reply;
  EXPECT_EQ(Exchange(2, "RP2STATUS", &reply), -2);
  uint32_t spent = os_GetTickCount() - t0;
  EXPECT_GE(spent, 800u);
  EXPECT_LT(spent, 3000u);
  EXPECT_EQ(reply, "");
  EXPECT_EQ(sts_GetCommCounter(0, STS_SLOT_RX_TIMEOUTS), timeouts + 1);
  // The line stays usable for the units that answer.
  EXPECT_EQ(Exchange(1, "RP1STATUS", &reply), 0);
}

TEST_F(ComPortTest, TrafficIsCountedAndTraced) {
  Start();
  std::string key = std::string("SOFTWARE\\Quenford\\") + prod_GetProductName();
  OsHKey k = nullptr;
  ASSERT_EQ(os_RegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, key.c_str(), 0, OS_KEY_ALL_ACCESS, nullptr, &k, nullptr), 0);
  ASSERT_EQ(os_RegSetValueEx(k, "LINE_Debug", OS_REG_SZ, "ON", 3), 0);
  os_RegCloseKey(k);
  dbg_Open("LINE");
  unlink(os_DebugOutputPath().c_str());
  PutConfig(&record, "COM3:", 9600, 0, 8);
  ASSERT_EQ(com_OpenPort(&record), 0);
  uint32_t txBytes = sts_GetCommCounter(4, STS_SLOT_TX_BYTES), txPackets = sts_GetCommCounter(4, STS_SLOT_TX_PACKETS);
  uint32_t txTotal = sts_GetCommCounter(0, STS_SLOT_TX_BYTES);
  uint32_t rxBytes = sts_GetCommCounter(0, STS_SLOT_RX_BYTES), rxPackets = sts_GetCommCounter(0, STS_SLOT_RX_PACKETS);
  std::string reply;
  ASSERT_EQ(Exchange(4, "RP4STATUS", &reply), 0);
  EXPECT_EQ(sts_GetCommCounter(4, STS_SLOT_TX_BYTES), txBytes + 10);  // the carriage return counts
  EXPECT_EQ(sts_GetCommCounter(4, STS_SLOT_TX_PACKETS), txPackets + 1);
  EXPECT_EQ(sts_GetCommCounter(0, STS_SLOT_TX_BYTES), txTotal + 10);  // and in the line's row
  EXPECT_EQ(sts_GetCommCounter(0, STS_SLOT_RX_BYTES), rxBytes + 6);   // receive counts go to row 0
  EXPECT_EQ(sts_GetCommCounter(0, STS_SLOT_RX_PACKETS), rxPackets + 1);
  dbg_Close();
  std::string pid = "[" + std::to_string(getpid()) + "] ";
  EXPECT_EQ(tnwtest::ReadFile(os_DebugOutputPath()),
            pid + "LINE : Tx to Pump 4 : RP4STATUS\r\n" + pid + "LINE : Rx from Pump 4 : 000,1\r\r\n");
}

namespace {

// A line played by the test itself on a pseudo-terminal linked as COM5.
class FloodedLine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(stats.ok) << stats.why;
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    char name[128];
    ASSERT_EQ(ptsname_r(master, name, sizeof name), 0);
    ASSERT_EQ(fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK), 0);
    std::string dev = std::string(getenv("PLATFORM_ROOT")) + "/dev";
    std::filesystem::create_directories(dev);
    std::error_code ec;
    std::filesystem::remove(dev + "/COM5", ec);
    std::filesystem::create_symlink(name, dev + "/COM5");
    PutConfig(&record, "COM5:", 9600, 0, 8);
    record.Instance = 5;
    ASSERT_EQ(com_OpenPort(&record), 0) << errno;
  }
  void TearDown() override {
    StopFlood();
    com_ClosePort();
    if (master >= 0) close(master);
  }
  // Printable bytes without end, until StopFlood.
  void StartFlood() {
    flooding = true;
    flood = std::thread([this] {
      KeepPace();
      std::string bytes(4096, 'A');
      while (flooding.load()) WriteSome(bytes.data(), bytes.size());
    });
  }
  void StopFlood() {
    flooding = false;
    if (flood.joinable()) flood.join();
    tcflush(master, TCOFLUSH);
    com_FlushInput();
  }
  // The master does not block: a full line is waited on briefly, so a writer
  // always sees the flag that stops it. The wait ends as soon as there is
  // room, so the writer keeps pace with the reader on a loaded machine.
  size_t WriteSome(const char *p, size_t n) {
    ssize_t w = write(master, p, n);
    if (w > 0) return static_cast<size_t>(w);
    pollfd room = {master, POLLOUT, 0};
    poll(&room, 1, 5);
    return 0;
  }
  // A unit never pauses inside a reply; a writer thread on a busy machine
  // would, and a pause of one poll reads as the reply's end. Where the
  // process may, the writer runs ahead of ordinary threads.
  static void KeepPace() {
    sched_param p = {};
    p.sched_priority = 1;
    (void)pthread_setschedparam(pthread_self(), SCHED_FIFO, &p);
  }
  struct Sender {
    std::thread thread;
    std::future<void> sent;
  };
  // Writes all of `bytes` from a thread, as a unit would while it is read.
  Sender Send(std::string bytes) {
    std::promise<void> sent;
    Sender s;
    s.sent = sent.get_future();
    s.thread = std::thread([this, bytes, sent = std::move(sent)]() mutable {
      KeepPace();
      for (size_t done = 0; done < bytes.size() && !abandon.load();)
        done += WriteSome(bytes.data() + done, bytes.size() - done);
      sent.set_value();
    });
    return s;
  }
  // True when every byte was taken off the line; a sender left with bytes
  // nobody reads is stopped, so the test fails instead of hanging.
  bool Finish(Sender &s) {
    bool whole = s.sent.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    abandon = true;
    s.thread.join();
    abandon = false;
    return whole;
  }
  int Read(std::string *reply, int limit = PUMP_SINGLE_REPLY_LIMIT) {
    char buf[PUMP_PRV_ALL_REPLY_LIMIT + 1];
    int rc = pump_ReadReply(1, buf, static_cast<char>(PUMP_CR), limit);
    *reply = buf;
    return rc;
  }
  CommStatsWorld stats;
  DeviceRecord record = {};
  int master = -1;
  std::atomic<bool> flooding{false};
  std::atomic<bool> abandon{false};
  std::thread flood;
};

}  // namespace

// A reply of a mebibyte fails at once as noise; the rest of it goes with it,
// so the next reply reads clean.
TEST_F(FloodedLine, AMebibyteReplyFailsAtOnceAndIsDroppedWhole) {
  struct Case {
    int limit;
  } cases[] = {{PUMP_SINGLE_REPLY_LIMIT}, {PUMP_PRV_ALL_REPLY_LIMIT}, {PUMP_SETPOINT_ALL_REPLY_LIMIT}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.limit);
    uint32_t crc = sts_GetCommCounter(0, STS_SLOT_RX_CRC_ERRORS), bytes = sts_GetCommCounter(0, STS_SLOT_RX_BYTES);
    std::string huge(1u << 20, 'B');
    huge += '\r';
    Sender sender = Send(huge);
    uint32_t t0 = os_GetTickCount();
    std::string reply;
    EXPECT_EQ(Read(&reply, c.limit), -1);
    uint32_t spent = os_GetTickCount() - t0;
    ASSERT_TRUE(Finish(sender)) << "the rest of the reply was left on the line";
    EXPECT_LT(spent, 1500u);
    EXPECT_EQ(reply, std::string(static_cast<size_t>(c.limit), 'B'));
    EXPECT_EQ(sts_GetCommCounter(0, STS_SLOT_RX_CRC_ERRORS), crc + 1);
    EXPECT_EQ(sts_GetCommCounter(0, STS_SLOT_RX_BYTES), bytes + huge.size());
    Sender good = Send("000,1\r");
    EXPECT_EQ(Read(&reply, c.limit), 0);
    EXPECT_TRUE(Finish(good));
    EXPECT_EQ(reply, "000,1\r");
  }
}

// A line that never goes quiet is given up within the reply time-out, once
// per exchange, however long it goes on.
TEST_F(FloodedLine, ALineThatNeverGoesQuietIsGivenUp) {
  StartFlood();
  uint32_t crc = sts_GetCommCounter(0, STS_SLOT_RX_CRC_ERRORS);
  for (int i = 0; i < 3; ++i) {
    uint32_t t0 = os_GetTickCount();
    std::string reply;
    EXPECT_EQ(Read(&reply), -1) << i;
    uint32_t spent = os_GetTickCount() - t0;
    EXPECT_GE(spent, 790u) << i;  // it waited the time-out out for a carriage return
    EXPECT_LT(spent, 2000u) << i;
    EXPECT_EQ(reply, std::string(PUMP_SINGLE_REPLY_LIMIT, 'A'));
  }
  EXPECT_EQ(sts_GetCommCounter(0, STS_SLOT_RX_CRC_ERRORS), crc + 3);
  StopFlood();
  std::string reply;
  Sender good = Send("000,1\r");
  EXPECT_EQ(Read(&reply), 0);
  EXPECT_TRUE(Finish(good));
  EXPECT_EQ(reply, "000,1\r");
}
