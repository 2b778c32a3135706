#include "framework/shm/shm_areas.h"

#include <cstdio>

#include "framework/shm/shm_segment.h"
#include "framework/shm/shm_tables.h"

// Segment names never follow the process locale.
static char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

static void *OpenArea(const char *code, const char *suffix, ShmAreaKind kind) {
  if (!code || !code[0] || !code[1]) return nullptr;
  // A known code has its data area opened and cached by the lookup itself.
  int32_t index = shm_FindDirectoryIndex(code);
  if (index >= 0)
    if (void *cached = shm_DirectoryArea(index, kind)) return cached;
  char name[SHM_NAME_MAX + 1];
  snprintf(name, sizeof name, "dm_%c%c%s", Upper(code[0]), Upper(code[1]), suffix);
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

float *shm_AreaValues(void *dataArea) {
  ChannelAreaHeader *h = shm_AreaHeader(dataArea);
  if (h->entryWidth != 8) return nullptr;
  return reinterpret_cast<float *>(shm_AreaStatusWords(dataArea) + h->count);
}

uint8_t *shm_AreaDescriptions(void *dataArea) {
  ChannelAreaHeader *h = shm_AreaHeader(dataArea);
  int64_t need = static_cast<int64_t>(h->entryWidth + CHAN_DESCRIPTION_BLOCK) * h->count + sizeof(ChannelAreaHeader);
  if (shm_DataLength(dataArea) < need) return nullptr;
  return reinterpret_cast<uint8_t *>(h) + sizeof(ChannelAreaHeader) + static_cast<size_t>(h->count) * h->entryWidth;
}

uint8_t *shm_AreaRecords(void *confArea) { return shm_Payload(confArea); }

// Rows round up: a count that is no multiple of 8 still has a bit for every channel.
uint32_t shm_EventRowSize(uint16_t channelCount) { return (channelCount + 7u) / 8u; }

uint8_t *shm_EventRow(void *eventArea, uint16_t channelCount, int row) {
  if (!eventArea || row < 0) return nullptr;
  int64_t at = static_cast<int64_t>(row) * shm_EventRowSize(channelCount);
  if (at + shm_EventRowSize(channelCount) > shm_DataLength(eventArea)) return nullptr;
  return shm_Payload(eventArea) + at;
}

