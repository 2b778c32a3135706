// Programs run with their output read through pipes: arguments arrive as
// given, output of any size arrives whole while the program runs, and the
// caller's own standard handles stay as they were.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/os_error.h"
#include "platform/os_spawn.h"

namespace {

struct Case {
  std::vector<const char *> argv;
  uint32_t exitCode;
  std::string out;     // exact, unless outSize is set
  size_t outSize;
  size_t errSize;
};

}  // namespace

TEST(RunProgram, OutputArgumentsAndExitCodes) {
  const Case cases[] = {
      {{"printf", "%s|", "a b", "\"q\"", "", "$HOME", nullptr}, 0, "a b|\"q\"||$HOME|", 0, 0},
      // Much on both outputs, interleaved: a reader that waited for the end would hang.
      {{"sh", "-c", "for i in 1 2 3; do head -c 1000000 /dev/zero; head -c 700000 /dev/zero >&2; done; exit 3",
        nullptr},
       3, "", 3000000, 2100000},
      {{"sh", "-c", "echo warning >&2", nullptr}, 0, "", 0, 8},
      {{"sh", "-c", "kill -TERM $$", nullptr}, 128 + 15, "", 0, 0},
  };
  struct stat before1, before2;
  ASSERT_EQ(fstat(1, &before1), 0);
  ASSERT_EQ(fstat(2, &before2), 0);
  for (const Case &c : cases) {
    OsProgramRun run;
    ASSERT_EQ(os_RunProgram(c.argv.data(), &run), 0) << c.argv[0];
    EXPECT_EQ(run.exitCode, c.exitCode) << c.argv[2];
    if (c.outSize)
      EXPECT_EQ(run.out.size(), c.outSize);
    else
      EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err.size(), c.errSize) << run.err;
  }
  struct stat after1, after2;
  ASSERT_EQ(fstat(1, &after1), 0);
  ASSERT_EQ(fstat(2, &after2), 0);
  EXPECT_EQ(before1.st_ino, after1.st_ino);
  EXPECT_EQ(before2.st_ino, after2.st_ino);
  EXPECT_EQ(before1.st_dev, after1.st_dev);
}

TEST(RunProgram, AProgramThatIsNotThere) {
  const char *argv[] = {"no-such-program-of-ours", nullptr};
  OsProgramRun run;
  EXPECT_EQ(os_RunProgram(argv, &run), -1);
  EXPECT_EQ(os_GetLastError(), static_cast<uint32_t>(OS_ERROR_FILE_NOT_FOUND));
  const char *none[] = {nullptr};
  EXPECT_EQ(os_RunProgram(none, &run), -1);
  EXPECT_EQ(os_GetLastError(), static_cast<uint32_t>(OS_ERROR_INVALID_PARAMETER));
}
