// The client's side of the request protocol on any reply: a request server in
// this process answers every request line with the fuzz input, over the real
// named pipe. The result, the error and the records filled must be what the
// reply says by the rules written out here: a decimal result; "-1,<code>" a
// failure with that code; an empty reply error 8001; a reply longer than the
// buffer error 234; a list "n,rec;rec" of comma-separated fields, where a
// record with too few fields fails the call.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "framework/server/srv_client.h"
#include "framework/server/srv_requests.h"
#include "framework/xml/xml_error.h"
#include "platform/os_error.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_world.h"
#include "tools/scadasim/sim_requests.h"

namespace {

std::mutex g_lock;
std::string g_reply;
const char kTable[] = "* two processors for the fall-backs\nTNWLL,PUMPS,A-TW:16,run\nDIGI,,D-DG:8\n";

struct Expected {
  int result;
  int error;  // when result is -1
};

// The reply as the client sees it: the bytes up to the first terminator.
// atoi's reading of a number, held to the int range where atoi's own result
// is undefined.
int Number(const char *text) {
  long long v = strtoll(text, nullptr, 10);
  return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<int>(v);
}

Expected ResultOf(const std::string &bytes, uint32_t capacity) {
  if (bytes.size() > capacity - 1) return {-1, OS_ERROR_MORE_DATA};
  std::string text = bytes.c_str();
  if (text.empty()) return {-1, SRV_EMPTY_REPLY};
  int r = Number(text.c_str());
  if (r != -1) return {r, 0};
  size_t comma = text.find(',');
  return {-1, comma == std::string::npos ? 0 : Number(text.c_str() + comma + 1)};
}

// The records of a list reply, each one's fields, up to `capacity`; false
// when a record has fewer than minFields.
bool Records(const std::string &text, int n, int capacity, size_t minFields,
             std::vector<std::vector<std::string>> *out) {
  size_t comma = text.find(',');
  size_t p = comma == std::string::npos ? text.size() : comma + 1;
  for (int filled = 0; filled < n && filled < capacity; ++filled) {
    size_t end = text.find(';', p);
    std::string rec = text.substr(p, end == std::string::npos ? std::string::npos : end - p);
    std::vector<std::string> fields;
    size_t at = 0;
    for (;;) {
      if (fields.size() == 15) {
        fields.push_back(rec.substr(at));
        break;
      }
      size_t c = rec.find(',', at);
      fields.push_back(rec.substr(at, c == std::string::npos ? std::string::npos : c - at));
      if (c == std::string::npos) break;
      at = c + 1;
    }
    if (fields.size() < minFields) return false;
    out->push_back(fields);
    p = end == std::string::npos ? text.size() : end + 1;
  }
  return true;
}

std::string Cut(const std::string &s, size_t n) { return s.substr(0, n); }

void Lists(uint8_t which, const std::string &bytes) {
  const int cap = 6;
  Expected e = ResultOf(bytes, SRV_LIST_REPLY);
  std::string text = bytes.c_str();
  std::vector<std::vector<std::string>> recs;
  errno = 0;
  if (which == 0) {
    ProcessorRecord r[cap];
    int got = srv_GetProcessors(".", "*,6", r, cap);
    if (e.result == -1) {
      FUZZ_CHECK(got == 2);  // from DATPROC.TXT
      return;
    }
    if (e.result <= 0) {
      FUZZ_CHECK(got == e.result);
      return;
    }
    if (!Records(text, e.result, cap, 5, &recs)) {
      FUZZ_CHECK(got == -1 && errno == OS_ERROR_INVALID_DATA);
      return;
    }
    FUZZ_CHECK(got == static_cast<int>(recs.size()));
    for (size_t i = 0; i < recs.size(); ++i) {
      FUZZ_CHECK(std::string(r[i].Name, strnlen(r[i].Name, sizeof r[i].Name)) == Cut(recs[i][0].c_str(), 9));
      FUZZ_CHECK(std::string(r[i].PrintName, strnlen(r[i].PrintName, sizeof r[i].PrintName)) == Cut(recs[i][1].c_str(), 25));
      FUZZ_CHECK(r[i].Run == static_cast<uint8_t>(atoi(recs[i][3].c_str())));
    }
  } else if (which == 1) {
    ProcessorTableEntry t[cap];
    int got = srv_GetProcessorTable(".", "*,6", t, cap);
    if (e.result == -1) {
      FUZZ_CHECK(got == -1);
      return;
    }
    if (e.result <= 0) {
      FUZZ_CHECK(got == e.result);
      return;
    }
    if (!Records(text, e.result, cap, 2, &recs)) {
      FUZZ_CHECK(got == -1 && errno == OS_ERROR_INVALID_DATA);
      return;
    }
    FUZZ_CHECK(got == static_cast<int>(recs.size()));
    for (size_t i = 0; i < recs.size(); ++i) {
      const std::vector<std::string> &f = recs[i];
      std::string want = f.size() > 3 && !f[3].empty() ? Cut(f[3].c_str(), SRV_ENTRY_TEXT_MAX)
                         : f.size() > 2                 ? Cut(f[2].c_str(), SRV_ENTRY_SHORT_TEXT_MAX)
                                                        : "";
      FUZZ_CHECK(t[i].Text == want);
      FUZZ_CHECK(t[i].First == static_cast<uint8_t>(atoi(f[0].c_str())));
    }
  } else {
    LoggerTableEntry l[cap];
    int got = srv_GetLoggerTable(".", "*,6", l, cap);
    if (e.result == -1) {
      FUZZ_CHECK(got == -1);
      return;
    }
    if (e.result <= 0) {
      FUZZ_CHECK(got == e.result);
      return;
    }
    if (!Records(text, e.result, cap, 5, &recs)) {
      FUZZ_CHECK(got == -1 && errno == OS_ERROR_INVALID_DATA);
      return;
    }
    FUZZ_CHECK(got == static_cast<int>(recs.size()));
    for (size_t i = 0; i < recs.size(); ++i) {
      FUZZ_CHECK(l[i].Name == Cut(recs[i][0].c_str(), SRV_LOGGER_ENTRY_NAME_MAX));
      FUZZ_CHECK(l[i].Fifth == atoi(recs[i][4].c_str()));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::Folder config = fuzz::ConfigFolder();
  fuzz::WriteFile(config.linux + "/DATPROC.TXT", kTable, sizeof kTable - 1);
  SimRequestSpec spec;
  spec.answer = [](const std::string &, std::string *reply) {
    std::lock_guard<std::mutex> g(g_lock);
    *reply = g_reply;
    return true;
  };
  std::string why;
  static SimRequestServer *server = sim_StartRequestServer(spec, &why);
  if (!server) fprintf(stderr, "no request server: %s\n", why.c_str());
  FUZZ_CHECK(server != nullptr);
  // Its threads end before the leak check at exit looks at what they hold.
  atexit([] { sim_StopRequestServer(server); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  std::string bytes(reinterpret_cast<const char *>(data) + 1, size - 1);
  {
    std::lock_guard<std::mutex> g(g_lock);
    g_reply = bytes;
  }
  const uint8_t which = data[0] % 6;
  if (which < 3) {
    Lists(which, bytes);
    return 0;
  }
  if (which == 3) {
    char name[40];
    memset(name, 0x5a, sizeof name);
    Expected e = ResultOf(bytes, SRV_RESULT_REPLY);
    int got = srv_GetLoggerName(".", 3, name, sizeof name);
    FUZZ_CHECK(got == e.result);
    std::string text = bytes.c_str();
    size_t comma = text.find(',');
    std::string want = e.result == 1 ? Cut(comma == std::string::npos ? "" : text.substr(comma + 1).c_str(), SRV_LOGGER_NAME_MAX) : "";
    FUZZ_CHECK(name == want);
    return 0;
  }
  // A result with buffers of any size, from a terminator alone up.
  uint32_t capacity = which == 4 ? 1 + static_cast<uint32_t>(size % 64) : static_cast<uint32_t>(SRV_RESULT_REPLY);
  std::vector<char> reply(capacity);
  uint32_t length = capacity;
  Expected e = ResultOf(bytes, capacity);
  xml_ClearError();
  errno = 0;
  int got = srv_Request(".", "CP,TNWLL,I", reply.data(), &length);
  FUZZ_CHECK(got == e.result);
  if (got == -1) FUZZ_CHECK(errno == e.error && static_cast<int>(os_GetLastError()) == e.error);
  FUZZ_CHECK(length < capacity && reply[length] == '\0');
  if (got == -1 && e.error == OS_ERROR_XML_PARSE_ERROR) FUZZ_CHECK(xml_GetError() < 0);
  return 0;
}
