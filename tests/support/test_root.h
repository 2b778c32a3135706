// Helpers shared by the tests.
#pragma once
#include <string>

namespace tnwtest {
// The platform root of this test program (also in $PLATFORM_ROOT).
const std::string &Root();
// A new empty folder under $TNW_TEST_TMP (or /tmp); `tag` appears in its name.
std::string MakeTempDir(const char *tag);
// The path of a built program or library in build/bin ($TNW_BIN).
std::string BinPath(const char *name);
// Writes a whole file (Linux path); returns false on failure.
bool WriteFile(const std::string &path, const std::string &content);
// Reads a whole file (Linux path); empty when missing.
std::string ReadFile(const std::string &path);
}  // namespace tnwtest
