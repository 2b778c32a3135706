// The channel file readers on any file: the binary file ("ai", "di": a stamp,
// then 216 bytes a channel) and the XML copy ("ai.xml") read through an
// extension library that supports XML.
//
// Binary: a read succeeds exactly when the file holds the channels asked for,
// and gives their bytes. XML: a failure is an XML error with its text; what
// reads is written back by the system's writer, read again and written once
// more, and the two written files are the same.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "framework/config/chan_files.h"
#include "framework/shm/shm_tables.h"
#include "framework/xml/xml_error.h"
#include "platform/os_error.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_world.h"

namespace {

void Binary(const uint8_t *data, size_t size) {
  static const fuzz::Folder dev = fuzz::DeviceFolder("plain_1");
  int first = size > 0 ? data[0] % 4 : 0, count = size > 1 ? data[1] % 5 : 1;
  const uint8_t *file = data + (size > 2 ? 2 : size);
  size_t n = size > 2 ? size - 2 : 0;
  FUZZ_CHECK(fuzz::WriteFile(dev.linux + "/di", file, n));
  std::vector<ChannelRecord> r(static_cast<size_t>(count) + 1);
  memset(r.data(), 0x77, r.size() * sizeof r[0]);
  errno = 0;
  int rc = chan_ReadChannels(dev.win.c_str(), IO_DI, r.data(), first, count, nullptr, 0, nullptr);
  size_t need = 8 + static_cast<size_t>(first + count) * sizeof(ChannelRecord);
  if (n >= need || count == 0) {
    FUZZ_CHECK(rc == 0);
    FUZZ_CHECK(count == 0 || memcmp(r.data(), file + 8 + first * sizeof(ChannelRecord), count * sizeof(ChannelRecord)) == 0);
  } else {
    FUZZ_CHECK(rc == -1);
    FUZZ_CHECK(errno == OS_ERROR_HANDLE_EOF);
    FUZZ_CHECK(r[0].raw[0] == 0x77);  // nothing half read
  }
  FUZZ_CHECK(r[static_cast<size_t>(count)].raw[0] == 0x77 && r[static_cast<size_t>(count)].raw[215] == 0x77);
}

void Xml(const uint8_t *data, size_t size) {
  fuzz::UseXmlLibrary();
  static const fuzz::Folder in = fuzz::DeviceFolder("xmltn_1"), out = fuzz::DeviceFolder("xmltn_2");
  int kind = size > 0 && (data[0] & 1) ? IO_DI : IO_AI;
  int first = size > 0 ? (data[0] >> 1) % 3 : 0, count = size > 1 ? 1 + data[1] % 4 : 1;
  const uint8_t *text = data + (size > 2 ? 2 : size);
  size_t n = size > 2 ? size - 2 : 0;
  std::string name = std::string("/") + chan_KindShortName(kind);
  FUZZ_CHECK(fuzz::WriteFile(in.linux + name + ".xml", text, n));
  std::vector<ChannelRecord> r(static_cast<size_t>(count));
  xml_ClearError();
  errno = 0;
  int rc = chan_ReadChannels(in.win.c_str(), kind, r.data(), first, count, nullptr, 0, nullptr);
  if (rc != 0) {
    fuzz::CheckXmlFailure(rc);
    return;
  }
  // What was read writes and reads back the same way.
  std::vector<ChannelRecord> again(static_cast<size_t>(count));
  FUZZ_CHECK(chan_RewriteChannels(nullptr, out.win.c_str(), kind, r.data(), first, count, nullptr, 0, nullptr) == 0);
  std::string written = fuzz::ReadFile(out.linux + name + ".xml");
  FUZZ_CHECK(chan_ReadChannels(out.win.c_str(), kind, again.data(), first, count, nullptr, 0, nullptr) == 0);
  FUZZ_CHECK(chan_RewriteChannels(nullptr, out.win.c_str(), kind, again.data(), first, count, nullptr, 0, nullptr) == 0);
  fuzz::CheckSameWriting(written, out.linux + name + ".xml");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::Root();
  fuzz::ConfigFolder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  if (data[0] & 0x80) Xml(data + 1, size - 1);
  else Binary(data + 1, size - 1);
  return 0;
}
