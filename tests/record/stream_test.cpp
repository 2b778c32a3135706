// Callback streams: buffering rules, errors, seeking, locks, lines and
// the descriptor callbacks over files, pipes and sockets.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "record/record.h"
#include "tests/support/proc_stats.h"
#include "tests/support/test_root.h"

namespace {

struct Mem {
  std::string data;
  size_t pos = 0;
  std::vector<size_t> writes;
  std::vector<size_t> read_sizes;  // the size asked for by each read call
  int reads = 0;
  int seeks = 0;
  int closes = 0;
  int close_rc = 0;
  ssize_t write_limit = -1;  // < 0: write all; else at most this many per call
  int seek_fail = 0;         // errno to fail seeks with; -1: fail without errno
};

ssize_t MemRead(void *c, char *buf, size_t size) {
  Mem *m = (Mem *)c;
  m->reads++;
  m->read_sizes.push_back(size);
  size_t n = std::min(size, m->data.size() - std::min(m->pos, m->data.size()));
  memcpy(buf, m->data.data() + m->pos, n);
  m->pos += n;
  return (ssize_t)n;
}

ssize_t MemWrite(void *c, const char *data, size_t len) {
  Mem *m = (Mem *)c;
  m->writes.push_back(len);
  size_t n = m->write_limit < 0 ? len : std::min(len, (size_t)m->write_limit);
  if (m->pos > m->data.size()) m->data.resize(m->pos);
  m->data.replace(m->pos, std::min(n, m->data.size() - m->pos), data, n);
  m->pos += n;
  return (ssize_t)n;
}

int64_t MemSeek(void *c, int64_t off, int whence) {
  Mem *m = (Mem *)c;
  m->seeks++;
  if (m->seek_fail != 0) {
    errno = m->seek_fail > 0 ? m->seek_fail : 0;
    return -1;
  }
  int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? (int64_t)m->pos : (int64_t)m->data.size();
  if (base + off < 0) {
    errno = EINVAL;
    return -1;
  }
  m->pos = (size_t)(base + off);
  return (int64_t)m->pos;
}

int MemClose(void *c) {
  Mem *m = (Mem *)c;
  m->closes++;
  return m->close_rc;
}

FILE *OpenMem(Mem *m, bool rd = true, bool wr = true, bool seek = true) {
  return stream_Open(m, rd ? MemRead : nullptr, wr ? MemWrite : nullptr, seek ? MemSeek : nullptr, MemClose);
}

TEST(RecordStream, OpenNeedsAReadOrWriteFunction) {
  errno = 0;
  EXPECT_EQ(stream_Open(nullptr, nullptr, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
}

TEST(RecordStream, WritesReachTheCallbackInPiecesOf512) {
  std::string big(2000, 'x');
  for (int mode = 0; mode < 3; mode++) {
    SCOPED_TRACE(mode);
    Mem m;
    FILE *fp = OpenMem(&m);
    if (mode == 1) stream_SetBuffer(fp, nullptr);
    if (mode == 2) stream_SetLineBuffer(fp);
    ASSERT_EQ(stream_Write(big.data(), 1, big.size(), fp), big.size());
    for (int i = 0; i < 30; i++) ASSERT_EQ(stream_PutS("0123456789abcdefghij\n", fp), 1);
    ASSERT_EQ(stream_Flush(fp), 0);
    size_t total = 0;
    for (size_t w : m.writes) {
      EXPECT_LE(w, 512u);
      EXPECT_GT(w, 0u);
      total += w;
    }
    EXPECT_EQ(total, 2000u + 30 * 21);
    EXPECT_EQ(m.data.substr(0, 2000), big);
    if (mode == 1) {
      EXPECT_EQ(m.writes[0], 512u);
    }
    EXPECT_EQ(stream_Close(fp), 0);
    EXPECT_EQ(m.closes, 1);
  }
}

TEST(RecordStream, EachRefillAsksForTheBufferSize) {
  std::string data(5000, '\0');
  for (size_t i = 0; i < data.size(); i++) data[i] = (char)(i * 13 + 1);
  static char big[4096];
  struct Case {
    int mode;      // 0 default buffer, 1 unbuffered, 2 a caller's 4096-byte buffer
    size_t first;  // bytes in the first block read; the rest follow in one more
    size_t asked;  // what every call of the read function asks for
  } cases[] = {{0, 2000, 512}, {0, 512, 512}, {0, 10, 512}, {1, 2000, 1}, {2, 100, 4096}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.mode) + " " + std::to_string(c.first));
    Mem m;
    m.data = data;
    FILE *fp = OpenMem(&m, true, false, false);
    if (c.mode == 1) stream_SetBuffer(fp, nullptr);
    if (c.mode == 2) {
      ASSERT_EQ(stream_SetVBuf(fp, big, _IOFBF, sizeof(big)), 0);
    }
    std::string got(data.size() + 10, '\0');
    ASSERT_EQ(stream_Read(got.data(), 1, c.first, fp), c.first);
    ASSERT_EQ(stream_Read(got.data() + c.first, 1, got.size() - c.first, fp), data.size() - c.first);
    got.resize(data.size());
    EXPECT_EQ(got, data);
    EXPECT_TRUE(stream_Eof(fp));
    ASSERT_FALSE(m.read_sizes.empty());
    for (size_t n : m.read_sizes) ASSERT_EQ(n, c.asked) << "large reads are not handed to the callback whole";
    stream_Close(fp);
  }
}

TEST(RecordStream, PurgeDropsBufferedData) {
  Mem w;
  FILE *fp = OpenMem(&w);
  ASSERT_EQ(stream_PutS("lost", fp), 1);
  EXPECT_EQ(stream_Purge(fp), 0);
  ASSERT_EQ(stream_PutS("kept", fp), 1);
  ASSERT_EQ(stream_Flush(fp), 0);
  EXPECT_EQ(w.data, "kept") << "pending output is discarded, not written";
  stream_Close(fp);

  Mem r;
  r.data = std::string(512, 'a') + "b";
  fp = OpenMem(&r, true, false, false);
  EXPECT_EQ(stream_GetC(fp), 'a');
  EXPECT_EQ(stream_Purge(fp), 0);
  EXPECT_EQ(stream_GetC(fp), 'b') << "the rest of the read-ahead is gone";
  stream_Close(fp);
}

TEST(RecordStream, LineBufferingWritesAtEachNewline) {
  Mem m;
  FILE *fp = OpenMem(&m);
  stream_SetLineBuffer(fp);
  ASSERT_EQ(stream_PutS("ab\ncd", fp), 1);
  EXPECT_EQ(m.data, "ab\n");
  ASSERT_EQ(stream_Flush(fp), 0);
  EXPECT_EQ(m.data, "ab\ncd");
  stream_Close(fp);
}

TEST(RecordStream, ShortAndFailedWrites) {
  Mem m;
  m.write_limit = 100;
  FILE *fp = OpenMem(&m);
  std::string text(700, 'y');
  ASSERT_EQ(stream_Write(text.data(), 1, text.size(), fp), text.size());
  ASSERT_EQ(stream_Flush(fp), 0);
  EXPECT_EQ(m.data, text) << "short writes are continued until the data is gone";
  m.write_limit = 0;
  ASSERT_EQ(stream_PutC('z', fp), 'z');
  EXPECT_EQ(stream_Flush(fp), EOF) << "a write function that writes nothing is an error";
  EXPECT_TRUE(stream_Error(fp));
  stream_ClearError(fp);
  EXPECT_FALSE(stream_Error(fp));
  stream_Purge(fp);
  m.write_limit = -1;
  EXPECT_EQ(stream_Close(fp), 0);

  Mem u;
  u.write_limit = 0;
  FILE *un = OpenMem(&u);
  stream_SetBuffer(un, nullptr);
  EXPECT_EQ(stream_Printf(un, "%s", "lost"), 0) << "formatted output that fell short gives 0";
  stream_ClearError(un);
  EXPECT_EQ(stream_Write("abc", 1, 3, un), 0u) << "a block write to an unbuffered stream reports the failure";
  EXPECT_TRUE(stream_Error(un));
  stream_Close(un);
}

TEST(RecordStream, EndOfFileIsSticky) {
  Mem m;
  m.data = "hello";
  FILE *fp = OpenMem(&m, true, false, false);
  char buf[16];
  EXPECT_EQ(stream_Read(buf, 1, sizeof(buf), fp), 5u);
  EXPECT_EQ(stream_GetC(fp), EOF);
  EXPECT_TRUE(stream_Eof(fp));
  int reads = m.reads;
  m.data += " world";
  EXPECT_EQ(stream_GetC(fp), EOF);
  EXPECT_EQ(m.reads, reads) << "no read function call while at end of file";
  stream_ClearError(fp);
  EXPECT_EQ(stream_GetC(fp), ' ');
  EXPECT_EQ(stream_UngetC('Q', fp), 'Q');
  EXPECT_EQ(stream_GetC(fp), 'Q');
  EXPECT_EQ(stream_GetS(buf, sizeof(buf), fp), buf);
  EXPECT_STREQ(buf, "world");
  stream_Close(fp);
}

TEST(RecordStream, WrongDirection) {
  Mem m;
  FILE *wo = OpenMem(&m, false, true);
  errno = 0;
  EXPECT_EQ(stream_GetC(wo), EOF);
  EXPECT_EQ(errno, EBADF);
  EXPECT_TRUE(stream_Error(wo));
  stream_Close(wo);
  FILE *ro = OpenMem(&m, true, false);
  errno = 0;
  EXPECT_EQ(stream_PutC('x', ro), EOF);
  EXPECT_EQ(errno, EBADF);
  stream_Close(ro);
  FILE *rw = OpenMem(&m);
  errno = 0;
  EXPECT_EQ(stream_Flush(rw), EOF) << "neither reading nor writing";
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(stream_Fileno(rw), -1);
  stream_Close(rw);
}

TEST(RecordStream, SeekingAndTelling) {
  Mem m;
  FILE *fp = OpenMem(&m);
  ASSERT_EQ(stream_PutS("0123456789", fp), 1);
  EXPECT_EQ(stream_Tell(fp), 10);
  ASSERT_EQ(stream_Seek(fp, 2, SEEK_SET), 0);
  char buf[4] = {};
  ASSERT_EQ(stream_Read(buf, 1, 3, fp), 3u);
  EXPECT_STREQ(buf, "234");
  EXPECT_EQ(stream_Tell64(fp), 5) << "less the read-ahead";
  ASSERT_EQ(stream_Seek64(fp, -1, SEEK_END), 0);
  EXPECT_EQ(stream_GetC(fp), '9');
  EXPECT_EQ(stream_GetC(fp), EOF);
  ASSERT_EQ(stream_Seek(fp, 0, SEEK_SET), 0);
  EXPECT_FALSE(stream_Eof(fp)) << "a seek clears end of file";
  fpos_t pos;
  ASSERT_EQ(stream_GetPos(fp, &pos), 0);
  EXPECT_EQ(stream_GetC(fp), '0');
  ASSERT_EQ(stream_SetPos(fp, &pos), 0);
  EXPECT_EQ(stream_GetC(fp), '0');
  fpos64_t pos64;
  ASSERT_EQ(stream_GetPos64(fp, &pos64), 0);
  ASSERT_EQ(stream_SetPos64(fp, &pos64), 0);
  stream_Rewind(fp);
  EXPECT_EQ(stream_Tell(fp), 0);
  stream_Close(fp);
}

TEST(RecordStream, SeekFailures) {
  Mem m;
  FILE *fp = OpenMem(&m, true, true, false);
  errno = 0;
  EXPECT_EQ(stream_Seek(fp, 0, SEEK_SET), -1);
  EXPECT_EQ(errno, ESPIPE) << "no seek function";
  errno = 0;
  EXPECT_EQ(stream_Tell(fp), -1);
  EXPECT_EQ(errno, ESPIPE);
  stream_Close(fp);

  Mem q;
  q.seek_fail = -1;
  fp = OpenMem(&q);
  errno = 0;
  EXPECT_EQ(stream_Seek(fp, 3, SEEK_SET), -1);
  EXPECT_EQ(errno, EINVAL) << "a failure without an error number";
  EXPECT_TRUE(stream_Error(fp));
  q.seek_fail = ESPIPE;
  EXPECT_EQ(stream_Seek(fp, 3, SEEK_SET), -1);
  int seeks = q.seeks;
  q.seek_fail = 0;
  errno = 0;
  EXPECT_EQ(stream_Seek(fp, 3, SEEK_SET), -1);
  EXPECT_EQ(errno, ESPIPE);
  EXPECT_EQ(q.seeks, seeks) << "after ESPIPE the seek function is not asked again";
  stream_Close(fp);
}

TEST(RecordStream, CloseFailureAndCookie) {
  Mem m;
  m.close_rc = -1;
  FILE *fp = OpenMem(&m);
  EXPECT_EQ(stream_GetCookie(fp), &m);
  EXPECT_EQ(stream_GetCookie(stdout), nullptr);
  ASSERT_EQ(stream_PutS("pending", fp), 1);
  EXPECT_NE(stream_Close(fp), 0);
  EXPECT_EQ(m.data, "pending") << "close flushes first";
  EXPECT_EQ(m.closes, 1);
}

TEST(RecordStream, GetLine) {
  Mem m;
  m.data = std::string("a\nbb\n\n") + std::string(5000, 'L') + "\n" + std::string("with\0nul\n", 9) + "last";
  FILE *fp = OpenMem(&m, true, false);
  struct Want {
    std::string line;
  } want[] = {{"a\n"}, {"bb\n"}, {"\n"}, {std::string(5000, 'L') + "\n"}, {std::string("with\0nul\n", 9)}, {"last"}};
  for (const Want &w : want) {
    size_t len = 0;
    char *line = stream_GetLine(fp, &len);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(std::string(line, len), w.line);
  }
  size_t len = 0;
  EXPECT_EQ(stream_GetLine(fp, &len), nullptr);
  stream_Close(fp);
  FILE *plain = tmpfile();
  errno = 0;
  EXPECT_EQ(stream_GetLine(plain, &len), nullptr);
  EXPECT_EQ(errno, EDOM);
  fclose(plain);
}

TEST(RecordStream, FormattedInputAndOutput) {
  Mem m;
  FILE *fp = OpenMem(&m);
  EXPECT_EQ(stream_Printf(fp, "%d %s %.1f\n", 12, "abc", 3.5), 11);
  ASSERT_EQ(stream_Seek(fp, 0, SEEK_SET), 0);
  int i = 0;
  char word[8] = {};
  double d = 0;
  EXPECT_EQ(stream_Scanf(fp, "%d %7s %lf", &i, word, &d), 3);
  EXPECT_EQ(i, 12);
  EXPECT_STREQ(word, "abc");
  EXPECT_EQ(d, 3.5);
  stream_Close(fp);
}

TEST(RecordStream, OwnerLockWithTryLock) {
  Mem m;
  FILE *fp = OpenMem(&m);
  stream_Lock(fp);
  stream_Lock(fp);  // the owner may lock again
  EXPECT_EQ(stream_TryLock(fp), 0);
  std::atomic<int> other{1};
  std::thread t([&] { other = stream_TryLock(fp); });
  t.join();
  EXPECT_EQ(other, -1) << "another thread's try-lock fails at once";
  stream_Unlock(fp);
  stream_Unlock(fp);
  std::atomic<bool> got{false};
  std::atomic<pid_t> waiterId{0};
  std::thread waiter([&] {
    waiterId = gettid();
    stream_Lock(fp);
    got = true;
    stream_Unlock(fp);
  });
  EXPECT_TRUE(tnwtest::Until([&] { return waiterId != 0 && tnwtest::ThreadAsleep(static_cast<uint32_t>(waiterId.load())); }, 5000));
  EXPECT_FALSE(got) << "still held once";
  stream_Unlock(fp);
  waiter.join();
  EXPECT_TRUE(got);
  std::thread t2([&] {
    other = stream_TryLock(fp);
    if (other == 0) stream_Unlock(fp);
  });
  t2.join();
  EXPECT_EQ(other, 0);
  stream_Close(fp);
}

TEST(RecordStream, LockedLinesStayWhole) {
  Mem m;
  FILE *fp = OpenMem(&m);
  auto writer = [&](char c) {
    for (int i = 0; i < 300; i++) {
      stream_Lock(fp);
      for (int k = 0; k < 20; k++) stream_PutC(c, fp);
      stream_PutC('\n', fp);
      stream_Unlock(fp);
    }
  };
  std::thread a(writer, 'a'), b(writer, 'b');
  a.join();
  b.join();
  stream_Close(fp);
  ASSERT_EQ(m.data.size(), 600u * 21);
  for (size_t i = 0; i < m.data.size(); i += 21) {
    EXPECT_EQ(m.data.substr(i, 20), std::string(20, m.data[i]));
  }
}

TEST(RecordStream, ReopenClosesTheCallbackStream) {
  Mem m;
  FILE *fp = OpenMem(&m);
  std::string path = tnwtest::MakeTempDir("reopen") + "/f.txt";
  FILE *f = stream_Reopen(path.c_str(), "w", fp);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(m.closes, 1);
  EXPECT_EQ(stream_GetCookie(f), nullptr);
  EXPECT_EQ(stream_PutS("x", f), 1);
  EXPECT_EQ(stream_Close(f), 0);
}

FILE *OpenFd(int fd, bool rd = true, bool wr = true) {
  return stream_Open((void *)(intptr_t)fd, rd ? stream_DescriptorRead : nullptr, wr ? stream_DescriptorWrite : nullptr,
                     stream_DescriptorSeek, stream_DescriptorClose);
}

TEST(RecordStreamFd, FileDescriptor) {
  std::string path = tnwtest::MakeTempDir("fd") + "/data";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  FILE *fp = OpenFd(fd);
  ASSERT_EQ(stream_PutS("hello file\n", fp), 1);
  ASSERT_EQ(stream_Seek(fp, 6, SEEK_SET), 0);
  char buf[8] = {};
  ASSERT_EQ(stream_Read(buf, 1, 4, fp), 4u);
  EXPECT_STREQ(buf, "file");
  ASSERT_EQ(stream_Flush(fp), 0);
  off_t before = lseek(fd, 0, SEEK_CUR);
  ASSERT_EQ(stream_TruncateDescriptor(fd, 3), 0);
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), before) << "truncating keeps the position";
  EXPECT_EQ(stream_Close(fp), 0);
  EXPECT_EQ(tnwtest::ReadFile(path), "hel");
  EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "closing the stream closed the descriptor";
}

