// The named folders of a server: local, on another host, or beside a path
// served in process.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "framework/registry/reg_settings.h"
#include "framework/server/srv_requests.h"
#include "platform/os_env.h"
#include "tests/support/test_root.h"

namespace {

std::string Folder(const char *server, const char *name) {
  const char *f = srv_ResolveServerFolder(server, name);
  return f ? f : "<none>";
}

std::string Local(const char *name) {
  const char *f = cfg_GetFolder(name);
  return f ? f : "<none>";
}

void Touch(const std::string &linuxFolder) {
  std::filesystem::create_directories(linuxFolder);
  ASSERT_TRUE(tnwtest::WriteFile(linuxFolder + "/a.txt", "x"));
}

class ServerFolders : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char *v : {"TSQ_CURRENT_CONFIG", "TSQ_LOGGED_DATA", "REPLAY_OPTIONS", "TSQ_BIN"})
      os_SetEnvironmentVariable(v, nullptr);
  }
};

}  // namespace

TEST_F(ServerFolders, NoServerAndThisComputerUseTheLocalFolders) {
  os_SetEnvironmentVariable("TSQ_CURRENT_CONFIG", "C:\\CFG");
  for (const char *server : {static_cast<const char *>(nullptr), "", ".", "localhost", "http://localhost/x"})
    EXPECT_EQ(Folder(server, "TSQ_CURRENT_CONFIG"), "C:\\CFG") << (server ? server : "(null)");
  EXPECT_EQ(Folder(".", "TSQ_LOGGED_DATA"), Local("TSQ_LOGGED_DATA"));
  EXPECT_EQ(srv_ResolveServerFolder(".", ""), nullptr);
}

TEST_F(ServerFolders, AnotherHostsFolders) {
  const std::string product = prod_GetProductName();
  EXPECT_EQ(Folder("HOSTB", "TSQ_CURRENT_CONFIG"), "\\\\HOSTB\\" + product + "\\CURRENT_CONFIG");
  EXPECT_EQ(Folder("HOSTB", "TSQ_"), "\\\\HOSTB\\" + product + "\\");
  EXPECT_EQ(Folder("tls://hostb:11234", "TSQ_BIN"), "\\\\hostb\\" + product + "\\BIN") << "a URL's host";
  // A value of the name in the environment wins, when it is two characters or more.
  os_SetEnvironmentVariable("TSQ_LOGGED_DATA", "D:\\LOGS");
  EXPECT_EQ(Folder("HOSTB", "TSQ_LOGGED_DATA"), "D:\\LOGS");
  os_SetEnvironmentVariable("TSQ_LOGGED_DATA", "D");
  EXPECT_EQ(Folder("HOSTB", "TSQ_LOGGED_DATA"), "\\\\HOSTB\\" + product + "\\LOGGED_DATA");
  // Folders written to are used only where they can be written.
  EXPECT_EQ(Folder("HOSTB", "REPLAY_OPTIONS"), Local("REPLAY_OPTIONS")) << "no such share";
  std::filesystem::create_directories(tnwtest::Root() + "/hosts/HOSTB/shares/REPLAY_OPTIONS");
  EXPECT_EQ(Folder("HOSTB", "REPLAY_OPTIONS"), "\\\\HOSTB\\REPLAY_OPTIONS");
  EXPECT_EQ(Folder("HOSTB", "PLAIN"), "\\\\HOSTB\\PLAIN");
}

TEST_F(ServerFolders, FoldersBesideAPathServedInProcess) {
  const std::string drive = tnwtest::Root() + "/drives/c";
  std::filesystem::create_directories(drive + "/DATA/RUN1/LOGS");
  EXPECT_EQ(Folder("C:\\DATA\\RUN1\\LOGS", "TSQ_LOGGED_DATA"), "C:\\DATA\\RUN1\\LOGS");
  EXPECT_EQ(Folder("C:\\DATA\\RUN1\\LOGS", "REPLAY_OPTIONS"), Local("REPLAY_OPTIONS")) << "none beside it";
  // An empty folder does not count; one with a file does, the nearest first.
  std::filesystem::create_directories(drive + "/DATA/RUN1/REPLAY_OPTIONS");
  Touch(drive + "/DATA/REPLAY_OPTIONS");
  EXPECT_EQ(Folder("C:\\DATA\\RUN1\\LOGS", "REPLAY_OPTIONS"), "C:\\DATA\\REPLAY_OPTIONS");
  EXPECT_EQ(Folder("file:///C:/DATA/RUN1/LOGS", "REPLAY_OPTIONS"), "C:/DATA/REPLAY_OPTIONS");
  Touch(drive + "/DATA/RUN1/EXPORTED_DATA");
  EXPECT_EQ(Folder("C:\\DATA\\RUN1\\LOGS", "EXPORTED_DATA"), "C:\\DATA\\RUN1\\EXPORTED_DATA");
  // The configuration is always this computer's, and so is every folder of a connection string.
  os_SetEnvironmentVariable("TSQ_CURRENT_CONFIG", "C:\\CFG");
  EXPECT_EQ(Folder("C:\\DATA\\RUN1\\LOGS", "TSQ_CURRENT_CONFIG"), "C:\\CFG");
  EXPECT_EQ(Folder("PROVIDER=Sqlite;Data Source=C:\\DATA\\RUN1\\x.db", "REPLAY_OPTIONS"), Local("REPLAY_OPTIONS"));
  EXPECT_EQ(Folder("PROVIDER=Sqlite;Data Source=x", "TSQ_LOGGED_DATA"), "PROVIDER=Sqlite;Data Source=x");
}
