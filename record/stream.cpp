// Callback streams over glibc's fopencookie: the object, the table of streams
// by handle, and the cookie functions that give glibc's engine our rules.
#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "record/ghash.h"
#include "record/rec_private.h"
#include "record/stream_private.h"
#include "record/typed_mem.h"

namespace {

const char kObjMem[] = "funopen.filepd";

// The table is changed by opens and closes on any thread, so it has a lock of its own.
pthread_mutex_t g_table_mutex = PTHREAD_MUTEX_INITIALIZER;
ghash *g_files;

uint32_t HashFile(ghash *, const void *item) { return (uint32_t)((uintptr_t) * (FILE *const *)item / 4); }

int EqualFile(ghash *, const void *a, const void *b) { return *(FILE *const *)a == *(FILE *const *)b; }

void TableLock() {
  int r = pthread_mutex_lock(&g_table_mutex);
  REC_ASSERT(r == 0);
}

void TableUnlock() {
  int r = pthread_mutex_unlock(&g_table_mutex);
  REC_ASSERT(r == 0);
}

ssize_t CookieRead(void *c, char *buf, size_t size) {
  StreamObj *s = (StreamObj *)c;
  s->reading = true;
  errno = 0;
  ssize_t n = s->readfn(s->cookie, buf, size);
  if (n < 0) {
    if (errno == 0) errno = EIO;
    return -1;
  }
  return n > (ssize_t)size ? (ssize_t)size : n;
}

// Pieces of at most 512 bytes; a piece that writes nothing or fails is an error.
ssize_t CookieWrite(void *c, const char *data, size_t len) {
  StreamObj *s = (StreamObj *)c;
  size_t done = 0;
  while (done < len) {
    size_t piece = std::min<size_t>(len - done, STREAM_PIECE);
    errno = 0;
    ssize_t n = s->writefn(s->cookie, data + done, piece);
    if (n <= 0) {
      if (errno == 0) errno = EIO;
      // glibc takes a short count as an error, but a negative one as huge (an unbuffered block
      // write would then report success): give the count written, 0 when none.
      return (ssize_t)done;
    }
    done += std::min<size_t>((size_t)n, piece);
  }
  return (ssize_t)done;
}

int CookieSeek(void *c, off64_t *pos, int whence) {
  StreamObj *s = (StreamObj *)c;
  if (whence != SEEK_CUR || *pos != 0) s->reading = false;  // a tell is not a move
  if (s->seekfn == nullptr || !s->seekable) {
    errno = ESPIPE;
    return -1;
  }
  errno = 0;
  int64_t r = s->seekfn(s->cookie, *pos, whence);
  if (r < 0) {
    if (errno == 0) {
      errno = EINVAL;
      s->error = true;
    }
    if (errno == ESPIPE) s->seekable = false;
    return -1;
  }
  *pos = r;
  return 0;
}

void FreeObj(StreamObj *s) {
  typed_mem_Release(kObjMem, s->line);
  // A thread that closes a stream it holds locked gives the lock up with it.
  if (pthread_equal(s->lock.owner.load(std::memory_order_relaxed), pthread_self())) {
    s->lock.depth = 0;
    s->lock.owner.store(pthread_t(), std::memory_order_relaxed);
    pthread_mutex_unlock(&s->lock.mutex);
  }
  pthread_mutex_destroy(&s->lock.mutex);
  typed_mem_Release(kObjMem, s);
}

int CookieClose(void *c) {
  StreamObj *s = (StreamObj *)c;
  int r = s->closefn != nullptr ? s->closefn(s->cookie) : 0;
  int e = errno;
  TableLock();
  if (g_files != nullptr) ghash_Remove(g_files, s);
  TableUnlock();
  FreeObj(s);
  errno = e;
  return r < 0 ? -1 : 0;
}

}  // namespace

FILE *stream_Open(void *cookie, stream_read_fn *readfn, stream_write_fn *writefn, stream_seek_fn *seekfn,
                  stream_close_fn *closefn) {
  if (readfn == nullptr && writefn == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  StreamObj *s = (StreamObj *)typed_mem_AllocZeroed(kObjMem, 1, sizeof(StreamObj));
  if (s == nullptr) return nullptr;
  int r = pthread_mutex_init(&s->lock.mutex, nullptr);
  if (r != 0) {
    typed_mem_Release(kObjMem, s);
    errno = r;
    return nullptr;
  }
  s->cookie = cookie;
  s->readfn = readfn;
  s->writefn = writefn;
  s->seekfn = seekfn;
  s->closefn = closefn;
  s->seekable = seekfn != nullptr;
  const char *mode = readfn != nullptr && writefn != nullptr ? "r+" : readfn != nullptr ? "r" : "w";
  cookie_io_functions_t io = {readfn != nullptr ? CookieRead : nullptr, writefn != nullptr ? CookieWrite : nullptr,
                              CookieSeek, CookieClose};
  FILE *fp = fopencookie(s, mode, io);
  if (fp == nullptr) {
    int e = errno;
    FreeObj(s);
    errno = e;
    return nullptr;
  }
  setvbuf(fp, s->buf, _IOFBF, sizeof(s->buf));
  s->key = fp;
  TableLock();
  if (g_files == nullptr) g_files = ghash_Create(nullptr, 0, 0, "funopen.files", HashFile, EqualFile, nullptr, nullptr);
  r = g_files != nullptr ? ghash_Put(g_files, s) : -1;
  TableUnlock();
  if (r == -1) {
    int e = errno;
    s->closefn = nullptr;  // undo without calling the caller's close function
    fclose(fp);
    errno = e;
    return nullptr;
  }
  return fp;
}

StreamObj *stream_Find(FILE *fp) {
  if (fp == nullptr) return nullptr;
  TableLock();
  StreamObj *s = g_files != nullptr ? (StreamObj *)ghash_Get(g_files, &fp) : nullptr;
  TableUnlock();
  return s;
}

void *stream_GetCookie(FILE *fp) {
  StreamObj *s = stream_Find(fp);
  return s != nullptr ? s->cookie : nullptr;
}

void stream_LockObj(StreamObj *s) {
  pthread_t self = pthread_self();
  if (pthread_equal(s->lock.owner.load(std::memory_order_relaxed), self)) {
    s->lock.depth++;
    return;
  }
  int r = pthread_mutex_lock(&s->lock.mutex);
  REC_ASSERT(r == 0);
  s->lock.owner.store(self, std::memory_order_relaxed);
  s->lock.depth = 1;
}

int stream_TryLockObj(StreamObj *s) {
  pthread_t self = pthread_self();
  if (pthread_equal(s->lock.owner.load(std::memory_order_relaxed), self)) {
    s->lock.depth++;
    return 0;
  }
  if (pthread_mutex_trylock(&s->lock.mutex) != 0) return -1;
  s->lock.owner.store(self, std::memory_order_relaxed);
  s->lock.depth = 1;
  return 0;
}

void stream_UnlockObj(StreamObj *s) {
  REC_ASSERT(s->lock.depth > 0 && pthread_equal(s->lock.owner.load(std::memory_order_relaxed), pthread_self()));
  if (--s->lock.depth == 0) {
    s->lock.owner.store(pthread_t(), std::memory_order_relaxed);
    int r = pthread_mutex_unlock(&s->lock.mutex);
    REC_ASSERT(r == 0);
  }
}
