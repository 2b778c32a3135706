// tnwll_cf.so as its host loads it: it shows nothing of its own, carries its
// own record library and framework, and binds nothing to its host's copies.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "framework/server/srv_client.h"
#include "platform/os_error.h"
#include "plugin/cf_exports.h"
#include "platform/os_http.h"
#include "platform/os_tls.h"
#include "plugin/connect/con_transports.h"

namespace {

// "<type> <name>" of each symbol nm lists with these options.
std::vector<std::string> Symbols(const char *options) {
  std::string cmd = std::string("nm ") + options + " '" + TNWLL_CF_PATH + "' 2>/dev/null";
  std::vector<std::string> names;
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return names;
  char line[1024];
  while (fgets(line, sizeof line, p)) {
    char type[8], name[900];
    if (sscanf(line, "%*s %7s %899s", type, name) == 2 || sscanf(line, "%7s %899s", type, name) == 2)
      names.push_back(std::string(type) + " " + name);
  }
  pclose(p);
  return names;
}

// Whether a listed (mangled) name is that of the function `name`.
bool Lists(const std::vector<std::string> &symbols, const std::string &name) {
  std::string mangled = std::to_string(name.size()) + name;
  for (const std::string &s : symbols)
    if (s.find(mangled) != std::string::npos) return true;
  return false;
}

}  // namespace

TEST(TnwllCfLibrary, ExportsExactlyItsSixEntryPoints) {
  // Beside the six, only what the shared SOAP library looks up in it: its
  // global namespace table and the serializer call-backs of the env module.
  std::vector<std::string> exported = Symbols("-D --defined-only"), entries;
  for (const std::string &s : exported)
    if (s.substr(2) != "namespaces" && s.find("soap_") == std::string::npos) entries.push_back(s);
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{"T DLL_ConfigAdvanDevSpecific", "T DLL_ConfigChanDevSpecific",
                                            "T DLL_Debug_Available", "T DLL_PasteChannel", "T PrintAllConfig",
                                            "T PrintConfig"}));
  // Its own symbols are all there, only kept private.
  std::vector<std::string> all = Symbols("--defined-only");
  for (const char *own : {"srv_LockConnection", "srv_ConnectionKind", "structs_FieldToText", "con_InstallTransports",
                          "shm_OpenSegment"})
    EXPECT_TRUE(Lists(all, own)) << own;
  std::vector<std::string> undefined = Symbols("-D --undefined-only");
  EXPECT_FALSE(undefined.empty());
  for (const std::string &s : undefined)
    for (const char *own : {"srv_Transact", "con_Transact", "structs_FieldToText", "os_CreateFile", "shm_OpenSegment"})
      EXPECT_EQ(s.find(std::to_string(strlen(own)) + own), std::string::npos) << s;
}

// Loading it fills the transport kinds of its own framework, not its host's.
TEST(TnwllCfLibrary, LoadsWithoutTouchingItsHost) {
  con_InstallTransports();  // the host's copy, linked here: kinds 2-4 present
  srv_SetTransport(SRV_KIND_SOCKET, nullptr);
  void *lib = dlopen(TNWLL_CF_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  EXPECT_EQ(srv_GetTransport(SRV_KIND_SOCKET), nullptr);
  EXPECT_EQ(dlsym(lib, "con_InstallTransports"), nullptr);
  EXPECT_EQ(dlsym(lib, "srv_Transact"), nullptr);
  dlclose(lib);
}

// The plug-in's kinds 2 to 4 are there; a provider on a folder that is not
// there fails with error 3, one on a connection string without a logger name
// with 1168, a TLS peer that is not there with its socket error; the entry
// goes back. A SOAP connection opens without the network: its call fails.
TEST(PluginKinds, KindsThatCannotOpenGiveTheirEntryBack) {
  con_InstallTransports();
  struct Case {
    const char *server;
    uint32_t error;
  } cases[] = {{"tnw://127.0.0.3:1", OS_WSAECONNREFUSED},
               {"C:\\data", OS_ERROR_PATH_NOT_FOUND},
               {"PROVIDER=x", OS_ERROR_NOT_FOUND},
               {"file:///c:/d", OS_ERROR_PATH_NOT_FOUND}};
  for (const Case &c : cases) {
    char reply[16];
    int n = sizeof reply;
    EXPECT_EQ(con_Transact(c.server, "QP,", 4, reply, &n), -1) << c.server;
    EXPECT_EQ(os_GetLastError(), c.error) << c.server;
    EXPECT_NE(srv_GetTransport(srv_ConnectionKind(c.server)), nullptr) << c.server;
  }
  int count = 0;
  ServerConnection *t = srv_ConnectionTable(&count);
  for (int i = 0; i < count; ++i) EXPECT_EQ(t[i].server[0], '\0') << t[i].server;
  char reply[16];
  int n = sizeof reply;
  EXPECT_EQ(con_Transact("https://127.0.0.3:1/", "QP,", 4, reply, &n), -1);
  EXPECT_EQ(os_GetLastError(), static_cast<uint32_t>(OS_INET_CANNOT_CONNECT));
}

// This program publishes no host state: every entry point does nothing and
// the print-outs fail.
TEST(TnwllCfLibrary, WithoutHostStateDoesNothing) {
  void *lib = dlopen(TNWLL_CF_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto device = reinterpret_cast<CfConfigAdvanDevSpecific>(dlsym(lib, "DLL_ConfigAdvanDevSpecific"));
  auto channel = reinterpret_cast<CfConfigChanDevSpecific>(dlsym(lib, "DLL_ConfigChanDevSpecific"));
  auto paste = reinterpret_cast<CfPasteChannel>(dlsym(lib, "DLL_PasteChannel"));
  auto debug = reinterpret_cast<CfDebugAvailable>(dlsym(lib, "DLL_Debug_Available"));
  auto print = reinterpret_cast<CfPrintConfig>(dlsym(lib, "PrintConfig"));
  auto printAll = reinterpret_cast<CfPrintAllConfig>(dlsym(lib, "PrintAllConfig"));
  ASSERT_TRUE(device && channel && paste && debug && print && printAll);
  HostDeviceRecord d;
  memset(&d, 0, sizeof d);
  d.types[0] = {{'A', 'I'}, 1};
  HostDeviceRecord before = d;
  ChannelRecord a, b;
  memset(&a, 1, sizeof a);
  memset(&b, 2, sizeof b);
  int flag = 7;
  device(nullptr, &d, &flag);
  channel(nullptr, 0, 0, 0, &a, &flag);
  paste(0, 0, 0, 0, &a, &b, &flag);
  debug();
  EXPECT_EQ(flag, 7);
  EXPECT_EQ(memcmp(&d, &before, sizeof d), 0);
  EXPECT_EQ(a.raw[0], 1);
  DeviceConfig config;
  memset(&config, 0, sizeof config);
  EXPECT_EQ(print(nullptr, "S", &d, 0, 0, 0, 0, &a), -1);
  EXPECT_EQ(printAll(nullptr, "S", &d, 0, 0, 0, 0, &config, nullptr), -1);
  dlclose(lib);
}
