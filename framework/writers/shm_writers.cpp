#include "framework/writers/shm_writers.h"

#include <cerrno>
#include <cstring>

#include "framework/alarms/alm_alarms.h"
#include "framework/config/chan_record.h"
#include "framework/notify/ntf_notify.h"
#include "framework/shm/shm_areas.h"
#include "framework/shm/shm_segment.h"
#include "framework/shm/shm_tables.h"
#include "framework/writers/shm_write_eval.h"
#include "platform/os_error.h"

namespace {

int g_digitalNotifyMode, g_analogNotifyMode;

struct Target {
  void *area;
  ChannelAreaHeader *header;
  uint32_t *status;
  float *values;
  const ChannelRecord *table;
  uint8_t *descriptions;
  int cls;
};

// The area of the code with its records; the range must lie inside it.
bool Open(const char *code, int first, int last, bool analogue, Target *t) {
  t->area = shm_OpenDataArea(code);
  t->cls = t->area ? shm_GetCodeClass(code) : -1;
  void *conf = t->area ? shm_OpenConfArea(code) : nullptr;
  if (!t->area || !conf || t->cls == -1) return errno = OS_ERROR_INVALID_PARAMETER, false;
  t->header = shm_AreaHeader(t->area);
  int n = t->header->count;
  if (first <= 0 || last <= 0 || first > n || last > n || first > last) return errno = OS_ERROR_INVALID_PARAMETER, false;
  int width = t->header->entryWidth;
  if (analogue && width != 8) return errno = OS_ERROR_INVALID_PARAMETER, false;
  if (width < 4 || shm_DataLength(t->area) < static_cast<int64_t>(sizeof(ChannelAreaHeader)) + int64_t{n} * width ||
      shm_DataLength(conf) < int64_t{n} * CHAN_RECORD_SIZE)
    return errno = OS_ERROR_INVALID_PARAMETER, false;
  t->status = shm_AreaStatusWords(t->area);
  t->values = shm_AreaValues(t->area);
  t->table = reinterpret_cast<const ChannelRecord *>(shm_AreaRecords(conf));
  t->descriptions = shm_AreaDescriptions(t->area);
  return true;
}

void Begin(const Target &t, int lock) {
  if (lock) shm_Lock(t.area);
  if (t.cls == 1) {
    shm_AddPending(t.area);
    alm_BeginScanEvents(t.header);
  }
}

// Evaluated writes end their event pass and tell the area's waiters; the
// others leave the evaluation to the area's owner.
void End(const Target &t, const char *code, int lock, int notifyMode) {
  if (t.cls == 1) {
    alm_EndScanEvents();
    if (notifyMode) shm_NotifyChangeOthers(t.area, 0);
    else shm_NotifyChange(t.area, 0);
  } else {
    int64_t owner = shm_GetCodeOwnerPid(code);
    if (owner > 0) ntf_Post(static_cast<uint32_t>(owner), NTF_OUTPUT_WRITTEN);
  }
  if (lock) shm_Unlock(t.area);
}

}  // namespace

int shm_WriteDigitalOutputs(int force, int lock, const char *code, int first, int last, const uint32_t *status,
                            const char *computer, const char *user) {
  Target t;
  if (!status || !Open(code, first, last, false, &t)) return -1;
  Begin(t, lock);
  AlmNames names{computer, user};
  for (int ch = first; ch <= last; ++ch) {
    int i = ch - 1;
    const ChannelRecord *r = &t.table[i];
    if (chan_TypeByte(r) != IO_DO) continue;
    uint32_t &word = t.status[i];
    uint32_t value = status[ch - first] & 1u;
    bool enabled = chan_FlagWord(r) & CHAN_DW_ENABLE;
    if (!force && enabled && !(word & CST_BAD) && (word & CST_VALUE) == value) continue;
    if (t.cls != 1 || (!force && (word & CST_BAD)))
      word = (word & ~CST_VALUE) | value;
    else
      word = shm_EvaluateDigitalOutput(i, r, word, value, force != 0, names);
  }
  End(t, code, lock, g_digitalNotifyMode);
  return 0;
}

int shm_WriteDigital(const char *code, int first, int last, const uint32_t *values) {
  return shm_WriteDigitalOutputs(0, 1, code, first, last, values, alm_ComputerName(), alm_UserName());
}

int shm_WriteDigitalAs(const char *code, int first, int last, const uint32_t *values, const char *computer,
                       const char *user) {
  return shm_WriteDigitalOutputs(0, 1, code, first, last, values, computer, user);
}

int shm_ForceDigital(const char *code, int first, int last, const uint32_t *values) {
  return shm_WriteDigitalOutputs(1, 1, code, first, last, values, alm_ComputerName(), alm_UserName());
}

int shm_WriteDigitalUnlocked(const char *code, int first, int last, const uint32_t *values) {
  return shm_WriteDigitalOutputs(0, 0, code, first, last, values, alm_ComputerName(), alm_UserName());
}

void shm_SetDigitalNotifyMode(int flag) { g_digitalNotifyMode = flag; }

int shm_WriteAnalogOutputs(int force, int lock, const char *code, int first, int last, const float *values,
                           const char *computer, const char *user) {
  Target t;
  if (!values || !Open(code, first, last, true, &t)) return -1;
  Begin(t, lock);
  AlmNames names{computer, user};
  // The processor's flag byte asks for the value in the description blocks, where the area has them.
  bool describe = t.descriptions && shm_GetCodeFlag(code) != 0;
  for (int ch = first; ch <= last; ++ch) {
    int i = ch - 1;
    const ChannelRecord *r = &t.table[i];
    if (chan_TypeByte(r) != IO_AO) continue;
    uint32_t &word = t.status[i];
    float &stored = t.values[i];
    float value = values[ch - first];
    bool enabled = chan_FlagWord(r) & CHAN_AW_ENABLE;
    if (!force && enabled && !(word & CST_BAD) && value == stored) continue;
    if (t.cls == 1 && (force || !(word & CST_BAD))) {
      word = shm_EvaluateAnalogOutput(i, r, word, stored, value, force != 0, names);
      if (describe) {
        uint8_t *block = t.descriptions + static_cast<size_t>(i) * CHAN_DESCRIPTION_BLOCK;
        uint32_t kind = 4;
        memcpy(block, &kind, sizeof kind);
        memcpy(block + 8, &value, sizeof value);
      }
    }
    stored = value;
  }
  End(t, code, lock, g_analogNotifyMode);
  return 0;
}

int shm_WriteAnalog(const char *code, int first, int last, const float *values) {
  return shm_WriteAnalogOutputs(0, 1, code, first, last, values, alm_ComputerName(), alm_UserName());
}

int shm_WriteAnalogAs(const char *code, int first, int last, const float *values, const char *computer,
                      const char *user) {
  return shm_WriteAnalogOutputs(0, 1, code, first, last, values, computer, user);
}

int shm_ForceAnalog(const char *code, int first, int last, const float *values) {
  return shm_WriteAnalogOutputs(1, 1, code, first, last, values, alm_ComputerName(), alm_UserName());
}

int shm_WriteAnalogUnlocked(const char *code, int first, int last, const float *values) {
  return shm_WriteAnalogOutputs(0, 0, code, first, last, values, alm_ComputerName(), alm_UserName());
}

void shm_SetAnalogNotifyMode(int flag) { g_analogNotifyMode = flag; }
