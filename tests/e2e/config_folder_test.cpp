// The scanner started by the server stand-in against real configuration
// folders, written by the system's own writers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "framework/config/cfg_history.h"
#include "framework/config/cfg_load.h"
#include "framework/config/chan_files.h"
#include "framework/config/chan_text.h"
#include "framework/notify/ntf_notify.h"
#include "framework/registry/reg_settings.h"
#include "framework/xml/xml_error.h"
#include "platform/os_handle.h"
#include "platform/os_registry.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_world.h"
#include "tests/support/proc_stats.h"

using tnwtest::Until;

namespace {

void Word(ChannelRecord *r, int at, uint32_t v) { memcpy(r->raw + at, &v, 4); }

// Analogue channels on pump 1 (cylinder positions and pressures), digital
// ones on its status bits.
void BindToPumps(int type, int i, ChannelRecord *r) {
  if (type == IO_AI) {
    Word(r, CHAN_ANALOGUE_HW_OFFSET, 1);
    Word(r, CHAN_ANALOGUE_HW_OFFSET + 4, 18 + static_cast<uint32_t>(i % 2));
    chan_SetUnits(r, "%");
  } else {
    Word(r, CHAN_DIGITAL_HW_OFFSET, 1);
    Word(r, CHAN_DIGITAL_HW_OFFSET + 4, 1 + static_cast<uint32_t>(i));
  }
  chan_SetDescription(r, ("pump 1 item " + std::to_string(i + 1)).c_str());
}

void SetSwitch(const char *name, const char *value) {
  OsHKey k = nullptr;
  ASSERT_EQ(os_RegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenford\\Tessarine", 0, OS_KEY_ALL_ACCESS, nullptr,
                              &k, nullptr),
            0);
  ASSERT_EQ(os_RegSetValueEx(k, name, OS_REG_SZ, value, static_cast<uint32_t>(strlen(value) + 1)), 0);
  os_RegCloseKey(k);
}

class ConfigFolder : public ::testing::Test {
 protected:
  void Build(SimWorldSpec spec) {
    std::string why;
    ASSERT_EQ(sim_CreateWorld(spec, &why), 0) << why;
    dir = sim_DeviceFolder(0);
  }
  void TearDown() override {
    if (line) sim_StopPumpSim(line, linePid, 5000);
    if (proc) {
      if (sim_WaitExit(proc, 0) < 0) os_TerminateProcess(proc, 9);
      sim_WaitExit(proc, 5000);
      os_CloseHandle(proc);
    }
    ntf_Stop();
    sim_DestroyWorld();
    SetSwitch("ReadXML", "OFF");
    SetSwitch("WriteXML", "BIN");
    unsetenv("TSQ_BIN");
  }
  ChannelRecord *Table(const char *code) {
    return reinterpret_cast<ChannelRecord *>(shm_AreaRecords(sim_Area(code, SHM_AREA_CONF)));
  }
  std::vector<ChannelRecord> FromFile(int type, int count) {
    std::vector<ChannelRecord> t(static_cast<size_t>(count));
    EXPECT_EQ(chan_ReadChannels(dir.c_str(), type, t.data(), 0, count, nullptr, 0, nullptr), 0);
    return t;
  }
  // Starts the scanner and waits for its end; its exit code.
  int64_t RunUntilExit() {
    proc = sim_StartScanner(0, "", &pid);
    if (!proc) return -2;
    int64_t code = sim_WaitExit(proc, 10000);
    os_CloseHandle(proc);
    proc = nullptr;
    return code;
  }
  std::string dir;
  OsHandle proc = nullptr, line = nullptr;
  uint32_t pid = 0, linePid = 0;
};

}  // namespace

