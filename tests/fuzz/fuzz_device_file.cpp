// The device file readers on any files: the binary "config" (AutoEnable, then
// the device record from byte 1) and "saveconfig" (the saved-value settings),
// and "config.xml" read through an extension library that supports XML.
//
// Binary: a load succeeds exactly when every file holds what is asked of it,
// and gives those bytes. XML: a failure is an XML error with its text; what
// loads is written back by the system's writer, loaded again and written once
// more, and the two written files are the same.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "framework/config/cfg_device.h"
#include "framework/config/cfg_load.h"
#include "framework/xml/xml_error.h"
#include "platform/os_error.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/fuzz_world.h"

namespace {

const uint32_t kRecord = 704;

void Binary(const uint8_t *data, size_t size) {
  static const fuzz::Folder dev = fuzz::DeviceFolder("plain_1");
  if (size < 3) return;
  const uint8_t asks = data[0];
  size_t n = size - 3, split = std::min<size_t>(n, ((static_cast<size_t>(data[1]) << 8) | data[2]) % 1024);
  const uint8_t *config = data + 3, *save = data + 3 + split;
  size_t saveSize = n - split;
  FUZZ_CHECK(fuzz::WriteFile(dev.linux + "/config", config, split));
  FUZZ_CHECK(fuzz::WriteFile(dev.linux + "/saveconfig", save, saveSize));
  uint8_t record[kRecord], autoEnable = 0x5a, saveOutputs = 0x5a, byTag = 0x5a;
  uint32_t rate = 0x5a5a5a5a;
  bool wantRecord = asks & 1, wantAuto = asks & 2, wantSettings = asks & 4;
  errno = 0;
  CfgLoadRequest req;
  if (wantRecord) {
    req.config = record;
    req.configSize = kRecord;
  }
  if (wantAuto) req.autoEnable = &autoEnable;
  if (wantSettings) {
    req.saveOutputs = &saveOutputs;
    req.saveByTag = &byTag;
    req.saveRate = &rate;
  }
  int rc = cfg_LoadConfigFiles(dev.win.c_str(), req);
  // An empty "config" (as one just made) reads as AutoEnable off.
  bool fits = (!wantSettings || saveSize >= CFG_SAVECONFIG_SIZE) && (!wantRecord || split >= 1 + kRecord);
  if (!fits) {
    FUZZ_CHECK(rc == -1);
    FUZZ_CHECK(errno == OS_ERROR_HANDLE_EOF);
    return;
  }
  FUZZ_CHECK(rc == 0);
  if (wantAuto) FUZZ_CHECK(autoEnable == (split ? config[0] : 0));
  if (wantRecord) FUZZ_CHECK(memcmp(record, config + 1, kRecord) == 0);
  if (wantSettings) {
    uint32_t r;
    memcpy(&r, save + CFG_SAVERATE_OFFSET, 4);
    FUZZ_CHECK(saveOutputs == save[0] && byTag == save[1] && rate == r);
  }
}

struct Loaded {
  uint8_t record[kRecord];
  uint8_t autoEnable, saveOutputs, byTag;
  uint32_t rate;
};

int Load(const fuzz::Folder &dev, Loaded *l) {
  memset(l, 0x5a, sizeof *l);
  return cfg_LoadConfigFiles(dev.win.c_str(), {.config = l->record,
                                              .configSize = kRecord,
                                              .autoEnable = &l->autoEnable,
                                              .saveOutputs = &l->saveOutputs,
                                              .saveByTag = &l->byTag,
                                              .saveRate = &l->rate});
}

int Write(const fuzz::Folder &dev, const Loaded &l) {
  const int32_t rate = static_cast<int32_t>(l.rate);
  return cfg_WriteConfigXml(nullptr, dev.win.c_str(), l.record, kRecord, nullptr, 0, &l.autoEnable, &l.saveOutputs,
                            &l.byTag, &rate);
}

void Xml(const uint8_t *data, size_t size) {
  fuzz::UseXmlLibrary();
  static const fuzz::Folder in = fuzz::DeviceFolder("xmltn_1"), out = fuzz::DeviceFolder("xmltn_2");
  FUZZ_CHECK(fuzz::WriteFile(in.linux + "/config.xml", data, size));
  Loaded first, second;
  xml_ClearError();
  errno = 0;
  int rc = Load(in, &first);
  if (rc != 0) {
    fuzz::CheckXmlFailure(rc);
    return;
  }
  std::remove((out.linux + "/config.xml").c_str());
  FUZZ_CHECK(Write(out, first) == 0);
  std::string written = fuzz::ReadFile(out.linux + "/config.xml");
  FUZZ_CHECK(Load(out, &second) == 0);
  FUZZ_CHECK(first.autoEnable == second.autoEnable && first.saveOutputs == second.saveOutputs &&
             first.byTag == second.byTag && first.rate == second.rate);
  std::remove((out.linux + "/config.xml").c_str());
  FUZZ_CHECK(Write(out, second) == 0);
  fuzz::CheckSameWriting(written, out.linux + "/config.xml");
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
