// Request lines of any bytes through the in-process provider over a fixed
// folder of runs. The first input byte picks the reply capacity; "@B" in the
// line stands for the address of the one buffer the thread lent, "@S" for
// its size, "@L" for a channel list inside it. A reply stays within its capacity, nothing is written outside
// the lent buffer, and the owner record the provider is handed keeps terminated paths.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "framework/config/chan_record.h"
#include "framework/config/chan_text.h"
#include "platform/os_io.h"
#include "platform/os_mapping.h"
#include "platform/os_path.h"
#include "plugin/loggers/log_file_collection.h"
#include "plugin/loggers/prov_provider.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_world.h"

namespace {

constexpr size_t kGuard = 64, kLent = 512;
constexpr int32_t kT0 = 1686816000;

ProvOwnerRecord g_owner;

LocalProvider *Provider() {
  static LocalProvider *p = [] {
    std::string dir = fuzz::Root() + "/drives/c/fzprov";
    FUZZ_CHECK(os_MakeFolders(dir.c_str()) == 0);
    LogFileHeader h{};
    memcpy(h.blocks[0].prefix, "AI", 2);
    h.blocks[0].first = 1;
    h.blocks[0].last = 3;
    h.blocks[0].kind = 8;
    h.blocks[0].statusOffset = 12;
    memcpy(h.blocks[1].prefix, "DI", 2);
    h.blocks[1].first = 1;
    h.blocks[1].last = 2;
    h.blocks[1].kind = 4;
    h.blocks[1].statusOffset = 36;
    h.blockCount = 2;
    h.recordSize = 52;
    h.type = 0x8001;
    std::vector<ChannelRecord> recs(5);
    memset(recs.data(), 0, recs.size() * sizeof(ChannelRecord));
    for (int i = 0; i < 5; ++i) chan_SetTag(&recs[size_t(i)], ("Tag" + std::to_string(i)).c_str());
    ChannelRecord *blocks[2] = {recs.data(), recs.data() + 3};
    CLogFileCollection c;
    FUZZ_CHECK(c.Open("", "C:\\fzprov", "", "FZ", OS_GENERIC_READ | OS_GENERIC_WRITE) == 0);
    for (int run = 0; run < 2; ++run) {
      int32_t start = kT0 + run * 100;
      h.start = {start, 0, 0};
      std::unique_ptr<CLogStore> s(c.CreateRun(&start, 1, nullptr, &h, "[HEADER]\r\nfuzz\r\n", 0, nullptr, nullptr,
                                               blocks));
      FUZZ_CHECK(s != nullptr);
      std::vector<uint8_t> data(52 * 20, 0);
      for (int i = 0; i < 20; ++i) {
        uint8_t *r = &data[size_t(i) * 52];
        uint16_t mark = 0x8004;
        memcpy(r, &mark, 2);
        TimeStamp t{start + i / 2, static_cast<int16_t>(i % 2 * 500), 0};
        memcpy(r + 4, &t, 8);
        uint32_t st = i % 3 ? 0x80 : 0x20;
        memcpy(r + 12, &st, 4);
        memcpy(r + 16, &st, 4);
      }
      FUZZ_CHECK(s->WriteLogs(&h, data.data(), 20) == 0);
      s->WriteText(start + 1, "event", nullptr, "TEXT");
      s->Close();
    }
    LocalProvider *made = prov_Init();
    FUZZ_CHECK(made && prov_Open(made, "C:\\fzprov") == 0);
    OsHandle mutex = os_CreateMutex("Global\\fzprovowner.mut", false, nullptr);
    FUZZ_CHECK(mutex && prov_SetOwner(made, &g_owner, mutex) == 0);
    return made;
  }();
  return p;
}

void Replace(std::string *s, const std::string &from, const std::string &to) {
  for (size_t at = s->find(from); at != std::string::npos; at = s->find(from, at + to.size()))
    s->replace(at, from.size(), to);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  LocalProvider *p = Provider();
  if (size == 0) return 0;
  uint32_t capacity = data[0] < 8 ? data[0] : uint32_t{data[0]} * 64;
  std::string line(reinterpret_cast<const char *>(data + 1), size - 1);
  static std::vector<uint8_t> lent(kLent + 2 * kGuard);
  memset(lent.data(), 0xA5, lent.size());
  uint8_t *buf = lent.data() + kGuard;
  memset(buf, 0, kLent);
  memcpy(buf + kLent - 32, "AI1,AI2,DI1,LS1", 16);
  Replace(&line, "@L", std::to_string(reinterpret_cast<uintptr_t>(buf + kLent - 32)));
  Replace(&line, "@B", std::to_string(reinterpret_cast<uintptr_t>(buf)));
  Replace(&line, "@S", std::to_string(kLent));
  std::vector<uint8_t> reply(capacity + kGuard, 0xA5);
  prov_ClearBuffers();
  prov_RegisterBuffer(buf, kLent);
  uint32_t n = capacity;
  int rc = prov_Dispatch(p, line.data(), static_cast<uint32_t>(line.size()), reply.data(), &n);
  prov_ClearBuffers();
  FUZZ_CHECK(rc == 0 || rc == 1);
  FUZZ_CHECK(n <= capacity);
  FUZZ_CHECK(rc == 1 || n == 0);
  for (size_t i = capacity; i < reply.size(); ++i) FUZZ_CHECK(reply[i] == 0xA5);
  for (size_t i = 0; i < kGuard; ++i) FUZZ_CHECK(lent[i] == 0xA5 && lent[kGuard + kLent + i] == 0xA5);
  for (const ProvOwnerPath &o : g_owner.slot) FUZZ_CHECK(memchr(o.path, 0, sizeof o.path) != nullptr);
  return 0;
}
