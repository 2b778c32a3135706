// Byte filters: input bytes in, output bytes out, incrementally. Base64
// encoder and decoder, one-call conversion and a filter stream.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdio>

struct Filter;

typedef ssize_t filter_read_fn(Filter *f, void *buf, size_t size);
typedef ssize_t filter_write_fn(Filter *f, const void *data, size_t len);
typedef int filter_end_fn(Filter *f);
// forward 1: output bytes for `len` input bytes; 0: input bytes for `len` output bytes.
typedef size_t filter_convert_fn(Filter *f, size_t len, int forward);
typedef void filter_destroy_fn(Filter **fp);

// Every filter object starts with its operations.
struct Filter {
  filter_read_fn *read;
  filter_write_fn *write;
  filter_end_fn *end;
  filter_convert_fn *convert;
  filter_destroy_fn *destroy;
};

#define BASE64_ALPHABET "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="

enum {
  FILTER_KEEP_STREAM = 1,  // leave the underlying stream open at close
  FILTER_KEEP_FILTER = 2,  // leave the filter alive at close
};

Filter *base64_EncoderCreate(const char *alphabet);
Filter *base64_DecoderCreate(const char *alphabet, int strict);
int base64_CheckAlphabet(const char *alphabet);

// The whole input through the filter into a new NUL-terminated block; its length, or -1 with *out null.
ssize_t filter_Convert(Filter *f, const void *input, size_t len, int final, void **out, const char *mtype);
FILE *filter_OpenStream(FILE *fp, Filter *f, int flags, const char *mode);

ssize_t filter_Read(Filter *f, void *buf, size_t size);
ssize_t filter_Write(Filter *f, const void *data, size_t len);
int filter_End(Filter *f);
size_t filter_ConvertLength(Filter *f, size_t len, int forward);
void filter_Destroy(Filter **fp);
