// Callback streams: an ordinary FILE * over four caller functions and a cookie.
//
// The stream_ operations accept callback streams and platform streams alike;
// a handle that is not a callback stream goes to the C library unchanged.
// Writes reach the write function in pieces of at most 512 bytes; a stream
// without a seek function fails seek and tell with ESPIPE.
#pragma once
#include <sys/types.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

typedef ssize_t stream_read_fn(void *cookie, char *buf, size_t size);      // 0 at end, < 0 on error
typedef ssize_t stream_write_fn(void *cookie, const char *data, size_t len);  // < 0 on error
typedef int64_t stream_seek_fn(void *cookie, int64_t offset, int whence);  // new offset or -1
typedef int stream_close_fn(void *cookie);                                 // 0, or < 0 on error

#define STREAM_PIECE 512  // buffer size and largest write handed to a write function

// Read only, write only, or both, by the functions given; null with errno on failure.
FILE *stream_Open(void *cookie, stream_read_fn *readfn, stream_write_fn *writefn, stream_seek_fn *seekfn,
                  stream_close_fn *closefn);
void *stream_GetCookie(FILE *fp);
// The next line in place (valid until the next call), its length with the newline in *len.
char *stream_GetLine(FILE *fp, size_t *len);
int stream_TruncateDescriptor(int fd, int64_t length);
// printf into a plain malloc block; the text's length, or -1 with *out null.
int stream_FormatAllocated(char **out, const char *fmt, va_list args) __attribute__((format(printf, 2, 0)));

// Callbacks over a descriptor: the cookie is the descriptor itself, (void *)(intptr_t)fd.
ssize_t stream_DescriptorRead(void *cookie, char *buf, size_t size);
ssize_t stream_DescriptorWrite(void *cookie, const char *data, size_t len);
int64_t stream_DescriptorSeek(void *cookie, int64_t offset, int whence);
int stream_DescriptorClose(void *cookie);

// Standard stream operations.
void stream_ClearError(FILE *fp);
int stream_Close(FILE *fp);
int stream_Eof(FILE *fp);
int stream_Error(FILE *fp);
int stream_Flush(FILE *fp);
int stream_Purge(FILE *fp);
int stream_GetC(FILE *fp);
char *stream_GetS(char *buf, int size, FILE *fp);
int stream_GetPos(FILE *fp, fpos_t *pos);
int stream_SetPos(FILE *fp, const fpos_t *pos);
int stream_GetPos64(FILE *fp, fpos64_t *pos);
int stream_SetPos64(FILE *fp, const fpos64_t *pos);
int stream_Fileno(FILE *fp);
void stream_Lock(FILE *fp);
int stream_TryLock(FILE *fp);  // 0, or -1 when another thread holds the lock
void stream_Unlock(FILE *fp);
int stream_Printf(FILE *fp, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int stream_VPrintf(FILE *fp, const char *fmt, va_list args) __attribute__((format(printf, 2, 0)));
int stream_Scanf(FILE *fp, const char *fmt, ...) __attribute__((format(scanf, 2, 3)));
int stream_VScanf(FILE *fp, const char *fmt, va_list args) __attribute__((format(scanf, 2, 0)));
int stream_PutC(int c, FILE *fp);
int stream_PutS(const char *text, FILE *fp);
size_t stream_Read(void *buf, size_t size, size_t count, FILE *fp);
size_t stream_Write(const void *data, size_t size, size_t count, FILE *fp);
FILE *stream_Reopen(const char *path, const char *mode, FILE *fp);
int stream_Seek(FILE *fp, int32_t offset, int whence);
int stream_Seek64(FILE *fp, int64_t offset, int whence);
int32_t stream_Tell(FILE *fp);
int64_t stream_Tell64(FILE *fp);
void stream_Rewind(FILE *fp);
void stream_SetBuffer(FILE *fp, char *buf);  // callback streams: buf holds STREAM_PIECE bytes
int stream_SetVBuf(FILE *fp, char *buf, int mode, size_t size);
void stream_SetLineBuffer(FILE *fp);
int stream_UngetC(int c, FILE *fp);
