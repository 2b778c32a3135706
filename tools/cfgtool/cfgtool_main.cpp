// cfgtool: the configuration tool's part towards the plug-in. It loads
// tnwll_cf.so by name, publishes the host state, builds the device's record
// from its configuration folder on any server, runs the plug-in's dialogs,
// paste and print-outs, and writes changes back to the server's
// configuration as the configuration tool does (the scanner takes them at
// its next reconfigure).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/ui/ui_layer.h"
#include "platform/ui/ui_print.h"
#include "plugin/cf_exports.h"
#include "plugin/connect/cfg_access.h"
#include "plugin/connect/con_transports.h"

namespace {

const char kUsage[] =
    "usage: cfgtool [options] COMMAND\n"
    "commands:\n"
    "  device                 the device dialog on the serial settings\n"
    "  channel TYPE N         the channel dialog on channel N (from 1) of TYPE (AI DI AO DO CI)\n"
    "  paste TYPE FROM TO     pastes channel FROM onto channel TO\n"
    "  print TYPE [FIRST LAST]  prints one type's table to the PDF\n"
    "  print-all              prints the whole configuration to the PDF\n"
    "options:\n"
    "  --server S             the server (default \".\": this computer)\n"
    "  --folder F             the device's configuration folder (required)\n"
    "  --name N               the device's name (default: the folder)\n"
    "  --types LIST           area codes and channel counts in AI,DI,AO,DO,CI order,\n"
    "                         e.g. A1:8,D1:16,,, (an empty entry: no channels)\n"
    "  --default-port P       the host's default serial port (default 1)\n"
    "  --pdf FILE             where print-outs go (default cfgtool.pdf), A4 landscape\n"
    "  --png FILE             also a PNG of the print-out's last page\n"
    "  --script FILE          scripted dialogs: one action a line (pick ID TEXT,\n"
    "                         pick-position ID N, type ID TEXT, ok, cancel, help)\n"
    "  --screenshot F.png     with a display: save the dialog's window, then Cancel\n"
    "  --help                 this text\n"
    "exit: 0 done, 1 failed, 2 bad arguments or script\n";

const char *const kTypeNames[IO_TYPE_COUNT] = {"AI", "DI", "AO", "DO", "CI"};
const char kString801[] = "The channel cannot be pasted: its I/O type differs from the destination's.";

uint8_t g_application[UI_APP_SIZE];
UiScript g_script;
int g_waitDepth = 0;

int LoadString(uint32_t id, char *out, int size) {
  if (id != 801 || size <= 0) return 0;
  return snprintf(out, static_cast<size_t>(size), "%s", kString801);
}
void BeginWait() { ++g_waitDepth; }
void EndWait() { --g_waitDepth; }

char g_hostResources;

}  // namespace

extern "C" __attribute__((visibility("default"))) UiHostState tnw_ui_host;
UiHostState tnw_ui_host = {sizeof(UiHostState), g_application, &g_hostResources, LoadString, BeginWait, EndWait,
                           nullptr, UI_BACKEND_SCRIPTED, &g_script, nullptr};

namespace {

struct Options {
  std::string server = ".", folder, name, types, pdf = "cfgtool.pdf", png, script, screenshot;
  int defaultPort = 1;
  std::vector<std::string> command;
};

int Fail(const char *what) {
  fprintf(stderr, "cfgtool: %s\n", what);
  return 1;
}

int BadArgs(const std::string &what) {
  fprintf(stderr, "cfgtool: %s\n%s", what.c_str(), kUsage);
  return 2;
}

int TypeOf(const std::string &name) {
  for (int t = 0; t < IO_TYPE_COUNT; ++t)
    if (name == kTypeNames[t]) return t;
  return -1;
}

bool Number(const std::string &text, long low, long high, int *out) {
  char *end = nullptr;
  long v = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end || v < low || v > high) return false;
  *out = static_cast<int>(v);
  return true;
}

// "A1:8,D1:16,,," into the record's type table.
bool ParseTypes(const std::string &list, HostDeviceRecord *d) {
  size_t at = 0;
  for (int t = 0; t < IO_TYPE_COUNT; ++t) {
    size_t comma = list.find(',', at);
    std::string item = list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    at = comma == std::string::npos ? list.size() : comma + 1;
    if (item.empty()) continue;
    size_t colon = item.find(':');
    int count = 0;
    if (colon != 2 || !Number(item.substr(3), 0, 65535, &count)) return false;
    memcpy(d->types[t].code, item.data(), 2);
    d->types[t].count = static_cast<uint16_t>(count);
    if (comma == std::string::npos && t + 1 < IO_TYPE_COUNT) break;
  }
  return at >= list.size();
}

