// Replays a fuzz target's corpus (seeds and every crash found so far) as a test.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
// Targets that need a set-up of their own define it; libFuzzer calls it first.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

namespace {

TEST(RecordFuzzReplay, EveryCorpusFileRuns) {
  if (LLVMFuzzerInitialize) {
    ASSERT_EQ(LLVMFuzzerInitialize(nullptr, nullptr), 0);
  }
  std::vector<std::filesystem::path> files;
  for (const auto &e : std::filesystem::directory_iterator(FUZZ_CORPUS_DIR)) {
    if (e.is_regular_file()) files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty()) << FUZZ_CORPUS_DIR;
  for (const auto &f : files) {
    SCOPED_TRACE(f.filename().string());
    std::ifstream in(f, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), 0);
  }
}

}  // namespace