TEST(RecordStreamFd, SocketPairAndAGonePeer) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  FILE *fp = OpenFd(sv[0]);
  ASSERT_EQ(stream_PutS("ping\n", fp), 1);
  ASSERT_EQ(stream_Flush(fp), 0);
  char buf[16] = {};
  ASSERT_EQ(read(sv[1], buf, sizeof(buf)), 5);
  EXPECT_STREQ(buf, "ping\n");
  ASSERT_EQ(write(sv[1], "pong\n", 5), 5);
  size_t len = 0;
  char *line = stream_GetLine(fp, &len);
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(std::string(line, len), "pong\n");
  close(sv[1]);
  // The peer is gone: an error, and no SIGPIPE (which would end this program).
  ASSERT_EQ(stream_PutS("more\n", fp), 1);
  errno = 0;
  EXPECT_EQ(stream_Flush(fp), EOF);
  EXPECT_EQ(errno, EPIPE);
  EXPECT_EQ(stream_GetC(fp), EOF);
  stream_Close(fp);
}

TEST(RecordStreamFd, ResetTcpPeerIsEndOfFileAndAWriteError) {
  int lsock = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(lsock, (sockaddr *)&addr, sizeof(addr)), 0);
  socklen_t alen = sizeof(addr);
  ASSERT_EQ(getsockname(lsock, (sockaddr *)&addr, &alen), 0);
  ASSERT_EQ(listen(lsock, 1), 0);
  int c = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(c, (sockaddr *)&addr, sizeof(addr)), 0);
  int s = accept(lsock, nullptr, nullptr);
  ASSERT_GE(s, 0);
  linger lg = {1, 0};
  ASSERT_EQ(setsockopt(s, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg)), 0);
  close(s);  // sends a reset
  close(lsock);
  pollfd arrived = {c, POLLIN, 0};
  ASSERT_EQ(poll(&arrived, 1, 5000), 1) << "the reset never came";
  FILE *fp = OpenFd(c);
  EXPECT_EQ(stream_GetC(fp), EOF);
  EXPECT_TRUE(stream_Eof(fp)) << "a reset connection reads as end of file";
  EXPECT_FALSE(stream_Error(fp));
  stream_SetBuffer(fp, nullptr);
  bool failed = false;
  for (int i = 0; i < 20 && !failed; i++) failed = stream_PutS("after reset\n", fp) == EOF;
  EXPECT_TRUE(failed);
  stream_Close(fp);
}

TEST(RecordStreamFd, PipeWithoutReader) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  close(p[0]);
  FILE *fp = OpenFd(p[1], false, true);
  ASSERT_EQ(stream_PutS("nobody reads this", fp), 1);
  errno = 0;
  EXPECT_EQ(stream_Flush(fp), EOF);
  EXPECT_EQ(errno, EPIPE);
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0) << "no SIGPIPE left pending";
  stream_Close(fp);
}

}  // namespace
