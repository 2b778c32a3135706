// The XML copy of a channel file.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "framework/binding/ext_binding.h"
#include "framework/config/cfg_bound.h"
#include "framework/config/cfg_path.h"
#include "framework/config/cfg_xml.h"
#include "framework/config/chan_files.h"
#include "framework/config/chan_text.h"
#include "framework/config/chan_types.h"
#include "framework/shm/shm_tables.h"
#include "framework/xml/xml_error.h"
#include "platform/os_error.h"

namespace {

int ChannelId(XmlNode *channel) {
  char *text = xml_getText(xml_getAttribute(channel, "id", 1));
  int id = text ? atoi(text) : 0;
  xml_FreeText(text);
  return id;
}

bool IsChannel(XmlNode *node) {
  char *name = xml_getName(node);
  bool is = name && strcmp(name, "Channel") == 0;
  xml_FreeText(name);
  return is;
}

// A channel new to a loaded file goes before the first one with a higher id.
void InsertChannel(XmlNode *root, XmlNode *channel, int id) {
  for (XmlNode *c = xml_FirstChild(root); c; c = xml_NextSibling(c))
    if (IsChannel(c) && ChannelId(c) > id) {
      xml_InsertBefore(channel, c);
      return;
    }
  xml_AppendChildToParent(channel, root);
}

int CountChannels(XmlNode *root) {
  int n = 0;
  for (XmlNode *c = xml_FirstChild(root); c; c = xml_NextSibling(c)) n += IsChannel(c) ? 1 : 0;
  return n;
}

// The file's root: the loaded file's when updating one that exists, else a
// new document. A file that exists but does not load is never replaced.
XmlNode *OpenRoot(XmlDocument *doc, const std::string &file, const std::string &driver, int kind, bool update,
                  bool *loaded) {
  *loaded = false;
  if (update) {
    int rc = xml_Load(doc, file.c_str());
    if (rc == 0) {
      XmlNode *root = xml_GetRootElement(doc);
      char *name = root ? xml_getName(root) : nullptr;
      bool channels = name && strcmp(name, "Channels") == 0;
      xml_FreeText(name);
      if (xml_GetError() < 0) return nullptr;
      if (!channels) return xml_SetError(-1, "Root Element <Channels> not found"), nullptr;
      *loaded = true;
      return root;
    }
    if (rc != 1 || cfg_FileExists(file)) return nullptr;
    xml_ClearError();
  }
  std::string schema = "../SCHEMA/" + cfg_DriverPrefix(driver) + "_" + chan_KindShortName(kind) + ".xsd";
  return cfg_NewRootedDocument(doc, "Channels", cfg_KindNamespace(driver, kind), schema);
}

}  // namespace

int chan_WriteChannelsXmlBound(const ExtEntryPoints *eps, const std::string &dir, int kind,
                               const ChannelRecord *records, int first, int count, const void *extra,
                               uint32_t extraSize, int update) {
  std::string file = cfg_JoinPath(dir, (std::string(chan_KindShortName(kind)) + ".xml").c_str());
  XmlDocument *doc = xml_CreateDocument();
  xml_SetErrorConfigName(cfg_LastComponent(dir).c_str());
  xml_SetErrorSection("");
  bool loaded = false;
  XmlNode *root = OpenRoot(doc, file, cfg_DriverOf(dir), kind, update != 0, &loaded);
  int before = loaded ? CountChannels(root) : 0;
  const uint8_t *ex = static_cast<const uint8_t *>(extra);
  uint32_t remaining = extraSize;
  bool extras = extra && extraSize && ext_ChannelHasExtra(eps);
  for (int i = 0; i < count && root && xml_GetError() >= 0; ++i) {
    int c = first + i;
    ChannelRecord copy = records[i];
    int k = chan_TypeByte(&copy);
    char text[XML_TEXT_MAX];
    snprintf(text, sizeof text, "%s Channel #%d", chan_KindDisplayName(k), c + 1);
    xml_SetErrorSection(text);
    ext_UndecorateChannelHw(eps, k, c, &copy);
    const RecordType *layout = chan_LayoutType(k, ext_ChannelHwType(eps, k, c, &copy));
    snprintf(text, sizeof text, "%d", c + 1);
    XmlNode *channel = loaded ? xml_FindByAttribute(root, "Channel", "id", text) : nullptr;
    bool replace = channel != nullptr;
    if (!channel && loaded) {
      channel = xml_CreateElement(doc, "Channel");
      cfg_Attr(doc, channel, "id", text);
      InsertChannel(root, channel, c + 1);
    } else if (!channel) {
      channel = xml_CreateAndAddElement(doc, "Channel", root);
      cfg_Attr(doc, channel, "id", text);
    }
    cfg_PutFields(doc, channel, layout, &copy, replace);
    if (extras) {
      const RecordType *type = ext_ChannelExtraType(eps, k, c, &records[i]);
      uint32_t size = ext_ChannelExtraSize(eps, k, c, &records[i], ex);
      uint32_t have = std::min(size, remaining);
      // The caller's block is exported through a copy of its own size.
      std::vector<uint8_t> scratch(std::max<size_t>(size, type ? type->size : 0), 0);
      if (have) memcpy(scratch.data(), ex, have);
      ext_UndecorateChannelExtra(eps, k, c, &records[i], scratch.data(), size);
      if (type) cfg_PutFields(doc, channel, type, scratch.data(), replace);
      ex += have;
      remaining -= have;
    }
  }
  int channels = root ? CountChannels(root) : 0;
  xml_IndentTree(doc, root, 0);
  xml_Save(doc, file.c_str());
  xml_ReleaseDocument(doc);
  if (xml_GetError() < 0) return cfg_FailXml();
  // The schema admits every channel the file now holds: it is written anew
  // when more than one channel was written or when the file gained channels.
  if (count > 1 || (loaded && channels > before))
    return xsd_WriteChannelSchemaBound(eps, dir, kind, records, std::max(channels, count));
  return 0;
}

int chan_WriteChannelsXml(const char *, const char *directory, int kind, const ChannelRecord *records, int first,
                          int count, const void *extra, uint32_t extraSize, int update) {
  if (kind < 0 || kind > 5 || first < 0 || count < 0 || (count > 0 && !records))
    return os_Fail(OS_ERROR_INVALID_PARAMETER), -1;
  std::string dir = cfg_AbsoluteDir(directory);
  OsModuleHandle module = ext_LoadExtension(dir.c_str());
  ExtEntryPoints eps;
  ext_BindEntryPoints(module, &eps);
  int rc = chan_WriteChannelsXmlBound(&eps, dir, kind, records, first, count, extra, extraSize, update);
  uint32_t e = rc ? static_cast<uint32_t>(errno) : 0;
  ext_FreeExtension(module);
  if (rc != 0) os_Fail(e);
  return rc;
}
