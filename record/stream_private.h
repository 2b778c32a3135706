// Callback stream objects, shared by the stream files.
#pragma once
#include <pthread.h>

#include <atomic>
#include <cstdio>

#include "record/stream.h"

// The owner lock: a mutex with its owner thread and recursion depth.
struct StreamLock {
  std::atomic<pthread_t> owner;
  unsigned depth;
  pthread_mutex_t mutex;
};

struct StreamObj {
  FILE *key;  // first: table look-ups use a FILE * as the key
  void *cookie;
  stream_read_fn *readfn;
  stream_write_fn *writefn;
  stream_seek_fn *seekfn;
  stream_close_fn *closefn;
  bool seekable;
  bool error;    // errors glibc does not record on the FILE itself
  bool reading;  // the read function ran since the last seek
  StreamLock lock;
  char *line;
  size_t line_cap;
  char buf[STREAM_PIECE];
};

// The object of a callback stream, or null for any other handle.
StreamObj *stream_Find(FILE *fp);
void stream_LockObj(StreamObj *s);
int stream_TryLockObj(StreamObj *s);
void stream_UnlockObj(StreamObj *s);
