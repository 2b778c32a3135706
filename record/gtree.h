// Red-black tree of opaque item pointers, ordered by a caller function.
// No thread lock: the user serialises; the "locked" flag only refuses changes
// from inside the tree's own callbacks (EBUSY).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

struct gtree;

typedef int gtree_compare_fn(gtree *g, const void *a, const void *b);
typedef void gtree_add_fn(gtree *g, void *item);
typedef void gtree_del_fn(gtree *g, void *item);
typedef const char *gtree_print_fn(gtree *g, const void *item);
typedef int gtree_walk_fn(gtree *g, void *item);

// Null functions mean: order by address, no callbacks, print addresses.
gtree *gtree_Create(void *arg, const char *mtype, gtree_compare_fn *compare, gtree_add_fn *on_add,
                    gtree_del_fn *on_delete, gtree_print_fn *print);
void gtree_Destroy(gtree **gp);
void *gtree_Get(gtree *g, const void *item);
int gtree_Put(gtree *g, const void *item);
// `node` is a block of gtree_NodeSize() bytes under the tree's memory type, or null.
int gtree_PutWithNode(gtree *g, const void *item, void *node);
int gtree_Remove(gtree *g, const void *item);
uint32_t gtree_Size(gtree *g);
void *gtree_First(gtree *g);
void *gtree_Last(gtree *g);
void *gtree_Next(gtree *g, const void *item);
void *gtree_Prev(gtree *g, const void *item);
int gtree_Walk(gtree *g, gtree_walk_fn *fn);
int gtree_Dump(gtree *g, void ***list, const char *mtype);
void gtree_Print(gtree *g, FILE *stream);
void *gtree_GetArg(gtree *g);
size_t gtree_NodeSize(void);
