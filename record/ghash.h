// Chained hash table of opaque item pointers, matched by caller functions.
// No thread lock: the user serialises; the "locked" flag only refuses changes
// from inside the table's own callbacks (EBUSY).
#pragma once
#include <cstdint>

struct ghash;
struct ghash_iter;

typedef uint32_t ghash_hash_fn(ghash *g, const void *item);
typedef int ghash_equal_fn(ghash *g, const void *a, const void *b);
typedef void ghash_add_fn(ghash *g, void *item);
typedef void ghash_del_fn(ghash *g, void *item);

// Caller-held walk state; see ghash_WalkInit.
struct ghash_walk {
  uint32_t mods;
  uint32_t bucket;
  void *entry;
};

// Null functions mean: hash and match by pointer, no callbacks. maxload 0 means 75 (percent).
ghash *ghash_Create(void *arg, uint32_t isize, uint32_t maxload, const char *mtype, ghash_hash_fn *hash,
                    ghash_equal_fn *equal, ghash_add_fn *on_add, ghash_del_fn *on_delete);
void ghash_Destroy(ghash **gp);
void *ghash_Get(ghash *g, const void *item);
int ghash_Put(ghash *g, const void *item);
int ghash_Remove(ghash *g, const void *item);
uint32_t ghash_Size(ghash *g);
void *ghash_GetArg(ghash *g);
int ghash_Dump(ghash *g, void ***list, const char *mtype);

ghash_iter *ghash_IterCreate(ghash *g);
void ghash_IterDestroy(ghash_iter **iterp);
int ghash_IterHasNext(ghash_iter *iter);
void *ghash_IterNext(ghash_iter *iter);
int ghash_IterRemove(ghash_iter *iter);

void ghash_WalkInit(ghash *g, ghash_walk *walk);
void *ghash_WalkNext(ghash *g, ghash_walk *walk);
