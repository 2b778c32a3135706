// Writing channel records: binary file, XML copy, change history, signal.

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "framework/binding/ext_binding.h"
#include "framework/config/cfg_bound.h"
#include "framework/config/cfg_device.h"
#include "framework/config/cfg_history.h"
#include "framework/config/cfg_path.h"
#include "framework/config/cfg_xml.h"
#include "framework/config/chan_files.h"
#include "framework/config/chan_types.h"
#include "framework/registry/cfg_switches.h"
#include "framework/shm/shm_areas.h"
#include "framework/shm/shm_tables.h"
#include "platform/os_codepage.h"
#include "platform/os_error.h"
#include "record/record.h"

namespace {

std::string Text(const RecordType *type, const char *name, const void *value) {
  char *t = structs_FieldToText(type, name, value, TYPED_MEM_TEMP);
  std::string s = t ? t : "";
  if (t) typed_mem_Release(TYPED_MEM_TEMP, t);
  return s;
}

void Line(const char *user, int channel, const char *name, const std::string &before, const std::string &after) {
  if (os_CompareNoCase(before.c_str(), after.c_str()) != 0)
    cfg_WriteHistoryLine(user, channel, name, before.c_str(), after.c_str());
}

// One line per field whose text changed. A channel that changes layout is
// compared field by field under each field's own layout, so its change of
// kind shows and texts common to both layouts only show when they changed.
void ChannelHistory(const ExtEntryPoints *eps, const char *user, int c, const ChannelRecord &oldRecord,
                    const ChannelRecord &newRecord) {
  ChannelRecord a = oldRecord, b = newRecord;
  int ka = chan_TypeByte(&a), kb = chan_TypeByte(&b);
  if (eps->Get_Channel_Hw_Type) {
    ext_UndecorateChannelHw(eps, ka, c, &a);
    ext_UndecorateChannelHw(eps, kb, c, &b);
  }
  const RecordType *newLayout = chan_LayoutType(kb, ext_ChannelHwType(eps, kb, c, &b));
  bool same = (ka & 1) == (kb & 1);
  const RecordType *oldLayout = same ? newLayout : chan_LayoutType(ka, ext_ChannelHwType(eps, ka, c, &a));
  ChannelRecord cleared;
  memset(&cleared, 0, sizeof cleared);
  cleared.raw[CHAN_TYPE_OFFSET] = static_cast<uint8_t>(kb);
  CfgNames names;
  if (!cfg_ListNames(newLayout, &b, &names)) return;
  for (int i = 0; i < names.count; ++i) {
    const char *name = names.names[i];
    void *at = &a;
    std::string before = same || structs_LocateField(oldLayout, name, &at, 0) ? Text(oldLayout, name, &a)
                                                                              : Text(newLayout, name, &cleared);
    Line(user, c + 1, name, before, Text(newLayout, name, &b));
  }
}

void ExtraHistory(const ExtEntryPoints *eps, const char *user, int k, int c, const ChannelRecord &record,
                  const uint8_t *oldBlock, uint32_t oldSize, const uint8_t *newBlock, uint32_t newSize) {
  const RecordType *type = ext_ChannelExtraType(eps, k, c, &record);
  if (!type) return;
  size_t room = std::max<size_t>({oldSize, newSize, type->size});
  std::vector<uint8_t> a(room, 0), b(room, 0);
  memcpy(a.data(), oldBlock, oldSize);
  memcpy(b.data(), newBlock, newSize);
  ext_UndecorateChannelExtra(eps, k, c, &record, a.data(), oldSize);
  ext_UndecorateChannelExtra(eps, k, c, &record, b.data(), newSize);
  CfgNames names;
  if (!cfg_ListNames(type, b.data(), &names)) return;
  for (int i = 0; i < names.count; ++i)
    Line(user, c + 1, names.names[i], Text(type, names.names[i], a.data()), Text(type, names.names[i], b.data()));
}

struct History {
  bool have = false;
  std::vector<ChannelRecord> records;
  std::vector<uint8_t> extra;  // sized as the read that fills it
};

void WriteHistory(const ExtEntryPoints *eps, const char *user, const std::string &dir, int kind,
                  const ChannelRecord *records, int first, int count, const History &old, const void *extra,
                  uint32_t extraSize) {
  bool extras = extra && !old.extra.empty() && ext_ChannelHasExtra(eps);
  bool changed = memcmp(old.records.data(), records, static_cast<size_t>(count) * CHAN_RECORD_SIZE) != 0 ||
                 (extras && memcmp(old.extra.data(), extra, extraSize) != 0);
  if (!changed || !cfg_OpenHistoryIn(dir.c_str(), kind + 1, ext_DoesXml(eps))) return;
  const uint8_t *oldAt = old.extra.data(), *newAt = static_cast<const uint8_t *>(extra);
  uint32_t oldLeft = extras ? static_cast<uint32_t>(old.extra.size()) : 0, newLeft = extras ? extraSize : 0;
  for (int i = 0; i < count; ++i) {
    int c = first + i;
    if (memcmp(&old.records[i], &records[i], CHAN_RECORD_SIZE) != 0)
      ChannelHistory(eps, user, c, old.records[i], records[i]);
    if (!extras) continue;
    int k = chan_TypeByte(&records[i]);
    uint32_t oldSize =
        std::min(ext_ChannelExtraSize(eps, chan_TypeByte(&old.records[i]), c, &old.records[i], oldAt), oldLeft);
    uint32_t newSize = std::min(ext_ChannelExtraSize(eps, k, c, &records[i], newAt), newLeft);
    if (oldSize != newSize || memcmp(oldAt, newAt, newSize) != 0)
      ExtraHistory(eps, user, k, c, records[i], oldAt, oldSize, newAt, newSize);
    oldAt += oldSize;
    oldLeft -= oldSize;
    newAt += newSize;
    newLeft -= newSize;
  }
  cfg_CloseHistory();
}

int WriteBinary(const std::string &dir, int kind, const ChannelRecord *records, int first, int count,
                const void *extra, uint32_t extraSize, const char *extraFile) {
  if (records) {
    std::string file = cfg_JoinPath(dir, chan_KindShortName(kind));
    TimeStamp stamp;
    tm_Now(&stamp);
    stamp.us = 0;
    if (cfg_WriteFileAt(file, 0, &stamp, sizeof stamp) != 0 ||
        cfg_WriteFileAt(file, sizeof stamp + static_cast<uint64_t>(first) * CHAN_RECORD_SIZE, records,
                        static_cast<size_t>(count) * CHAN_RECORD_SIZE) != 0)
      return -1;
  }
  if (extra && extraFile && *extraFile && cfg_WriteFileAt(cfg_JoinPath(dir, extraFile), 0, extra, extraSize) != 0)
    return -1;
  return 0;
}

}  // namespace

