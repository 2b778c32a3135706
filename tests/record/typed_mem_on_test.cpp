// Typed memory with accounting on: counts, names, guards and misuse diagnostics.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "record/record.h"

namespace {

// Accounting must be on before any allocation, so before main.
const int g_enabled = typed_mem_Enable();

std::string Printed() {
  char *buf = nullptr;
  size_t len = 0;
  FILE *f = open_memstream(&buf, &len);
  typed_mem_PrintStats(f);
  fclose(f);
  std::string r(buf, len);
  free(buf);
  return r;
}

struct Stat {
  std::string name;
  uint32_t allocs, bytes;
};

std::vector<Stat> Stats() {
  StructsArray a = {0, nullptr};
  EXPECT_EQ(typed_mem_GetStats(&a), 0);
  std::vector<Stat> r;
  for (uint32_t i = 0; i < a.length; i++) {
    TypedMemStats *e = (TypedMemStats *)a.elems + i;
    r.push_back({e->type, e->allocs, e->bytes});
  }
  typed_mem_StatsType.release(&typed_mem_StatsType, &a);
  return r;
}

TEST(RecordTypedMemOn, EnabledBeforeFirstUse) {
  EXPECT_EQ(g_enabled, 0);
  EXPECT_EQ(typed_mem_Enable(), 0) << "a second call changes nothing";
}

TEST(RecordTypedMemOn, StatisticsPerType) {
  EXPECT_TRUE(Stats().empty()) << "no live blocks, no entries (the stats array itself is not counted)";
  void *a1 = typed_mem_Resize("alpha", nullptr, 10);
  void *a2 = typed_mem_Resize("alpha", nullptr, 20);
  void *b = typed_mem_Resize("beta", nullptr, 5);
  std::vector<Stat> s = Stats();
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].name, "alpha");
  EXPECT_EQ(s[0].allocs, 2u);
  EXPECT_EQ(s[0].bytes, 30u);
  EXPECT_EQ(s[1].name, "beta");
  EXPECT_EQ(s[1].bytes, 5u);
  a2 = typed_mem_Resize("alpha", a2, 100);
  EXPECT_EQ(Stats()[0].bytes, 110u);
  EXPECT_EQ(Printed(),
            "   Type                              Count      Total\n"
            "   ----                              -----      -----\n"
            "   alpha                                 2        110\n"
            "   beta                                  1          5\n"
            "                                     -----      -----\n"
            "   Totals                                3        115\n");
  char name[TYPED_MEM_NAME_MAX];
  ASSERT_NE(typed_mem_GetTypeName(b, name), nullptr);
  EXPECT_STREQ(name, "beta");
  int local = 0;
  errno = 0;
  EXPECT_EQ(typed_mem_GetTypeName(&local, name), nullptr);
  EXPECT_EQ(errno, ENOENT);
  typed_mem_Release("alpha", a1);
  typed_mem_Release("alpha", a2);
  typed_mem_Release("beta", b);
  EXPECT_TRUE(Stats().empty());
}

TEST(RecordTypedMemOn, NamesAgreeInTheirFirst23Characters) {
  void *p = typed_mem_Resize("abcdefghijklmnopqrstuvwxyz0123", nullptr, 4);
  char name[TYPED_MEM_NAME_MAX];
  ASSERT_NE(typed_mem_GetTypeName(p, name), nullptr);
  EXPECT_STREQ(name, "abcdefghijklmnopqrstuvw");
  typed_mem_Release("abcdefghijklmnopqrstuvwXXXX", p);
  EXPECT_TRUE(Stats().empty());
}

TEST(RecordTypedMemOn, LibraryBlocksCarryTheirNames) {
  char *text = nullptr;
  ASSERT_EQ(typed_mem_FormatText("formatted", &text, "%d-%s", 5, "x"), 3);
  char name[TYPED_MEM_NAME_MAX];
  EXPECT_STREQ(typed_mem_GetTypeName(text, name), "formatted");
  std::vector<Stat> s = Stats();
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].bytes, 4u) << "the formatted text is copied to its exact size";
  typed_mem_Release("formatted", text);
  char *str = nullptr;
  ASSERT_EQ(TextType.init(&TextType, &str), 0);
  EXPECT_STREQ(typed_mem_GetTypeName(str, name), "structs_type_string");
  TextType.release(&TextType, &str);
}

TEST(RecordTypedMemOn, NullNameIsThePlainAllocator) {
  char *p = (char *)typed_mem_Resize(nullptr, nullptr, 10);
  ASSERT_NE(p, nullptr);
  p = (char *)typed_mem_Resize(nullptr, p, 4000);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(Stats().empty()) << "untracked";
  char name[TYPED_MEM_NAME_MAX];
  errno = 0;
  EXPECT_EQ(typed_mem_GetTypeName(p, name), nullptr);
  EXPECT_EQ(errno, ENOENT);
  typed_mem_Release(nullptr, p);
  // A block from the platform allocator itself goes back the same way, without a diagnostic.
  typed_mem_Release(nullptr, malloc(16));
  char *text = nullptr;
  ASSERT_EQ(typed_mem_FormatText(nullptr, &text, "%05d", 42), 5);
  EXPECT_STREQ(text, "00042");
  EXPECT_TRUE(Stats().empty());
  typed_mem_Release(nullptr, text);
}

TEST(RecordTypedMemOn, ThreadsShareTheAccounting) {
  auto work = [] {
    for (int i = 0; i < 2000; i++) {
      void *p = typed_mem_Resize("threads", nullptr, (size_t)i % 64 + 1);
      p = typed_mem_Resize("threads", p, 100);
      typed_mem_Release("threads", p);
    }
  };
  std::thread a(work), b(work), c(work);
  a.join();
  b.join();
  c.join();
  EXPECT_TRUE(Stats().empty());
}

TEST(RecordTypedMemOn, MisuseStopsTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        void *p = typed_mem_Resize("abd", nullptr, 4);
        typed_mem_Release("abc", p);
      },
      "FREE\\(\\) with wrong type: ptr=.* \"abc\" != \"abd\"");
  EXPECT_DEATH(
      {
        char *p = (char *)typed_mem_Resize("over", nullptr, 4);
        p[4] = 1;
        typed_mem_Resize("over", p, 8);
      },
      "REALLOC\\(\\): tail guard violated ptr=.* type=\"over\"");
  EXPECT_DEATH(
      {
        char *p = (char *)typed_mem_Resize("under", nullptr, 4);
        p[-1] = 1;
        typed_mem_Release("under", p);
      },
      "FREE\\(\\): head guard violated");
  EXPECT_DEATH(
      {
        static int stray;
        typed_mem_Release("stray", &stray);
      },
      "FREE\\(\\) of unallocated block: ptr=.* type=\"stray\"");
}

}  // namespace
