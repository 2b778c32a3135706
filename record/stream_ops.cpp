// The standard stream operations: callback streams run under their owner
// lock, every other handle goes to the C library unchanged.
#include <stdio_ext.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "record/rec_private.h"
#include "record/stream_private.h"
#include "record/typed_mem.h"

namespace {

template <class F>
auto Locked(FILE *fp, F op) {
  StreamObj *s = stream_Find(fp);
  if (s == nullptr) return op(nullptr);
  stream_LockObj(s);
  auto r = op(s);
  stream_UnlockObj(s);
  return r;
}

}  // namespace

void stream_ClearError(FILE *fp) {
  Locked(fp, [&](StreamObj *s) {
    clearerr(fp);
    if (s != nullptr) s->error = false;
    return 0;
  });
}

int stream_Close(FILE *fp) {
  StreamObj *s = stream_Find(fp);
  if (s != nullptr) {
    // Wait for any other holder; the object goes away with the stream.
    stream_LockObj(s);
    stream_UnlockObj(s);
  }
  return fclose(fp);
}

int stream_Eof(FILE *fp) {
  return Locked(fp, [&](StreamObj *) { return feof(fp); });
}

int stream_Error(FILE *fp) {
  return Locked(fp, [&](StreamObj *s) { return ferror(fp) || (s != nullptr && s->error) ? 1 : 0; });
}

int stream_Flush(FILE *fp) {
  return Locked(fp, [&](StreamObj *s) {
    // A read-write stream that has neither read nor written since opening or seeking.
    if (s != nullptr && !__fwriting(fp) && s->readfn != nullptr && s->writefn != nullptr && !s->reading) {
      errno = EBADF;
      return EOF;
    }
    return fflush(fp);
  });
}

int stream_Purge(FILE *fp) {
  return Locked(fp, [&](StreamObj *) {
    __fpurge(fp);
    return 0;
  });
}

int stream_GetC(FILE *fp) {
  return Locked(fp, [&](StreamObj *) { return fgetc(fp); });
}

char *stream_GetS(char *buf, int size, FILE *fp) {
  return Locked(fp, [&](StreamObj *) { return fgets(buf, size, fp); });
}

int stream_GetPos(FILE *fp, fpos_t *pos) {
  return Locked(fp, [&](StreamObj *) { return fgetpos(fp, pos); });
}

int stream_SetPos(FILE *fp, const fpos_t *pos) {
  return Locked(fp, [&](StreamObj *) { return fsetpos(fp, pos); });
}

int stream_GetPos64(FILE *fp, fpos64_t *pos) {
  return Locked(fp, [&](StreamObj *) { return fgetpos64(fp, pos); });
}

int stream_SetPos64(FILE *fp, const fpos64_t *pos) {
  return Locked(fp, [&](StreamObj *) { return fsetpos64(fp, pos); });
}

int stream_Fileno(FILE *fp) {
  if (stream_Find(fp) != nullptr) {
    errno = EBADF;
    return -1;
  }
  return fileno(fp);
}

void stream_Lock(FILE *fp) {
  StreamObj *s = stream_Find(fp);
  if (s != nullptr)
    stream_LockObj(s);
  else
    flockfile(fp);
}

int stream_TryLock(FILE *fp) {
  StreamObj *s = stream_Find(fp);
  if (s != nullptr) return stream_TryLockObj(s);
  return ftrylockfile(fp) == 0 ? 0 : -1;
}

void stream_Unlock(FILE *fp) {
  StreamObj *s = stream_Find(fp);
  if (s != nullptr)
    stream_UnlockObj(s);
  else
    funlockfile(fp);
}

int stream_Printf(FILE *fp, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int r = stream_VPrintf(fp, fmt, args);
  va_end(args);
  return r;
}

int stream_VPrintf(FILE *fp, const char *fmt, va_list args) {
  return Locked(fp, [&](StreamObj *s) {
    int r = vfprintf(fp, fmt, args);
    // A callback stream reports a write that fell short as 0.
    return s != nullptr && r < 0 ? 0 : r;
  });
}

int stream_Scanf(FILE *fp, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int r = stream_VScanf(fp, fmt, args);
  va_end(args);
  return r;
}

