#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/os_cmdline.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_handle.h"
#include "tests/platform/child_process.h"
#include "tests/support/fd_probe.h"
#include "tests/support/test_root.h"

namespace {

uint32_t RunToEnd(const std::string &commandLine) {
  OsHandle p = os_CreateProcess(commandLine.c_str(), nullptr);
  if (!p) return 0xDEAD0000u | os_GetLastError();
  uint32_t code = 0xDEADBEEF;
  if (os_WaitForSingleObject(p, 10000) == OS_WAIT_OBJECT_0) os_GetExitCodeProcess(p, &code);
  os_CloseHandle(p);
  return code;
}

TEST(CommandLineTest, SplitsAsTheWindowsRuntime) {
  struct Case {
    const char *line;
    std::vector<std::string> args;
  } cases[] = {
      {"ewfmgr c: -commitanddisable -live", {"ewfmgr", "c:", "-commitanddisable", "-live"}},
      {"  prog   a\tb  ", {"prog", "a", "b"}},
      {"\"C:\\Program Files\\x.exe\" \"two words\"", {"C:\\Program Files\\x.exe", "two words"}},
      {"C:\\bin\\ a\\\\b", {"C:\\bin\\", "a\\\\b"}},
      {"p a\\\"b", {"p", "a\"b"}},
      {"p \"a\\\\\" b", {"p", "a\\", "b"}},
      {"p \"a\\\\\\\"b\"", {"p", "a\\\"b"}},
      {"p \"say \"\"hi\"\"\"", {"p", "say \"hi\""}},
      {"p ab\"c d\"e", {"p", "abc de"}},
      {"p \"\"", {"p", ""}},
      {"p \"open", {"p", "open"}},
      {"", {}},
  };
  for (const Case &c : cases) EXPECT_EQ(os_SplitCommandLine(c.line), c.args) << c.line;
}

TEST(ProcessTest, ArgumentsReachTheProgram) {
  std::string out = tnwtest::MakeTempDir("args") + "/out.txt";
  setenv("ECHO_ARGS_OUT", out.c_str(), 1);
  EXPECT_EQ(RunToEnd(std::string("\"") + ECHO_ARGS + "\" one \"two three\" C:\\dir\\ a\\\"q"), 4u);
  EXPECT_EQ(tnwtest::ReadFile(out), "[one][two three][C:\\dir\\][a\"q]");

  const char *argv[] = {ECHO_ARGS, "as is \"", "", nullptr};
  uint32_t pid = 0;
  OsHandle p = os_CreateProcessArgv(argv, &pid);
  ASSERT_NE(p, nullptr);
  EXPECT_NE(pid, 0u);
  ASSERT_EQ(os_WaitForSingleObject(p, 10000), OS_WAIT_OBJECT_0);
  uint32_t code = 0;
  ASSERT_EQ(os_GetExitCodeProcess(p, &code), 0);
  EXPECT_EQ(code, 2u);
  EXPECT_EQ(tnwtest::ReadFile(out), "[as is \"][]");
  os_CloseHandle(p);
  unsetenv("ECHO_ARGS_OUT");
}

TEST(ProcessTest, ExitCodesAndTermination) {
  EXPECT_EQ(RunToEnd("/bin/sh -c \"exit 7\""), 7u);
  EXPECT_EQ(RunToEnd("/bin/sh -c \"kill -TERM $$\""), 128u + SIGTERM);

  OsHandle p = os_CreateProcess("/bin/sleep 30", nullptr);
  ASSERT_NE(p, nullptr);
  uint32_t code = 0;
  EXPECT_EQ(os_WaitForSingleObject(p, 50), OS_WAIT_TIMEOUT);
  ASSERT_EQ(os_GetExitCodeProcess(p, &code), 0);
  EXPECT_EQ(code, static_cast<uint32_t>(OS_STILL_ACTIVE));
  ASSERT_EQ(os_TerminateProcess(p, 42), 0);
  ASSERT_EQ(os_WaitForSingleObject(p, 5000), OS_WAIT_OBJECT_0);
  ASSERT_EQ(os_GetExitCodeProcess(p, &code), 0);
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(os_TerminateProcess(p, 1), -1) << "it has ended";
  EXPECT_EQ(os_GetLastError(), OS_ERROR_ACCESS_DENIED);
  os_CloseHandle(p);
}

TEST(ProcessTest, ProgramsAreFoundInPath) {
  std::string dir = tnwtest::MakeTempDir("path");
  ASSERT_TRUE(tnwtest::WriteFile(dir + "/tnwprog", "#!/bin/sh\nexit 5\n"));
  ASSERT_EQ(chmod((dir + "/tnwprog").c_str(), 0755), 0);
  std::string saved = getenv("PATH") ? getenv("PATH") : "";
  ASSERT_EQ(os_SetEnvironmentVariable("Path", (dir + ":" + saved).c_str()), 0);  // any spelling
  EXPECT_EQ(RunToEnd("tnwprog"), 5u);
  EXPECT_EQ(RunToEnd("tnwprog.EXE arg"), 5u) << "a Windows program name";
  EXPECT_EQ(RunToEnd("tnw_no_such_program"), 0xDEAD0000u | OS_ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RunToEnd(dir + "/missing"), 0xDEAD0000u | OS_ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RunToEnd(""), 0xDEAD0000u | OS_ERROR_INVALID_PARAMETER);
  os_SetEnvironmentVariable("PATH", saved.c_str());
}

TEST(ProcessTest, ARunningProcessOutlivesItsHandleAndIsCollected) {
  uint32_t pid = 0;
  OsHandle p = os_CreateProcess("/bin/sleep 0.3", &pid);
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(os_CloseHandle(p), 0);
  EXPECT_EQ(kill(static_cast<pid_t>(pid), 0), 0) << "still running";
  // Once it ends nothing is left of it, not even a zombie.
  bool gone = false;
  for (int i = 0; i < 500 && !gone; ++i) {
    gone = kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
    if (!gone) os_Sleep(10);
  }
  EXPECT_TRUE(gone);
}

// Whether this process may use real-time scheduling at all (checked in a child).
bool RealtimeAllowed(void) {
  pid_t probe = tnwtest::Spawn([] {
    struct sched_param sp = {};
    sp.sched_priority = 1;
    return sched_setscheduler(0, SCHED_RR, &sp) == 0 ? 1 : 0;
  });
  return tnwtest::Join(probe) == 1;
}

// A process that lets go of its standard input is seen to do so by the
// writer on the other end of the pipe while it still runs.
TEST(ProcessTest, ClosingStandardInputEndsThePipeAtOnce) {
  int in[2];
  ASSERT_EQ(pipe(in), 0);
  tnwtest::Gate closed, done;
  pid_t child = tnwtest::Spawn([&] {
    close(in[1]);
    if (dup2(in[0], 0) != 0) return 10;
    close(in[0]);
    if (os_CloseStandardInput() != 0) return 11;
    int again = os_CloseStandardInput();  // nothing left to close
    uint32_t code = os_GetLastError();
    closed.Post();
    done.Await();
    return again == -1 && code == OS_ERROR_INVALID_HANDLE ? 0 : 12;
  });
  ASSERT_GT(child, 0);
  close(in[0]);
  ASSERT_TRUE(closed.Await());
  signal(SIGPIPE, SIG_IGN);
  errno = 0;
  EXPECT_EQ(write(in[1], "x", 1), -1) << "the child is alive, its standard input gone";
  EXPECT_EQ(errno, EPIPE);
  signal(SIGPIPE, SIG_DFL);
  close(in[1]);
  done.Post();
  EXPECT_EQ(tnwtest::Join(child), 0);
}

// A socket a library opened is inherited until it is marked; marked, a
// started program no longer holds it.
TEST(ProcessTest, MarkedSocketsStayOutOfStartedPrograms) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  auto links = tnwtest::OwnSockets();
  ASSERT_EQ(links.count(pair[0]), 1u);
  EXPECT_EQ(os_IsSocketInheritable(pair[0]), 1);
  EXPECT_EQ(tnwtest::ChildHoldsSocket(pair[0], links[pair[0]]), 1);
  ASSERT_EQ(os_SetSocketNotInheritable(pair[0]), 0);
  EXPECT_EQ(os_IsSocketInheritable(pair[0]), 0);
  EXPECT_EQ(tnwtest::ChildHoldsSocket(pair[0], links[pair[0]]), 0);
  EXPECT_EQ(tnwtest::ChildHoldsSocket(pair[1], links[pair[1]]), 1);  // only the one marked
  close(pair[0]);
  close(pair[1]);
  for (int bad : {-1, pair[0]}) {
    os_SetLastError(0);
    EXPECT_EQ(os_SetSocketNotInheritable(bad), -1) << bad;
    EXPECT_EQ(os_GetLastError(), (uint32_t)OS_ERROR_INVALID_HANDLE);
    EXPECT_EQ(os_IsSocketInheritable(bad), -1) << bad;
  }
}

