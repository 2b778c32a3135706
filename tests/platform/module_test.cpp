#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_path.h"
#include "tests/support/test_root.h"

namespace {

typedef int (*AnswerFn)(void);

int CallAnswer(OsModuleHandle m) {
  AnswerFn fn = reinterpret_cast<AnswerFn>(os_GetProcAddress(m, "TestMod_Answer"));
  return fn ? fn() : -1;
}

TEST(ModuleTest, DllNamesFindLibrariesInTheProgramsFolder) {
  OsModuleHandle m = os_LoadLibrary("testmod.DLL");  // the file is TestMod.so
  ASSERT_NE(m, nullptr) << os_GetLastError();
  EXPECT_EQ(CallAnswer(m), 42);
  EXPECT_EQ(os_GetProcAddress(m, "NoSuchSymbol"), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(os_FreeLibrary(m), 0);

  EXPECT_EQ(os_LoadLibrary("NoSuchModule.dll"), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(os_LoadLibrary("KERNEL32.DLL"), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_MOD_NOT_FOUND);
}

TEST(ModuleTest, SearchesLibraryPathsAndNamedFolders) {
  std::string dir = tnwtest::MakeTempDir("libs");
  std::filesystem::copy_file(TESTMOD_PATH, dir + "/OtherMod.so");
  std::string saved = getenv("LD_LIBRARY_PATH") ? getenv("LD_LIBRARY_PATH") : "";
  setenv("LD_LIBRARY_PATH", ("/nonexistent:" + dir).c_str(), 1);
  OsModuleHandle m = os_LoadLibrary("othermod");  // no extension: a DLL's name
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(CallAnswer(m), 42);
  os_FreeLibrary(m);
  setenv("LD_LIBRARY_PATH", saved.c_str(), 1);

  // A Windows path names the only folder searched.
  std::string cdir = tnwtest::Root() + "/drives/c/WINDOWS";
  ASSERT_EQ(os_MakeFolders(cdir.c_str()), 0);
  std::filesystem::copy_file(TESTMOD_PATH, cdir + "/EmbCtlSDK.so");
  m = os_LoadLibrary("c:\\windows\\embctlsdk.dll");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(CallAnswer(m), 42);
  os_FreeLibrary(m);
  EXPECT_EQ(os_LoadLibrary("c:\\windows\\testmod.dll"), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_MOD_NOT_FOUND);

  ASSERT_TRUE(tnwtest::WriteFile(cdir + "/Broken.so", "not a library"));
  EXPECT_EQ(os_LoadLibrary("C:\\WINDOWS\\Broken.dll"), nullptr);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_BAD_EXE_FORMAT);
}

TEST(ModuleTest, ProgramFileName) {
  char want[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", want, sizeof want - 1);
  ASSERT_GT(n, 0);
  want[n] = '\0';
  char buf[PATH_MAX];
  EXPECT_EQ(os_GetModuleFileName(buf, sizeof buf), static_cast<uint32_t>(n));
  EXPECT_STREQ(buf, want);
  char small[8];
  EXPECT_EQ(os_GetModuleFileName(small, sizeof small), 8u);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::string(small), std::string(want, 7));
}

}  // namespace
