#include "framework/notify/ntf_notify.h"

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "framework/shm/shm_segment.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_io.h"
#include "platform/os_mailslot.h"

namespace {

// Everything the listener and the waiting thread share lives under `lock`.
// A delivery runs the callback only while the gate is open, and counts itself
// in `delivered`; a wait returns once `delivered` has moved past what the
// waiter has already seen, so no code and no wake-up can fall between the
// examination of the flags and the wait.
struct Notifier {
  std::recursive_mutex lock;
  std::condition_variable_any gateChanged;
  bool started = false;
  bool gateOpen = true;
  OsHandle mailslot = nullptr;
  OsHandle listener = nullptr;
  uint32_t listenerThreadId = 0;
  OsHandle message = nullptr;  // manual reset: set by every delivery
  NtfCallback callback = nullptr;
  int32_t lastCode = 0;
  uint64_t delivered = 0;   // deliveries so far
  uint64_t seen = 0;        // deliveries the waiting thread has accounted for
  OsHandle waitList[NTF_MAX_WAIT_HANDLES] = {};
  int waitCount = 0;
  bool messagePump = false;
};

Notifier g_ntf;

uint32_t ListenerMain(void *arg) {
  OsHandle slot = static_cast<OsHandle>(arg);
  for (;;) {
    {
      std::lock_guard<std::recursive_mutex> g(g_ntf.lock);
      if (!g_ntf.started) break;
    }
    int32_t code = 0;
    uint32_t got = 0;
    if (os_ReadFile(slot, &code, sizeof code, &got) != 0) {
      if (os_GetLastError() == OS_ERROR_INVALID_HANDLE) break;
      continue;  // an oversized or broken message: not part of the protocol
    }
    if (got != sizeof code) continue;
    bool live;
    {
      std::lock_guard<std::recursive_mutex> g(g_ntf.lock);
      live = g_ntf.started;
    }
    if (!live) break;
    ntf_Deliver(code);
  }
  return 0;
}

void CloseAll() {
  if (g_ntf.listener) os_CloseHandle(g_ntf.listener);
  if (g_ntf.mailslot) os_CloseHandle(g_ntf.mailslot);
  if (g_ntf.message) os_CloseHandle(g_ntf.message);
  g_ntf.listener = g_ntf.mailslot = g_ntf.message = nullptr;
  g_ntf.waitCount = 0;
  memset(g_ntf.waitList, 0, sizeof g_ntf.waitList);
}

}  // namespace

const char *ntf_SlotName(uint32_t pid) {
  static thread_local char buf[32];
  if (os_IsWindows9x())
    snprintf(buf, sizeof buf, "process\\%X", pid);
  else
    snprintf(buf, sizeof buf, "dm_%u.slt", pid);
  return buf;
}

const char *ntf_MailslotPath(const char *name) {
  static thread_local char buf[300];
  snprintf(buf, sizeof buf, "\\\\.\\mailslot\\%s", name);
  return buf;
}

NtfCallback ntf_Start(NtfCallback callback) {
  std::unique_lock<std::recursive_mutex> g(g_ntf.lock);
  if (g_ntf.started) {
    // Delivery is held while the callback is swapped: the lock is the gate here.
    NtfCallback prev = g_ntf.callback;
    g_ntf.callback = callback;
    errno = 0;
    return prev;
  }
  const OsSecurityAttributes *sa = shm_OpenSecurityAttributes();
  if (!sa) return nullptr;
  g_ntf.mailslot = os_CreateMailslot(ntf_MailslotPath(ntf_SlotName(os_GetCurrentProcessId())), 4,
                                     OS_MAILSLOT_WAIT_FOREVER, sa);
  if (!g_ntf.mailslot) {
    errno = static_cast<int>(os_GetLastError());
    return nullptr;
  }
  g_ntf.message = os_CreateEvent(true, false);
  if (!g_ntf.message) {
    int e = static_cast<int>(os_GetLastError());
    CloseAll();
    errno = e;
    return nullptr;
  }
  g_ntf.gateOpen = true;
  g_ntf.waitList[0] = g_ntf.message;
  g_ntf.waitCount = 1;
  NtfCallback prev = g_ntf.callback;
  g_ntf.callback = callback;
  g_ntf.started = true;
  g_ntf.delivered = g_ntf.seen = 0;
  g_ntf.listener = os_CreateThread(ListenerMain, g_ntf.mailslot, &g_ntf.listenerThreadId);
  if (!g_ntf.listener) {
    int e = static_cast<int>(os_GetLastError());
    g_ntf.started = false;
    g_ntf.callback = prev;
    CloseAll();
    errno = e;
    return nullptr;
  }
  errno = 0;
  return prev;
}

bool ntf_IsStarted(void) {
  std::lock_guard<std::recursive_mutex> g(g_ntf.lock);
  return g_ntf.started;
}

