#include "record/typed_mem.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "record/gtree.h"
#include "record/rec_private.h"
#include "record/rec_type.h"
#include "record/stream.h"

namespace {

const uint32_t kGuardWord = 0x9f718e34;
const size_t kGuard = 8;

struct MemType {
  char name[TYPED_MEM_NAME_MAX];
  uint32_t count;
  size_t total;
};

struct MemBlock {
  unsigned char *alloc;
  size_t size;
  MemType *type;
};

std::atomic<bool> g_used{false};
std::atomic<bool> g_on{false};
pthread_mutex_t g_mutex;
gtree *g_blocks;
gtree *g_types;

void Lock() {
  int r = pthread_mutex_lock(&g_mutex);
  REC_ASSERT(r == 0);
}

void Unlock() {
  int r = pthread_mutex_unlock(&g_mutex);
  REC_ASSERT(r == 0);
}

int CompareBlocks(gtree *, const void *a, const void *b) {
  uintptr_t x = (uintptr_t)((const MemBlock *)a)->alloc, y = (uintptr_t)((const MemBlock *)b)->alloc;
  return x < y ? -1 : x > y ? 1 : 0;
}

int CompareTypes(gtree *, const void *a, const void *b) {
  return strncmp(((const MemType *)a)->name, ((const MemType *)b)->name, TYPED_MEM_NAME_MAX);
}

bool MakeTrees() {
  if (g_blocks != nullptr) return true;
  g_blocks = gtree_Create(nullptr, nullptr, CompareBlocks, nullptr, nullptr, nullptr);
  if (g_blocks == nullptr) return false;
  g_types = gtree_Create(nullptr, nullptr, CompareTypes, nullptr, nullptr, nullptr);
  if (g_types == nullptr) {
    gtree_Destroy(&g_blocks);
    return false;
  }
  return true;
}

void WriteGuards(MemBlock *b) {
  uint32_t guard[2] = {kGuardWord, kGuardWord};
  memcpy(b->alloc, guard, kGuard);
  memcpy(b->alloc + kGuard + b->size, guard, kGuard);
}

MemBlock *FindBlock(const void *mem) {
  MemBlock key = {(unsigned char *)mem - kGuard, 0, nullptr};
  return (MemBlock *)gtree_Get(g_blocks, &key);
}

[[noreturn]] void Misuse(const char *text) {
  fputs(text, stderr);
  rec_AssertFail("typed memory misuse", __FILE__, __LINE__);
}

void *AllocNew(const char *mtype, size_t size) {
  MemBlock *b = (MemBlock *)malloc(sizeof(MemBlock));
  if (b == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  b->size = size;
  b->alloc = (unsigned char *)malloc(size + 2 * kGuard);
  if (b->alloc == nullptr) {
    free(b);
    errno = ENOMEM;
    return nullptr;
  }
  MemType key;
  rec_CopyTypeName(key.name, mtype);
  MemType *t = (MemType *)gtree_Get(g_types, &key);
  bool created = false;
  if (t == nullptr) {
    t = (MemType *)malloc(sizeof(MemType));
    if (t != nullptr) {
      memcpy(t->name, key.name, sizeof(t->name));
      t->count = 0;
      t->total = 0;
    }
    if (t == nullptr || gtree_Put(g_types, t) == -1) {
      int e = t == nullptr ? ENOMEM : errno;
      free(t);
      free(b->alloc);
      free(b);
      errno = e;
      return nullptr;
    }
    created = true;
  }
  if (gtree_Put(g_blocks, b) == -1) {
    int e = errno;
    if (created && t->count == 0) {
      gtree_Remove(g_types, t);
      free(t);
    }
    free(b->alloc);
    free(b);
    errno = e;
    return nullptr;
  }
  b->type = t;
  t->count++;
  t->total += size;
  WriteGuards(b);
  return b->alloc + kGuard;
}

void *AllocResize(const char *mtype, void *mem, size_t size) {
  typed_mem_CheckBlock(mem, mtype, "REALLOC");
  MemBlock *b = FindBlock(mem);
  void *reserve = malloc(gtree_NodeSize());
  if (reserve == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  unsigned char *na = (unsigned char *)realloc(b->alloc, size + 2 * kGuard);
  if (na == nullptr) {
    free(reserve);
    errno = ENOMEM;
    return nullptr;
  }
  b->type->total -= b->size;
  b->type->count--;
  b->size = size;
  if (na != b->alloc) {
    bool removed = gtree_Remove(g_blocks, b) == 1;
    REC_ASSERT(removed);
    b->alloc = na;
    int r = gtree_PutWithNode(g_blocks, b, reserve);
    REC_ASSERT(r == 0);
  } else {
    free(reserve);
  }
  b->type->count++;
  b->type->total += size;
  WriteGuards(b);
  return b->alloc + kGuard;
}

}  // namespace

void *typed_mem_Resize(const char *mtype, void *mem, size_t size) {
  g_used.store(true, std::memory_order_relaxed);
  if (!g_on.load(std::memory_order_acquire) || mtype == nullptr) {
    // glibc frees the block on a resize to 0 and returns null; ask for one byte instead.
    void *p = realloc(mem, size != 0 ? size : 1);
    if (p == nullptr) errno = ENOMEM;
    return p;
  }
  if (size > SIZE_MAX - 2 * kGuard) {
    errno = ENOMEM;
    return nullptr;
  }
  Lock();
  void *p = nullptr;
  if (!MakeTrees())
    errno = ENOMEM;
  else
    p = mem == nullptr ? AllocNew(mtype, size) : AllocResize(mtype, mem, size);
  int e = errno;
  Unlock();
  errno = e;
  return p;
}

void typed_mem_Release(const char *mtype, void *mem) {
  g_used.store(true, std::memory_order_relaxed);
  if (mem == nullptr) return;
  int e = errno;
  if (!g_on.load(std::memory_order_acquire) || mtype == nullptr) {
    free(mem);
    errno = e;
    return;
  }
  Lock();
  typed_mem_CheckBlock(mem, mtype, "FREE");
  MemBlock *info = FindBlock(mem);
  info->type->total -= info->size;
  info->type->count--;
  if (info->type->count == 0) {
    REC_ASSERT(info->type->total == 0);
    bool removed = gtree_Remove(g_types, info->type) == 1;
    REC_ASSERT(removed);
    free(info->type);
  }
  bool removed = gtree_Remove(g_blocks, info) == 1;
  REC_ASSERT(removed);
  free(info->alloc);
  free(info);
  Unlock();
  errno = e;
}

void *typed_mem_ResizeOrFree(const char *mtype, void *mem, size_t size) {
  void *p = typed_mem_Resize(mtype, mem, size);
  if (p == nullptr && mem != nullptr) typed_mem_Release(mtype, mem);
  return p;
}

void *typed_mem_AllocZeroed(const char *mtype, size_t count, size_t size) {
  if (size != 0 && count > SIZE_MAX / size) {
    errno = ENOMEM;
    return nullptr;
  }
  void *p = typed_mem_Resize(mtype, nullptr, count * size);
  if (p != nullptr) memset(p, 0, count * size);
  return p;
}

char *typed_mem_DupText(const char *mtype, const char *text) {
  size_t n = strlen(text) + 1;
  char *p = (char *)typed_mem_Resize(mtype, nullptr, n);
  if (p != nullptr) memcpy(p, text, n);
  return p;
}

int typed_mem_FormatText(const char *mtype, char **out, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int r = typed_mem_FormatTextV(mtype, out, fmt, args);
  va_end(args);
  return r;
}

int typed_mem_FormatTextV(const char *mtype, char **out, const char *fmt, va_list args) {
  // The plain buffer may reach the caller, so this is a use that rules out switching accounting on.
  g_used.store(true, std::memory_order_relaxed);
  char *plain = nullptr;
  int len = stream_FormatAllocated(&plain, fmt, args);
  if (len < 0) {
    *out = nullptr;
    return -1;
  }
  if (!g_on.load(std::memory_order_acquire) || mtype == nullptr) {
    *out = plain;
    return len;
  }
  char *copy = (char *)typed_mem_Resize(mtype, nullptr, (size_t)len + 1);
  if (copy != nullptr) memcpy(copy, plain, (size_t)len + 1);
  int e = errno;
  free(plain);
  errno = e;
  *out = copy;
  return copy != nullptr ? len : -1;
}

int typed_mem_Enable(void) {
  if (g_on.load(std::memory_order_acquire)) return 0;
  if (g_used.load(std::memory_order_relaxed)) {
    errno = EBUSY;
    return -1;
  }
  pthread_mutexattr_t attr;
  int r = pthread_mutexattr_init(&attr);
  REC_ASSERT(r == 0);
  r = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  REC_ASSERT(r == 0);
  r = pthread_mutex_init(&g_mutex, &attr);
  REC_ASSERT(r == 0);
  pthread_mutexattr_destroy(&attr);
  g_on.store(true, std::memory_order_release);
  return 0;
}

char *typed_mem_GetTypeName(const void *mem, char *buf) {
  if (!g_on.load(std::memory_order_acquire)) {
    errno = ENXIO;
    return nullptr;
  }
  Lock();
  MemBlock *b = g_blocks != nullptr ? FindBlock(mem) : nullptr;
  if (b == nullptr) {
    Unlock();
    errno = ENOENT;
    return nullptr;
  }
  memcpy(buf, b->type->name, TYPED_MEM_NAME_MAX);
  Unlock();
  return buf;
}

int typed_mem_GetStats(StructsArray *stats) {
  if (!g_on.load(std::memory_order_acquire)) {
    errno = ENXIO;
    return -1;
  }
  Lock();
  uint32_t n = g_types != nullptr ? gtree_Size(g_types) : 0;
  // One entry spare: this allocation may add the "typed_mem_stats" type itself.
  TypedMemStats *entries =
      (TypedMemStats *)typed_mem_AllocZeroed("typed_mem_stats", (size_t)n + 1, sizeof(TypedMemStats));
  if (entries == nullptr) {
    int e = errno;
    Unlock();
    errno = e;
    return -1;
  }
  // The figures are those from before this call: the array's own block is left out.
  MemBlock *own = FindBlock(entries);
  uint32_t i = 0;
  for (MemType *t = (MemType *)gtree_First(g_types); t != nullptr && i <= n;
       t = (MemType *)gtree_Next(g_types, t)) {
    uint32_t count = t->count;
    size_t total = t->total;
    if (t == own->type) {
      count--;
      total -= own->size;
    }
    if (count == 0) continue;
    memcpy(entries[i].type, t->name, TYPED_MEM_NAME_MAX);
    entries[i].allocs = count;
    entries[i].bytes = total > UINT32_MAX ? UINT32_MAX : (uint32_t)total;
    i++;
  }
  Unlock();
  stats->length = i;
  stats->elems = entries;
  return 0;
}

void typed_mem_PrintStats(FILE *stream) {
  if (!g_on.load(std::memory_order_acquire)) {
    fprintf(stream, "Typed memory is not enabled.\n");
    return;
  }
  Lock();
  unsigned long counts = 0, totals = 0;
  fprintf(stream, "   %-28s %10s %10s\n", "Type", "Count", "Total");
  fprintf(stream, "   %-28s %10s %10s\n", "----", "-----", "-----");
  for (MemType *t = g_types != nullptr ? (MemType *)gtree_First(g_types) : nullptr; t != nullptr;
       t = (MemType *)gtree_Next(g_types, t)) {
    fprintf(stream, "   %-28s %10u %10lu\n", t->name, t->count, (unsigned long)t->total);
    counts += t->count;
    totals += t->total;
  }
  fprintf(stream, "   %-28s %10s %10s\n", "", "-----", "-----");
  fprintf(stream, "   %-28s %10lu %10lu\n", "Totals", counts, totals);
  Unlock();
}

void typed_mem_CheckBlock(const void *mem, const char *mtype, const char *op) {
  if (!g_on.load(std::memory_order_acquire)) return;
  char text[256];
  Lock();
  MemBlock *info = g_blocks != nullptr ? FindBlock(mem) : nullptr;
  if (info == nullptr) {
    snprintf(text, sizeof(text), "%s() of unallocated block: ptr=%p type=\"%s\"\n", op, mem, mtype);
    Misuse(text);
  }
  if (strncmp(info->type->name, mtype, TYPED_MEM_NAME_MAX - 1) != 0) {
    snprintf(text, sizeof(text), "%s() with wrong type: ptr=%p \"%s\" != \"%s\"\n", op, mem, mtype,
             info->type->name);
    Misuse(text);
  }
  REC_ASSERT(info->type->count > 0);
  uint32_t guard[2] = {kGuardWord, kGuardWord};
  if (memcmp(info->alloc, guard, kGuard) != 0) {
    snprintf(text, sizeof(text), "%s(): %s guard violated ptr=%p type=\"%s\"\n", op, "head", mem, info->type->name);
    Misuse(text);
  }
  if (memcmp(info->alloc + kGuard + info->size, guard, kGuard) != 0) {
    snprintf(text, sizeof(text), "%s(): %s guard violated ptr=%p type=\"%s\"\n", op, "tail", mem, info->type->name);
    Misuse(text);
  }
  Unlock();
}
