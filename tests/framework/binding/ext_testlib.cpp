// A stand-in extension library. Every copy tells who it is (marker and file)
// and logs its loading and unloading; the full variant exports every optional
// entry point with a behaviour the tests can see.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "framework/binding/ext_block.h"
#include "record/rec_type.h"

#define TL_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

void Log(const char *what) {
  const char *file = getenv("EXT_TEST_LOG");
  if (!file) return;
  if (FILE *f = fopen(file, "a")) {
    fprintf(f, "%s %s\n", what, TESTLIB_MARKER);
    fclose(f);
  }
}

__attribute__((constructor)) void Loaded() { Log("load"); }
__attribute__((destructor)) void Unloaded() { Log("unload"); }

}  // namespace

TL_EXPORT const char *TestLib_Marker(void) { return TESTLIB_MARKER; }

TL_EXPORT const char *TestLib_Path(void) {
  Dl_info info;
  return dladdr(reinterpret_cast<void *>(&TestLib_Marker), &info) ? info.dli_fname : "";
}

#ifdef TESTLIB_FULL
namespace {
// Only their addresses matter to the tests.
const RecordType kConfigType = {}, kExtraType = {}, kHwType = {}, kChanExtraType = {};
unsigned char g_scratch[64];
}  // namespace

TL_EXPORT const RecordType *TestLib_Type(int which) {
  const RecordType *types[] = {&kConfigType, &kExtraType, &kHwType, &kChanExtraType};
  return types[which];
}
TL_EXPORT void *TestLib_Scratch(void) { return g_scratch; }

TL_EXPORT const RecordType *Ex_Get_Config_Type(const void *, uint32_t) { return &kConfigType; }
TL_EXPORT void Ex_Decorate_Config(ExtBlock *parsed, void *work) {
  const unsigned char *from = static_cast<const unsigned char *>(parsed->data);
  for (uint32_t i = 0; i < parsed->size; ++i) static_cast<unsigned char *>(work)[i] = static_cast<unsigned char>(from[i] + 1);
}
TL_EXPORT uint32_t Ex_Decorated_Config_Size(uint32_t size) { return size + 8; }
// Hands back a block of its own, as an entry point may.
TL_EXPORT void Ex_Undecorate_Config(ExtBlock *block) {
  unsigned char *copy = static_cast<unsigned char *>(malloc(block->size));
  for (uint32_t i = 0; i < block->size; ++i) copy[i] = static_cast<unsigned char>(static_cast<unsigned char *>(block->data)[i] ^ 0xFF);
  block->data = copy;
  block->allocated = 1;
}
TL_EXPORT void Ex_Get_Config_Extra_FileName(void) {}
TL_EXPORT uint32_t Ex_Get_Config_Extra_FileOffset(const void *, uint32_t) { return 100; }
TL_EXPORT const RecordType *Ex_Get_Config_Extra_Type(const void *, uint32_t, const void *, uint32_t) { return &kExtraType; }
TL_EXPORT void Ex_Decorate_Config_Extra(const void *, uint32_t, ExtBlock *b) { static_cast<char *>(b->data)[0] = 'D'; }
TL_EXPORT void Ex_Undecorate_Config_Extra(const void *, uint32_t, ExtBlock *b) { static_cast<char *>(b->data)[0] = 'U'; }
TL_EXPORT int32_t Ex_Validate_Device(const char *present, const void *, char *error, int32_t size) {
  if (strstr(present, ",ScanRate,")) return 0;
  snprintf(error, static_cast<size_t>(size), "<ScanRate> Required");
  return -1;
}
TL_EXPORT int32_t Ex_Validate_Device_Extra(const char *, const void *, const void *, uint32_t, char *error, int32_t size) {
  snprintf(error, static_cast<size_t>(size), "extra block refused");
  return -1;
}
TL_EXPORT void Ex_DoXml(void) {}
TL_EXPORT void Ex_Get_Config_Port(const char *device, int32_t size, char *port) {
  snprintf(port, static_cast<size_t>(size), "COM%zu:", strlen(device));
}
TL_EXPORT const RecordType *Ex_Get_Channel_Hw_Type(int32_t kind, int32_t, const void *) {
  return kind == 3 ? nullptr : &kHwType;
}
TL_EXPORT void Ex_Decorate_Channel_Hw(int32_t, int32_t, ExtBlock *b) { static_cast<unsigned char *>(b->data)[188] = 0xDC; }
TL_EXPORT void *Ex_Undecorate_Channel_Hw(int32_t, int32_t channel, ExtBlock *b) {
  unsigned char *copy = static_cast<unsigned char *>(malloc(b->size));
  memcpy(copy, b->data, b->size);
  copy[188] = static_cast<unsigned char>(0xE0 + channel);
  b->data = copy;
  b->allocated = 1;
  return copy;
}
TL_EXPORT void Ex_Get_Channel_Extra_FileName(void) {}
TL_EXPORT void Ex_Get_Channel_Extra_FileOffset(void) {}
TL_EXPORT const RecordType *Ex_Get_Channel_Extra_Type(int32_t, int32_t, const void *) { return &kChanExtraType; }
TL_EXPORT uint32_t Ex_Get_Channel_Extra_Size(int32_t kind, int32_t, const void *, const void *) {
  return 12 + static_cast<uint32_t>(kind);
}
TL_EXPORT void *Ex_Get_Channel_Extra_Struct(int32_t) { return g_scratch; }
TL_EXPORT void Ex_Decorate_Channel_Extra(int32_t, int32_t, const void *, ExtBlock *b) { static_cast<char *>(b->data)[0] = 'd'; }
TL_EXPORT void Ex_Undecorate_Channel_Extra(int32_t, int32_t, const void *, ExtBlock *b) { static_cast<char *>(b->data)[0] = 'u'; }
TL_EXPORT int32_t Ex_Validate_Chan(const char *, const void *record, char *error, int32_t size) {
  if (static_cast<const unsigned char *>(record)[24] != 9) return 0;
  snprintf(error, static_cast<size_t>(size), "channel kind 9 refused");
  return -1;
}
TL_EXPORT int32_t Ex_Validate_Chan_Extra(const char *, const void *, const void *, uint32_t remaining, char *error,
                                         int32_t size) {
  if (remaining >= 4) return 0;
  snprintf(error, static_cast<size_t>(size), "only %u bytes left", remaining);
  return -1;
}
TL_EXPORT int32_t Ex_ValidateChanWithConfig(void *a1, void *, void *, void *, void *, void *, void *a7, char *error,
                                            int32_t size) {
  if (a1 == a7) return 0;
  snprintf(error, static_cast<size_t>(size), "channel does not suit the device");
  return -1;
}
TL_EXPORT int32_t Ex_Get_Mixed_Channel_Type(void) { return 1; }
#endif