void ntf_Stop(void) {
  OsHandle listener;
  uint32_t listenerId;
  {
    std::lock_guard<std::recursive_mutex> g(g_ntf.lock);
    if (!g_ntf.started) return;
    g_ntf.started = false;
    g_ntf.gateChanged.notify_all();
    listener = g_ntf.listener;
    listenerId = g_ntf.listenerThreadId;
  }
  // Wake the listener with one message and let it end before its handles go.
  if (OsHandle self = ntf_OpenMailslot(ntf_SlotName(os_GetCurrentProcessId()))) {
    int32_t zero = 0;
    ntf_WriteExact(self, &zero, sizeof zero);
    os_CloseHandle(self);
  }
  bool ended = true;
  if (listenerId != os_GetCurrentThreadId()) ended = os_WaitForSingleObject(listener, 10000) == OS_WAIT_OBJECT_0;
  std::lock_guard<std::recursive_mutex> g(g_ntf.lock);
  if (ended) {
    CloseAll();
  } else {
    // A listener that did not end still uses its mailslot: leave the handles to it.
    g_ntf.listener = g_ntf.mailslot = g_ntf.message = nullptr;
    g_ntf.waitCount = 0;
  }
}

void ntf_Deliver(int32_t code) {
  std::unique_lock<std::recursive_mutex> g(g_ntf.lock);
  g_ntf.gateChanged.wait(g, [] { return !g_ntf.started || g_ntf.gateOpen; });
  if (!g_ntf.started) return;
  g_ntf.lastCode = code;
  if (g_ntf.callback) g_ntf.callback(code);
  g_ntf.delivered += 1;
  os_SetEvent(g_ntf.message);
}

int ntf_HoldDelivery(int hold) {
  std::lock_guard<std::recursive_mutex> g(g_ntf.lock);
  if (!g_ntf.started) return -1;
  if (hold) {
    g_ntf.gateOpen = false;
    // Whatever was delivered so far is visible to the holder now.
    g_ntf.seen = g_ntf.delivered;
  } else {
    g_ntf.gateOpen = true;
    g_ntf.gateChanged.notify_all();
  }
  return 0;
}

void ntf_CloseGateUnlocked(void) { g_ntf.gateOpen = false; }

namespace {

// Waits until a delivery beyond `mark` (or, without one, beyond those made
// before the call), a further wait handle or the time-out. The gate opens
// under the lock, so a code held back while the caller examined its flags is
// delivered now and ends the wait.
int WaitBeyond(const uint64_t *mark, uint32_t ms) {
  uint32_t timeout = ms == 0 ? OS_INFINITE : ms;
  OsHandle list[NTF_MAX_WAIT_HANDLES];
  int count;
  {
    std::lock_guard<std::recursive_mutex> g(g_ntf.lock);
    if (g_ntf.started) {
      g_ntf.seen = mark ? *mark : g_ntf.delivered;
      if (g_ntf.message) os_ResetEvent(g_ntf.message);
      g_ntf.gateOpen = true;
      g_ntf.gateChanged.notify_all();
    } else if (g_ntf.waitCount == 0) {
      // Nothing can wake us: only the sleep, never a hang.
      if (ms != 0) os_Sleep(ms);
      return 0;
    }
    count = g_ntf.waitCount;
    memcpy(list, g_ntf.waitList, sizeof list);
  }
  uint32_t start = os_GetTickCount();
  for (;;) {
    {
      std::lock_guard<std::recursive_mutex> g(g_ntf.lock);
      if (g_ntf.started && g_ntf.delivered != g_ntf.seen) break;
      if (g_ntf.message) os_ResetEvent(g_ntf.message);
    }
    uint32_t left = timeout;
    if (timeout != OS_INFINITE) {
      uint32_t spent = os_GetTickCount() - start;
      if (spent >= timeout) break;
      left = timeout - spent;
    }
    uint32_t r = os_WaitForMultipleObjects(static_cast<uint32_t>(count), list, left);
    if (r == OS_WAIT_TIMEOUT || r == OS_WAIT_FAILED) break;
    if (r != OS_WAIT_OBJECT_0 || list[0] != g_ntf.message) break;  // another handle
  }
  std::lock_guard<std::recursive_mutex> g(g_ntf.lock);
  g_ntf.seen = g_ntf.delivered;
  if (g_ntf.message) os_ResetEvent(g_ntf.message);
  return 0;
}

}  // namespace

// Deliveries made before the call do not end the wait: a caller that examines
// flags first closes the gate, so none can fall between its look and the wait.
int ntf_Wait(uint32_t ms) { return WaitBeyond(nullptr, ms); }

uint64_t ntf_DeliveryMark(void) {
  std::lock_guard<std::recursive_mutex> g(g_ntf.lock);
  return g_ntf.delivered;
}

