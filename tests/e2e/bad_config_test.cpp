// Bad configuration files under the real scanner: every file it reads
// (device record, saved-value settings, channel files, their XML copies,
// saved values, the processor table) made truncated, oversized, of the wrong
// kind or random. Each scanner shows the status text its failure calls for, or
// runs; none crashes or hangs; none writes to a file it only reads.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "framework/notify/ntf_notify.h"
#include "framework/registry/reg_settings.h"
#include "platform/os_env.h"
#include "platform/os_handle.h"
#include "platform/os_registry.h"
#include "tests/support/proc_stats.h"
#include "tests/support/test_root.h"
#include "tools/pumpsim/psim.h"
#include "tools/scadasim/sim_world.h"

using tnwtest::Until;

namespace {

enum class How { Truncate, Empty, Append, Directory, Fifo, CopyOf, Random, RandomRecord, LongSaveRate, NotNumbers };
enum class Expect { Stops, StopsXml, Runs, Retries, AnyPartText };

struct Case {
  const char *name;
  bool xml;          // a folder read through the extension library that supports XML
  const char *file;  // in the device folder; "SAVED" the zero offsets; "DATPROC.TXT" the processor table
  How how;
  size_t n = 0;      // bytes kept (Truncate), added (Append) or made (Random)
  const char *other = nullptr;  // CopyOf: the file of the same folder copied in
  Expect expect = Expect::Runs;
  const char *text = "";        // Stops: the status; Retries: its beginning
  int exitCode = 0;             // Stops
};

const size_t kRecord = 216, kAi = 4, kDi = 3;

// What every scanner reads: positions and pressures of pump 1, a version of
// pump 2 scaled, a reference channel; digital status bits.
void Channels(int t, int i, ChannelRecord *r) {
  static const uint32_t ai[kAi][2] = {{1, 18}, {1, 10}, {2, 22}, {1, 1}};
  static const uint32_t di[kDi][2] = {{1, 1}, {2, 6}, {1, 144}};
  int hw = t == IO_DI ? CHAN_DIGITAL_HW_OFFSET : CHAN_ANALOGUE_HW_OFFSET;
  const uint32_t *b = t == IO_AI ? ai[i] : di[i];
  memcpy(r->raw + hw, &b[0], 4);
  memcpy(r->raw + hw + 4, &b[1], 4);
  if (t == IO_AI && i == 1) chan_SetFlagBit(r, CHAN_AF_REFERENCE_ENABLE, true);
  if (t == IO_AI && i == 2) {
    chan_SetFlagBit(r, CHAN_AF_SCALING_ENABLE, true);
    r->a.Gain = 10, r->a.Offset = 1;
  }
}

struct FileState {
  std::string bytes;
  int64_t mtimeNs = 0;
  mode_t type = 0;
};

// Every file and folder under the roots, with its bytes and write time.
std::map<std::string, FileState> Snapshot(const std::vector<std::string> &roots) {
  std::map<std::string, FileState> out;
  for (const std::string &root : roots) {
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      struct stat st;
      if (lstat(it->path().c_str(), &st) != 0) continue;
      FileState f;
      f.type = st.st_mode & S_IFMT;
      f.mtimeNs = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
      if (S_ISREG(st.st_mode)) f.bytes = tnwtest::ReadFile(it->path());
      out[it->path().string()] = f;
    }
  }
  return out;
}

std::string RandomBytes(std::mt19937 &random, size_t n) {
  std::string s(n, '\0');
  for (char &c : s) c = static_cast<char>(random() & 0xFF);
  return s;
}

