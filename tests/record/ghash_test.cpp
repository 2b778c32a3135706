// The hash table against std::unordered_map, bucket counts, shrinking and iterators.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <unordered_map>

#include "record/ghash.h"
#include "record/typed_mem.h"

namespace {

struct Item {
  uint32_t key;
  int value;
};

uint32_t HashItem(ghash *, const void *item) { return ((const Item *)item)->key; }
int EqualItems(ghash *, const void *a, const void *b) { return ((const Item *)a)->key == ((const Item *)b)->key; }

std::vector<Item *> Dump(ghash *g) {
  void **list = nullptr;
  int n = ghash_Dump(g, &list, TYPED_MEM_TEMP);
  std::vector<Item *> r;
  for (int i = 0; i < n; i++) r.push_back((Item *)list[i]);
  typed_mem_Release(TYPED_MEM_TEMP, list);
  return r;
}

// The bucket count that explains the dump order (items come out by bucket = key mod count).
uint32_t InferBuckets(ghash *g) {
  std::vector<Item *> items = Dump(g);
  for (uint32_t n = 31; n < 1u << 24; n = n * 2 - 1) {
    bool ok = true;
    for (size_t i = 1; i < items.size() && ok; i++) ok = items[i - 1]->key % n <= items[i]->key % n;
    if (ok) return n;
  }
  return 0;
}

TEST(RecordHash, BucketCountsOfTheExamples) {
  std::vector<Item> items(100);
  ghash *g = ghash_Create(nullptr, 10, 0, "test_hash", HashItem, EqualItems, nullptr, nullptr);
  ASSERT_NE(g, nullptr);
  // Keys 30..52 and 61: in 31 buckets 31..52 sort before 30, in 61 they follow it.
  uint32_t keys[24] = {30};
  for (int i = 1; i < 23; i++) keys[i] = 30 + (uint32_t)i;
  keys[23] = 61;
  for (int i = 0; i < 23; i++) {
    items[(size_t)i] = {keys[i], i};
    ASSERT_EQ(ghash_Put(g, &items[(size_t)i]), 0);
  }
  EXPECT_EQ(InferBuckets(g), 31u) << "10 initial buckets become 31; 23 items stay below the threshold";
  items[23] = {keys[23], 23};
  ASSERT_EQ(ghash_Put(g, &items[23]), 0);
  EXPECT_EQ(InferBuckets(g), 61u) << "the 24th item grows the table to 61";
  ghash_Destroy(&g);
}

TEST(RecordHash, RandomOperationsMatchUnorderedMap) {
  std::vector<Item> pool(3000);
  for (size_t i = 0; i < pool.size(); i++) pool[i] = {(uint32_t)(i * 2654435761u), (int)i};
  ghash *g = ghash_Create(nullptr, 0, 0, "test_hash", HashItem, EqualItems, nullptr, nullptr);
  std::unordered_map<uint32_t, Item *> ref;
  std::mt19937 rng(9);
  for (int step = 0; step < 60000; step++) {
    // Phases of growth and of shrinking, so both rehash directions run.
    bool growing = (step / 10000) % 2 == 0;
    Item *it = &pool[rng() % pool.size()];
    unsigned op = rng() % 10;
    if (op < (growing ? 7u : 2u)) {
      ASSERT_EQ(ghash_Put(g, it), ref.count(it->key) ? 1 : 0);
      ref[it->key] = it;
    } else if (op < 9) {
      ASSERT_EQ(ghash_Remove(g, it), ref.erase(it->key) ? 1 : 0);
    } else if (!ref.empty()) {
      // Remove a few through an iterator, which must stay valid.
      ghash_iter *iter = ghash_IterCreate(g);
      ASSERT_NE(iter, nullptr);
      int taken = 0;
      while (ghash_IterHasNext(iter) && taken < 3) {
        Item *x = (Item *)ghash_IterNext(iter);
        ASSERT_NE(x, nullptr);
        if (rng() % 2) {
          ASSERT_EQ(ghash_IterRemove(iter), 0);
          ASSERT_EQ(ref.erase(x->key), 1u);
          taken++;
        }
      }
      ghash_IterDestroy(&iter);
    }
    ASSERT_EQ(ghash_Size(g), ref.size());
    Item probe = {pool[rng() % pool.size()].key, 0};
    Item *got = (Item *)ghash_Get(g, &probe);
    auto f = ref.find(probe.key);
    ASSERT_EQ(got, f == ref.end() ? nullptr : f->second);
  }
  std::vector<Item *> all = Dump(g);
  ASSERT_EQ(all.size(), ref.size());
  for (Item *x : all) EXPECT_EQ(ref.at(x->key), x);
  ghash_Destroy(&g);
}

// Every rehash hashes each item once more, so counting hash calls shows when one happened.
uint64_t g_hash_calls;
uint32_t CountingHash(ghash *, const void *item) {
  g_hash_calls++;
  return ((const Item *)item)->key;
}

bool Rehashed(const std::function<void()> &op, uint64_t plain_calls) {
  uint64_t before = g_hash_calls;
  op();
  return g_hash_calls - before > plain_calls;
}

TEST(RecordHash, ShrinksWithoutThrashAndKeepsBuckets) {
  std::vector<Item> pool(5000);
  for (size_t i = 0; i < pool.size(); i++) pool[i] = {(uint32_t)(i * 7919u), 0};
  for (uint32_t load : {75u, 1u, 300u}) {
    SCOPED_TRACE(load);
    ghash *g = ghash_Create(nullptr, 0, load, "test_hash", CountingHash, EqualItems, nullptr, nullptr);
    for (Item &x : pool) ASSERT_EQ(ghash_Put(g, &x), 0);
    int shrinks = 0;
    for (size_t i = 40; i < pool.size(); i++) {
      if (Rehashed([&] { ASSERT_EQ(ghash_Remove(g, &pool[i]), 1); }, 1)) shrinks++;
    }
    EXPECT_GE(shrinks, 1) << "the emptied table gives its buckets back";
    EXPECT_LE(shrinks, 12) << "each shrink at least halves the table";
    // Right after the last shrink, puts and removes of a few items never rehash.
    for (int k = 0; k < 5; k++) {
      EXPECT_FALSE(Rehashed([&] { ASSERT_EQ(ghash_Put(g, &pool[100 + k]), 0); }, 2));
    }
    for (int k = 0; k < 5; k++) ASSERT_EQ(ghash_Remove(g, &pool[100 + k]), 1);
    for (size_t i = 0; i < 40; i++) ASSERT_EQ(ghash_Remove(g, &pool[i]), 1);
    EXPECT_EQ(ghash_Size(g), 0u);
    for (Item &x : pool) ASSERT_EQ(ghash_Put(g, &x), 0) << "the table works after shrinking";
    EXPECT_EQ(ghash_Size(g), pool.size());
    ghash_Destroy(&g);
  }
}

TEST(RecordHash, RemovingThroughAnIteratorNeverShrinksUnderIt) {
  std::vector<Item> pool(4000);
  ghash *g = ghash_Create(nullptr, 0, 0, "test_hash", CountingHash, EqualItems, nullptr, nullptr);
  for (size_t i = 0; i < pool.size(); i++) {
    pool[i] = {(uint32_t)i, 0};
    ASSERT_EQ(ghash_Put(g, &pool[i]), 0);
  }
  ghash_iter *iter = ghash_IterCreate(g);
  size_t seen = 0;
  while (ghash_IterHasNext(iter)) {
    Item *x = (Item *)ghash_IterNext(iter);
    ASSERT_NE(x, nullptr);
    ASSERT_EQ(x->value, 0) << "each item once";
    x->value = 1;
    seen++;
    EXPECT_FALSE(Rehashed([&] { ASSERT_EQ(ghash_IterRemove(iter), 0); }, 0));
  }
  EXPECT_EQ(seen, pool.size());
  EXPECT_EQ(ghash_Size(g), 0u);
  ghash_IterDestroy(&iter);
  ghash_Destroy(&g);
}

TEST(RecordHash, StaleIteratorsAndWalks) {
  Item a = {1, 0}, b = {2, 0}, c = {3, 0};
  ghash *g = ghash_Create(nullptr, 0, 0, "test_hash", HashItem, EqualItems, nullptr, nullptr);
  ghash_Put(g, &a);
  ghash_iter *iter = ghash_IterCreate(g);
  errno = 0;
  EXPECT_EQ(ghash_IterRemove(iter), -1) << "nothing returned yet";
  EXPECT_EQ(errno, EINVAL);
  ghash_Put(g, &b);
  EXPECT_EQ(ghash_IterHasNext(iter), 1) << "a changed table still says there is more";
  errno = 0;
  EXPECT_EQ(ghash_IterNext(iter), nullptr);
  EXPECT_EQ(errno, EINVAL);
  ghash_IterDestroy(&iter);
  EXPECT_EQ(iter, nullptr);

  ghash_walk w;
  ghash_WalkInit(g, &w);
  int n = 0;
  while (ghash_WalkNext(g, &w) != nullptr) n++;
  EXPECT_EQ(n, 2);
  EXPECT_EQ(errno, ENOENT);
  ghash_WalkInit(g, &w);
  EXPECT_NE(ghash_WalkNext(g, &w), nullptr);
  ghash_Put(g, &c);
  EXPECT_EQ(ghash_WalkNext(g, &w), nullptr);
  EXPECT_EQ(errno, EINVAL);

  EXPECT_EQ(ghash_Get(g, nullptr), nullptr);
  EXPECT_EQ(ghash_Remove(g, nullptr), 0);
  errno = 0;
  EXPECT_EQ(ghash_Put(g, nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(ghash_IterCreate(nullptr), nullptr);
  ghash_Destroy(&g);
}

int g_deleted;
void CountDelete(ghash *g, void *item) {
  g_deleted++;
  errno = 0;
  if (ghash_Put(g, item) == -1 && errno == EBUSY) g_deleted += 100;
}

TEST(RecordHash, CallbacksAndPointerDefaults) {
  g_deleted = 0;
  char block[3];
  ghash *g = ghash_Create((void *)block, 0, 0, nullptr, nullptr, nullptr, nullptr, CountDelete);
  EXPECT_EQ(ghash_GetArg(g), (void *)block);
  EXPECT_EQ(ghash_Put(g, &block[0]), 0);
  EXPECT_EQ(ghash_Put(g, &block[1]), 0);
  EXPECT_EQ(ghash_Put(g, &block[1]), 1);
  EXPECT_EQ(g_deleted, 101) << "replacing calls on_delete, which may not change the table";
  EXPECT_EQ(ghash_Get(g, &block[0]), &block[0]);
  EXPECT_EQ(ghash_Get(g, &block[2]), nullptr);
  ghash_Destroy(&g);
  EXPECT_EQ(g_deleted, 303);
}

TEST(RecordHash, DestroyWithALiveIteratorIsAnError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ghash *g = ghash_Create(nullptr, 0, 0, "test_hash", nullptr, nullptr, nullptr, nullptr);
  ghash_iter *iter = ghash_IterCreate(g);
  EXPECT_DEATH(ghash_Destroy(&g), "g->iter_count == 0");
  ghash_IterDestroy(&iter);
  ghash_Destroy(&g);
}

}  // namespace
