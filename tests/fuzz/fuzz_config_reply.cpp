// The plug-in's reply parsers on any reply, handed over by a connection kind
// of this target's own that answers from memory, at the capacities they use: nothing is
// written past the caller's arrays and buffers, counts stay within what was
// asked, and a failure is -1 (or 0 for the file requests).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "framework/server/srv_client.h"
#include "platform/os_error.h"
#include "plugin/connect/cfg_access.h"
#include "plugin/connect/cfg_files.h"
#include "plugin/connect/cfg_requests.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_memory_server.h"
#include "tests/fuzz/fuzz_world.h"

namespace {

const char kGuard = 0x5a;

bool Guarded(const std::vector<char> &buf, size_t from) {
  for (size_t i = from; i < buf.size(); ++i)
    if (buf[i] != kGuard) return false;
  return true;
}

const CfgOpen kRead = {0x80000000u, 3, 1, 3, 0};
const char *const kServer = fuzz::kMemoryServer;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::ConfigFolder();
  fuzz::UseMemoryServer();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  fuzz::SetMemoryReply(data + 2, size - 2);
  const uint8_t which = data[0] % 6;
  const int ask = data[1] % 32;
  switch (which) {
    case 0: {
      std::vector<char> buf(static_cast<size_t>(ask) + 16, kGuard);
      int32_t got = -1;
      int ok = srv_RemoteReadFile(kServer, nullptr, "TSQ_CURRENT_CONFIG\\f", buf.data(), ask, 0, 0, &kRead, &got);
      FUZZ_CHECK(ok == 0 || ok == 1);
      FUZZ_CHECK(ok ? got >= 0 && got <= ask : got == 0);
      FUZZ_CHECK(Guarded(buf, static_cast<size_t>(ask)));
      break;
    }
    case 1: {
      const int cap = 1 + ask % 5;
      std::vector<char> slots(static_cast<size_t>(cap + 1) * CFG_DF_NAME, kGuard);
      int n = srv_ListDirectory(kServer, "TSQ_CURRENT_CONFIG", "*", 0, reinterpret_cast<char(*)[CFG_DF_NAME]>(slots.data()), cap);
      FUZZ_CHECK(n == -1 || (n >= 0 && n <= cap));
      for (int i = 0; i < n; ++i) FUZZ_CHECK(memchr(&slots[static_cast<size_t>(i) * CFG_DF_NAME], 0, CFG_DF_NAME));
      FUZZ_CHECK(Guarded(slots, static_cast<size_t>(cap) * CFG_DF_NAME));
      // The strict forms: a count that slots can be sized from, names never
      // cut, nothing past the slots.
      std::fill(slots.begin(), slots.end(), kGuard);
      n = srv_ListDirectoryStrict(kServer, "TSQ_CURRENT_CONFIG", "*", 0, reinterpret_cast<char(*)[CFG_DF_NAME]>(slots.data()), cap);
      FUZZ_CHECK(n == -1 || (n >= 0 && n <= cap));
      for (int i = 0; i < n; ++i) FUZZ_CHECK(memchr(&slots[static_cast<size_t>(i) * CFG_DF_NAME], 0, CFG_DF_NAME));
      FUZZ_CHECK(Guarded(slots, static_cast<size_t>(cap) * CFG_DF_NAME));
      int count = srv_CountDirectory(kServer, "TSQ_CURRENT_CONFIG", "*");
      FUZZ_CHECK(count >= -1 && count <= CFG_DF_COUNT_MAX);
      break;
    }
    case 2: {
      int64_t s = srv_RemoteFileOpenSize(kServer, "TSQ_CURRENT_CONFIG\\f", &kRead);
      FUZZ_CHECK(s >= -1 && s <= INT32_MAX);
      uint64_t t[3];
      int ok = srv_RemoteFileTimes(kServer, nullptr, "TSQ_CURRENT_CONFIG\\f", t);
      FUZZ_CHECK(ok == 0 || ok == 1);
      break;
    }
    case 3: {
      char text[8];
      memset(text, kGuard, sizeof text);
      srv_RemoteRequestMF(kServer, "TSQ_CURRENT_CONFIG", "x", text, 6);
      FUZZ_CHECK(text[6] == kGuard && text[7] == kGuard);
      std::vector<char> reply(static_cast<size_t>(ask) + 8, kGuard);
      int n = ask;
      if (n > 0) {
        srv_RequestTC(kServer, "q", reply.data(), &n);
        FUZZ_CHECK(n >= 0 && n <= ask);
        FUZZ_CHECK(Guarded(reply, static_cast<size_t>(ask)));
      }
      break;
    }
    case 4: {
      const int cap = 1 + ask % 4;
      std::vector<DeviceCapRecord> r(static_cast<size_t>(cap) + 1);
      memset(r.data(), kGuard, r.size() * sizeof(DeviceCapRecord));
      int n = srv_GetDevices(kServer, "*,9", r.data(), cap);
      FUZZ_CHECK(n == -1 || n == -2 || (n >= 0 && n <= cap));
      const char *last = reinterpret_cast<const char *>(&r[static_cast<size_t>(cap)]);
      for (size_t i = 0; i < sizeof(DeviceCapRecord); ++i) FUZZ_CHECK(last[i] == kGuard);
      DeviceTextEntry e[3];
      int m = srv_GetDeviceTexts(kServer, "*", e, 2);
      FUZZ_CHECK(m >= -1 && m <= 2);
      uint32_t four[4];
      int32_t lastOut;
      srv_Query5S(kServer, 1, 2, 3, 4, four, &lastOut);
      break;
    }
    default: {
      // The channel and device readers take what a reply of the right size holds.
      int count = ask % 3;
      std::vector<char> records(static_cast<size_t>(count + 1) * 216, kGuard);
      std::vector<char> extra(24, kGuard);
      cfg_ReadChannelsEx(kServer, "DEV", 0, reinterpret_cast<ChannelRecord *>(records.data()), 0, count,
                         extra.data(), 8, "x.bin");
      FUZZ_CHECK(Guarded(records, static_cast<size_t>(count) * 216));
      FUZZ_CHECK(Guarded(extra, 8));
      // The device reader, its flags and rate, and its raw road when the reply is not whole.
      std::vector<char> config(static_cast<size_t>(ask) + 8, kGuard);
      std::fill(extra.begin(), extra.end(), kGuard);
      uint8_t flags[3];
      int32_t rate = 0;
      int rc = cfg_ReadDeviceConfigEx(kServer, "DEV", config.data(), ask, extra.data(), count * 4, "x.bin", &flags[0],
                                      &flags[1], &flags[2], &rate);
      FUZZ_CHECK(rc == 0 || rc == -1);
      FUZZ_CHECK(Guarded(config, static_cast<size_t>(ask)));
      FUZZ_CHECK(Guarded(extra, static_cast<size_t>(count) * 4));
      break;
    }
  }
  return 0;
}
