#include "framework/shm/shm_areas.h"

#include <cctype>
#include <cstdio>

#include "framework/shm/shm_segment.h"
#include "framework/shm/shm_tables.h"

static void *OpenArea(const char *code, const char *suffix, ShmAreaKind kind) {
  if (!code || !code[0] || !code[1]) return nullptr;
  // A known code has its data area opened and cached by the lookup itself.
  int32_t index = shm_FindDirectoryIndex(code);
  if (index >= 0)
    if (void *cached = shm_DirectoryArea(index, kind)) return cached;
  char name[SHM_NAME_MAX + 1];
  snprintf(name, sizeof name, "dm_%c%c%s", toupper(static_cast<unsigned char>(code[0])),
           toupper(static_cast<unsigned char>(code[1])), suffix);
  void *seg = shm_OpenSegment(name);
  if (seg && index >= 0) shm_SetDirectoryArea(index, kind, seg);
  return seg;
}

void *shm_OpenDataArea(const char *code) { return OpenArea(code, "", SHM_AREA_DATA); }
void *shm_OpenConfArea(const char *code) { return OpenArea(code, "_conf", SHM_AREA_CONF); }
void *shm_OpenEventArea(const char *code) { return OpenArea(code, "_event", SHM_AREA_EVENT); }

ChannelAreaHeader *shm_AreaHeader(void *dataArea) {
  return reinterpret_cast<ChannelAreaHeader *>(shm_Payload(dataArea));
}

uint32_t *shm_AreaStatusWords(void *dataArea) {
  return reinterpret_cast<uint32_t *>(shm_Payload(dataArea) + sizeof(ChannelAreaHeader));
}

uint8_t *shm_AreaRecords(void *confArea) { return shm_Payload(confArea); }