void Corrupt(const Case &c, const std::string &path, const std::string &folder, std::mt19937 &random, uint16_t instance) {
  std::string was = tnwtest::ReadFile(path);
  std::error_code ec;
  switch (c.how) {
    case How::Truncate: tnwtest::WriteFile(path, was.substr(0, c.n)); break;
    case How::Empty: tnwtest::WriteFile(path, ""); break;
    case How::Append: tnwtest::WriteFile(path, was + RandomBytes(random, c.n)); break;
    case How::Directory:
      std::filesystem::remove(path, ec);
      std::filesystem::create_directory(path, ec);
      break;
    case How::Fifo:
      std::filesystem::remove(path, ec);
      mkfifo(path.c_str(), 0644);
      break;
    case How::CopyOf: tnwtest::WriteFile(path, tnwtest::ReadFile(folder + "/" + c.other)); break;
    case How::Random: tnwtest::WriteFile(path, RandomBytes(random, c.n)); break;
    case How::LongSaveRate: {
      // Outputs saved every 3,000,000,000 ms: more than the 24.8 days a signed 32-bit count holds.
      const uint8_t save[6] = {1, 0, 0x00, 0x5E, 0xD0, 0xB2};
      tnwtest::WriteFile(path, std::string(reinterpret_cast<const char *>(save), sizeof save));
      break;
    }
    case How::NotNumbers: {
      // Every saved value word an infinity or not a number.
      std::string r = was;
      const uint32_t words[2] = {0x7FC00000u, 0xFF800000u};
      for (size_t at = 12, k = 0; at + 4 <= r.size(); at += 16, ++k) memcpy(&r[at], &words[k % 2], 4);
      tnwtest::WriteFile(path, r);
      break;
    }
    case How::RandomRecord: {
      // A random device record that still names its port with working settings.
      std::string r = RandomBytes(random, 1 + 704);
      char port[16] = {};
      snprintf(port, sizeof port, "COM%u:", instance % 100u);
      const uint32_t baud = 9600, parity = 0, bits = 8;
      memcpy(&r[1 + 4], &baud, 4);
      memcpy(&r[1 + 8], port, 7);
      memcpy(&r[1 + 16], &parity, 4);
      memcpy(&r[1 + 20], &bits, 4);
      tnwtest::WriteFile(path, r);
      break;
    }
  }
}

// The status texts of the scanner's Parts.
bool IsPartText(const std::string &s) {
  static const std::regex texts(
      "|Comms Error|Timeout Error|Tarnwell Error #[0-9]{3}|CAN'T (SCAN DEVICE|INITIALISE DEVICE|RECONFIGURE DEVICE|"
      "READ CONFIGURATION|RESET COUNTERS) -[0-9]{4}|CAN'T INITIALISE VALUES - [0-9]{4}");
  return std::regex_match(s, texts);
}

class BadConfig : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TSQ_BIN", CFG_TESTLIB_DIR, 1);
    SetSwitch("ReadXML", "ON");
    SetSwitch("WriteXML", "BOTH");
    std::filesystem::create_directories(tnwtest::Root() + "/drives/c/SAVED");
    os_SetEnvironmentVariable("TSQ_SAVED_VALUES", "C:\\SAVED");
  }
  void TearDown() override {
    for (OsHandle p : procs) {
      if (!p) continue;
      if (sim_WaitExit(p, 0) < 0) os_TerminateProcess(p, 9);
      sim_WaitExit(p, 5000);
      os_CloseHandle(p);
    }
    for (PumpSim *l : lines) psim_Stop(l);
    ntf_Stop();
    sim_DestroyWorld();
    SetSwitch("ReadXML", "OFF");
    SetSwitch("WriteXML", "BIN");
    unsetenv("TSQ_BIN");
  }
  static void SetSwitch(const char *name, const char *value) {
    OsHKey k = nullptr;
    ASSERT_EQ(os_RegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenford\\Tessarine", 0, OS_KEY_ALL_ACCESS, nullptr,
                                &k, nullptr),
              0);
    ASSERT_EQ(os_RegSetValueEx(k, name, OS_REG_SZ, value, static_cast<uint32_t>(strlen(value) + 1)), 0);
    os_RegCloseKey(k);
  }
  void Run(const std::vector<Case> &cases, uint32_t seed);
  std::vector<OsHandle> procs;
  std::vector<PumpSim *> lines;
};

