// The pump's replies: arbitrary bytes on the line, read by the scanner's reply
// reader through a real pseudo-terminal, then its status and every field
// taken out of the reply. Checked against the framing and field rules written
// out here: a reply ends at its carriage return or at the limit, needs a
// three-digit status, and a field is the text up to the next comma.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#include "framework/shm/shm_tables.h"
#include "scanner/com_port.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_world.h"
#include "tests/support/reply_fields.h"

namespace {

int g_master = -1, g_slave = -1;


bool SameFloat(float a, float b) { return (std::isnan(a) && std::isnan(b)) || memcmp(&a, &b, sizeof a) == 0; }

void CheckFields(const char *text) {
  std::string t = text;
  for (int start : {0, 3, 4, 7}) {
    for (int n = 0; n < 12; ++n) {
      std::string f;
      float want = tnwtest::ReplyFieldText(t, n, static_cast<size_t>(start), &f)
                       ? static_cast<float>(strtod(f.c_str(), nullptr))
                       : 0.0f;
      FUZZ_CHECK(SameFloat(pump_FieldToFloat(text, n, start), want));
    }
  }
  for (int n = 0; n < 12; ++n) {
    std::string f;
    long want = tnwtest::ReplyFieldText(t, n, 0, &f) ? strtol(f.c_str(), nullptr, 10) : 0;
    FUZZ_CHECK(pump_FieldToInt(text, n) == static_cast<int>(want));
  }
}

// Waits until the scanner's end of the line holds n bytes.
bool Arrived(int n) {
  for (int tries = 0; tries < 20000; ++tries) {
    int have = 0;
    if (ioctl(g_slave, FIONREAD, &have) == 0 && have >= n) return true;
    usleep(50);
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  std::string root = fuzz::Root();
  g_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  FUZZ_CHECK(g_master >= 0 && grantpt(g_master) == 0 && unlockpt(g_master) == 0);
  char name[128];
  FUZZ_CHECK(ptsname_r(g_master, name, sizeof name) == 0);
  // A second hold on the scanner's end: it counts and drops what waits there.
  g_slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  FUZZ_CHECK(g_slave >= 0);
  std::filesystem::create_directories(root + "/dev");
  std::error_code ec;
  std::filesystem::remove(root + "/dev/COM7", ec);
  std::filesystem::create_symlink(name, root + "/dev/COM7");
  static DeviceRecord record;
  memset(&record, 0, sizeof record);
  record.Instance = 7;
  const uint32_t baud = 9600, parity = 0, bits = 8;
  memcpy(record.Config + 4, &baud, 4);
  memcpy(record.Config + 8, "COM7:", 5);
  memcpy(record.Config + 16, &parity, 4);
  memcpy(record.Config + 20, &bits, 4);
  FUZZ_CHECK(com_OpenPort(&record) == 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  static const int kLimits[3] = {PUMP_SINGLE_REPLY_LIMIT, PUMP_PRV_ALL_REPLY_LIMIT, PUMP_SETPOINT_ALL_REPLY_LIMIT};
  const int limit = kLimits[data[0] % 3];
  std::string bytes(reinterpret_cast<const char *>(data) + 1, std::min<size_t>(size - 1, 300));

  // The field rules on any text.
  CheckFields(bytes.c_str());

  // The same bytes as a reply on the line; a reply that neither ends nor
  // fills its limit is ended here, so no read waits out the time-out.
  size_t cr = bytes.find('\r');
  bool ends = cr != std::string::npos && cr < static_cast<size_t>(limit);
  if (!ends && bytes.size() < static_cast<size_t>(limit)) {
    bytes += '\r';
    cr = bytes.size() - 1;
    ends = true;
  }
  FUZZ_CHECK(write(g_master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
  FUZZ_CHECK(Arrived(static_cast<int>(bytes.size())));
  char reply[PUMP_PRV_ALL_REPLY_LIMIT + 1];
  memset(reply, 0x5a, sizeof reply);
  int rc = pump_ReadReply(1, reply, static_cast<char>(PUMP_CR), limit);
  size_t stored = ends ? cr + 1 : static_cast<size_t>(limit);
  FUZZ_CHECK(memcmp(reply, bytes.data(), stored) == 0);
  FUZZ_CHECK(reply[stored] == '\0');
  bool status = ends && isdigit(static_cast<unsigned char>(bytes[0])) && isdigit(static_cast<unsigned char>(bytes[1])) &&
                isdigit(static_cast<unsigned char>(bytes[2]));
  FUZZ_CHECK(rc == (status ? 0 : -1));
  if (rc == 0) {
    int st = pump_ReplyStatus(reply);
    FUZZ_CHECK(st == (bytes[0] - '0') * 100 + (bytes[1] - '0') * 10 + (bytes[2] - '0'));
    CheckFields(reply);
  }
  tcflush(g_slave, TCIFLUSH);
  return 0;
}