int chan_WriteChannelFile(const char *user, const char *directory, int kind, const ChannelRecord *records, int first,
                          int count, const void *extra, uint32_t extraSize, const char *extraFile, int update) {
  if (kind < 0 || kind > 5 || first < 0 || count < 0) return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  std::string dir = cfg_AbsoluteDir(directory);
  OsModuleHandle module = ext_LoadExtension(dir.c_str());
  ExtEntryPoints eps;
  ext_BindEntryPoints(module, &eps);
  int rc = 0;
  History old;
  bool extraGiven = extra && extraSize && extraFile && *extraFile;
  if (records && count > 0 && cfg_HistoryEnabled()) {
    old.records.assign(static_cast<size_t>(count), ChannelRecord{});
    if (extraGiven) old.extra.assign(extraSize, 0);
    int read = chan_ReadChannelsBound(&eps, dir, kind, old.records.data(), first, count,
                                      extraGiven ? old.extra.data() : nullptr, extraGiven ? extraSize : 0, extraFile);
    if (read != 0 && errno == OS_ERROR_XML_PARSE_ERROR) rc = -1;
    old.have = read == 0;
  }
  int mode = cfg_WriteXmlMode(dir.c_str());
  bool xml = ext_DoesXml(&eps) && mode >= CFG_WRITE_BOTH;
  if (rc == 0 && !(ext_DoesXml(&eps) && mode == CFG_WRITE_XML))
    rc = WriteBinary(dir, kind, records, first, count, extra, extraSize, extraFile);
  uint32_t e = rc ? static_cast<uint32_t>(errno) : 0;
  if (rc == 0) {
    if (xml && records &&
        chan_WriteChannelsXmlBound(&eps, dir, kind, records, first, count, extra, extraSize, update) != 0) {
      rc = -1;
      e = static_cast<uint32_t>(errno);
    }
    // Announced once every file is written, so that the server reads them whole.
    cfg_TouchServerConfigOf(dir.c_str());
    if (rc == 0 && old.have) WriteHistory(&eps, user, dir, kind, records, first, count, old, extra, extraSize);
  }
  ext_FreeExtension(module);
  if (rc != 0) os_Fail(e);
  return rc;
}

int chan_WriteChannels(const char *user, const char *directory, int kind, const ChannelRecord *records, int first,
                       int count, const void *extra, uint32_t extraSize, const char *extraFile) {
  return chan_WriteChannelFile(user, directory, kind, records, first, count, extra, extraSize, extraFile, 1);
}

int chan_RewriteChannels(const char *user, const char *directory, int kind, const ChannelRecord *records, int first,
                         int count, const void *extra, uint32_t extraSize, const char *extraFile) {
  return chan_WriteChannelFile(user, directory, kind, records, first, count, extra, extraSize, extraFile, 0);
}

int chan_WriteChannelsHere(int kind, const ChannelRecord *records, int first, int count) {
  return chan_WriteChannels(nullptr, ".", kind, records, first, count, nullptr, 0, nullptr);
}
