// Reading channel records: the XML copy where the driver supports it and the
// host reads XML, else the binary file.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "framework/binding/ext_binding.h"
#include "framework/config/cfg_bound.h"
#include "framework/config/cfg_path.h"
#include "framework/config/cfg_xml.h"
#include "framework/config/chan_files.h"
#include "framework/config/chan_types.h"
#include "framework/registry/cfg_switches.h"
#include "framework/shm/shm_areas.h"
#include "framework/shm/shm_tables.h"
#include "framework/xml/xml_error.h"
#include "platform/os_codepage.h"
#include "platform/os_error.h"

namespace {

bool ValidKind(int kind) { return kind >= 0 && kind <= 5; }

int ReadBinary(const std::string &dir, int kind, ChannelRecord *records, int first, int count, void *extra,
               uint32_t extraSize, const char *extraFile) {
  std::string path = cfg_JoinPath(dir, chan_KindShortName(kind));
  // Nothing half-read reaches the caller's records.
  std::vector<uint8_t> buf(static_cast<size_t>(count) * CHAN_RECORD_SIZE);
  if (cfg_ReadFileAt(path, 8 + static_cast<uint64_t>(first) * CHAN_RECORD_SIZE, buf.data(), buf.size()) != 0)
    return -1;
  if (!buf.empty()) memcpy(records, buf.data(), buf.size());
  if (extra && extraSize && extraFile && *extraFile) {
    memset(extra, 0, extraSize);
    if (cfg_ReadFileAt(cfg_JoinPath(dir, extraFile), 0, extra, extraSize) != 0 && errno != OS_ERROR_FILE_NOT_FOUND &&
        errno != OS_ERROR_HANDLE_EOF)
      return -1;
  }
  return 0;
}

int KindOfTypeText(const char *text, int fileKind) {
  if (!text) return fileKind;
  if (strcmp(text, "AI") == 0) return IO_AI;
  if (strcmp(text, "AO") == 0) return IO_AO;
  if (strcmp(text, "CI") == 0) return IO_CI;
  if (strcmp(text, "DI") == 0) return IO_DI;
  return IO_DO;
}

// The extra blocks of the channels, back to back in the caller's block.
struct ExtraCursor {
  uint8_t *at;
  uint32_t remaining;
  bool on;

