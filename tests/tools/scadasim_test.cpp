// The world description file: what a bad file is told, and a world written
// back from what is in force builds the same files again.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

#include "framework/config/chan_text.h"
#include "framework/registry/reg_settings.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_file.h"
#include "tools/scadasim/sim_world.h"

namespace {

std::string Fixture(const char *name) { return tnwtest::ReadFile(std::string(TNW_WORLDS_DIR) + "/" + name); }

const char kSmall[] =
    "[server]\n"                   // 1
    "[device DEV1]\n"              // 2
    "[ai T1]\n"                    // 3
    "pump = 1\n"                   // 4
    "item = CYL1_POS\n";           // 5

struct BadCase {
  const char *what;
  std::string text;
  const char *message;  // a pattern of the whole message
};

TEST(WorldFile, BadFilesNameFileLineAndField) {
  const std::string small = kSmall;
  const BadCase cases[] = {
      {"unknown field", small + "colour = red\n", "^bad\\.world:6: \\[ai T1\\] field \"colour\": unknown field$"},
      {"pump 9", "[device D]\n[ai T]\npump = 9\nitem = STATUS\n",
       "^bad\\.world:3: \\[ai T\\] field \"pump\": pump \"9\" is out of range \\(1-8\\)$"},
      {"priority out of range", small + "high-alarm-priority = 256\n",
       "^bad\\.world:6: \\[ai T1\\] field \"high-alarm-priority\": \"256\" is out of range \\(0-255\\)$"},
      {"delay not a number", small + "low-alarm-delay = soon\n", "^bad\\.world:6: .*\"low-alarm-delay\": .*out of range"},
      {"not a float", small + "gain = 1.5x\n", "^bad\\.world:6: \\[ai T1\\] field \"gain\": not a number: \"1.5x\"$"},
      {"infinite", small + "offset = inf\n", "^bad\\.world:6: .*\"offset\": not a number"},
      {"duplicate tag", small + "[di t1]\npump = 1\nitem = STATUS\n",
       "^bad\\.world:6: \\[di t1\\] duplicate tag t1$"},
      {"item of the other table", "[device D]\n[di T]\npump = 1\nitem = CYL1_POS\n",
       "^bad\\.world:4: \\[di T\\] field \"item\": \"CYL1_POS\" is no item of the pump's digital value table$"},
      {"missing item", "[device D]\n[ai T]\npump = 2\n", "^bad\\.world:2: \\[ai T\\] field \"item\": missing$"},
      {"no device", "[ai T]\npump = 1\nitem = CYL1_POS\n", "^bad\\.world:1: \\[ai T\\] field \"device\": no \\[device\\]"},
      {"unknown device", small + "[device DEV2]\n[ai T2]\ndevice = DEV3\npump = 1\nitem = CYL2_POS\n",
       "^bad\\.world:7: \\[ai T2\\] field \"device\": no device DEV3$"},
      {"tag too long", "[device D]\n[ai ABCDEFGHIJKLMNOP]\n", "^bad\\.world:2: .*tag has 1-15 characters$"},
      {"description too long", small + "description = " + std::string(33, 'x') + "\n",
       "^bad\\.world:6: .*\"description\": longer than 32 characters$"},
      {"bad escape", small + "units = a\\q\n", "^bad\\.world:6: .*\"units\": bad escape"},
      {"flag word", small + "scaling = on\n", "^bad\\.world:6: .*\"scaling\": \"on\" is not yes or no$"},
      {"given twice", small + "pump = 2\n", "^bad\\.world:6: \\[ai T1\\] field \"pump\": given twice$"},
      {"unknown section", "[pump 1]\n", "^bad\\.world:1: \\[pump 1\\] unknown section"},
      {"field before sections", "pump = 1\n", "^bad\\.world:1: field \"pump\": a field before any \\[section\\]$"},
      {"no equals", small + "just words\n", "^bad\\.world:6: \\[ai T1\\] expected"},
      {"remote host", "[server]\nhost = plant7\n", "^bad\\.world:2: \\[server\\] field \"host\": \"plant7\" is not this"},
      {"port", "[device D]\nport = LPT1\n", "^bad\\.world:2: \\[device D\\] field \"port\": \"LPT1\" is not a port"},
      {"data bits", "[device D]\ndata-bits = 9\n", "^bad\\.world:2: .*\"data-bits\": \"9\" is out of range \\(5-8\\)$"},
      {"fewer channels than sections", "[device D]\nai-channels = 0\n[ai T]\npump = 1\nitem = CYL1_POS\n",
       "^bad\\.world:1: \\[device D\\] field \"ai-channels\": 0 is fewer than its 1 channels$"},
      {"second instance", "[device A]\ninstance = 3\n[device B]\ninstance = 3\n", "^bad\\.world:3: .*\"instance\": instance used twice$"},
      {"same area code", "[device A]\nai-code = Q1\n[ai T]\npump = 1\nitem = CYL1_POS\n[device B]\nai-code = Q1\n"
                         "[ai U]\npump = 1\nitem = CYL1_POS\n",
       "^bad\\.world:6: \\[device B\\] field \"ai-code\": area code Q1 is used twice$"},
      {"second device section", "[device A]\n[device a]\n", "^bad\\.world:2: \\[device a\\] a second section"},
      {"no devices", "[server]\n", "^bad\\.world: no \\[device\\] section$"},
  };
  for (const BadCase &c : cases) {
    SimWorldSpec spec;
    std::string why;
    EXPECT_EQ(simfile_Parse(c.text, "bad.world", &spec, &why), -1) << c.what;
    EXPECT_TRUE(std::regex_search(why, std::regex(c.message))) << c.what << ": " << why;
  }
}

TEST(WorldFile, ReadsEveryFieldIntoTheRecord) {
  SimWorldSpec spec;
  std::string why;
  ASSERT_EQ(simfile_Parse(Fixture("three_pumps.world"), "three_pumps.world", &spec, &why), 0) << why;
  ASSERT_EQ(spec.devices.size(), 1u);
  const SimDeviceSpec &d = spec.devices[0];
  EXPECT_EQ(spec.configFolder, "C:\\PLANT\\CONFIG");
  EXPECT_EQ(spec.errorEntries, 24);
  EXPECT_EQ(d.folder, "LINE1");
  EXPECT_EQ(d.baudRate, 19200u);
  EXPECT_EQ(d.parity, 0);
  EXPECT_EQ(d.dataBits, 8u);
  EXPECT_EQ(d.scanRate, 250u);
  EXPECT_EQ(d.saveRate, 60000u);
  EXPECT_EQ(d.codes[IO_AI], "L1");
  EXPECT_EQ(d.channels[IO_AI], 12);
  EXPECT_EQ(d.channels[IO_DI], 8);
  ASSERT_EQ(spec.processorAreas.size(), 1u);
  EXPECT_EQ(spec.processorAreas[0].tags, std::vector<std::string>{"LINE1"});
  EXPECT_EQ(simfile_UnitsOnPort(spec, "COM1"), 0x07);
  EXPECT_EQ(simfile_UnitsOnPort(spec, "COM2"), 0);

  // Field by field at the record's own offsets.
  const ChannelRecord &pos = d.records[IO_AI][0];
  EXPECT_STREQ(chan_GetTag(&pos), "P1.POS");
  EXPECT_STREQ(chan_GetDescription(&pos), "Pump 1 cylinder 1 position");
  EXPECT_EQ(pos.a.Type, IO_AI);
  EXPECT_EQ(pos.a.HighAlarmLimit, 90.5f);
  EXPECT_EQ(pos.a.HighAlarmDeadband, 85.25f);
  EXPECT_EQ(pos.a.HighAlarmPriority, 3);
  EXPECT_EQ(pos.a.HighAlarmDelay, 2);
  EXPECT_EQ(pos.a.LowAlarmDelay, 1);
  EXPECT_EQ(std::string(pos.a.HighAlarmText), "Cylinder 1 overrun");
  uint16_t want = CHAN_AW_ENABLE | CHAN_AW_HIGH_ALARM_ENABLE | CHAN_AW_HIGH_ALARM_DEADBAND_ENABLE |
                  CHAN_AW_LOW_ALARM_ENABLE | CHAN_AW_LOW_ALARM_DRIVE_COMMON;
  EXPECT_EQ(chan_FlagWord(&pos), want);
  uint32_t pump = 0, item = 0;
  memcpy(&pump, pos.raw + CHAN_ANALOGUE_HW_OFFSET, 4);
  memcpy(&item, pos.raw + CHAN_ANALOGUE_HW_OFFSET + 4, 4);
  EXPECT_EQ(pump, 1u);
  EXPECT_EQ(item, 18u);  // CYL1_POS
  const ChannelRecord &vol = d.records[IO_AI][3];
  EXPECT_EQ(vol.a.Gain, 1000.0f);
  EXPECT_EQ(vol.a.Offset, -0.5f);
  EXPECT_EQ(vol.a.MinimumUnits, -1.0f);
  memcpy(&item, vol.raw + CHAN_ANALOGUE_HW_OFFSET + 4, 4);
  EXPECT_EQ(item, 9u);  // the ninth bulk field
  memcpy(&item, d.records[IO_AI][5].raw + CHAN_ANALOGUE_HW_OFFSET + 4, 4);
  EXPECT_EQ(item, 10u);  // the first set-point field
  const ChannelRecord &ext = d.records[IO_DI][1];
  EXPECT_EQ(ext.d.Type, IO_DI);
  EXPECT_EQ(ext.d.AlarmPriority, 4);
  EXPECT_EQ(ext.d.AlarmDelay, 5);
  EXPECT_EQ(chan_FlagWord(&ext), CHAN_DW_ENABLE | CHAN_DW_ALARM_ENABLE | CHAN_DW_ALARM_STATE | CHAN_DW_ALARM_DRIVE_COMMON);
  const ChannelRecord &valve = d.records[IO_DI][4];
  EXPECT_EQ(chan_FlagWord(&valve), CHAN_DW_ENABLE | CHAN_DW_EVENT_ENABLE);  // event when low: state bit clear
}

// The device folder's files, name to bytes.
std::map<std::string, std::string> FolderFiles(const std::string &dir) {
  std::map<std::string, std::string> out;
  for (const auto &e : std::filesystem::directory_iterator(dir))
    if (e.is_regular_file()) out[e.path().filename().string()] = tnwtest::ReadFile(e.path().string());
  return out;
}

// Builds `text`, keeps the device folders' files and what --dump writes.
void BuildAndDump(const std::string &text, std::vector<std::map<std::string, std::string>> *files, std::string *dump) {
  SimWorldSpec spec;
  std::string why;
  ASSERT_EQ(simfile_Parse(text, "w.world", &spec, &why), 0) << why << "\n" << text;
  ASSERT_EQ(sim_CreateWorld(spec, &why), 0) << why;
  files->clear();
  for (size_t i = 0; i < spec.devices.size(); ++i) files->push_back(FolderFiles(sim_DeviceFolder(static_cast<int>(i))));
  SimWorldSpec live;
  EXPECT_EQ(simfile_ReadLive(&live, &why), 0) << why;
  *dump = simfile_Write(live);
  sim_DestroyWorld();
}

TEST(WorldFile, DumpThenBuildGivesTheSameFiles) {
  const std::string twoDevices =
      Fixture("three_pumps.world") +
      "\n[device SPARE2]\ninstance = 4\nparity = even\ndata-bits = 7\nai-channels = 3\nstats-code = S2\nstats-channels = 10\n"
      "save-outputs = yes\nsave-by-tag = yes\n"
      "[ai SP.A\\x01B]\ndevice = SPARE2\npump = 8\nitem = AUX_AD32\ndescription = back\\\\slash\n"
      "[di SP.D]\ndevice = SPARE2\npump = 4\nitem = DIG_INPUT32\nenabled = no\n";
  for (const std::string &text : {Fixture("three_pumps.world"), twoDevices}) {
    std::vector<std::map<std::string, std::string>> first, second;
    std::string dump1, dump2;
    BuildAndDump(text, &first, &dump1);
    BuildAndDump(dump1, &second, &dump2);
    ASSERT_EQ(first.size(), second.size());
    for (size_t i = 0; i < first.size(); ++i) {
      EXPECT_GE(first[i].count("ai"), 1u);
      EXPECT_GE(first[i].count("config"), 1u);
      ASSERT_EQ(first[i].size(), second[i].size());
      for (const auto &[name, bytes] : first[i]) {
        // A channel file opens with its write time, which the scanner reads
        // to see a change: everything after it is the same.
        size_t from = name == "ai" || name == "di" ? 8 : 0;
        ASSERT_EQ(second[i][name].size(), bytes.size()) << name;
        EXPECT_TRUE(second[i][name].compare(from, std::string::npos, bytes, from, std::string::npos) == 0)
            << "device " << i << " file " << name;
      }
    }
    EXPECT_EQ(dump1, dump2);
  }
}

TEST(WorldFile, TheProductNameHoldsWhileTheWorldLives) {
  std::string before = prod_GetProductName();
  SimWorldSpec spec;
  std::string why;
  ASSERT_EQ(simfile_Parse(std::string("[server]\nproduct = Rimfold\n") + (kSmall + 9), "p.world", &spec, &why), 0) << why;
  ASSERT_EQ(sim_CreateWorld(spec, &why), 0) << why;
  EXPECT_STREQ(prod_GetProductName(), "Rimfold");
  SimWorldSpec live;
  ASSERT_EQ(simfile_ReadLive(&live, &why), 0) << why;
  EXPECT_NE(simfile_Write(live).find("product = Rimfold\n"), std::string::npos);
  sim_DestroyWorld();
  EXPECT_EQ(prod_GetProductName(), before);
}

TEST(ScadasimHelp, ExplainsEveryFieldTheScreenShows) {
  std::string out = tnwtest::MakeTempDir("simhelp") + "/help.txt";
  ASSERT_EQ(std::system((tnwtest::BinPath("scadasim") + " --help > '" + out + "'").c_str()), 0);
  std::string help = tnwtest::ReadFile(out);
  for (const char *field : {"running", "ready", "busy", "pass", "next", "status", "scan (busy)", "reconfigured",
                            "initialised", "stopped", "CH", "TAG", "VALUE", "UNITS", "STATE", "BAD", "ALARM-HI", "ANN",
                            "WARN-HI", "EVENT-HI", "MOVED", "delay", "priority", "drive-common", "(bad)", "derived",
                            "logger", "200000", "DIG_INPUT1", "world FILE", "world --dump", "watch", "scanner start|stop",
                            "\\xHH"})
    EXPECT_NE(help.find(field), std::string::npos) << field;
  std::istringstream lines(help);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
}

TEST(WorldFile, ControlBytesAreWrittenEscaped) {
  EXPECT_EQ(simfile_Escape(std::string("A\x01\x1b[2J\\z\x7f", 9)), "A\\x01\\x1B[2J\\\\z\\x7F");
  SimWorldSpec spec;
  std::string why;
  ASSERT_EQ(simfile_Parse("[device D]\n[ai A\\x1B]\npump = 1\nitem = CYL1_POS\nunits = \\x07\n", "e.world", &spec, &why), 0)
      << why;
  const ChannelRecord &r = spec.devices[0].records[IO_AI][0];
  EXPECT_STREQ(chan_GetTag(&r), "A\x1b");
  EXPECT_STREQ(chan_GetUnits(&r), "\x07");
  std::string text = simfile_Write(spec);
  EXPECT_NE(text.find("[ai A\\x1B]\n"), std::string::npos) << text;
  EXPECT_NE(text.find("units = \\x07\n"), std::string::npos) << text;
  for (char c : text) EXPECT_TRUE(c == '\n' || (c >= 32 && c < 127)) << static_cast<int>(c);
}

TEST(WorldFile, TheDemoWorldReadsAndWritesBackAsItIs) {
  std::string text = tnwtest::ReadFile(tnwtest::BinPath("demo.world"));
  ASSERT_FALSE(text.empty());
  SimWorldSpec spec;
  std::string why;
  ASSERT_EQ(simfile_Parse(text, "demo.world", &spec, &why), 0) << why;
  // Written back, it differs only in its opening comment.
  auto body = [](const std::string &t) { return t.substr(t.find("[server]")); };
  EXPECT_EQ(body(simfile_Write(spec)), body(text));
}

}  // namespace
