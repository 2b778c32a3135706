// Test entry: every test program runs in a platform root of its own, made
// fresh before the first test and removed after the last.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/test_root.h"

namespace {
std::string g_root;

class RootEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { g_root = tnwtest::MakeTempDir("root"); setenv("PLATFORM_ROOT", g_root.c_str(), 1); }
  void TearDown() override {
    if (!getenv("TNW_KEEP_ROOT")) {
      std::error_code ec;
      std::filesystem::remove_all(g_root, ec);
    }
  }
};
}  // namespace

namespace tnwtest {
const std::string &Root() { return g_root; }
}  // namespace tnwtest

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new RootEnvironment);
  return RUN_ALL_TESTS();
}
