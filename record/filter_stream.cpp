// A callback stream whose reads or writes pass through a filter.
#include <cerrno>
#include <cstring>

#include "record/filter.h"
#include "record/stream.h"
#include "record/typed_mem.h"

namespace {

const char kMem[] = "filter_stream";
const size_t kChunk = 1024;

struct FilterStream {
  FILE *fp;
  Filter *filter;
  bool writing;
  bool ended;
  int flags;
};

ssize_t FsRead(void *cookie, char *buf, size_t size) {
  FilterStream *fs = (FilterStream *)cookie;
  char in[kChunk];
  for (;;) {
    ssize_t r = filter_Read(fs->filter, buf, size);
    if (r != 0) return r;
    if (fs->ended) return 0;
    size_t want = filter_ConvertLength(fs->filter, size, 0);
    if (want > kChunk) want = kChunk;
    if (want == 0) want = 1;
    stream_ClearError(fs->fp);
    size_t n = stream_Read(in, 1, want, fs->fp);
    for (size_t done = 0; done < n;) {
      ssize_t w = filter_Write(fs->filter, in + done, n - done);
      if (w <= 0) {
        if (w == 0) errno = EIO;
        return -1;
      }
      done += (size_t)w;
    }
    if (n < want) {
      if (stream_Error(fs->fp)) {
        // Output made from the bytes before the error goes out first; the error shows on the next read.
        r = filter_Read(fs->filter, buf, size);
        return r != 0 ? r : -1;
      }
      if (filter_End(fs->filter) == -1) return -1;
      fs->ended = true;
    }
  }
}

// Hands all ready filter output to the underlying stream.
int Drain(FilterStream *fs) {
  char out[kChunk];
  for (;;) {
    ssize_t r = filter_Read(fs->filter, out, sizeof(out));
    if (r < 0) return -1;
    if (r == 0) return 0;
    if (stream_Write(out, 1, (size_t)r, fs->fp) != (size_t)r) return -1;
  }
}

ssize_t FsWrite(void *cookie, const char *data, size_t len) {
  FilterStream *fs = (FilterStream *)cookie;
  for (size_t done = 0; done < len;) {
    ssize_t w = filter_Write(fs->filter, data + done, len - done);
    if (w <= 0) {
      if (w == 0) errno = EIO;
      return -1;
    }
    done += (size_t)w;
    if (Drain(fs) == -1) return -1;
  }
  return (ssize_t)len;
}

int FsClose(void *cookie) {
  FilterStream *fs = (FilterStream *)cookie;
  int r = 0;
  if (fs->writing) {
    if (filter_End(fs->filter) == -1 || Drain(fs) == -1) r = -1;
    if (stream_Flush(fs->fp) != 0) r = -1;
  }
  int e = errno;
  if ((fs->flags & FILTER_KEEP_STREAM) == 0 && stream_Close(fs->fp) != 0) r = -1;
  if ((fs->flags & FILTER_KEEP_FILTER) == 0) filter_Destroy(&fs->filter);
  typed_mem_Release(kMem, fs);
  if (r == -1) errno = e;
  return r;
}

}  // namespace

FILE *filter_OpenStream(FILE *fp, Filter *f, int flags, const char *mode) {
  bool writing;
  if (strcmp(mode, "r") == 0)
    writing = false;
  else if (strcmp(mode, "w") == 0)
    writing = true;
  else {
    errno = EINVAL;
    return nullptr;
  }
  FilterStream *fs = (FilterStream *)typed_mem_AllocZeroed(kMem, 1, sizeof(FilterStream));
  if (fs == nullptr) return nullptr;
  fs->fp = fp;
  fs->filter = f;
  fs->writing = writing;
  fs->flags = flags;
  FILE *s = stream_Open(fs, writing ? nullptr : FsRead, writing ? FsWrite : nullptr, nullptr, FsClose);
  if (s == nullptr) {
    int e = errno;
    typed_mem_Release(kMem, fs);
    errno = e;
  }
  return s;
}
