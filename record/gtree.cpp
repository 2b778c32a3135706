#include "record/gtree.h"

#include <cerrno>
#include <cstring>

#include "record/rec_private.h"
#include "record/typed_mem.h"

namespace {

enum { BLACK = 0, RED = 1 };

struct GtreeNode {
  int colour;
  GtreeNode *left;
  GtreeNode *right;
  GtreeNode *parent;
  void *item;
};

}  // namespace

// The sentinel lives in the header, so trees used on different threads share nothing.
struct gtree {
  void *arg;
  gtree_compare_fn *compare;
  gtree_add_fn *on_add;
  gtree_del_fn *on_delete;
  gtree_print_fn *print;
  uint32_t mods;
  uint32_t size;
  GtreeNode *root;
  GtreeNode nil;
  bool has_mtype;
  char mtype[TYPED_MEM_NAME_MAX];
  bool locked;
};

namespace {

const char *TreeMtype(const gtree *g) { return g->has_mtype ? g->mtype : nullptr; }

int CompareAddress(gtree *, const void *a, const void *b) {
  uintptr_t x = (uintptr_t)a, y = (uintptr_t)b;
  return x < y ? -1 : x > y ? 1 : 0;
}

GtreeNode *FindNode(gtree *g, const void *item) {
  GtreeNode *n = g->root;
  while (n != &g->nil) {
    int c = g->compare(g, item, n->item);
    if (c == 0) return n;
    n = c < 0 ? n->left : n->right;
  }
  return nullptr;
}

GtreeNode *MinNode(gtree *g, GtreeNode *n) {
  while (n->left != &g->nil) n = n->left;
  return n;
}

GtreeNode *MaxNode(gtree *g, GtreeNode *n) {
  while (n->right != &g->nil) n = n->right;
  return n;
}

GtreeNode *NextNode(gtree *g, GtreeNode *n) {
  if (n->right != &g->nil) return MinNode(g, n->right);
  GtreeNode *p = n->parent;
  while (p != &g->nil && n == p->right) {
    n = p;
    p = p->parent;
  }
  return p == &g->nil ? nullptr : p;
}

GtreeNode *PrevNode(gtree *g, GtreeNode *n) {
  if (n->left != &g->nil) return MaxNode(g, n->left);
  GtreeNode *p = n->parent;
  while (p != &g->nil && n == p->left) {
    n = p;
    p = p->parent;
  }
  return p == &g->nil ? nullptr : p;
}

void RotateLeft(gtree *g, GtreeNode *x) {
  GtreeNode *y = x->right;
  x->right = y->left;
  if (y->left != &g->nil) y->left->parent = x;
  y->parent = x->parent;
  if (x->parent == &g->nil)
    g->root = y;
  else if (x == x->parent->left)
    x->parent->left = y;
  else
    x->parent->right = y;
  y->left = x;
  x->parent = y;
}

void RotateRight(gtree *g, GtreeNode *x) {
  GtreeNode *y = x->left;
  x->left = y->right;
  if (y->right != &g->nil) y->right->parent = x;
  y->parent = x->parent;
  if (x->parent == &g->nil)
    g->root = y;
  else if (x == x->parent->right)
    x->parent->right = y;
  else
    x->parent->left = y;
  y->right = x;
  x->parent = y;
}

void InsertFixup(gtree *g, GtreeNode *z) {
  while (z->parent->colour == RED) {
    GtreeNode *gp = z->parent->parent;
    if (z->parent == gp->left) {
      GtreeNode *y = gp->right;
      if (y->colour == RED) {
        z->parent->colour = BLACK;
        y->colour = BLACK;
        gp->colour = RED;
        z = gp;
      } else {
        if (z == z->parent->right) {
          z = z->parent;
          RotateLeft(g, z);
        }
        z->parent->colour = BLACK;
        z->parent->parent->colour = RED;
        RotateRight(g, z->parent->parent);
      }
    } else {
      GtreeNode *y = gp->left;
      if (y->colour == RED) {
        z->parent->colour = BLACK;
        y->colour = BLACK;
        gp->colour = RED;
        z = gp;
      } else {
        if (z == z->parent->left) {
          z = z->parent;
          RotateRight(g, z);
        }
        z->parent->colour = BLACK;
        z->parent->parent->colour = RED;
        RotateLeft(g, z->parent->parent);
      }
    }
  }
  g->root->colour = BLACK;
}

void DeleteFixup(gtree *g, GtreeNode *x) {
  while (x != g->root && x->colour == BLACK) {
    if (x == x->parent->left) {
      GtreeNode *w = x->parent->right;
      if (w->colour == RED) {
        w->colour = BLACK;
        x->parent->colour = RED;
        RotateLeft(g, x->parent);
        w = x->parent->right;
      }
      if (w->left->colour == BLACK && w->right->colour == BLACK) {
        w->colour = RED;
        x = x->parent;
      } else {
        if (w->right->colour == BLACK) {
          w->left->colour = BLACK;
          w->colour = RED;
          RotateRight(g, w);
          w = x->parent->right;
        }
        w->colour = x->parent->colour;
        x->parent->colour = BLACK;
        w->right->colour = BLACK;
        RotateLeft(g, x->parent);
        x = g->root;
      }
    } else {
      GtreeNode *w = x->parent->left;
      if (w->colour == RED) {
        w->colour = BLACK;
        x->parent->colour = RED;
        RotateRight(g, x->parent);
        w = x->parent->left;
      }
      if (w->right->colour == BLACK && w->left->colour == BLACK) {
        w->colour = RED;
        x = x->parent;
      } else {
        if (w->left->colour == BLACK) {
          w->right->colour = BLACK;
          w->colour = RED;
          RotateLeft(g, w);
          w = x->parent->left;
        }
        w->colour = x->parent->colour;
        x->parent->colour = BLACK;
        w->left->colour = BLACK;
        RotateRight(g, x->parent);
        x = g->root;
      }
    }
  }
  x->colour = BLACK;
}

// Unlinks the node holding z's item; returns the node actually taken out.
GtreeNode *UnlinkNode(gtree *g, GtreeNode *z) {
  GtreeNode *y = (z->left == &g->nil || z->right == &g->nil) ? z : MinNode(g, z->right);
  GtreeNode *x = y->left != &g->nil ? y->left : y->right;
  x->parent = y->parent;
  if (y->parent == &g->nil)
    g->root = x;
  else if (y == y->parent->left)
    y->parent->left = x;
  else
    y->parent->right = x;
  if (y != z) z->item = y->item;
  if (y->colour == BLACK) DeleteFixup(g, x);
  g->nil.parent = &g->nil;
  return y;
}

void FreeSubtree(gtree *g, GtreeNode *n) {
  while (n != &g->nil) {
    FreeSubtree(g, n->left);
    GtreeNode *right = n->right;
    typed_mem_Release(TreeMtype(g), n);
    n = right;
  }
}

void PrintNode(gtree *g, FILE *stream, GtreeNode *n, const char *label, int depth) {
  fprintf(stream, "%*s%s: ", depth * 2, "", label);
  if (n == &g->nil) {
    fprintf(stream, "NIL\n");
    return;
  }
  if (g->print != nullptr)
    fprintf(stream, "%s", g->print(g, n->item));
  else
    fprintf(stream, "%p", n->item);
  fprintf(stream, " %s\n", n->colour == RED ? "RED" : "BLACK");
  if (n->left != &g->nil) PrintNode(g, stream, n->left, "LEFT", depth + 1);
  if (n->right != &g->nil) PrintNode(g, stream, n->right, "RIGHT", depth + 1);
}

}  // namespace

