#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/os_error.h"
#include "platform/os_object.h"

// An event is an eventfd: signalled while its counter is nonzero. Reading a
// non-blocking eventfd takes the whole counter at once, so exactly one waiter
// of an auto-reset event gets it.
namespace {

bool ClaimManual(OsObject *) { return true; }

bool ClaimAuto(OsObject *o) {
  uint64_t v;
  return read(o->fd, &v, sizeof v) == sizeof v;
}

void CloseEvent(OsObject *o) { close(o->fd); }

const OsKind kManualEvent = {"event", nullptr, nullptr, ClaimManual, nullptr, CloseEvent};
const OsKind kAutoEvent = {"event", nullptr, nullptr, ClaimAuto, nullptr, CloseEvent};

OsObject *CheckEvent(OsHandle h) {
  OsObject *o = os_CheckHandle(h, nullptr);
  if (o && o->kind != &kManualEvent && o->kind != &kAutoEvent) return os_Fail(OS_ERROR_INVALID_HANDLE), nullptr;
  return o;
}

}  // namespace

OsHandle os_CreateEvent(bool manualReset, bool initialState) {
  int fd = eventfd(initialState ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return os_FailErrno(errno), nullptr;
  OsHandle h = os_NewHandle(manualReset ? &kManualEvent : &kAutoEvent, fd, nullptr);
  if (!h) close(fd);
  return h;
}

int os_SetEvent(OsHandle h) {
  OsObject *o = CheckEvent(h);
  if (!o) return -1;
  uint64_t one = 1;
  // EAGAIN only when the counter is near overflow: it is signalled anyway.
  if (write(o->fd, &one, sizeof one) != sizeof one && errno != EAGAIN) return os_FailErrno(errno), -1;
  return 0;
}

int os_ResetEvent(OsHandle h) {
  OsObject *o = CheckEvent(h);
  if (!o) return -1;
  uint64_t v;
  if (read(o->fd, &v, sizeof v) != sizeof v && errno != EAGAIN) return os_FailErrno(errno), -1;
  return 0;
}
