// The configuration tool's road with the real programs: cfgtool runs the
// plug-in's device dialog against a scadasim world while Tnwell_SC scans;
// the port and speed chosen there enter the device record at its reconfigure
// and the line the scanner opens next. The
// print-out of the same device is a PDF with ink on its page, and under a
// display each dialog's window is kept as a screenshot.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "framework/notify/ntf_notify.h"
#include "framework/shm/shm_areas.h"
#include "platform/os_handle.h"
#include "platform/ui/ui_print.h"
#include "tests/support/proc_stats.h"
#include "tests/support/child_run.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_world.h"

using tnwtest::Until;

namespace {

using Result = tnwtest::ShellResult;

Result Shell(const std::string &command) { return tnwtest::ShellRun(command + " 2>&1"); }

Result Cfgtool(const std::string &args, bool display) {
  return Shell(std::string(display ? "" : "env -u DISPLAY ") + "'" + tnwtest::BinPath("cfgtool") +
             "' --folder TNWELL1 --types A1:2,,,, " + args);
}

class PluginConfig : public ::testing::Test {
 protected:
  void TearDown() override {
    if (scanner) {
      if (sim_WaitExit(scanner, 0) < 0) os_TerminateProcess(scanner, 9);
      sim_WaitExit(scanner, 5000);
      os_CloseHandle(scanner);
    }
    if (line) sim_StopPumpSim(line, linePid, 5000);
    if (first) sim_StopPumpSim(first, firstPid, 5000);
    sim_DestroyWorld();
  }
  OsHandle scanner = nullptr, line = nullptr, first = nullptr;
  uint32_t linePid = 0, firstPid = 0;
};

TEST_F(PluginConfig, DialogChangesReachTheScanner) {
  SimWorldSpec w;
  w.devices.resize(2);
  SimDeviceSpec &d = w.devices[0];
  d.codes[IO_AI] = "A1";
  d.codes[IO_DI] = "";
  d.channels[IO_AI] = 2;
  d.channels[IO_DI] = 0;
  d.channelSetup = [](int t, int i, ChannelRecord *r) {
    uint32_t hw[2] = {1, i == 0 ? 22u : 1u};  // pump 1: CONTROLLER VER, CYL1 PRESS
    if (t == IO_AI) memcpy(r->raw + CHAN_ANALOGUE_HW_OFFSET, hw, sizeof hw);
  };
  // The second device only gives pumpsim its port: COM3 by its instance.
  SimDeviceSpec &other = w.devices[1];
  other.instance = 3;
  other.statusName = "TNWELL3";
  other.folder = "TNWELL3";
  other.codes[IO_AI] = "A3";
  other.codes[IO_DI] = "";
  other.channels[IO_AI] = 1;
  other.channels[IO_DI] = 0;
  std::string why;
  ASSERT_EQ(sim_CreateWorld(w, &why), 0) << why;
  line = sim_StartPumpSim(1, {}, &linePid);
  ASSERT_NE(line, nullptr);
  // The device's first line, on COM1, where it starts scanning.
  first = sim_StartPumpSim(0, {}, &firstPid);
  ASSERT_NE(first, nullptr);
  uint32_t pid = 0;
  scanner = sim_StartScanner(0, "", &pid);
  ASSERT_NE(scanner, nullptr);
  ASSERT_TRUE(sim_WaitRunning(0, scanner, 10000));
  DeviceRecord *rec = sim_Device(0);
  ASSERT_TRUE(Until([&] { return rec->Ready == 1 && rec->Busy == 0; }, 15000));

  std::string dir = tnwtest::MakeTempDir("plugincfg");
  tnwtest::WriteFile(dir + "/port.txt", "pick 7000 COM3\npick 7002 19200\nok\n");
  Result r = Cfgtool("--script '" + dir + "/port.txt' device", false);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("\"COM1\" *\"COM3\""), std::string::npos) << r.out;  // the lines' links, COM3 chosen
  EXPECT_NE(r.out.find("device configuration written"), std::string::npos) << r.out;

  ASSERT_TRUE(sim_Watch("A1", 1));
  ASSERT_EQ(sim_Post(pid, NTF_RECONFIGURE), 0);
  // The reconfigure takes the new settings into the device's record; the
  // scanner opens its line at its start, so the next one scans COM3.
  ASSERT_TRUE(Until([&] { return memcmp(rec->Config + 8, "COM3", 5) == 0; }, 10000));
  uint32_t baud;
  memcpy(&baud, rec->Config + 4, 4);
  EXPECT_EQ(baud, 19200u);
  ASSERT_EQ(sim_Post(pid, NTF_STOP), 0);
  ASSERT_EQ(sim_WaitExit(scanner, 10000), 0);
  os_CloseHandle(scanner);
  ASSERT_GE(sim_StopPumpSim(first, firstPid, 5000), 0);
  first = nullptr;
  scanner = sim_StartScanner(0, "", &pid);
  ASSERT_NE(scanner, nullptr);
  ASSERT_TRUE(sim_WaitRunning(0, scanner, 10000));
  bool read = Until(
      [&] {
        sim_Post(pid, NTF_SCAN);
        if (!sim_WaitForChange("A1", 1, 500)) return false;
        std::vector<SimChannel> ai = sim_ReadChannels("A1");
        if (ai.size() != 2 || (ai[0].status & CST_BAD) != 0 || ai[0].value <= 0) return false;
        int port = open((tnwtest::Root() + "/dev/COM3").c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        struct termios now;
        bool held = port >= 0 && tcgetattr(port, &now) == 0 && cfgetospeed(&now) == static_cast<speed_t>(B19200);
        if (port >= 0) close(port);
        return held;
      },
      20000);
  std::vector<SimChannel> seen = sim_ReadChannels("A1");
  ASSERT_TRUE(read) << sim_StatusText("TNWELL1") << " / " << (seen.empty() ? 0u : seen[0].status) << " "
                    << (seen.empty() ? 0.0f : seen[0].value) << " / " << sim_StatusText("TNWELL3");
  // The scanner holds COM3 at 19200 baud.
  int fd = open((tnwtest::Root() + "/dev/COM3").c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  struct termios t;
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  close(fd);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));

  // The print-out of the device, read from the server.
  r = Cfgtool("--pdf '" + dir + "/config.pdf' print-all", false);
  ASSERT_EQ(r.status, 0) << r.out;
  ASSERT_EQ(Shell("pdftoppm -png -r 50 -f 1 -l 1 '" + dir + "/config.pdf' '" + dir + "/page'").status, 0);
  std::string page;
  for (const auto &e : std::filesystem::directory_iterator(dir))
    if (e.path().filename().string().rfind("page", 0) == 0) page = e.path().string();
  ASSERT_FALSE(page.empty());
  EXPECT_GT(ui_PngInkedPixels(page.c_str()), 500) << page;

  // Under a display: each dialog's window.
  if (!getenv("DISPLAY")) return;
  const char *base = getenv("TNW_TEST_TMP");
  std::string shots = std::string(base && *base ? base : "/tmp") + "/screenshots";
  std::filesystem::create_directories(shots);
  for (const char *dialog : {"device", "channel AI 1"}) {
    std::string png = shots + "/e2e_" + std::string(dialog).substr(0, std::string(dialog).find(' ')) + ".png";
    r = Cfgtool("--screenshot '" + png + "' " + dialog, true);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_GT(ui_PngInkedPixels(png.c_str()), 2000) << png;
    printf("screenshot %s\n", png.c_str());
  }
}

}  // namespace