// One world of a device per case, all scanners at once.
void BadConfig::Run(const std::vector<Case> &cases, uint32_t seed) {
  SimWorldSpec w;
  w.devices.clear();
  w.errorEntries = 32;
  for (size_t k = 0; k < cases.size(); ++k) {
    SimDeviceSpec d;
    d.instance = static_cast<uint16_t>(k + 1);
    d.statusName = "TNWELL" + std::to_string(k + 1);
    d.folder = cases[k].xml ? "xmltn_" + std::to_string(k + 1) : d.statusName;
    d.codes[IO_AI] = std::string("A") + static_cast<char>('A' + k);
    d.codes[IO_DI] = std::string("D") + static_cast<char>('A' + k);
    d.channels[IO_AI] = kAi;
    d.channels[IO_DI] = kDi;
    d.channelSetup = Channels;
    d.scanRate = 200;
    w.devices.push_back(d);
  }
  std::string why;
  ASSERT_EQ(sim_CreateWorld(w, &why), 0) << why;
  const std::string config = tnwtest::Root() + "/drives/c/TESSARINE/CONFIG", saved = tnwtest::Root() + "/drives/c/SAVED";
  std::mt19937 random(seed);
  // A processor table that the binding reads for every folder without a library of its own.
  tnwtest::WriteFile(config + "/DATPROC.TXT", "* processors\nTNWEL,PUMPS,A-T" + RandomBytes(random, 40) + "\n" +
                                                  std::string(700, 'x') + "\n,,\nALARM,,5000,run\n" +
                                                  RandomBytes(random, 300) + "\n");
  for (size_t k = 0; k < cases.size(); ++k) {
    const Case &c = cases[k];
    std::string folder = sim_DeviceFolder(static_cast<int>(k));
    // Zero offsets saved before, as a scanner that ran would have left them.
    std::string bin = saved + "/" + w.devices[k].folder + "_ai.bin";
    std::string offsets;
    for (size_t i = 0; i < kAi; ++i) {
      char rec[16] = {};
      float o = i == 1 ? 6.0f : 0.0f;
      memcpy(rec + 12, &o, 4);
      offsets.append(rec, 16);
    }
    tnwtest::WriteFile(bin, offsets);
    std::string path = std::string(c.file) == "SAVED" ? bin : folder + "/" + c.file;
    Corrupt(c, path, folder, random, w.devices[k].instance);
    PsimConfig pc;
    pc.port = "COM" + std::to_string(k + 1);
    PumpSim *line = psim_Start(pc, &why);
    ASSERT_NE(line, nullptr) << why;
    lines.push_back(line);
  }
  auto before = Snapshot({config, saved});

  std::vector<uint32_t> pids(cases.size());
  procs.assign(cases.size(), nullptr);
  for (size_t k = 0; k < cases.size(); ++k) {
    procs[k] = sim_StartScanner(static_cast<int>(k), "", &pids[k]);
    ASSERT_NE(procs[k], nullptr);
  }
  for (size_t k = 0; k < cases.size(); ++k) {
    const Case &c = cases[k];
    SCOPED_TRACE(c.name);
    DeviceRecord *r = sim_Device(static_cast<int>(k));
    std::string status = w.devices[k].statusName;
    const std::string ai = w.devices[k].codes[IO_AI];
    switch (c.expect) {
      case Expect::Stops:
        EXPECT_EQ(sim_WaitExit(procs[k], 15000), c.exitCode);
        EXPECT_EQ(sim_StatusText(status), c.text);
        break;
      case Expect::StopsXml: {
        EXPECT_EQ(sim_WaitExit(procs[k], 15000), 1465 & 0xFF);
        std::string text = sim_StatusText(status);
        // The configuration name of the XML layer's text: the folder, for a device file without its number.
        EXPECT_EQ(text.rfind("xmltn", 0), 0u) << "the XML layer's text: " << text;
        EXPECT_NE(text.find(" - "), std::string::npos) << text;
        break;
      }
      case Expect::Runs:
      case Expect::AnyPartText: {
        bool up = Until([&] { return r->ProcessId == pids[k] && r->Ready == 1 && r->Busy == 0 && r->NextScanDue.seconds; },
                        15000);
        EXPECT_TRUE(up) << "status \"" << sim_StatusText(status) << "\", exit " << sim_WaitExit(procs[k], 0);
        if (!up) break;
        EXPECT_TRUE(sim_Watch(ai, 1));
        EXPECT_EQ(sim_Post(pids[k], NTF_SCAN), 0);
        EXPECT_TRUE(sim_WaitForChange(ai, 1, 15000)) << "no pass";
        if (c.expect == Expect::Runs) EXPECT_EQ(sim_StatusText(status), "");
        else EXPECT_TRUE(IsPartText(sim_StatusText(status))) << sim_StatusText(status);
        break;
      }
      case Expect::Retries:
        EXPECT_TRUE(Until([&] { return sim_StatusText(status).rfind(c.text, 0) == 0; }, 15000))
            << sim_StatusText(status);
        EXPECT_TRUE(IsPartText(sim_StatusText(status))) << sim_StatusText(status);
        EXPECT_EQ(r->Busy, 1) << sim_StatusText(status);
        break;
    }
    // Published values are numbers, or marked bad.
    for (const SimChannel &ch : sim_ReadChannels(ai))
      EXPECT_TRUE((ch.status & CST_BAD) || std::isfinite(ch.value)) << ch.tag << " shows " << ch.value << " as good";
  }
  // No scanner spins, whatever it read; the living ones stop when told.
  std::vector<tnwtest::ProcStats> cpu(cases.size());
  for (size_t k = 0; k < cases.size(); ++k) cpu[k] = tnwtest::ReadProcStats(static_cast<pid_t>(pids[k]));
  os_Sleep(2000);
  for (size_t k = 0; k < cases.size(); ++k) {
    SCOPED_TRACE(cases[k].name);
    tnwtest::ProcStats now = tnwtest::ReadProcStats(static_cast<pid_t>(pids[k]));
    if (now.alive && cpu[k].alive) {
      EXPECT_LT(now.cpuTicks - cpu[k].cpuTicks, static_cast<uint64_t>(tnwtest::TicksPerSecond()))
          << "more than half of 2 s on the processor";
    }
    if (sim_WaitExit(procs[k], 0) >= 0) continue;
    EXPECT_EQ(sim_Post(pids[k], NTF_STOP), 0);
    int64_t code = sim_WaitExit(procs[k], 15000);
    EXPECT_EQ(code, 0) << "the stop code did not end it";
  }
  // Nothing the scanners read was written, made or removed.
  auto after = Snapshot({config, saved});
  for (const auto &f : before) {
    auto it = after.find(f.first);
    if (it == after.end()) {
      ADD_FAILURE() << f.first << " is gone";
      continue;
    }
    EXPECT_EQ(it->second.type, f.second.type) << f.first;
    EXPECT_EQ(it->second.mtimeNs, f.second.mtimeNs) << f.first << " was written";
    EXPECT_TRUE(it->second.bytes == f.second.bytes) << f.first << " changed";
  }
  for (const auto &f : after)
    if (!before.count(f.first)) ADD_FAILURE() << f.first << " was made";
}

}  // namespace

