#include "record/ghash.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "record/rec_private.h"
#include "record/typed_mem.h"

namespace {

const uint32_t kMinBuckets = 31;
const uint32_t kDefaultLoad = 75;

struct GhashEntry {
  void *item;
  GhashEntry *next;
};

}  // namespace

struct ghash {
  void *arg;
  ghash_hash_fn *hash;
  ghash_equal_fn *equal;
  ghash_add_fn *on_add;
  ghash_del_fn *on_delete;
  uint32_t maxload;
  uint32_t mods;
  uint32_t size;
  uint32_t grow;
  uint32_t shrink;
  uint32_t nbuckets;
  uint32_t iter_count;
  GhashEntry **buckets;
  bool has_mtype;
  char mtype[TYPED_MEM_NAME_MAX];
  char mtype_gent[TYPED_MEM_NAME_MAX];
  char mtype_iter[TYPED_MEM_NAME_MAX];
  char mtype_buckets[TYPED_MEM_NAME_MAX];
  bool locked;
};

struct ghash_iter {
  ghash *g;
  uint32_t mods;
  uint32_t bucket;
  uint32_t count;
  bool started;
  bool have_last;  // ep holds the item last returned (else: the one after it)
  GhashEntry **ep;
};

namespace {

const char *Name(const ghash *g, const char *which) { return g->has_mtype ? which : nullptr; }

uint32_t HashPointer(ghash *, const void *item) { return (uint32_t)(uintptr_t)item; }

int EqualPointer(ghash *, const void *a, const void *b) { return a == b; }

void SetThresholds(ghash *g) {
  uint64_t grow = (uint64_t)g->nbuckets * g->maxload / 100;
  if (grow < 1) grow = 1;
  if (grow > UINT32_MAX) grow = UINT32_MAX;
  g->grow = (uint32_t)grow;
  g->shrink = g->nbuckets / 20;
}

// Moves every entry into a new bucket array; on allocation failure the table stays as it is.
void Rehash(ghash *g, uint32_t new_nbuckets) {
  REC_ASSERT(new_nbuckets > 0);
  GhashEntry **nb = (GhashEntry **)typed_mem_AllocZeroed(Name(g, g->mtype_buckets), new_nbuckets,
                                                         sizeof(GhashEntry *));
  if (nb == nullptr) return;
  for (uint32_t i = 0; i < g->nbuckets; i++) {
    GhashEntry *e = g->buckets[i];
    while (e != nullptr) {
      GhashEntry *next = e->next;
      uint32_t b = g->hash(g, e->item) % new_nbuckets;
      e->next = nb[b];
      nb[b] = e;
      e = next;
    }
  }
  typed_mem_Release(Name(g, g->mtype_buckets), g->buckets);
  g->buckets = nb;
  g->nbuckets = new_nbuckets;
  SetThresholds(g);
}

// Shrinks only with no live iterator and only to at most half the buckets, so the
// next put cannot regrow the table at once.
void ShrinkCheck(ghash *g) {
  if (g->iter_count != 0 || g->size >= g->shrink || g->size <= kMinBuckets) return;
  uint64_t want = (uint64_t)g->size * 200 / g->maxload;
  if (want < kMinBuckets) want = kMinBuckets;
  if (want > g->nbuckets / 2) return;
  Rehash(g, (uint32_t)want);
}

GhashEntry **FindLink(ghash *g, const void *item) {
  uint32_t b = g->hash(g, item) % g->nbuckets;
  for (GhashEntry **ep = &g->buckets[b]; *ep != nullptr; ep = &(*ep)->next) {
    if ((*ep)->item == item || g->equal(g, (*ep)->item, item)) return ep;
  }
  return nullptr;
}

// Takes the entry at *ep out; the caller has checked the lock.
void RemoveAt(ghash *g, GhashEntry **ep) {
  GhashEntry *e = *ep;
  *ep = e->next;
  g->size--;
  g->mods++;
  g->locked = true;
  if (g->on_delete != nullptr) g->on_delete(g, e->item);
  g->locked = false;
  typed_mem_Release(Name(g, g->mtype_gent), e);
}

}  // namespace

