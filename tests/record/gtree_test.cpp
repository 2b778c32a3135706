// The red-black tree against std::set, with the colour rules checked from its print-out.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <sstream>

#include "record/gtree.h"
#include "record/typed_mem.h"

namespace {

int CompareInts(gtree *, const void *a, const void *b) {
  int x = *(const int *)a, y = *(const int *)b;
  return x < y ? -1 : x > y ? 1 : 0;
}

thread_local char g_label[32];
const char *PrintInt(gtree *, const void *item) {
  snprintf(g_label, sizeof(g_label), "%d", *(const int *)item);
  return g_label;
}

std::string Printed(gtree *g) {
  char *buf = nullptr;
  size_t len = 0;
  FILE *f = open_memstream(&buf, &len);
  gtree_Print(g, f);
  fclose(f);
  std::string r(buf, len);
  free(buf);
  return r;
}

struct PNode {
  int key;
  bool red;
  int left = -1, right = -1;
};

// Rebuilds the tree from gtree_Print and checks order and the red-black rules; returns the black height.
int CheckSubtree(const std::vector<PNode> &nodes, int i, long lo, long hi, int *count) {
  if (i < 0) return 1;
  const PNode &n = nodes[(size_t)i];
  EXPECT_GT(n.key, lo);
  EXPECT_LT(n.key, hi);
  (*count)++;
  if (n.red) {
    if (n.left >= 0) {
      EXPECT_FALSE(nodes[(size_t)n.left].red) << "red node " << n.key << " has a red child";
    }
    if (n.right >= 0) {
      EXPECT_FALSE(nodes[(size_t)n.right].red) << "red node " << n.key << " has a red child";
    }
  }
  int l = CheckSubtree(nodes, n.left, lo, n.key, count);
  int r = CheckSubtree(nodes, n.right, n.key, hi, count);
  EXPECT_EQ(l, r) << "black heights differ under " << n.key;
  return l + (n.red ? 0 : 1);
}

void CheckRedBlack(gtree *g, size_t expect_size) {
  std::istringstream in(Printed(g));
  std::string line;
  std::vector<PNode> nodes;
  std::vector<int> stack;  // node index per depth
  while (std::getline(in, line)) {
    size_t depth = line.find_first_not_of(' ') / 2;
    std::string rest = line.substr(depth * 2);
    size_t colon = rest.find(": ");
    std::string label = rest.substr(0, colon), body = rest.substr(colon + 2);
    if (body == "NIL") {
      ASSERT_EQ(expect_size, 0u);
      return;
    }
    PNode n;
    n.key = std::stoi(body.substr(0, body.find(' ')));
    std::string colour = body.substr(body.find(' ') + 1);
    ASSERT_TRUE(colour == "RED" || colour == "BLACK") << line;
    n.red = colour == "RED";
    int idx = (int)nodes.size();
    nodes.push_back(n);
    stack.resize(depth);
    if (depth == 0) {
      ASSERT_EQ(label, "ROOT");
    } else {
      PNode &parent = nodes[(size_t)stack[depth - 1]];
      (label == "LEFT" ? parent.left : parent.right) = idx;
    }
    stack.push_back(idx);
  }
  ASSERT_FALSE(nodes.empty());
  EXPECT_FALSE(nodes[0].red) << "the root is black";
  int count = 0;
  CheckSubtree(nodes, 0, -1L << 40, 1L << 40, &count);
  EXPECT_EQ((size_t)count, expect_size);
}

TEST(RecordTree, RandomOperationsMatchStdSet) {
  std::vector<int> pool(600);
  for (size_t i = 0; i < pool.size(); i++) pool[i] = (int)i;
  gtree *g = gtree_Create(nullptr, "test_tree", CompareInts, nullptr, nullptr, PrintInt);
  ASSERT_NE(g, nullptr);
  std::set<int> ref;
  std::mt19937 rng(3);
  for (int step = 0; step < 20000; step++) {
    int *item = &pool[rng() % pool.size()];
    switch (rng() % 3) {
      case 0:
      case 1: {
        int r = gtree_Put(g, item);
        ASSERT_EQ(r, ref.count(*item) ? 1 : 0);
        ref.insert(*item);
        break;
      }
      default:
        ASSERT_EQ(gtree_Remove(g, item), ref.erase(*item) ? 1 : 0);
        break;
    }
    ASSERT_EQ(gtree_Size(g), ref.size());
    if (step % 500 == 0) {
      CheckRedBlack(g, ref.size());
      void **items = nullptr;
      int n = gtree_Dump(g, &items, TYPED_MEM_TEMP);
      ASSERT_EQ((size_t)n, ref.size());
      int i = 0;
      for (int k : ref) EXPECT_EQ(*(int *)items[i++], k);
      typed_mem_Release(TYPED_MEM_TEMP, items);
    }
    int probe = (int)(rng() % pool.size());
    void *got = gtree_Get(g, &probe);
    ASSERT_EQ(got != nullptr, ref.count(probe) == 1);
    if (got != nullptr) {
      auto it = ref.find(probe);
      auto nx = std::next(it);
      void *next = gtree_Next(g, got);
      ASSERT_EQ(next == nullptr, nx == ref.end());
      if (next != nullptr) {
        ASSERT_EQ(*(int *)next, *nx);
      }
      void *prev = gtree_Prev(g, got);
      ASSERT_EQ(prev == nullptr, it == ref.begin());
      if (prev != nullptr) {
        ASSERT_EQ(*(int *)prev, *std::prev(it));
      }
    }
  }
  CheckRedBlack(g, ref.size());
  ASSERT_FALSE(ref.empty());
  EXPECT_EQ(*(int *)gtree_First(g), *ref.begin());
  EXPECT_EQ(*(int *)gtree_Last(g), *ref.rbegin());
  gtree_Destroy(&g);
  EXPECT_EQ(g, nullptr);
}

TEST(RecordTree, SequentialInsertStaysBalanced) {
  std::vector<int> pool(1024);
  gtree *g = gtree_Create(nullptr, nullptr, CompareInts, nullptr, nullptr, PrintInt);
  for (size_t i = 0; i < pool.size(); i++) {
    pool[i] = (int)i;
    ASSERT_EQ(gtree_Put(g, &pool[i]), 0);
  }
  CheckRedBlack(g, pool.size());
  std::string text = Printed(g);
  size_t deepest = 0;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) deepest = std::max(deepest, line.find_first_not_of(' ') / 2);
  EXPECT_LE(deepest, 20u) << "depth stays within 2 log2(n)";
  for (size_t i = 0; i < pool.size(); i += 2) ASSERT_EQ(gtree_Remove(g, &pool[i]), 1);
  CheckRedBlack(g, pool.size() / 2);
  gtree_Destroy(&g);
}

