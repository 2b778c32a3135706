// tnwll_cf.so as its host loads it: it shows nothing of its own, carries its
// own record library and framework, and binds nothing to its host's copies.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "framework/server/srv_client.h"
#include "platform/os_error.h"
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

TEST(TnwllCfLibrary, ExportsNothingOfItsOwn) {
  // Only what the shared SOAP library looks up in it: its global namespace
  // table and the serializer call-backs of the env module.
  std::vector<std::string> exported = Symbols("-D --defined-only");
  for (const std::string &s : exported)
    EXPECT_TRUE(s.substr(2) == "namespaces" || s.find("soap_") != std::string::npos) << s;
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

// The plug-in's kinds 2 to 4 are there; the provider, not built yet, fails
// with error 50, a TLS peer that is not there with its socket error; the entry
// goes back. A SOAP connection opens without the network: its call fails.
TEST(PluginKinds, KindsThatCannotOpenGiveTheirEntryBack) {
  con_InstallTransports();
  struct Case {
    const char *server;
    uint32_t error;
  } cases[] = {{"tnw://127.0.0.3:1", OS_WSAECONNREFUSED},
               {"C:\\data", OS_ERROR_NOT_SUPPORTED},
               {"PROVIDER=x", OS_ERROR_NOT_SUPPORTED},
               {"file:///c:/d", OS_ERROR_NOT_SUPPORTED}};
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
