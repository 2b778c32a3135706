// lcfg_ReadLogger of a "stand" XML file holding every field (about 1,000
// elements, every switch on) against a bare libxml2 parse of the same file
// that visits every element and its text; warm cache, 5 warm-up reads, then
// the median of 31 runs each, the two sides alternating.
// Usage: bench_logger_config [--runs N]. Prints "config_read_ratio"; exits 1
// when it is above 3.0.
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "framework/config/cfg_history.h"
#include "platform/os_registry.h"
#include "plugin/loggers/lcfg_files.h"
#include "plugin/loggers/lcfg_types.h"

namespace {

using Clock = std::chrono::steady_clock;
double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

constexpr double kTarget = 3.0;

void SetServerText(const char *name, const char *value) {
  OsHKey k = nullptr;
  if (os_RegCreateKeyEx(OS_HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenford\\Tessarine", 0, OS_KEY_ALL_ACCESS, nullptr, &k,
                        nullptr) != 0)
    return;
  os_RegSetValueEx(k, name, OS_REG_SZ, value, static_cast<uint32_t>(strlen(value) + 1));
  os_RegCloseKey(k);
}

template <size_t N>
void Put(char (&field)[N], const std::string &text) {
  snprintf(field, N, "%s", text.c_str());
}

// Every switch on, so that every conditional field is written with a value.
LoggerStand Full() {
  LoggerStand r{};
  r.Autostart = 1;
  Put(r.Name, "Outlet pressures");
  r.Storage = 1;
  r.Type = 1;
  r.EventLogs = r.Delete = r.Cycle = r.TextLogging = r.LogByTag = r.Replicate = r.DropMerge = 1;
  r.DiskSpaceChecking = r.SaveConfigurationFile = r.DataExport = r.Email = r.EmailUseSMTPLogin = 1;
  r.ExportType = 2;
  Put(r.Directory, "C:\\LOGS\\stand");
  Put(r.Database, "PROVIDER=SQLOLEDB;Data Source=HOSTA");
  Put(r.EmailSMTPPassword, "s3cret!");
  Put(r.EmailText, "The run of the outlet pressures is attached.");
  for (uint32_t i = 0; i < LCFG_CHANNELS; ++i) {
    Put(r.LogChannelData[i].Prefix, "AI");
    r.LogChannelData[i].From = static_cast<uint16_t>(i + 1);
    r.LogChannelData[i].To = static_cast<uint16_t>(i + 9);
    Put(r.LogChannelData[i].TagFrom, "PUMP" + std::to_string(i) + "_OUT");
    Put(r.EventChannels[i].Range.Prefix, "DI");
    r.EventChannels[i].Range.To = static_cast<uint16_t>(i);
  }
  r.Options = 0x5A;
  r.FlagWord = 0xBEEF;
  return r;
}

// The baseline: parse, visit every element and the length of its text.
size_t BareParse(const std::string &file, size_t *elements) {
  xmlDocPtr doc = xmlReadFile(file.c_str(), nullptr, XML_PARSE_NOBLANKS | XML_PARSE_NONET);
  if (!doc) return 0;
  size_t text = 0, count = 0;
  std::vector<xmlNodePtr> stack{xmlDocGetRootElement(doc)};
  while (!stack.empty()) {
    xmlNodePtr n = stack.back();
    stack.pop_back();
    for (; n; n = n->next) {
      if (n->type != XML_ELEMENT_NODE) continue;
      ++count;
      if (n->children && n->children->type == XML_TEXT_NODE && n->children->content)
        text += strlen(reinterpret_cast<const char *>(n->children->content));
      if (n->children) stack.push_back(n->children);
    }
  }
  xmlFreeDoc(doc);
  *elements = count;
  return text + 1;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

int Run(int runs) {
  std::string root = getenv("PLATFORM_ROOT");
  std::string config = root + "/drives/c/BENCH", dir = config + "/LOGGERS";
  std::filesystem::create_directories(dir);
  std::ofstream(config + "/config", std::ios::binary).write("\0\0", 2);
  SetServerText("ReadXML", "ON");
  SetServerText("WriteXML", "XML");
  cfg_SetHistoryEnabled(0);
  const char *folder = "C:\\BENCH\\LOGGERS";
  LoggerStand r = Full();
  if (lcfg_WriteLogger(folder, "bench", "stand", 1, &r, sizeof r) != 0)
    return fprintf(stderr, "cannot write the logger configuration\n"), 1;
  std::string file = dir + "/stand_1.xml";
  size_t elements = 0;
  if (!BareParse(file, &elements)) return fprintf(stderr, "libxml2 cannot parse %s\n", file.c_str()), 1;
  std::vector<LoggerStand> back(1);
  for (int i = 0; i < 5; ++i) {
    size_t e = 0;
    if (lcfg_ReadLogger(folder, "stand", 1, back.data(), sizeof back[0]) != 0 || !BareParse(file, &e))
      return fprintf(stderr, "warm-up read failed\n"), 1;
  }
  std::vector<double> ours, bare;
  for (int i = 0; i < runs; ++i) {
    auto t = Clock::now();
    if (lcfg_ReadLogger(folder, "stand", 1, back.data(), sizeof back[0]) != 0)
      return fprintf(stderr, "read failed\n"), 1;
    ours.push_back(Since(t));
    size_t e = 0;
    t = Clock::now();
    if (!BareParse(file, &e)) return 1;
    bare.push_back(Since(t));
  }
  if (back[0].FlagWord != 0xBEEF || back[0].LogChannelData[63].To != 72)
    return fprintf(stderr, "the record read back differs\n"), 1;
  double ratio = Median(ours) / Median(bare);
  printf("elements %zu, file %ju bytes\nlcfg_ReadLogger median %.3f ms\nlibxml2 parse median %.3f ms\n", elements,
         static_cast<uintmax_t>(std::filesystem::file_size(file)), Median(ours) * 1e3, Median(bare) * 1e3);
  printf("config_read_ratio %.3f\n", ratio);
  return ratio <= kTarget ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  int runs = 31;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--runs") == 0 && i + 1 < argc) runs = atoi(argv[++i]);
    else return fprintf(stderr, "usage: bench_logger_config [--runs N]\n"), 2;
  }
  if (runs < 1) return 2;
  std::string tempRoot;
  const char *root = getenv("PLATFORM_ROOT");
  if (!root || !*root) {
    char templ[] = "/tmp/bench-lcfg-XXXXXX";
    if (!mkdtemp(templ)) return perror("mkdtemp"), 1;
    tempRoot = templ;
    setenv("PLATFORM_ROOT", templ, 1);
  }
  int status = Run(runs);
  if (!tempRoot.empty()) std::filesystem::remove_all(tempRoot);
  return status;
}