gtree *gtree_Create(void *arg, const char *mtype, gtree_compare_fn *compare, gtree_add_fn *on_add,
                    gtree_del_fn *on_delete, gtree_print_fn *print) {
  gtree *g = (gtree *)typed_mem_AllocZeroed(mtype, 1, sizeof(gtree));
  if (g == nullptr) return nullptr;
  g->arg = arg;
  g->compare = compare != nullptr ? compare : CompareAddress;
  g->on_add = on_add;
  g->on_delete = on_delete;
  g->print = print;
  g->nil.colour = BLACK;
  g->nil.left = g->nil.right = g->nil.parent = &g->nil;
  g->root = &g->nil;
  if (mtype != nullptr) {
    g->has_mtype = true;
    rec_CopyTypeName(g->mtype, mtype);
  }
  // The header itself was allocated under the caller's full name.
  return g;
}

void gtree_Destroy(gtree **gp) {
  gtree *g = *gp;
  if (g == nullptr) return;
  REC_ASSERT(!g->locked);
  g->locked = true;
  if (g->on_delete != nullptr && g->root != &g->nil) {
    for (GtreeNode *n = MinNode(g, g->root); n != nullptr; n = NextNode(g, n)) g->on_delete(g, n->item);
  }
  FreeSubtree(g, g->root);
  char name[TYPED_MEM_NAME_MAX];
  bool has_name = g->has_mtype;
  memcpy(name, g->mtype, sizeof(name));
  typed_mem_Release(has_name ? name : nullptr, g);
  *gp = nullptr;
}

