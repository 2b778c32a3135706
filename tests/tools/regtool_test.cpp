#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/os_error.h"
#include "platform/os_path.h"
#include "platform/os_registry.h"
#include "tests/support/test_root.h"

namespace {

struct Result {
  int status = -1;
  std::string out, err;
};

// Runs build/bin/regtool with the test's platform root.
Result Regtool(const std::vector<std::string> &args) {
  // Beside the registry in the test's own root, which goes away with it.
  const std::string outPath = tnwtest::Root() + "/regtool.out", errPath = tnwtest::Root() + "/regtool.err";
  std::string bin = tnwtest::BinPath("regtool");
  std::vector<char *> argv{bin.data()};
  std::vector<std::string> copy = args;
  for (std::string &a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  Result r;
  pid_t pid = fork();
  if (pid == 0) {
    int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(127);
    execv(bin.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = tnwtest::ReadFile(outPath);
  r.err = tnwtest::ReadFile(errPath);
  return r;
}

const char kKey[] = "HKLM\\SOFTWARE\\Quenford\\Tessarine";
const char kPath[] = "SOFTWARE\\Quenford\\Tessarine";

}  // namespace

TEST(Regtool, WritesValuesThatTheRegistrySees) {
  struct Case {
    const char *name, *type, *data, *printed;
  } cases[] = {
      {"ProductName", "sz", "Tessarine", "Tessarine\n"},
      {"Count", "dword", "5", "5\n"},
      {"Mask", "DWORD", "0xFFFFFFFF", "4294967295\n"},
      {"Blob", "binary", "0a0b0c", "0a0b0c\n"},
      {"Root:", "expand_sz", "%SystemDrive%\\Tessarine", "%SystemDrive%\\Tessarine\n"},
      {"", "sz", "the default", "the default\n"},
  };
  for (const Case &c : cases) {
    Result w = Regtool({"write", kKey, c.name, c.type, c.data});
    EXPECT_EQ(w.status, 0) << c.name << ": " << w.err;
    Result r = Regtool({"read", "hklm\\software\\QUENFORD\\tessarine", c.name});
    EXPECT_EQ(r.status, 0) << c.name << ": " << r.err;
    EXPECT_EQ(r.out, c.printed) << c.name;
  }
  EXPECT_EQ(Regtool({"read", kKey}).out, "the default\n");

  OsHKey k = nullptr;
  ASSERT_EQ(os_RegOpenKeyEx(OS_HKEY_LOCAL_MACHINE, kPath, 0, OS_KEY_READ, &k), 0);
  uint32_t type = 0, v = 0, size = sizeof v;
  EXPECT_EQ(os_RegQueryValueEx(k, "count", &type, &v, &size), 0);
  EXPECT_EQ(type, OS_REG_DWORD);
  EXPECT_EQ(v, 5u);
  char blob[8];
  size = sizeof blob;
  EXPECT_EQ(os_RegQueryValueEx(k, "Blob", &type, blob, &size), 0);
  EXPECT_EQ(type, OS_REG_BINARY);
  EXPECT_EQ(std::string(blob, size), "\x0a\x0b\x0c");
  char text[32];
  size = sizeof text;
  EXPECT_EQ(os_RegQueryValueEx(k, "ProductName", &type, text, &size), 0);
  EXPECT_EQ(std::string(text, size), std::string("Tessarine", 10));
  os_RegCloseKey(k);
}

TEST(Regtool, ListsDeletesAndReportsErrors) {
  const std::string key = std::string(kKey) + "\\Listing";
  ASSERT_EQ(Regtool({"write", key + "\\Sub", "x", "sz", "1"}).status, 0);
  ASSERT_EQ(Regtool({"create", key + "\\Another"}).status, 0);
  ASSERT_EQ(Regtool({"write", key, "Name", "sz", "text"}).status, 0);
  ASSERT_EQ(Regtool({"write", key, "Num", "dword", "42"}).status, 0);
  Result l = Regtool({"list", key});
  EXPECT_EQ(l.status, 0) << l.err;
  EXPECT_EQ(l.out, "Another\\\nSub\\\nName\tsz\ttext\nNum\tdword\t42\n");

  struct Case {
    std::vector<std::string> args;
    int status;
    const char *message;
  } cases[] = {
      {{"read", key, "Missing"}, 1, "error 2"},
      {{"read", key + "\\Nope", "x"}, 1, "error 2"},
      {{"delete", key}, 1, "has subkeys"},
      {{"delete", key, "Missing"}, 1, "error 2"},
      {{"create", key + "\\A\\\\B"}, 1, "error 161"},
      {{"write", key, "N", "dword", "5x"}, 2, "decimal or 0x-hex"},
      {{"write", key, "N", "dword", "4294967296"}, 2, "at most"},
      {{"write", key, "N", "binary", "abc"}, 2, "hex digits"},
      {{"write", key, "N", "qword", "1"}, 2, "TYPE is"},
      {{"write", key, "N", "sz"}, 2, "wrong number of arguments"},
      {{"read", "HKXX\\SOFTWARE", "x"}, 2, "must begin with"},
      {{"frobnicate"}, 2, "unknown command"},
      {{}, 2, "no command"},
      {{"list", key, "--bogus"}, 2, "unknown option"},
  };
  for (const Case &c : cases) {
    Result r = Regtool(c.args);
    std::string shown = c.args.empty() ? "(none)" : c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : "");
    EXPECT_EQ(r.status, c.status) << shown << ": " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << shown << ": " << r.err;
    EXPECT_NE(r.err.find("regtool: "), std::string::npos) << shown;
    EXPECT_EQ(r.out, "") << shown;
  }

  EXPECT_EQ(Regtool({"delete", key, "Name"}).status, 0);
  EXPECT_EQ(Regtool({"read", key, "Name"}).status, 1);
  EXPECT_EQ(Regtool({"delete", key + "\\sub"}).status, 0);
  EXPECT_EQ(Regtool({"list", key}).out, "Another\\\nNum\tdword\t42\n");

  Result help = Regtool({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: regtool"), std::string::npos);
  EXPECT_NE(help.out.find("reboot"), std::string::npos);
}

TEST(Regtool, VolatileKeysAndReboot) {
  const std::string vol = std::string(kKey) + "\\EWF";
  ASSERT_EQ(Regtool({"write", kKey, "Kept", "sz", "yes"}).status, 0);
  ASSERT_EQ(Regtool({"create", vol, "--volatile"}).status, 0);
  ASSERT_EQ(Regtool({"write", vol, "Mark", "sz", "on"}).status, 0);
  Result child = Regtool({"create", vol + "\\Lasting"});
  EXPECT_EQ(child.status, 1);
  EXPECT_NE(child.err.find("error 1021"), std::string::npos) << child.err;
  EXPECT_EQ(Regtool({"create", vol + "\\Child", "--volatile"}).status, 0);
  EXPECT_EQ(Regtool({"read", vol, "Mark"}).out, "on\n");

  EXPECT_EQ(Regtool({"reboot"}).status, 0);
  Result gone = Regtool({"list", vol});
  EXPECT_EQ(gone.status, 1);
  EXPECT_NE(gone.err.find("error 2"), std::string::npos) << gone.err;
  EXPECT_EQ(Regtool({"read", kKey, "Kept"}).out, "yes\n");
}

TEST(Regtool, RemoteHost) {
  Result r = Regtool({"--host", "FARHOST", "list", "HKLM"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("error 53"), std::string::npos) << r.err;

  ASSERT_EQ(os_MakeFolders((tnwtest::Root() + "/hosts/FARHOST").c_str()), 0);
  const char port[] = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
  EXPECT_EQ(Regtool({"--host", "\\\\FARHOST", "write", port, "\\Device\\Serial0", "sz", "COM3"}).status, 0);
  EXPECT_EQ(Regtool({"read", port, "\\Device\\Serial0"}).status, 1);  // not on this computer
  EXPECT_EQ(Regtool({"read", "--host=farhost", port, "\\Device\\Serial0"}).out, "COM3\n");
  Result cu = Regtool({"--host", "FARHOST", "list", "HKCU"});
  EXPECT_EQ(cu.status, 1);
  EXPECT_NE(cu.err.find("error 6"), std::string::npos) << cu.err;

  OsHKey far = nullptr, k = nullptr;
  ASSERT_EQ(os_RegConnectRegistry("\\\\FARHOST", OS_HKEY_LOCAL_MACHINE, &far), 0);
  ASSERT_EQ(os_RegOpenKeyEx(far, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, OS_KEY_READ, &k), 0);
  char text[16];
  uint32_t size = sizeof text;
  EXPECT_EQ(os_RegQueryValueEx(k, "\\Device\\Serial0", nullptr, text, &size), 0);
  EXPECT_STREQ(text, "COM3");
  os_RegCloseKey(k);
  os_RegCloseKey(far);
}