int stream_VScanf(FILE *fp, const char *fmt, va_list args) {
  return Locked(fp, [&](StreamObj *) { return vfscanf(fp, fmt, args); });
}

int stream_PutC(int c, FILE *fp) {
  return Locked(fp, [&](StreamObj *) { return fputc(c, fp); });
}

int stream_PutS(const char *text, FILE *fp) {
  return Locked(fp, [&](StreamObj *) { return fputs(text, fp); });
}

size_t stream_Read(void *buf, size_t size, size_t count, FILE *fp) {
  return Locked(fp, [&](StreamObj *) { return fread(buf, size, count, fp); });
}

size_t stream_Write(const void *data, size_t size, size_t count, FILE *fp) {
  return Locked(fp, [&](StreamObj *) { return fwrite(data, size, count, fp); });
}

FILE *stream_Reopen(const char *path, const char *mode, FILE *fp) {
  if (stream_Find(fp) == nullptr) return freopen(path, mode, fp);
  stream_Close(fp);
  if (path == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  return fopen(path, mode);
}

int stream_Seek(FILE *fp, int32_t offset, int whence) { return stream_Seek64(fp, offset, whence); }

int stream_Seek64(FILE *fp, int64_t offset, int whence) {
  return Locked(fp, [&](StreamObj *) { return fseeko64(fp, offset, whence); });
}

int32_t stream_Tell(FILE *fp) {
  int64_t pos = stream_Tell64(fp);
  if (pos > INT32_MAX) {
    errno = EOVERFLOW;
    return -1;
  }
  return (int32_t)pos;
}

int64_t stream_Tell64(FILE *fp) {
  return Locked(fp, [&](StreamObj *) { return (int64_t)ftello64(fp); });
}

void stream_Rewind(FILE *fp) {
  Locked(fp, [&](StreamObj *s) {
    rewind(fp);
    if (s != nullptr) s->error = false;
    return 0;
  });
}

void stream_SetBuffer(FILE *fp, char *buf) {
  Locked(fp, [&](StreamObj *s) {
    if (s == nullptr)
      setbuf(fp, buf);
    else
      setvbuf(fp, buf, buf != nullptr ? _IOFBF : _IONBF, STREAM_PIECE);
    return 0;
  });
}

int stream_SetVBuf(FILE *fp, char *buf, int mode, size_t size) {
  return Locked(fp, [&](StreamObj *s) {
    if (s != nullptr && buf == nullptr && mode != _IONBF) return setvbuf(fp, s->buf, mode, sizeof(s->buf));
    return setvbuf(fp, buf, mode, size);
  });
}

void stream_SetLineBuffer(FILE *fp) {
  Locked(fp, [&](StreamObj *s) {
    if (s != nullptr)
      setvbuf(fp, s->buf, _IOLBF, sizeof(s->buf));
    else
      setvbuf(fp, nullptr, _IOLBF, 0);
    return 0;
  });
}

int stream_UngetC(int c, FILE *fp) {
  return Locked(fp, [&](StreamObj *) { return ungetc(c, fp); });
}

char *stream_GetLine(FILE *fp, size_t *len) {
  StreamObj *s = stream_Find(fp);
  if (s == nullptr) {
    errno = EDOM;
    return nullptr;
  }
  stream_LockObj(s);
  flockfile(fp);
  size_t n = 0;
  char *line = nullptr;
  for (;;) {
    int c = getc_unlocked(fp);
    if (c == EOF) break;
    if (n + 2 > s->line_cap) {
      size_t cap = s->line_cap * 2 + 64;
      char *p = (char *)typed_mem_Resize("funopen.filepd", s->line, cap);
      if (p == nullptr) {
        // The characters read so far are lost with the line; report the failure.
        n = 0;
        break;
      }
      s->line = p;
      s->line_cap = cap;
    }
    s->line[n++] = (char)c;
    if (c == '\n') break;
  }
  if (n > 0) {
    s->line[n] = '\0';
    line = s->line;
    *len = n;
  }
  funlockfile(fp);
  stream_UnlockObj(s);
  return line;
}
