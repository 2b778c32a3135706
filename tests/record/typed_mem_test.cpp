// Typed memory with accounting off: the plain allocator behind names.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "record/record.h"

// Huge requests must fail with ENOMEM here, not stop the sanitizer build.
extern "C" __attribute__((visibility("default"), used)) const char *__asan_default_options() {
  return "allocator_may_return_null=1";
}

namespace {

TEST(RecordTypedMem, EnableAfterUseIsRefused) {
  void *p = typed_mem_Resize("early", nullptr, 8);
  ASSERT_NE(p, nullptr);
  typed_mem_Release("early", p);
  errno = 0;
  EXPECT_EQ(typed_mem_Enable(), -1);
  EXPECT_EQ(errno, EBUSY);
}

TEST(RecordTypedMem, QueriesNeedAccounting) {
  char name[TYPED_MEM_NAME_MAX];
  void *p = typed_mem_Resize("q", nullptr, 4);
  errno = 0;
  EXPECT_EQ(typed_mem_GetTypeName(p, name), nullptr);
  EXPECT_EQ(errno, ENXIO);
  StructsArray stats = {0, nullptr};
  errno = 0;
  EXPECT_EQ(typed_mem_GetStats(&stats), -1);
  EXPECT_EQ(errno, ENXIO);
  char *buf = nullptr;
  size_t len = 0;
  FILE *f = open_memstream(&buf, &len);
  typed_mem_PrintStats(f);
  fclose(f);
  EXPECT_STREQ(buf, "Typed memory is not enabled.\n");
  free(buf);
  typed_mem_Release("q", p);
}

TEST(RecordTypedMem, ResizeToZeroKeepsAValidBlock) {
  char *p = (char *)typed_mem_Resize("z", nullptr, 16);
  ASSERT_NE(p, nullptr);
  char *q = (char *)typed_mem_Resize("z", p, 0);
  ASSERT_NE(q, nullptr) << "glibc's realloc(p, 0) would free p and return null";
  q = (char *)typed_mem_Resize("z", q, 32);
  ASSERT_NE(q, nullptr);
  memset(q, 1, 32);
  typed_mem_Release("z", q);
  void *e = typed_mem_Resize("z", nullptr, 0);
  ASSERT_NE(e, nullptr);
  typed_mem_Release("z", e);
}

TEST(RecordTypedMem, FailuresKeepOrFreeTheOldBlock) {
  char *p = (char *)typed_mem_Resize("f", nullptr, 8);
  strcpy(p, "intact");
  errno = 0;
  EXPECT_EQ(typed_mem_Resize("f", p, SIZE_MAX / 2), nullptr);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_STREQ(p, "intact") << "a failed resize leaves the block";
  EXPECT_EQ(typed_mem_ResizeOrFree("f", p, SIZE_MAX / 2), nullptr) << "and this one frees it (leak check)";
  EXPECT_EQ(typed_mem_AllocZeroed("f", SIZE_MAX / 4, 8), nullptr);
  EXPECT_EQ(errno, ENOMEM);
  errno = 4321;
  typed_mem_Release("f", nullptr);
  typed_mem_Release("f", typed_mem_AllocZeroed("f", 3, 3));
  EXPECT_EQ(errno, 4321) << "release keeps the error number";
  uint8_t *z = (uint8_t *)typed_mem_AllocZeroed("f", 10, 10);
  for (int i = 0; i < 100; i++) ASSERT_EQ(z[i], 0);
  typed_mem_Release("f", z);
  char *t = typed_mem_DupText("f", "text");
  EXPECT_STREQ(t, "text");
  typed_mem_Release("f", t);
}

TEST(RecordTypedMem, FormattedTextsOfAnyLength) {
  for (size_t n : {0u, 999u, 1000u, 1999u, 2000u, 14999u, 15000u, 40000u}) {
    std::string want(n, 'x');
    char *out = (char *)1;
    int len = typed_mem_FormatText("fmt", &out, "%s", want.c_str());
    ASSERT_EQ(len, (int)n);
    EXPECT_EQ(want, out);
    typed_mem_Release("fmt", out);
  }
  char *out = nullptr;
  EXPECT_EQ(typed_mem_FormatText("fmt", &out, "%s%s%d", "B", ".", 12), 4);
  EXPECT_STREQ(out, "B.12");
  typed_mem_Release("fmt", out);
}

// With accounting off the formatting buffer itself is handed out, so its size shows the growth rule.
TEST(RecordTypedMem, FormattingBufferStartsAt1000AndDoubles) {
  struct Case {
    size_t chars;
    size_t buffer;
  } cases[] = {{0, 1000}, {999, 1000}, {1000, 2000}, {1999, 2000}, {2000, 4000}, {8000, 15000}, {14999, 15000}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.chars);
    std::string want(c.chars, 'w');
    char *out = nullptr;
    ASSERT_EQ(typed_mem_FormatText("fmt", &out, "%s", want.c_str()), (int)c.chars);
    size_t usable = malloc_usable_size(out);
    EXPECT_GE(usable, c.buffer);
    EXPECT_LT(usable, c.buffer + 64);
    typed_mem_Release("fmt", out);
  }
}

}  // namespace
