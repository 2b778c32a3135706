#include "tests/support/test_root.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace tnwtest {

std::string MakeTempDir(const char *tag) {
  const char *base = getenv("TNW_TEST_TMP");
  std::string dir = base && *base ? base : "/tmp";
  std::filesystem::create_directories(dir);
  std::string templ = dir + "/tnw-" + tag + "-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed in " + dir);
  return buf.data();
}

std::string BinPath(const char *name) {
  const char *bin = getenv("TNW_BIN");
  std::string dir = bin && *bin ? bin : ".";
  return dir + "/" + name;
}

bool WriteFile(const std::string &path, const std::string &content) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) return false;
  f << content;
  return static_cast<bool>(f);
}

std::string ReadFile(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

}  // namespace tnwtest