TEST_F(BadConfig, DeviceRecordAndSettings) {
  Run({
          {"config truncated", false, "config", How::Truncate, 100, nullptr, Expect::Stops,
           "CAN'T READ CONFIGURATION -0038", 38},
          {"config empty", false, "config", How::Empty, 0, nullptr, Expect::Stops, "CAN'T READ CONFIGURATION -0038", 38},
          {"config oversized", false, "config", How::Append, 8192},
          {"config a folder", false, "config", How::Directory, 0, nullptr, Expect::Stops,
           "CAN'T READ CONFIGURATION -0005", 5},
          {"config a named pipe", false, "config", How::Fifo, 0, nullptr, Expect::Stops,
           "CAN'T READ CONFIGURATION -0005", 5},
          {"config of another kind, short", false, "config", How::CopyOf, 0, "di", Expect::Stops,
           "CAN'T READ CONFIGURATION -0038", 38},
          {"config of another kind", false, "config", How::CopyOf, 0, "ai", Expect::Retries,
           "CAN'T INITIALISE DEVICE -"},
          {"config random", false, "config", How::Random, 705, nullptr, Expect::Retries, "CAN'T INITIALISE DEVICE -"},
          {"config random but its port", false, "config", How::RandomRecord},
          {"saveconfig truncated", false, "saveconfig", How::Truncate, 3},
          {"saveconfig random", false, "saveconfig", How::Random, 6},
          {"saveconfig of a rate beyond 24 days", false, "saveconfig", How::LongSaveRate},
          {"saveconfig oversized", false, "saveconfig", How::Append, 1000},
          {"saveconfig a folder", false, "saveconfig", How::Directory},
          {"saveconfig of another kind", false, "saveconfig", How::CopyOf, 0, "config"},
      },
      11);
}