void *gtree_Get(gtree *g, const void *item) {
  GtreeNode *n = FindNode(g, item);
  return n != nullptr ? n->item : nullptr;
}

int gtree_Put(gtree *g, const void *item) { return gtree_PutWithNode(g, item, nullptr); }

int gtree_PutWithNode(gtree *g, const void *item, void *node) {
  if (item == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (g->locked) {
    errno = EBUSY;
    return -1;
  }
  GtreeNode *parent = &g->nil;
  GtreeNode *n = g->root;
  int c = 0;
  while (n != &g->nil) {
    c = g->compare(g, item, n->item);
    if (c == 0) break;
    parent = n;
    n = c < 0 ? n->left : n->right;
  }
  g->locked = true;
  if (n != &g->nil) {
    void *old = n->item;
    if (g->on_delete != nullptr) g->on_delete(g, old);
    n->item = (void *)item;
    g->mods++;
    if (g->on_add != nullptr) g->on_add(g, n->item);
    g->locked = false;
    if (node != nullptr) typed_mem_Release(TreeMtype(g), node);
    return 1;
  }
  GtreeNode *z = (GtreeNode *)node;
  if (z == nullptr) z = (GtreeNode *)typed_mem_Resize(TreeMtype(g), nullptr, sizeof(GtreeNode));
  if (z == nullptr) {
    g->locked = false;
    return -1;
  }
  z->item = (void *)item;
  z->left = z->right = &g->nil;
  z->parent = parent;
  z->colour = RED;
  if (parent == &g->nil)
    g->root = z;
  else if (c < 0)
    parent->left = z;
  else
    parent->right = z;
  InsertFixup(g, z);
  g->size++;
  g->mods++;
  if (g->on_add != nullptr) g->on_add(g, z->item);
  g->locked = false;
  return 0;
}

int gtree_Remove(gtree *g, const void *item) {
  if (g->locked) {
    errno = EBUSY;
    return -1;
  }
  GtreeNode *z = FindNode(g, item);
  if (z == nullptr) return 0;
  void *old = z->item;
  g->locked = true;
  if (g->on_delete != nullptr) g->on_delete(g, old);
  GtreeNode *y = UnlinkNode(g, z);
  typed_mem_Release(TreeMtype(g), y);
  g->size--;
  g->mods++;
  g->locked = false;
  return 1;
}

uint32_t gtree_Size(gtree *g) { return g->size; }

void *gtree_First(gtree *g) { return g->root == &g->nil ? nullptr : MinNode(g, g->root)->item; }

void *gtree_Last(gtree *g) { return g->root == &g->nil ? nullptr : MaxNode(g, g->root)->item; }

void *gtree_Next(gtree *g, const void *item) {
  GtreeNode *n = FindNode(g, item);
  if (n == nullptr) return nullptr;
  n = NextNode(g, n);
  return n != nullptr ? n->item : nullptr;
}

void *gtree_Prev(gtree *g, const void *item) {
  GtreeNode *n = FindNode(g, item);
  if (n == nullptr) return nullptr;
  n = PrevNode(g, n);
  return n != nullptr ? n->item : nullptr;
}

int gtree_Walk(gtree *g, gtree_walk_fn *fn) {
  if (g->locked) {
    errno = EBUSY;
    return -1;
  }
  if (g->root == &g->nil) return 0;
  g->locked = true;
  int r = 0;
  for (GtreeNode *n = MinNode(g, g->root); n != nullptr; n = NextNode(g, n)) {
    if (fn(g, n->item) == -1) {
      r = -1;
      break;
    }
  }
  g->locked = false;
  return r;
}

int gtree_Dump(gtree *g, void ***list, const char *mtype) {
  void **items = (void **)typed_mem_Resize(mtype, nullptr, g->size * sizeof(void *));
  if (items == nullptr) return -1;
  uint32_t i = 0;
  if (g->root != &g->nil) {
    for (GtreeNode *n = MinNode(g, g->root); n != nullptr; n = NextNode(g, n)) items[i++] = n->item;
  }
  REC_ASSERT(i == g->size);
  *list = items;
  return (int)i;
}

void gtree_Print(gtree *g, FILE *stream) { PrintNode(g, stream, g->root, "ROOT", 0); }

void *gtree_GetArg(gtree *g) { return g->arg; }

size_t gtree_NodeSize(void) { return sizeof(GtreeNode); }
