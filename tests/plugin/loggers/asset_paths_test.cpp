// Asset folders below a root set with regtool: codes, level values, headers
// and their named values, positions here and through a server's "LF"
// answer, and the header run with the look at (and closing of) the last run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "framework/server/srv_client.h"
#include "platform/ado/ado.h"
#include "platform/os_error.h"
#include "platform/os_io.h"
#include "plugin/dbstores/asset_folders.h"
#include "plugin/dbstores/asset_settings.h"
#include "plugin/loggers/asset_runs.h"
#include "plugin/loggers/log_file_collection.h"
#include "plugin/loggers/log_format.h"
#include "plugin/loggers/log_run_name.h"
#include "tests/support/child_run.h"
#include "tests/support/test_root.h"
#include "tools/scadasim/sim_requests.h"

namespace fs = std::filesystem;

namespace {

const std::string kRoot = "C:\\ASSETS";
const std::string kWell = kRoot + "\\E\\FRANCE\\ACME\\NORTH\\F1\\W1";
constexpr int32_t kT0 = 1672574400;  // 2023-01-01 12:00:00

std::string OnDisk(const std::string &rel) { return tnwtest::Root() + "/drives/c/ASSETS/" + rel; }

void Put(const std::string &rel, const std::string &ini) {
  fs::create_directories(OnDisk(rel));
  if (!ini.empty()) {
    ASSERT_TRUE(tnwtest::WriteFile(OnDisk(rel) + "/information.ini", ini));
  }
}

std::string Stamp(int32_t seconds) {
  char s[14];
  log_FormatStamp(seconds, s);
  return std::string(s, 13);
}

std::vector<std::string> Listing(const std::string &dir) {
  std::vector<std::string> names;
  for (const auto &e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class AssetPaths : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static bool done = false;
    if (done) return;
    done = true;
    std::string cmd = tnwtest::BinPath("regtool") +
                      " write 'HKLM\\SOFTWARE\\Quenford\\Tessarine\\FIELDTOBASE' ROOT sz 'C:\\ASSETS'";
    ASSERT_EQ(tnwtest::ShellRun(cmd).status, 0);
    Put("E/FRANCE/ACME/NORTH/F1/W1", "[HEADER]\r\nWell: deep one\r\n");
    Put("E/FRANCE/ACME/NORTH/F1", "[POSITION]\r\nLATITUDE=47.5\r\nLONGITUDE=1.25\r\n");
    Put("E/FRANCE/ACME",
        "[HEADER]\r\nRegion:E\r\nOperator: Acme Oil\r\nDepth:\"%f\" 1250.5\r\nSlots:\"%d\" 12\r\n"
        "Bad:\"%d\" twelve\r\nLabel:\"plain\" x\r\nA very long name that goes past twenty-four:v\r\nNoColon\r\n"
        "[USERLIMIT]\r\nLIMIT=5\r\n");
    Put("N/ATLANTIS/C", "");
    Put("X/FRANCE/C", "");
  }
};

TEST_F(AssetPaths, CodesOfPaths) {
  const std::string deeper = kWell + "\\SLOW_LOG";
  const struct {
    std::string path;
    const char *code, *partial;  // null: no code
  } cases[] = {
      {kWell, "E_FR_ACME_NORTH_F1_W1", "E_FR_ACME_NORTH_F1_W1"},
      {"c:\\assets\\E\\france\\ACME\\", "E_FR_ACME", "E_FR_ACME"},
      {kRoot + "\\N\\Atlantis\\C", "N_--_C", "N_--_C"},
      {kRoot + "\\X\\FRANCE", "X_FR", "X_FR"},
      {kRoot + "\\E", "E", "E"},
      {deeper, nullptr, "E_FR_ACME_NORTH_F1_W1"},  // deeper than the levels
      {kRoot, nullptr, ""},
      {kRoot + "X\\E", nullptr, ""},
      {"C:\\OTHER\\E\\FRANCE", nullptr, ""},
      {kRoot + "\\E\\\\FRANCE", nullptr, ""},  // an empty level
      {kRoot + "\\E\\" + std::string(260, 'A'), nullptr, ""},
  };
  for (const auto &c : cases) {
    const char *code = asset_Code(".", c.path.c_str(), 0);
    if (c.code) EXPECT_STREQ(code, c.code) << c.path;
    else EXPECT_EQ(code, nullptr) << c.path;
    EXPECT_STREQ(asset_Code(nullptr, c.path.c_str(), 1), c.partial) << c.path;
  }
}

TEST_F(AssetPaths, LevelValuesOfCodes) {
  const struct {
    const char *code;
    int level;
    const char *name, *value;  // null value: refused
  } cases[] = {
      {"E_FR_ACME_NORTH_F1_W1", 1, "REGION", "EUROPE CIS"},
      {"E_FR_ACME_NORTH_F1_W1", 2, "COUNTRY", "FRANCE"},
      {"E_FR_ACME_NORTH_F1_W1", 3, "CUSTOMER", "ACME"},
      {"E_FR_ACME_NORTH_F1_W1", 6, "WELL", "W1"},
      {"E_FR_ACME_NORTH_F1_W1", 7, nullptr, nullptr},
      {"E_FR_ACME_NORTH_F1_W1", 0, nullptr, nullptr},
      {"s_fr", 1, "REGION", "SOUTHERN AND WEST AFRICA"},
      {"E_fr", 2, "COUNTRY", "FRANCE"},
      {"X_FR", 1, nullptr, nullptr},   // no region
      {"E_--", 2, nullptr, nullptr},   // no country
      {"E_FR_ACME", 4, nullptr, nullptr},
      {"E_FR__NORTH", 3, nullptr, nullptr},
  };
  for (const auto &c : cases) {
    char name[32] = "#", value[64] = "#";
    int ok = asset_LevelValue(".", c.level, c.code, name, sizeof name, value, sizeof value);
    SCOPED_TRACE(std::string(c.code) + " level " + std::to_string(c.level));
    ASSERT_EQ(ok, c.value ? 1 : 0);
    EXPECT_STREQ(name, c.value ? c.name : "#");
    EXPECT_STREQ(value, c.value ? c.value : "#");
  }
  char name[32] = "#", value[10] = "#";
  EXPECT_EQ(asset_LevelValue(".", 1, "E_FR", name, sizeof name, value, sizeof value), 0) << "EUROPE CIS needs 11";
  EXPECT_STREQ(name, "#");
}

TEST_F(AssetPaths, HeaderOfTheDeepestFileAndItsExtraLines) {
  char buf[512];
  ASSERT_EQ(asset_GetHeader(".", kWell.c_str(), buf, sizeof buf), 1);
  EXPECT_STREQ(buf, "Well: deep one\r\n");
  const std::string field = kRoot + "\\E\\FRANCE\\ACME\\NORTH\\F1";
  const std::string acme =
      "Region:E\r\nOperator: Acme Oil\r\nDepth:\"%f\" 1250.5\r\nSlots:\"%d\" 12\r\nBad:\"%d\" twelve\r\n"
      "Label:\"plain\" x\r\nA very long name that goes past twenty-four:v\r\nNoColon\r\n";
  ASSERT_EQ(asset_GetHeader(".", field.c_str(), buf, sizeof buf), 1);
  EXPECT_EQ(std::string(buf), acme);
  ASSERT_EQ(asset_GetHeaderExtra(".", field.c_str(), buf, sizeof buf), 1);
  EXPECT_EQ(std::string(buf), acme.substr(strlen("Region:E\r\n")));
  ASSERT_EQ(asset_GetHeaderExtra(".", kWell.c_str(), buf, sizeof buf), 1);
  EXPECT_STREQ(buf, "") << "a level's line is no extra";

  strcpy(buf, "#");
  EXPECT_EQ(asset_GetHeader(".", field.c_str(), buf, acme.size()), 0) << "no room for the terminator";
  EXPECT_STREQ(buf, "#");
  EXPECT_EQ(asset_GetHeader(".", (kRoot + "\\N\\ATLANTIS\\C").c_str(), buf, sizeof buf), 0);
  EXPECT_EQ(asset_GetHeader(".", "C:\\OTHER\\E\\FRANCE\\ACME", buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "#");
}

TEST_F(AssetPaths, HeaderValuesWithNumbers) {
  const std::string field = kRoot + "\\E\\FRANCE\\ACME\\NORTH\\F1";
  AssetHeaderValue v[ASSET_VALUE_MAX];
  int n = asset_HeaderValues(".", field.c_str(), v, ASSET_VALUE_MAX);
  const struct {
    const char *name;
    int kind;
    double number;
    const char *text;
  } want[] = {
      {"REGION", ASSET_VALUE_TEXT, 0, "E"},
      {"COUNTRY", ASSET_VALUE_TEXT, 0, "FRANCE"},
      {"CUSTOMER", ASSET_VALUE_TEXT, 0, "ACME"},
      {"CLIENT", ASSET_VALUE_TEXT, 0, "NORTH"},
      {"FIELD", ASSET_VALUE_TEXT, 0, "F1"},
      {"Region", ASSET_VALUE_TEXT, 0, "E"},
      {"Operator", ASSET_VALUE_TEXT, 0, "Acme Oil"},
      {"Depth", ASSET_VALUE_FLOAT, 1250.5, "1250.5"},
      {"Slots", ASSET_VALUE_INT, 12, "12"},
      {"Bad", ASSET_VALUE_TEXT, 0, "\"%d\" twelve"},
      {"Label", ASSET_VALUE_TEXT, 0, "\"plain\" x"},
      {"A very long name that go", ASSET_VALUE_TEXT, 0, "v"},
  };
  ASSERT_EQ(n, static_cast<int>(std::size(want)));
  for (int i = 0; i < n; ++i) {
    SCOPED_TRACE(i);
    EXPECT_STREQ(v[i].name, want[i].name);
    EXPECT_EQ(v[i].kind, want[i].kind);
    EXPECT_EQ(v[i].number, want[i].number);
    EXPECT_STREQ(v[i].text, want[i].text);
  }
  EXPECT_EQ(asset_HeaderValues(".", field.c_str(), v, 3), 3);
  EXPECT_EQ(asset_HeaderValues(".", "C:\\OTHER\\E", v, ASSET_VALUE_MAX), -1);

  // Never more than 64, whatever the header holds.
  std::string many = "[HEADER]\r\n";
  for (int i = 0; i < 80; ++i) many += "V" + std::to_string(i) + ":" + std::to_string(i) + "\r\n";
  Put("E/FRANCE/MANY", many);
  std::vector<AssetHeaderValue> lots(100);
  n = asset_HeaderValues(".", (kRoot + "\\E\\FRANCE\\MANY").c_str(), lots.data(), 100);
  ASSERT_EQ(n, 64);
  EXPECT_STREQ(lots[63].name, "V60");
}

TEST_F(AssetPaths, UserLimitHereAndElsewhere) {
  const std::string acme = kRoot + "\\E\\FRANCE\\ACME";
  EXPECT_EQ(asset_UserLimitHere(".", acme.c_str()), 5);
  EXPECT_EQ(asset_UserLimitHere(nullptr, kWell.c_str()), -1);
  EXPECT_EQ(asset_UserLimitHere("HOSTL", acme.c_str()), 1);
}

class AssetRemote : public AssetPaths {
 protected:
  void SetUp() override {
    srv_CloseAllConnections();
    SimRequestSpec spec;
    spec.host = "HOSTL";
    spec.answer = [this](const std::string &line, std::string *reply) {
      if (hook.empty() || line.rfind("LF,", 0) != 0) return false;
      *reply = hook + std::string(1, '\0');
      return true;
    };
    std::string why;
    server = sim_StartRequestServer(spec, &why);
    ASSERT_NE(server, nullptr) << why;
  }
  void TearDown() override {
    srv_CloseAllConnections();
    if (server) sim_StopRequestServer(server);
  }
  size_t Asked() const {
    size_t n = 0;
    for (const std::string &r : sim_ServedRequests(server)) n += r.rfind("LF,", 0) == 0;
    return n;
  }
  SimRequestServer *server = nullptr;
  std::string hook;  // non-empty: the reply to every "LF"
};

TEST_F(AssetRemote, PositionsHereAndThroughTheServer) {
  const struct {
    std::string path;
    int found;
    double latitude, longitude;
  } cases[] = {
      {kWell, 1, 47.5, 1.25},                          // the field's file
      {kRoot + "\\E\\FRANCE\\OTHER", 1, 46.0, 2.0},    // the country's
      {kRoot + "\\N\\ATLANTIS\\C", 1, 48.807, -104.414},  // the region's
      {kRoot + "\\X\\FRANCE\\C", 0, 0, 0},
      {"C:\\OTHER\\E\\FRANCE", 0, 0, 0},
  };
  for (const char *host : {".", "HOSTL"}) {
    for (const auto &c : cases) {
      SCOPED_TRACE(std::string(host) + " " + c.path);
      size_t before = Asked();
      double lat = 99, lon = 99;
      ASSERT_EQ(asset_GetPosition(host, c.path.c_str(), &lat, &lon), c.found);
      EXPECT_EQ(Asked() - before, strcmp(host, ".") == 0 ? 0u : 1u);
      EXPECT_NEAR(lat, c.found ? c.latitude : 99, 1e-3);
      EXPECT_NEAR(lon, c.found ? c.longitude : 99, 1e-3);
    }
  }
  EXPECT_EQ(sim_ServedRequests(server).back(), "LF,C:\\OTHER\\E\\FRANCE,information.ini");
}

TEST_F(AssetRemote, BadAnswersGiveNoPosition) {
  const char *replies[] = {"1,abc,2", "1,5", "1,5,", "1", "0,1,2", "-1,5", "1,5,6x"};
  for (const char *r : replies) {
    hook = r;
    double lat = 99, lon = 99;
    EXPECT_EQ(asset_GetPosition("HOSTL", kWell.c_str(), &lat, &lon), 0) << r;
    EXPECT_EQ(lat, 99) << r;
    EXPECT_EQ(lon, 99) << r;
  }
  hook = "1,-12.5,7.25";
  double lat = 0, lon = 0;
  ASSERT_EQ(asset_GetPosition("HOSTL", kWell.c_str(), &lat, &lon), 1);
  EXPECT_EQ(lat, -12.5);
  EXPECT_EQ(lon, 7.25);
  size_t before = Asked();
  EXPECT_EQ(asset_GetPosition("HOSTL", (kRoot + "\\E\\A,B").c_str(), &lat, &lon), 0);
  EXPECT_EQ(asset_GetPosition("HOSTL", (kRoot + "\\E\\" + std::string(260, 'A')).c_str(), &lat, &lon), 0);
  EXPECT_EQ(Asked(), before) << "a field the line cannot carry is not sent";
  EXPECT_EQ(asset_GetPosition("NOSUCHHOST", kWell.c_str(), &lat, &lon), 0);
  EXPECT_EQ(lat, -12.5);
}

// Records of a run with no channels: mark and time.
std::string Records(int32_t first, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) {
    std::string r(LOG_RECORD_TIME + 8, '\0');
    uint16_t mark = LOG_RECORD_MARK;
    TimeStamp t{first + i * 10, 0, 0};
    memcpy(&r[0], &mark, 2);
    memcpy(&r[LOG_RECORD_TIME], &t, sizeof t);
    out += r;
  }
  return out;
}

// A run of `prefix` at `start` with `records` records, left open.
void AddRun(const std::string &folder, const char *prefix, int32_t start, int records) {
  CLogFileCollection c;
  ASSERT_EQ(c.Open(nullptr, folder.c_str(), "L", prefix, OS_GENERIC_READ | OS_GENERIC_WRITE), 0);
  LogFileHeader h;
  memset(&h, 0, sizeof h);
  h.recordSize = LOG_RECORD_TIME + 8;
  std::unique_ptr<CLogStore> s(c.CreateRun(&start, 1, nullptr, &h, nullptr, 0, nullptr, nullptr, nullptr));
  ASSERT_NE(s, nullptr) << os_GetLastError();
  if (records) {
    std::string bytes = Records(start + 5, records);
    ASSERT_EQ(s->WriteLogs(&h, bytes.data(), static_cast<uint32_t>(records)), 0);
  }
  s->Close();
}

TEST_F(AssetPaths, HeaderRunThenLastRunOnFiles) {
  const std::string well = kRoot + "\\E\\FRANCE\\ACME\\NORTH\\F2\\W9";
  const std::string dir = OnDisk("E/FRANCE/ACME/NORTH/F2/W9");
  int32_t start = 0;
  int done = -1;
  EXPECT_EQ(asset_RunInfo(".", well.c_str(), nullptr, "HR", &start, &done), 0) << "no folder yet";
  EXPECT_EQ(start, 0);
  EXPECT_EQ(done, -1);
  EXPECT_EQ(asset_WriteHeaderRun(".", "C:\\OTHER\\E\\X", nullptr, "HR", kT0), 0);
  EXPECT_FALSE(fs::exists(tnwtest::Root() + "/drives/c/OTHER"));

  ASSERT_EQ(asset_WriteHeaderRun(".", well.c_str(), nullptr, "HR", kT0), 1) << os_GetLastError();
  EXPECT_EQ(Listing(dir), (std::vector<std::string>{"HR" + Stamp(kT0) + ".odl", "HR" + Stamp(kT0) + ".txt"}));
  EXPECT_EQ(tnwtest::ReadFile(dir + "/HR" + Stamp(kT0) + ".txt"),
            "[HEADER]\r\nREGION:E\r\nCOUNTRY:FRANCE\r\nCUSTOMER:ACME\r\nCLIENT:NORTH\r\nFIELD:F2\r\nWELL:W9\r\n"
            "Region:E\r\nOperator:Acme Oil\r\nDepth:1250.500000\r\nSlots:12\r\nBad:\"%d\" twelve\r\n"
            "Label:\"plain\" x\r\nA very long name that go:v\r\n");
  ASSERT_EQ(asset_LastRunTime(".", well.c_str(), nullptr, "HR", &start), 1);
  EXPECT_EQ(start, kT0);
  ASSERT_EQ(asset_RunInfo(".", well.c_str(), nullptr, "HR", &start, &done), 1);
  EXPECT_EQ(done, 0);
  EXPECT_EQ(asset_WriteHeaderRun(".", well.c_str(), nullptr, "HR", kT0), 0) << "the same second's run stays";

  // A run with records, another logger's newer run, then an empty newest run.
  AddRun(well, "HR", kT0 + 3600, 3);
  AddRun(well, "ZZ", kT0 + 9000, 1);
  ASSERT_EQ(asset_RunInfo(".", well.c_str(), nullptr, "HR", &start, &done), 1);
  EXPECT_EQ(start, kT0 + 3600);
  EXPECT_EQ(done, 0);
  ASSERT_EQ(asset_CloseLastRun(".", well.c_str(), nullptr, "HR", 0), 1);
  const std::string closed = "HR" + Stamp(kT0 + 3600) + "_" + Stamp(kT0 + 3600 + 5 + 20) + ".odl";
  EXPECT_TRUE(fs::exists(dir + "/" + closed)) << ::testing::PrintToString(Listing(dir));
  ASSERT_EQ(asset_RunInfo(".", well.c_str(), nullptr, "HR", &start, &done), 1);
  EXPECT_EQ(start, kT0 + 3600);
  EXPECT_EQ(done, 1);

  AddRun(well, "HR", kT0 + 7200, 0);
  ASSERT_EQ(asset_RunInfo(".", well.c_str(), nullptr, "HR", &start, &done), 1);
  EXPECT_EQ(start, kT0 + 3600) << "the newest holds no record: the one before";
  EXPECT_EQ(done, 1);
  // Without records (or with the flag) the run keeps no stop time.
  ASSERT_EQ(asset_CloseLastRun(".", well.c_str(), nullptr, "HR", 0), 1);
  EXPECT_TRUE(fs::exists(dir + "/HR" + Stamp(kT0 + 7200) + ".odl"));
  ASSERT_EQ(asset_LastRunTime(".", well.c_str(), nullptr, "ZZ", &start), 1);
  EXPECT_EQ(start, kT0 + 9000);
  ASSERT_EQ(asset_CloseLastRun(".", well.c_str(), nullptr, "ZZ", 1), 1);
  EXPECT_TRUE(fs::exists(dir + "/ZZ" + Stamp(kT0 + 9000) + ".odl"));
  EXPECT_TRUE(fs::exists(dir + "/" + closed)) << "another prefix's close leaves HR alone";
}

TEST_F(AssetPaths, HeaderRunInADatabase) {
  std::string db = tnwtest::Root() + "/hosts/./sqlserver";
  fs::create_directories(db);
  std::string why;
  ASSERT_EQ(ado::ado_CreateFile(db + "/assets.db", &why), ado::ADO_S_OK) << why;
  const char *cs = "Provider=SQLOLEDB;Data Source=.;Initial Catalog=assets";
  const std::string well = kRoot + "\\E\\FRANCE\\ACME\\NORTH\\F3\\W3";
  ASSERT_EQ(asset_WriteHeaderRun(".", well.c_str(), cs, "", kT0), 1) << os_GetLastError();
  EXPECT_TRUE(fs::is_directory(OnDisk("E/FRANCE/ACME/NORTH/F3/W3")));
  EXPECT_TRUE(fs::is_empty(OnDisk("E/FRANCE/ACME/NORTH/F3/W3"))) << "the run is in the database";
  int32_t start = 0;
  int done = -1;
  ASSERT_EQ(asset_RunInfo(".", well.c_str(), cs, "", &start, &done), 1);
  EXPECT_EQ(start, kT0);
  EXPECT_EQ(done, 0);
  EXPECT_EQ(asset_RunInfo(".", (kRoot + "\\E\\FRANCE\\ACME\\NORTH\\F3\\OTHER").c_str(), cs, "", &start, &done), 0)
      << "another asset is another logger";
  EXPECT_EQ(asset_CloseLastRun(".", well.c_str(), cs, "", 0), 1);
}

}  // namespace