TEST_F(BadConfig, ChannelFiles) {
  Run({
          {"ai truncated", false, "ai", How::Truncate, 8 + 3 * kRecord + 100, nullptr, Expect::Stops,
           "CAN'T READ CONFIGURATION -0038", 38},
          {"ai oversized", false, "ai", How::Append, 5 * kRecord + 17},
          {"ai of another kind, short", false, "ai", How::CopyOf, 0, "di", Expect::Stops,
           "CAN'T READ CONFIGURATION -0038", 38},
          {"ai random 1", false, "ai", How::Random, 8 + kAi * kRecord, nullptr, Expect::AnyPartText},
          {"ai random 2", false, "ai", How::Random, 8 + kAi * kRecord + 300, nullptr, Expect::AnyPartText},
          {"ai random 3", false, "ai", How::Random, 8 + kAi * kRecord, nullptr, Expect::AnyPartText},
          {"di empty", false, "di", How::Empty, 0, nullptr, Expect::Stops, "CAN'T READ CONFIGURATION -0038", 38},
          {"di a folder", false, "di", How::Directory, 0, nullptr, Expect::Stops, "CAN'T READ CONFIGURATION -0005", 5},
          {"di a named pipe", false, "di", How::Fifo, 0, nullptr, Expect::Stops, "CAN'T READ CONFIGURATION -0005", 5},
          {"di of another kind", false, "di", How::CopyOf, 0, "ai", Expect::AnyPartText},
          {"di random 1", false, "di", How::Random, 8 + kDi * kRecord, nullptr, Expect::AnyPartText},
          {"di random 2", false, "di", How::Random, 8 + kDi * kRecord, nullptr, Expect::AnyPartText},
          {"zero offsets truncated", false, "SAVED", How::Truncate, 20},
          {"zero offsets random", false, "SAVED", How::Random, 16 * kAi},
          {"zero offsets not numbers", false, "SAVED", How::NotNumbers},
          {"zero offsets a folder", false, "SAVED", How::Directory},
      },
      12);
}

TEST_F(BadConfig, XmlFiles) {
  Run({
          {"config.xml truncated", true, "config.xml", How::Truncate, 200, nullptr, Expect::StopsXml},
          {"config.xml random", true, "config.xml", How::Random, 500, nullptr, Expect::StopsXml},
          {"config.xml of another kind", true, "config.xml", How::CopyOf, 0, "ai.xml", Expect::StopsXml},
          {"config.xml oversized", true, "config.xml", How::Append, 300, nullptr, Expect::StopsXml},
          {"ai.xml truncated", true, "ai.xml", How::Truncate, 900, nullptr, Expect::StopsXml},
          {"ai.xml random", true, "ai.xml", How::Random, 2000, nullptr, Expect::StopsXml},
          {"ai.xml oversized", true, "ai.xml", How::Append, 64, nullptr, Expect::StopsXml},
          {"ai.xml of another kind", true, "ai.xml", How::CopyOf, 0, "di.xml", Expect::AnyPartText},
          {"di.xml a folder", true, "di.xml", How::Directory},
          {"di.xml a named pipe", true, "di.xml", How::Fifo},
      },
      13);
}