ghash *ghash_Create(void *arg, uint32_t isize, uint32_t maxload, const char *mtype, ghash_hash_fn *hash,
                    ghash_equal_fn *equal, ghash_add_fn *on_add, ghash_del_fn *on_delete) {
  ghash *g = (ghash *)typed_mem_AllocZeroed(mtype, 1, sizeof(ghash));
  if (g == nullptr) return nullptr;
  g->arg = arg;
  g->hash = hash != nullptr ? hash : HashPointer;
  g->equal = equal != nullptr ? equal : EqualPointer;
  g->on_add = on_add;
  g->on_delete = on_delete;
  g->maxload = maxload != 0 ? maxload : kDefaultLoad;
  g->nbuckets = isize < kMinBuckets ? kMinBuckets : isize;
  if (mtype != nullptr) {
    char buf[TYPED_MEM_NAME_MAX + 16];
    g->has_mtype = true;
    rec_CopyTypeName(g->mtype, mtype);
    snprintf(buf, sizeof(buf), "%s.gent", g->mtype);
    rec_CopyTypeName(g->mtype_gent, buf);
    snprintf(buf, sizeof(buf), "%s.iter", g->mtype);
    rec_CopyTypeName(g->mtype_iter, buf);
    snprintf(buf, sizeof(buf), "%s.buckets", g->mtype);
    rec_CopyTypeName(g->mtype_buckets, buf);
  }
  g->buckets = (GhashEntry **)typed_mem_AllocZeroed(Name(g, g->mtype_buckets), g->nbuckets, sizeof(GhashEntry *));
  if (g->buckets == nullptr) {
    typed_mem_Release(mtype, g);
    return nullptr;
  }
  SetThresholds(g);
  return g;
}

void ghash_Destroy(ghash **gp) {
  ghash *g = *gp;
  if (g == nullptr) return;
  REC_ASSERT(!g->locked);
  REC_ASSERT(g->iter_count == 0);
  for (uint32_t i = 0; i < g->nbuckets; i++) {
    while (g->buckets[i] != nullptr) RemoveAt(g, &g->buckets[i]);
  }
  typed_mem_Release(Name(g, g->mtype_buckets), g->buckets);
  char name[TYPED_MEM_NAME_MAX];
  bool has_name = g->has_mtype;
  memcpy(name, g->mtype, sizeof(name));
  typed_mem_Release(has_name ? name : nullptr, g);
  *gp = nullptr;
}

void *ghash_Get(ghash *g, const void *item) {
  if (item == nullptr) return nullptr;
  GhashEntry **ep = FindLink(g, item);
  return ep != nullptr ? (*ep)->item : nullptr;
}

