// Minimal body until the alarm and event layer lands: values and the bad and
// analogue bits are written, no alarm or event is evaluated.
#include "framework/shm/shm_writers.h"

#include <cerrno>

#include "framework/config/chan_record.h"
#include "framework/notify/ntf_notify.h"
#include "framework/shm/shm_areas.h"
#include "framework/shm/shm_segment.h"
#include "framework/shm/shm_tables.h"
#include "platform/os_error.h"

int shm_WriteDigital(const char *code, int first, int last, const uint32_t *values) {
  void *area = shm_OpenDataArea(code);
  void *conf = shm_OpenConfArea(code);
  int cls = shm_GetCodeClass(code);
  if (!area || !conf || !values || cls == -1) return errno = OS_ERROR_INVALID_PARAMETER, -1;
  ChannelAreaHeader *h = shm_AreaHeader(area);
  if (first <= 0 || last <= 0 || first > h->count || last > h->count || first > last ||
      shm_DataLength(conf) < static_cast<int64_t>(h->count) * CHAN_RECORD_SIZE)
    return errno = OS_ERROR_INVALID_PARAMETER, -1;
  if (shm_Lock(area) != 0) return -1;
  if (cls == 1) shm_AddPending(area);
  uint32_t *status = shm_AreaStatusWords(area);
  const ChannelRecord *table = reinterpret_cast<const ChannelRecord *>(shm_AreaRecords(conf));
  for (int ch = first; ch <= last; ++ch) {
    const ChannelRecord *r = &table[ch - 1];
    if (chan_TypeByte(r) != CHAN_TYPE_DO) continue;
    uint32_t &word = status[ch - 1];
    uint32_t value = values[ch - first] & 1u;
    bool enabled = chan_FlagBit(r, CHAN_FLAG_ENABLE);
    if (enabled && !(word & CST_BAD) && (word & CST_VALUE) == value) continue;
    uint32_t next = (word & ~CST_VALUE) | value;
    // A bad channel, or an area its owner evaluates, gets the value only.
    if (cls == 1 && !(word & CST_BAD)) {
      next &= ~(CST_ANALOGUE | CST_BAD);
      if (!enabled) next |= CST_BAD;
    }
    word = next;
  }
  if (cls == 1) {
    shm_NotifyChange(area, 0);
  } else {
    int64_t owner = shm_GetCodeOwnerPid(code);
    if (owner > 0) ntf_Post(static_cast<uint32_t>(owner), NTF_OUTPUT_WRITTEN);
  }
  shm_Unlock(area);
  return 0;
}