TEST(RecordTree, DefaultOrderIsByAddress) {
  char block[5];
  gtree *g = gtree_Create(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  for (int i : {3, 0, 4, 1, 2}) ASSERT_EQ(gtree_Put(g, &block[i]), 0);
  EXPECT_EQ(gtree_First(g), &block[0]);
  EXPECT_EQ(gtree_Next(g, &block[2]), &block[3]);
  EXPECT_EQ(gtree_Next(g, &block[4]), nullptr);
  EXPECT_EQ(gtree_Prev(g, &block[0]), nullptr);
  errno = 0;
  EXPECT_EQ(gtree_Put(g, nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
  gtree_Destroy(&g);
}

std::vector<std::string> g_events;
void OnAdd(gtree *, void *item) { g_events.push_back("add " + std::to_string(*(int *)item)); }
void OnDelete(gtree *g, void *item) {
  g_events.push_back("del " + std::to_string(*(int *)item));
  errno = 0;
  int other = 999;
  if (gtree_Put(g, &other) != -1 || errno != EBUSY) g_events.push_back("put inside a callback was allowed");
}

TEST(RecordTree, ReplaceCallsBothCallbacks) {
  g_events.clear();
  int a = 5, b = 5, c = 6;
  gtree *g = gtree_Create(nullptr, "test_tree", CompareInts, OnAdd, OnDelete, nullptr);
  EXPECT_EQ(gtree_Put(g, &a), 0);
  EXPECT_EQ(gtree_Put(g, &c), 0);
  EXPECT_EQ(gtree_Put(g, &b), 1);
  EXPECT_EQ(gtree_Size(g), 2u);
  EXPECT_EQ(gtree_Get(g, &a), &b) << "the new item replaced the old";
  EXPECT_EQ(gtree_Remove(g, &c), 1);
  EXPECT_EQ(gtree_Remove(g, &c), 0);
  gtree_Destroy(&g);
  std::vector<std::string> expect = {"add 5", "add 6", "del 5", "add 5", "del 6", "del 5"};
  EXPECT_EQ(g_events, expect);
}

TEST(RecordTree, PutWithNodeUsesOrFreesTheNode) {
  int a = 1, b = 1;
  gtree *g = gtree_Create(nullptr, "test_tree", CompareInts, nullptr, nullptr, nullptr);
  void *node = typed_mem_Resize("test_tree", nullptr, gtree_NodeSize());
  ASSERT_EQ(gtree_PutWithNode(g, &a, node), 0);
  node = typed_mem_Resize("test_tree", nullptr, gtree_NodeSize());
  ASSERT_EQ(gtree_PutWithNode(g, &b, node), 1) << "the spare node is freed (the leak check sees it)";
  gtree_Destroy(&g);
}

int WalkPut(gtree *g, void *item) {
  if (gtree_Put(g, item) != -1 || errno != EBUSY) return -1;
  if (gtree_Remove(g, item) != -1 || errno != EBUSY) return -1;
  return *(int *)item == 3 ? -1 : 0;
}

TEST(RecordTree, WalkLocksTheTreeAndStops) {
  int items[5] = {1, 2, 3, 4, 5};
  gtree *g = gtree_Create(nullptr, nullptr, CompareInts, nullptr, nullptr, nullptr);
  for (int &i : items) gtree_Put(g, &i);
  EXPECT_EQ(gtree_Walk(g, WalkPut), -1) << "stopped at 3";
  EXPECT_EQ(gtree_Walk(g, [](gtree *, void *item) { return *(int *)item > 0 ? 0 : -1; }), 0);
  EXPECT_EQ(gtree_Put(g, &items[0]), 1) << "unlocked after the walk";
  gtree_Destroy(&g);
}

TEST(RecordTree, PrintFormat) {
  int items[3] = {2, 1, 3};
  gtree *g = gtree_Create(nullptr, nullptr, CompareInts, nullptr, nullptr, PrintInt);
  EXPECT_EQ(Printed(g), "ROOT: NIL\n");
  for (int &i : items) gtree_Put(g, &i);
  EXPECT_EQ(Printed(g), "ROOT: 2 BLACK\n  LEFT: 1 RED\n  RIGHT: 3 RED\n");
  gtree_Destroy(&g);
  EXPECT_GE(gtree_NodeSize(), 4 * sizeof(void *));
}

}  // namespace