TEST(PriorityTest, RealTimeGoesAsFarAsAllowed) {
  bool allowed = RealtimeAllowed();
  pid_t child = tnwtest::Spawn([allowed] {
    if (os_SetPriorityClass(OS_REALTIME_PRIORITY_CLASS) != 0) return 1;
    int policy = sched_getscheduler(0);
    if (allowed && policy != SCHED_RR) return 2;
    if (!allowed && policy != SCHED_OTHER) return 3;
    if (os_SetPriorityClass(OS_NORMAL_PRIORITY_CLASS) != 0) return 4;
    if (sched_getscheduler(0) != SCHED_OTHER || getpriority(PRIO_PROCESS, 0) != 0) return 5;
    return 0;
  });
  EXPECT_EQ(tnwtest::Join(child), 0) << "real time " << (allowed ? "allowed" : "refused");

  // Without any privilege the call still succeeds: the class is only lower.
  // As root the child gives its privilege up first.
  pid_t plain = tnwtest::Spawn([] {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 10;
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_RTPRIO, &none);
    setrlimit(RLIMIT_NICE, &none);
    if (os_SetPriorityClass(OS_REALTIME_PRIORITY_CLASS) != 0) return 1;
    if (sched_getscheduler(0) != SCHED_OTHER) return 2;
    if (os_SetPriorityClass(OS_HIGH_PRIORITY_CLASS) != 0) return 3;
    return 0;
  });
  EXPECT_EQ(tnwtest::Join(plain), 0);

  EXPECT_EQ(os_SetPriorityClass(0x1234), -1);
  EXPECT_EQ(os_GetLastError(), OS_ERROR_INVALID_PARAMETER);
}

}  // namespace
