// Base64 filters, the one-call conversion and filter streams.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "record/record.h"

namespace {

std::string Convert(Filter *f, const std::string &in, bool final = true) {
  void *out = nullptr;
  ssize_t n = filter_Convert(f, in.data(), in.size(), final ? 1 : 0, &out, "test_b64");
  if (n < 0) return "<fail>";
  std::string r((const char *)out, (size_t)n);
  EXPECT_EQ(((const char *)out)[n], '\0');
  typed_mem_Release("test_b64", out);
  return r;
}

std::string Encode(const std::string &in, const char *alphabet = nullptr) {
  Filter *f = base64_EncoderCreate(alphabet);
  std::string r = Convert(f, in);
  filter_Destroy(&f);
  return r;
}

std::string Decode(const std::string &in, bool strict, const char *alphabet = nullptr) {
  Filter *f = base64_DecoderCreate(alphabet, strict ? 1 : 0);
  std::string r = Convert(f, in);
  filter_Destroy(&f);
  return r;
}

TEST(RecordBase64, KnownTexts) {
  EXPECT_EQ(Encode("abc"), "YWJj");
  EXPECT_EQ(Encode("ab"), "YWI=");
  EXPECT_EQ(Encode("a"), "YQ==");
  EXPECT_EQ(Encode(""), "");
  EXPECT_EQ(Encode(std::string(100, 'x')).find('\n'), std::string::npos) << "no line breaks";
  EXPECT_EQ(Decode("YWI=", true), "ab");
  EXPECT_EQ(Decode("YWI", true), "ab") << "a missing pad is fine";
  EXPECT_EQ(Decode("YQ", true), "a");
  EXPECT_EQ(Decode("YWJj\nYWJj \t", false), "abcabc");
  EXPECT_EQ(Decode("YW Jj", true), "<fail>");
  EXPECT_EQ(Decode("", true), "");
}

TEST(RecordBase64, StrictDecoderStopsAtAForeignByte) {
  Filter *f = base64_DecoderCreate(nullptr, 1);
  errno = 0;
  EXPECT_EQ(filter_Write(f, "YWJj YWJj", 9), 4) << "the bytes before the blank are accepted";
  errno = 0;
  EXPECT_EQ(filter_Write(f, " YWJj", 5), -1);
  EXPECT_EQ(errno, EINVAL);
  filter_Destroy(&f);
  EXPECT_EQ(f, nullptr);
}

TEST(RecordBase64, WriteAfterEndIsEpipe) {
  for (int enc = 0; enc < 2; enc++) {
    Filter *f = enc ? base64_EncoderCreate(nullptr) : base64_DecoderCreate(nullptr, 0);
    ASSERT_EQ(filter_End(f), 0);
    errno = 0;
    EXPECT_EQ(filter_Write(f, "a", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    filter_Destroy(&f);
  }
}

TEST(RecordBase64, Alphabets) {
  std::string std64 = BASE64_ALPHABET;
  EXPECT_EQ(base64_CheckAlphabet(std64.c_str()), 0);
  std::string shortone = std64.substr(0, 64);
  std::string repeated = std64;
  repeated[10] = repeated[11];
  for (const std::string &bad : {shortone, repeated, std64 + "!"}) {
    errno = 0;
    EXPECT_EQ(base64_CheckAlphabet(bad.c_str()), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(base64_EncoderCreate(bad.c_str()), nullptr);
    EXPECT_EQ(base64_DecoderCreate(bad.c_str(), 0), nullptr);
  }
  const char *url = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_.";
  std::string raw = "\xfb\xff\xfe";
  EXPECT_EQ(Encode(raw, url), "-__-");
  EXPECT_EQ(Decode("-__-", true, url), raw);
  EXPECT_EQ(Encode("a", url), "YQ..");
}

TEST(RecordBase64, EstimatesOfTheOtherSide) {
  Filter *e = base64_EncoderCreate(nullptr);
  Filter *d = base64_DecoderCreate(nullptr, 0);
  EXPECT_EQ(filter_ConvertLength(e, 3, 1), 4u);
  EXPECT_EQ(filter_ConvertLength(e, 4, 0), 3u);
  EXPECT_EQ(filter_ConvertLength(d, 4, 1), 3u);
  EXPECT_EQ(filter_ConvertLength(d, 3, 0), 4u);
  filter_Destroy(&e);
  filter_Destroy(&d);
}

TEST(RecordBase64, RoundTripsInPiecesMatchOneCall) {
  std::mt19937 rng(21);
  for (size_t n = 0; n < 400; n++) {
    std::string raw(n, '\0');
    for (char &c : raw) c = (char)rng();
    std::string whole = Encode(raw);
    ASSERT_EQ(whole.size(), (n + 2) / 3 * 4);
    ASSERT_EQ(Decode(whole, true), raw);
    // The same through small writes and reads.
    Filter *f = base64_EncoderCreate(nullptr);
    std::string pieces;
    char buf[7];
    for (size_t i = 0; i < n;) {
      size_t k = std::min<size_t>(rng() % 5 + 1, n - i);
      ASSERT_EQ(filter_Write(f, raw.data() + i, k), (ssize_t)k);
      i += k;
      ssize_t r = filter_Read(f, buf, rng() % sizeof(buf) + 1);
      ASSERT_GE(r, 0);
      pieces.append(buf, (size_t)r);
    }
    ASSERT_EQ(filter_End(f), 0);
    for (ssize_t r; (r = filter_Read(f, buf, sizeof(buf))) > 0;) pieces.append(buf, (size_t)r);
    filter_Destroy(&f);
    ASSERT_EQ(pieces, whole);
  }
}

TEST(RecordBase64, FedAndDrainedFromTwoThreads) {
  std::string raw(300000, '\0');
  std::mt19937 rng(2);
  for (char &c : raw) c = (char)rng();
  Filter *f = base64_EncoderCreate(nullptr);
  std::string out;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    char buf[333];
    for (;;) {
      bool finished = done.load();
      ssize_t r = filter_Read(f, buf, sizeof(buf));
      ASSERT_GE(r, 0);
      out.append(buf, (size_t)r);
      if (r == 0 && finished) break;
    }
  });
  for (size_t i = 0; i < raw.size(); i += 1000) ASSERT_EQ(filter_Write(f, raw.data() + i, 1000), 1000);
  ASSERT_EQ(filter_End(f), 0);
  done = true;
  reader.join();
  filter_Destroy(&f);
  EXPECT_EQ(out, Encode(raw));
}

// A growing memory file for the filter streams.
struct Memory {
  std::string data;
  size_t pos = 0;
  bool closed = false;
  size_t fail_at = SIZE_MAX;  // reads at this position fail with EIO
  bool full = false;          // writes write nothing
};

ssize_t MemRead(void *c, char *buf, size_t size) {
  Memory *m = (Memory *)c;
  if (m->pos >= m->fail_at) {
    errno = EIO;
    return -1;
  }
  size_t n = std::min({size, m->data.size() - m->pos, m->fail_at - m->pos});
  memcpy(buf, m->data.data() + m->pos, n);
  m->pos += n;
  return (ssize_t)n;
}

ssize_t MemWrite(void *c, const char *data, size_t len) {
  if (((Memory *)c)->full) return 0;
  ((Memory *)c)->data.append(data, len);
  return (ssize_t)len;
}

int MemClose(void *c) {
  ((Memory *)c)->closed = true;
  return 0;
}

TEST(RecordFilterStream, WriteThroughAnEncoder) {
  Memory m;
  FILE *under = stream_Open(&m, MemRead, MemWrite, nullptr, MemClose);
  ASSERT_NE(under, nullptr);
  Filter *enc = base64_EncoderCreate(nullptr);
  FILE *fs = filter_OpenStream(under, enc, 0, "w");
  ASSERT_NE(fs, nullptr);
  std::string raw(5000, 'q');
  EXPECT_EQ(stream_Write(raw.data(), 1, raw.size(), fs), raw.size());
  EXPECT_EQ(stream_Printf(fs, "%s", "ab"), 2);
  EXPECT_EQ(stream_Close(fs), 0);
  EXPECT_TRUE(m.closed) << "the underlying stream is closed with it";
  EXPECT_EQ(m.data, Encode(raw + "ab"));
}

TEST(RecordFilterStream, ReadThroughADecoderKeepingBoth) {
  Memory m;
  std::string raw(3000, '\0');
  for (size_t i = 0; i < raw.size(); i++) raw[i] = (char)(i * 7);
  m.data = Encode(raw);
  FILE *under = stream_Open(&m, MemRead, nullptr, nullptr, MemClose);
  Filter *dec = base64_DecoderCreate(nullptr, 1);
  FILE *fs = filter_OpenStream(under, dec, FILTER_KEEP_STREAM | FILTER_KEEP_FILTER, "r");
  ASSERT_NE(fs, nullptr);
  std::string got;
  char buf[100];
  for (size_t n; (n = stream_Read(buf, 1, sizeof(buf), fs)) > 0;) got.append(buf, n);
  EXPECT_EQ(got, raw);
  EXPECT_TRUE(stream_Eof(fs));
  EXPECT_EQ(stream_Close(fs), 0);
  EXPECT_FALSE(m.closed);
  errno = 0;
  EXPECT_EQ(filter_Write(dec, "YQ", 2), -1) << "the filter outlived the stream, ended";
  EXPECT_EQ(errno, EPIPE);
  filter_Destroy(&dec);
  EXPECT_EQ(stream_Close(under), 0);
  errno = 0;
  EXPECT_EQ(filter_OpenStream(nullptr, nullptr, 0, "a"), nullptr);
  EXPECT_EQ(errno, EINVAL);
}

TEST(RecordFilterStream, UnderlyingReadErrors) {
  struct Case {
    std::string data;
    size_t fail_at;
    std::string delivered;  // what a read gets before the error shows
  } cases[] = {{"YWJj", 0, ""}, {"YWJjZGVm", 4, "abc"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.fail_at);
    Memory m;
    m.data = c.data;
    m.fail_at = c.fail_at;
    FILE *under = stream_Open(&m, MemRead, nullptr, nullptr, MemClose);
    FILE *fs = filter_OpenStream(under, base64_DecoderCreate(nullptr, 1), 0, "r");
    ASSERT_NE(fs, nullptr);
    char buf[100];
    errno = 0;
    size_t n = stream_Read(buf, 1, sizeof(buf), fs);
    EXPECT_EQ(std::string(buf, n), c.delivered) << "output made before the error is delivered";
    EXPECT_TRUE(stream_Error(fs));
    EXPECT_EQ(errno, EIO);
    EXPECT_FALSE(stream_Eof(fs)) << "an error is not the end";
    EXPECT_EQ(stream_Close(fs), 0);
    EXPECT_TRUE(m.closed);
  }
}

TEST(RecordFilterStream, ShortUnderlyingWriteIsAnError) {
  Memory m;
  m.full = true;
  FILE *under = stream_Open(&m, nullptr, MemWrite, nullptr, MemClose);
  stream_SetBuffer(under, nullptr);  // the failure shows at once, not at the underlying flush
  FILE *fs = filter_OpenStream(under, base64_EncoderCreate(nullptr), FILTER_KEEP_STREAM, "w");
  ASSERT_NE(fs, nullptr);
  ASSERT_EQ(stream_Write("abcdef", 1, 6, fs), 6u);
  EXPECT_EQ(stream_Flush(fs), EOF);
  EXPECT_TRUE(stream_Error(fs));
  EXPECT_TRUE(m.data.empty());
  m.full = false;
  EXPECT_EQ(stream_PutS("gh", fs), 1);
  EXPECT_EQ(stream_Close(fs), 0);
  EXPECT_EQ(m.data, "Z2g=") << "later writes go through once the underlying stream takes them";
  EXPECT_FALSE(m.closed);
  EXPECT_EQ(stream_Close(under), 0);
}

}  // namespace