TEST_F(ConfigFolder, TheScannerLoadsItsChannelsFromTheFilesAndReloadsAChangedOne) {
  SimWorldSpec w;
  w.devices[0].channelSetup = BindToPumps;
  Build(w);
  // The files hold exactly the configuration areas' records.
  EXPECT_EQ(memcmp(FromFile(IO_AI, 8).data(), Table("A1"), 8 * 216), 0);
  EXPECT_EQ(memcmp(FromFile(IO_DI, 16).data(), Table("D1"), 16 * 216), 0);
  // What the scanner publishes there comes from the files.
  memset(Table("A1"), 0, 8 * 216);
  memset(Table("D1"), 0, 16 * 216);
  line = sim_StartPumpSim(0, {}, &linePid);
  ASSERT_NE(line, nullptr);
  proc = sim_StartScanner(0, "", &pid);
  ASSERT_NE(proc, nullptr);
  DeviceRecord *r = sim_Device(0);
  ASSERT_TRUE(Until([&] { return r->Ready == 1 && r->Busy == 0 && r->NextScanDue.seconds != 0; }, 10000));
  EXPECT_EQ(memcmp(FromFile(IO_AI, 8).data(), Table("A1"), 8 * 216), 0);
  EXPECT_EQ(memcmp(FromFile(IO_DI, 16).data(), Table("D1"), 16 * 216), 0);
  EXPECT_STREQ(chan_GetDescription(&Table("D1")[5]), "pump 1 item 6");

  ChannelAreaHeader *ai = shm_AreaHeader(sim_Area("A1", SHM_AREA_DATA));
  TimeStamp aiStamp = ai->changed;
  ASSERT_EQ(sim_ChangeChannel(0, IO_DI, 3, [](ChannelRecord *c) { chan_SetTag(c, "MOVED.CHANNEL"); }, pid), 0);
  EXPECT_TRUE(Until([&] { return std::string(chan_GetTag(&Table("D1")[3])) == "MOVED.CHANNEL"; }, 10000));
  EXPECT_TRUE(Until([&] { return r->Busy == 0; }, 10000));
  EXPECT_EQ(ai->changed.seconds, aiStamp.seconds) << "an untouched file is not reloaded";
  EXPECT_EQ(ai->changed.ms, aiStamp.ms);
  EXPECT_EQ(sim_StatusText("TNWELL1"), "");
  ASSERT_EQ(sim_Post(pid, NTF_STOP), 0);
  EXPECT_EQ(sim_WaitExit(proc, 10000), 0);
}

TEST_F(ConfigFolder, AMissingOrShortChannelFileStopsTheScanner) {
  struct Case {
    const char *what;
    size_t keep;  // bytes of "di" kept; 0 removes it
    std::string status;
    int64_t exitCode;
  } cases[] = {
      {"missing", 0, "CAN'T READ CONFIGURATION -0002", 2},
      {"short", 8 + 15 * 216, "CAN'T READ CONFIGURATION -0038", 38},
  };
  for (const Case &c : cases) {
    Build(SimWorldSpec{});
    std::string file = dir + "/di";
    if (c.keep) {
      std::filesystem::resize_file(file, c.keep);
    } else {
      std::filesystem::remove(file);
    }
    EXPECT_EQ(RunUntilExit(), c.exitCode) << c.what;
    EXPECT_EQ(sim_StatusText("TNWELL1"), c.status) << c.what;
    EXPECT_EQ(sim_Device(0)->Running, 0) << c.what;
    sim_DestroyWorld();
  }
}

TEST_F(ConfigFolder, XmlFailuresReachTheStatusAsTheXmlLayersText) {
  setenv("TSQ_BIN", CFG_TESTLIB_DIR, 1);
  SetSwitch("ReadXML", "ON");
  SetSwitch("WriteXML", "BOTH");
  struct Case {
    const char *what, *file, *from, *to;
  } cases[] = {
      {"device file", "config.xml", "<Configs", "<Configs><"},
      {"channel file", "ai.xml", "<Tag>AI001</Tag>", ""},
  };
  for (const Case &c : cases) {
    SimWorldSpec w;
    w.devices[0].folder = "xmltn_1";
    Build(w);
    std::string text = tnwtest::ReadFile(dir + "/" + c.file);
    size_t at = text.find(c.from);
    ASSERT_NE(at, std::string::npos) << c.what;
    text.replace(at, strlen(c.from), c.to);
    ASSERT_TRUE(tnwtest::WriteFile(dir + "/" + c.file, text));
    EXPECT_EQ(RunUntilExit(), 1465 & 0xFF) << c.what;
    // The text the scanner shows is the XML layer's, as this process gets it for the same files.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    uint8_t config[704];
    bool failed = cfg_LoadDeviceConfig(config, sizeof config) != 0;
    if (!failed) {
      std::vector<ChannelRecord> t(8);
      failed = chan_ReadChannels(".", IO_AI, t.data(), 0, 8, nullptr, 0, nullptr) != 0;
    }
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_TRUE(failed) << c.what;
    std::string want = xml_GetErrorText(), got = sim_StatusText("TNWELL1");
    EXPECT_GT(got.size(), 30u) << c.what << ": " << got;
    EXPECT_EQ(got, want.substr(0, got.size())) << c.what;
    sim_DestroyWorld();
  }
}