struct Plugin {
  OsModuleHandle module = nullptr;
  CfConfigAdvanDevSpecific device = nullptr;
  CfConfigChanDevSpecific channel = nullptr;
  CfPasteChannel paste = nullptr;
  CfPrintConfig print = nullptr;
  CfPrintAllConfig printAll = nullptr;
};

bool LoadPlugin(Plugin *p) {
  p->module = os_LoadLibrary("tnwll_cf.dll");
  if (!p->module) return false;
  p->device = reinterpret_cast<CfConfigAdvanDevSpecific>(os_GetProcAddress(p->module, "DLL_ConfigAdvanDevSpecific"));
  p->channel = reinterpret_cast<CfConfigChanDevSpecific>(os_GetProcAddress(p->module, "DLL_ConfigChanDevSpecific"));
  p->paste = reinterpret_cast<CfPasteChannel>(os_GetProcAddress(p->module, "DLL_PasteChannel"));
  p->print = reinterpret_cast<CfPrintConfig>(os_GetProcAddress(p->module, "PrintConfig"));
  p->printAll = reinterpret_cast<CfPrintAllConfig>(os_GetProcAddress(p->module, "PrintAllConfig"));
  return p->device && p->channel && p->paste && p->print && p->printAll;
}

int LoadScript(const std::string &path) {
  FILE *f = fopen(path.c_str(), "r");
  if (!f) return BadArgs("cannot read the script " + path);
  char line[512];
  int number = 0, status = 0;
  while (fgets(line, sizeof line, f)) {
    ++number;
    char error[200];
    if (ui_ScriptParseLine(&g_script, line, error, sizeof error) < 0) {
      fprintf(stderr, "cfgtool: %s line %d: %s\n", path.c_str(), number, error);
      status = 2;
      break;
    }
  }
  fclose(f);
  return status;
}

// What the scripted back end showed, for the person or test that runs it.
void ReportScript() {
  for (int i = 0; i < g_script.dialogCount && i < UI_SCRIPT_DIALOGS; ++i) {
    const UiDialogShown &d = g_script.dialogs[i];
    printf("dialog %d %s\n", d.templateId, d.result == UI_IDOK ? "OK" : "Cancel");
    for (int k = 0; k < d.listCount && k < UI_SCRIPT_LISTS; ++k) {
      const UiListShown &l = d.lists[k];
      printf("  list %d:", l.control);
      for (int n = 0; n < l.count && n < UI_LIST_ITEMS; ++n)
        printf(" %s\"%s\"", n == l.finalSelection ? "*" : "", l.items[n]);
      printf("\n");
    }
  }
  for (int i = 0; i < g_script.messageCount && i < UI_SCRIPT_MESSAGES; ++i)
    printf("message 0x%x \"%s\"\n", g_script.messages[i].style, g_script.messages[i].text);
  for (int i = 0; i < g_script.helpCount && i < UI_SCRIPT_HELPS; ++i) printf("help %s\n", g_script.help[i]);
}

int Print(const Options &o, const Plugin &p, HostDeviceRecord *d, int type, int first, int last) {
  UiPrintOptions po = ui_A4Landscape();
  OsDc *dc = ui_CreatePdfDc(o.pdf.c_str(), &po);
  if (!dc) return Fail(("cannot write " + o.pdf).c_str());
  int r = type < 0 ? p.printAll(dc, o.server.c_str(), d, 0, 0, 0, 0, nullptr, nullptr)
                   : p.print(dc, o.server.c_str(), d, static_cast<uint8_t>(type), first, last, 0, nullptr);
  if (!o.png.empty() && ui_SavePagePng(dc, o.png.c_str()) != 0) fprintf(stderr, "cfgtool: cannot write %s\n", o.png.c_str());
  if (ui_ClosePdfDc(dc) != 0) return Fail(("cannot write " + o.pdf).c_str());
  if (r < 0) return Fail("the print-out failed");
  printf("printed %s\n", o.pdf.c_str());
  return 0;
}

int Command(const Options &o, const Plugin &p, HostDeviceRecord *dp);

