// A remote server (connection kind 2) that answers every request from
// memory with the reply set last, as a pipe in message mode gives it: a reply
// too long for the buffer fails with 234. Every call on kMemoryServer takes
// the request road.
#pragma once
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

#include "framework/server/srv_client.h"
#include "platform/os_error.h"

namespace fuzz {

inline const char *const kMemoryServer = "tnw://FUZZHOST/";

struct MemoryReply {
  std::mutex lock;
  std::string bytes;
};

inline MemoryReply &TheMemoryReply() {
  static MemoryReply reply;
  return reply;
}

inline void SetMemoryReply(const void *data, size_t size) {
  MemoryReply &r = TheMemoryReply();
  std::lock_guard<std::mutex> g(r.lock);
  r.bytes.assign(static_cast<const char *>(data), size);
}

inline void UseMemoryServer() {
  static const SrvTransport memory = {
      [](ServerConnection *e) { return e->handle = &TheMemoryReply(), 1; },
      [](ServerConnection *, const void *, uint32_t, void *reply, uint32_t *replyLength) {
        MemoryReply &r = TheMemoryReply();
        std::lock_guard<std::mutex> g(r.lock);
        if (r.bytes.size() > *replyLength) return *replyLength = 0, os_Fail(OS_ERROR_MORE_DATA), 0;
        memcpy(reply, r.bytes.data(), r.bytes.size());
        *replyLength = static_cast<uint32_t>(r.bytes.size());
        return 1;
      },
      [](ServerConnection *e) { e->handle = nullptr; }, 0};
  srv_SetTransport(SRV_KIND_SOCKET, &memory);
}

}  // namespace fuzz