  // Moves past a block of `size` bytes; false (XML error) when it does not fit.
  bool Skip(uint32_t size) {
    if (size > remaining) {
      char text[XML_TEXT_MAX];
      snprintf(text, sizeof text, "Channel extra block of %u bytes exceeds the %u left", size, remaining);
      xml_SetError(-1, text);
      return false;
    }
    at += size;
    remaining -= size;
    return true;
  }
};

void ReadExtra(const ExtEntryPoints *eps, XmlNode *channel, int k, int c, const ChannelRecord *record,
               ExtraCursor &cur, std::string &present) {
  const RecordType *type = ext_ChannelExtraType(eps, k, c, record);
  void *scratch = ext_ChannelExtraStruct(eps, k, cur.at);
  if (type) {
    if (scratch == cur.at && type->size > cur.remaining) {
      cur.Skip(type->size);
      return;
    }
    memset(scratch, 0, type->size);
    CfgNames names;
    if (!cfg_ListNames(type, scratch, &names)) return;
    for (int n = 0; n < names.count; ++n)
      if (!cfg_ReadField(channel, type, names.names[n], scratch, &present, "<%s>  %s", nullptr)) return;
  }
  ext_DecorateChannelExtra(eps, k, c, record, cur.at, cur.remaining);
  if (ext_ValidateChanExtra(eps, present.c_str(), record, cur.at, cur.remaining) != 0) return;
  cur.Skip(ext_ChannelExtraSize(eps, k, c, record, cur.at));
}

void ReadChannel(const ExtEntryPoints *eps, XmlNode *root, XmlNode *channel, int fileKind, int c,
                 ChannelRecord *out, ExtraCursor &cur) {
  ChannelRecord work;
  memset(&work, 0, sizeof work);
  std::string present = ",";
  XmlNode *typeNode = cfg_FindChild(channel, "Type");
  char *typeText = typeNode ? xml_getText(typeNode) : nullptr;
  int k = KindOfTypeText(typeText, fileKind);
  xml_FreeText(typeText);
  char section[XML_TEXT_MAX];
  snprintf(section, sizeof section, "%s Channel #%d", chan_KindShortName(k), c + 1);
  xml_SetErrorSection(section);
  // A record without a Type element takes the kind it is read as.
  work.raw[CHAN_TYPE_OFFSET] = static_cast<uint8_t>(k);
  const RecordType *layout = chan_LayoutType(k, ext_ChannelHwType(eps, k, c, &work));
  CfgNames names;
  if (!cfg_ListNames(layout, &work, &names)) return;
  for (int n = 0; n < names.count; ++n)
    if (!cfg_ReadField(channel, layout, names.names[n], &work, &present, " <%s> %s", nullptr)) return;
  ext_DecorateChannelHw(eps, k, c, &work);
  if (chan_CheckRequiredElements(present.c_str(), &work) != 0) return;
  if (ext_ValidateChan(eps, present.c_str(), &work) != 0) return;
  *out = work;
  if (cur.on) ReadExtra(eps, channel, k, c, out, cur, present);
  if (xml_GetError() >= 0) xml_RemoveChild(root, channel);
}

int ReadXml(const ExtEntryPoints *eps, const std::string &dir, const std::string &path, int kind,
            ChannelRecord *records, int first, int count, void *extra, uint32_t extraSize) {
  xml_SetErrorConfigName(cfg_LastComponent(dir).c_str());
  xml_SetErrorSection("");
  XmlDocument *doc = xml_CreateDocument();
  XmlNode *root = nullptr;
  if (xml_Load(doc, path.c_str()) == 0) {
    root = xml_GetRootElement(doc);
    char *name = root ? xml_getName(root) : nullptr;
    if (xml_GetError() >= 0 && (!name || strcmp(name, "Channels") != 0)) {
      root = nullptr;
      xml_SetError(-1, "Root Element <Channels> not found");
    }
    xml_FreeText(name);
  }
  ExtraCursor cur{static_cast<uint8_t *>(extra), extraSize, extra && extraSize && ext_ChannelHasExtra(eps)};
  for (int i = 0; i < count && xml_GetError() >= 0; ++i) {
    int c = first + i;
    char id[16];
    snprintf(id, sizeof id, "%d", c + 1);
    XmlNode *channel = xml_FindByAttribute(root, "Channel", "id", id);
    if (xml_GetError() < 0) break;
    if (!channel) {
      if (i == 0) {
        char text[XML_TEXT_MAX];
        snprintf(text, sizeof text, "Channel id=%s Not Found", id);
        xml_SetError(-1, text);
        break;
      }
      memset(&records[i], 0, sizeof records[i]);
      if (cur.on) {
        ext_DecorateChannelExtra(eps, kind, c, &records[i], cur.at, cur.remaining);
        cur.Skip(ext_ChannelExtraSize(eps, kind, c, &records[i], cur.at));
      }
      continue;
    }
    ReadChannel(eps, root, channel, kind, c, &records[i], cur);
  }
  xml_ReleaseDocument(doc);
  return xml_GetError() < 0 ? cfg_FailXml() : 0;
}

}  // namespace

int chan_ReadChannelsBound(const ExtEntryPoints *eps, const std::string &dir, int kind, ChannelRecord *records,
                           int first, int count, void *extra, uint32_t extraSize, const char *extraFile) {
  std::string xml = cfg_JoinPath(dir, (std::string(chan_KindShortName(kind)) + ".xml").c_str());
  if (ext_DoesXml(eps) && cfg_ReadXmlEnabled(dir.c_str()) && cfg_FileExists(xml))
    return ReadXml(eps, dir, xml, kind, records, first, count, extra, extraSize);
  return ReadBinary(dir, kind, records, first, count, extra, extraSize, extraFile);
}

int chan_ReadChannels(const char *directory, int kind, ChannelRecord *records, int first, int count, void *extra,
                      uint32_t extraSize, const char *extraFile) {
  if (!ValidKind(kind) || first < 0 || count < 0 || (count > 0 && !records))
    return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  std::string dir = cfg_AbsoluteDir(directory);
  OsModuleHandle module = ext_LoadExtension(dir.c_str());
  ExtEntryPoints eps;
  ext_BindEntryPoints(module, &eps);
  int rc = chan_ReadChannelsBound(&eps, dir, kind, records, first, count, extra, extraSize, extraFile);
  uint32_t e = rc != 0 ? static_cast<uint32_t>(errno) : 0;
  ext_FreeExtension(module);
  if (rc != 0) os_Fail(e);
  return rc;
}

int chan_ReadChannelsHere(int kind, ChannelRecord *records, int first, int count) {
  return chan_ReadChannels(".", kind, records, first, count, nullptr, 0, nullptr);
}