int Run(const Options &o) {
  HostDeviceRecord d;
  memset(&d, 0, sizeof d);
  if (o.folder.empty() || o.folder.size() >= sizeof d.folder) return BadArgs("--folder names the device's folder");
  memcpy(d.folder, o.folder.data(), o.folder.size());
  std::string name = o.name.empty() ? o.folder : o.name;
  memcpy(d.name, name.data(), std::min(name.size(), sizeof d.name - 1));
  if (!o.types.empty() && !ParseTypes(o.types, &d)) return BadArgs("--types: " + o.types);
  snprintf(reinterpret_cast<char *>(g_application + UI_APP_SERVER_NAME), UI_APP_DEFAULT_PORT - UI_APP_SERVER_NAME,
           "%s", o.server.c_str());
  uint16_t port = static_cast<uint16_t>(o.defaultPort);
  memcpy(g_application + UI_APP_DEFAULT_PORT, &port, sizeof port);
  if (!o.script.empty()) {
    int s = LoadScript(o.script);
    if (s) return s;
  } else if (getenv("DISPLAY") && ui_GtkBackend()) {
    tnw_ui_host.backend = UI_BACKEND_GTK;
    tnw_ui_host.screenshot = o.screenshot.empty() ? nullptr : o.screenshot.c_str();
  }

  Plugin p;
  if (!LoadPlugin(&p)) {
    if (p.module) os_FreeLibrary(p.module);
    return Fail("cannot load tnwll_cf.dll");
  }
  int status = Command(o, p, &d);
  os_FreeLibrary(p.module);
  return status;
}

int Command(const Options &o, const Plugin &p, HostDeviceRecord *dp) {
  HostDeviceRecord &d = *dp;
  const std::vector<std::string> &c = o.command;
  const char *server = o.server.c_str();
  std::string user = "cfgtool";
  int status = 0;
  if (c[0] == "device" && c.size() == 1) {
    if (cfg_ReadDeviceConfig(server, d.folder, d.config, sizeof d.config) != 0)
      return Fail("cannot read the device's configuration");
    int changed = 0;
    p.device(nullptr, &d, &changed);
    if (changed == 1) {
      if (cfg_WriteDeviceConfiguration(server, user.c_str(), d.folder, d.config, sizeof d.config, nullptr, 0,
                                       nullptr) < 0)
        return Fail("cannot write the device's configuration");
      printf("device configuration written\n");
    }
  } else if ((c[0] == "channel" && c.size() == 3) || (c[0] == "paste" && c.size() == 4)) {
    int type = TypeOf(c[1]), n = 0, to = 0;
    if (type < 0 || !Number(c[2], 1, 65535, &n) || (c.size() == 4 && !Number(c[3], 1, 65535, &to)))
      return BadArgs("a channel type (AI DI AO DO CI) and channel numbers from 1");
    ChannelRecord r, dest;
    if (cfg_ReadChannels(server, d.folder, type, &r, n - 1, 1) != 0) return Fail("cannot read the channel");
    int changed = 0;
    if (c[0] == "channel") {
      p.channel(nullptr, 0, 0, 0, &r, &changed);
      dest = r;
      to = n;
    } else {
      if (cfg_ReadChannels(server, d.folder, type, &dest, to - 1, 1) != 0) return Fail("cannot read the channel");
      p.paste(0, 0, 0, 0, &dest, &r, &changed);
    }
    if (changed == 1) {
      if (cfg_WriteChannelRecords(server, user.c_str(), d.folder, type, &dest, to - 1, 1) < 0)
        return Fail("cannot write the channel");
      printf("channel written\n");
    }
  } else if (c[0] == "print" && (c.size() == 2 || c.size() == 4)) {
    int type = TypeOf(c[1]), first = 0, last = 0;
    if (type < 0 || (c.size() == 4 && (!Number(c[2], -65535, 65535, &first) || !Number(c[3], -65535, 65535, &last))))
      return BadArgs("print TYPE [FIRST LAST]");
    status = Print(o, p, &d, type, first, last);
  } else if (c[0] == "print-all" && c.size() == 1) {
    status = Print(o, p, &d, -1, 0, 0);
  } else {
    return BadArgs("unknown command");
  }
  if (!o.script.empty()) ReportScript();
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  // The tool's own reads and writes reach URL servers too, not only the plug-in's.
  con_InstallTransports();
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string *out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string port;
    if (a == "--help" || a == "-h") {
      fputs(kUsage, stdout);
      return 0;
    } else if (a == "--server" || a == "--folder" || a == "--name" || a == "--types" || a == "--pdf" ||
               a == "--png" || a == "--script" || a == "--screenshot") {
      std::string *field = a == "--server" ? &o.server : a == "--folder" ? &o.folder : a == "--name" ? &o.name
                           : a == "--types" ? &o.types : a == "--pdf" ? &o.pdf : a == "--png" ? &o.png
                           : a == "--script" ? &o.script : &o.screenshot;
      if (!value(field)) return BadArgs(a + " needs a value");
    } else if (a == "--default-port") {
      if (!value(&port) || !Number(port, 0, 65535, &o.defaultPort)) return BadArgs("--default-port 0..65535");
    } else if (a.rfind("--", 0) == 0) {
      return BadArgs("unknown option " + a);
    } else {
      o.command.push_back(a);
    }
  }
  if (o.command.empty()) return BadArgs("no command");
  return Run(o);
}