int ghash_Put(ghash *g, const void *item) {
  if (item == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (g->locked) {
    errno = EBUSY;
    return -1;
  }
  GhashEntry **ep = FindLink(g, item);
  if (ep != nullptr) {
    GhashEntry *e = *ep;
    g->locked = true;
    if (g->on_delete != nullptr) g->on_delete(g, e->item);
    e->item = (void *)item;
    g->mods++;
    if (g->on_add != nullptr) g->on_add(g, e->item);
    g->locked = false;
    return 1;
  }
  if (g->size + 1 > g->grow && g->nbuckets <= UINT32_MAX / 2) Rehash(g, g->nbuckets * 2 - 1);
  GhashEntry *e = (GhashEntry *)typed_mem_Resize(Name(g, g->mtype_gent), nullptr, sizeof(GhashEntry));
  if (e == nullptr) return -1;
  uint32_t b = g->hash(g, item) % g->nbuckets;
  e->item = (void *)item;
  e->next = g->buckets[b];
  g->buckets[b] = e;
  g->size++;
  g->mods++;
  g->locked = true;
  if (g->on_add != nullptr) g->on_add(g, e->item);
  g->locked = false;
  return 0;
}

int ghash_Remove(ghash *g, const void *item) {
  if (item == nullptr) return 0;
  if (g->locked) {
    errno = EBUSY;
    return -1;
  }
  GhashEntry **ep = FindLink(g, item);
  if (ep == nullptr) return 0;
  RemoveAt(g, ep);
  ShrinkCheck(g);
  return 1;
}

uint32_t ghash_Size(ghash *g) { return g->size; }

void *ghash_GetArg(ghash *g) { return g->arg; }

int ghash_Dump(ghash *g, void ***list, const char *mtype) {
  void **items = (void **)typed_mem_Resize(mtype, nullptr, (size_t)g->size * sizeof(void *));
  if (items == nullptr) return -1;
  uint32_t num = 0;
  for (uint32_t i = 0; i < g->nbuckets; i++) {
    for (GhashEntry *e = g->buckets[i]; e != nullptr; e = e->next) items[num++] = e->item;
  }
  REC_ASSERT(num == g->size);
  *list = items;
  return (int)num;
}

ghash_iter *ghash_IterCreate(ghash *g) {
  if (g == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  ghash_iter *iter = (ghash_iter *)typed_mem_AllocZeroed(Name(g, g->mtype_iter), 1, sizeof(ghash_iter));
  if (iter == nullptr) return nullptr;
  iter->g = g;
  iter->mods = g->mods;
  g->iter_count++;
  return iter;
}

void ghash_IterDestroy(ghash_iter **iterp) {
  ghash_iter *iter = *iterp;
  if (iter == nullptr) return;
  ghash *g = iter->g;
  g->iter_count--;
  typed_mem_Release(Name(g, g->mtype_iter), iter);
  *iterp = nullptr;
}

int ghash_IterHasNext(ghash_iter *iter) { return iter->count < iter->g->size || iter->mods != iter->g->mods; }

void *ghash_IterNext(ghash_iter *iter) {
  ghash *g = iter->g;
  if (iter->mods != g->mods || iter->count >= g->size) {
    errno = EINVAL;
    return nullptr;
  }
  if (!iter->started) {
    iter->started = true;
    iter->bucket = 0;
    iter->ep = &g->buckets[0];
  } else if (iter->have_last) {
    iter->ep = &(*iter->ep)->next;
  }
  while (*iter->ep == nullptr) {
    iter->bucket++;
    REC_ASSERT(iter->bucket < g->nbuckets);
    iter->ep = &g->buckets[iter->bucket];
  }
  REC_ASSERT(*iter->ep != NULL);
  iter->have_last = true;
  iter->count++;
  return (*iter->ep)->item;
}

int ghash_IterRemove(ghash_iter *iter) {
  ghash *g = iter->g;
  if (iter->mods != g->mods || !iter->have_last) {
    errno = EINVAL;
    return -1;
  }
  if (g->locked) {
    errno = EBUSY;
    return -1;
  }
  // The link now holds the entry after the removed one.
  RemoveAt(g, iter->ep);
  iter->mods = g->mods;
  iter->count--;
  iter->have_last = false;
  ShrinkCheck(g);
  return 0;
}

void ghash_WalkInit(ghash *g, ghash_walk *walk) {
  walk->mods = g->mods;
  walk->bucket = 0;
  walk->entry = nullptr;
}

void *ghash_WalkNext(ghash *g, ghash_walk *walk) {
  if (walk->mods != g->mods) {
    errno = EINVAL;
    return nullptr;
  }
  GhashEntry *e = (GhashEntry *)walk->entry;
  uint32_t b = walk->bucket;
  if (e != nullptr) {
    e = e->next;
    if (e == nullptr) b++;
  }
  for (; e == nullptr && b < g->nbuckets; b++) {
    e = g->buckets[b];
    if (e != nullptr) break;
  }
  if (e == nullptr) {
    walk->bucket = g->nbuckets;
    walk->entry = nullptr;
    errno = ENOENT;
    return nullptr;
  }
  walk->bucket = b;
  walk->entry = e;
  return e->item;
}