int ntf_WaitAfter(uint64_t mark, uint32_t ms) { return WaitBeyond(&mark, ms); }

int ntf_WaitTicks(uint32_t ticks) { return ntf_Wait(ticks * 10); }

namespace {

// Writers to the peers' mailslots, kept open between notices: most go to the
// same few processes. A writer is taken out while it is used, so a blocked
// write holds up no other poster. A peer that went away (or came back under
// its name) fails the write; the slot is then opened again, once.
struct PostWriter {
  uint32_t pid;
  OsHandle h;
};
enum : size_t { kPostWriters = 16 };
std::mutex g_postLock;
PostWriter g_postWriters[kPostWriters];
size_t g_postNext;  // the entry a writer goes back to when all are used

OsHandle TakePostWriter(uint32_t pid) {
  std::lock_guard<std::mutex> g(g_postLock);
  for (PostWriter &w : g_postWriters)
    if (w.h && w.pid == pid) {
      OsHandle h = w.h;
      w.h = nullptr;
      return h;
    }
  return nullptr;
}

void KeepPostWriter(uint32_t pid, OsHandle h) {
  OsHandle spare = h;
  {
    std::lock_guard<std::mutex> g(g_postLock);
    PostWriter *to = nullptr;
    for (PostWriter &w : g_postWriters) {
      if (w.h && w.pid == pid) return void(os_CloseHandle(h));  // another poster kept one
      if (!w.h && !to) to = &w;
    }
    if (!to) {
      to = &g_postWriters[g_postNext];
      g_postNext = (g_postNext + 1) % kPostWriters;
    }
    spare = to->h;
    *to = PostWriter{pid, h};
  }
  if (spare) os_CloseHandle(spare);
}

}  // namespace

int ntf_Post(uint32_t pid, int32_t code) {
  if (pid == os_GetCurrentProcessId()) {
    ntf_Deliver(code);
    return 0;
  }
  OsHandle h = TakePostWriter(pid);
  bool kept = h != nullptr;
  if (!h && !(h = ntf_OpenMailslot(ntf_SlotName(pid)))) return -1;
  int rc = ntf_WriteExact(h, &code, sizeof code) == static_cast<int>(sizeof code) ? 0 : -1;
  // A kept writer whose peer is gone: the slot may have a new reader.
  if (rc != 0 && kept && errno != OS_ERROR_SEM_TIMEOUT) {
    os_CloseHandle(h);
    if (!(h = ntf_OpenMailslot(ntf_SlotName(pid)))) return -1;
    rc = ntf_WriteExact(h, &code, sizeof code) == static_cast<int>(sizeof code) ? 0 : -1;
  }
  int e = errno;
  if (rc == 0)
    KeepPostWriter(pid, h);
  else
    os_CloseHandle(h);
  errno = e;
  return rc;
}

int ntf_AddWaitHandle(OsHandle h) {
  std::lock_guard<std::recursive_mutex> g(g_ntf.lock);
  if (g_ntf.waitCount >= NTF_MAX_WAIT_HANDLES) return -1;
  g_ntf.waitList[g_ntf.waitCount++] = h;
  return 0;
}

int ntf_RemoveWaitHandle(OsHandle h) {
  std::lock_guard<std::recursive_mutex> g(g_ntf.lock);
  for (int i = 0; i < g_ntf.waitCount; ++i) {
    if (g_ntf.waitList[i] != h) continue;
    memmove(&g_ntf.waitList[i], &g_ntf.waitList[i + 1], sizeof(OsHandle) * static_cast<size_t>(g_ntf.waitCount - i - 1));
    g_ntf.waitList[--g_ntf.waitCount] = nullptr;
    return 0;
  }
  return -1;
}

void ntf_EnableMessagePump(bool on) { g_ntf.messagePump = on; }

int32_t ntf_LastCode(void) {
  std::lock_guard<std::recursive_mutex> g(g_ntf.lock);
  return g_ntf.lastCode;
}

void ntf_ClearLastCode(void) {
  std::lock_guard<std::recursive_mutex> g(g_ntf.lock);
  g_ntf.lastCode = 0;
}

OsHandle ntf_OpenMailslot(const char *name) {
  OsHandle h = os_CreateFile(ntf_MailslotPath(name), OS_GENERIC_WRITE, OS_FILE_SHARE_READ | OS_FILE_SHARE_WRITE,
                             OS_OPEN_EXISTING, 0);
  if (!h) errno = static_cast<int>(os_GetLastError());
  return h;
}

int ntf_WriteExact(OsHandle h, const void *buf, uint32_t n) {
  uint32_t written = 0;
  if (os_WriteFile(h, buf, n, &written) != 0) {
    errno = static_cast<int>(os_GetLastError());
    return -1;
  }
  if (written != n) return errno = OS_ERROR_WRITE_FAULT, -1;
  return static_cast<int>(n);
}
