#include "plugin/loggers/lcfg_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "framework/config/cfg_device.h"
#include "framework/config/cfg_history.h"
#include "framework/config/cfg_path.h"
#include "framework/config/cfg_xml.h"
#include "framework/config/chan_files.h"
#include "framework/registry/cfg_switches.h"
#include "framework/shm/shm_tables.h"
#include "framework/xml/xml_error.h"
#include "platform/os_codepage.h"
#include "platform/os_error.h"
#include "platform/os_io.h"
#include "plugin/loggers/lcfg_types.h"
#include "record/record.h"

namespace {

enum : size_t { kHistoryTextMax = 992 };

int FailWith(uint32_t code) {
  os_Fail(code);
  return -1;
}

// The last error of a failed file call, in errno too.
int FailFile(void) { return FailWith(os_GetLastError()); }

std::string BaseName(const char *typeName, int number) { return std::string(typeName) + "_" + std::to_string(number); }

std::string Namespace(const char *typeName) { return std::string(CHAN_XML_NAMESPACE_BASE) + "/" + typeName; }

void SetSection(const char *typeName, int number) {
  xml_SetErrorConfigName("");
  char section[XML_TEXT_MAX];
  snprintf(section, sizeof section, "Logger %s_%d", typeName, number);
  xml_SetErrorSection(section);
}

int ReadBinary(const std::string &file, void *record, int length) {
  OsHandle h = os_CreateFile(file.c_str(), OS_GENERIC_READ, OS_FILE_SHARE_READ | OS_FILE_SHARE_WRITE,
                             OS_OPEN_EXISTING, 0);
  if (!h) return FailFile();
  uint8_t *out = static_cast<uint8_t *>(record);
  int done = 0;
  bool ok = true;
  while (done < length) {
    uint32_t got = 0;
    if (os_ReadFile(h, out + done, static_cast<uint32_t>(length - done), &got) != 0) {
      ok = false;
      break;
    }
    if (got == 0) break;
    done += static_cast<int>(got);
  }
  uint32_t e = os_GetLastError();
  os_CloseHandle(h);
  return ok ? 0 : FailWith(e);
}

int WriteBinary(const std::string &file, const void *record, int length) {
  OsHandle h = os_CreateFile(file.c_str(), OS_GENERIC_READ | OS_GENERIC_WRITE, OS_FILE_SHARE_READ | OS_FILE_SHARE_WRITE,
                             OS_OPEN_ALWAYS, 0);
  if (!h) return FailFile();
  uint32_t written = 0;
  bool ok = os_WriteFile(h, record, static_cast<uint32_t>(length), &written) == 0 &&
            written == static_cast<uint32_t>(length);
  uint32_t e = ok ? 0 : os_GetLastError();
  os_CloseHandle(h);
  return ok ? 0 : FailWith(e ? e : OS_ERROR_WRITE_FAULT);
}

bool ReadDocument(XmlDocument *doc, const std::string &file, LcfgKind kind, std::vector<uint8_t> *work) {
  if (xml_Load(doc, file.c_str()) != 0) return false;
  XmlNode *root = xml_GetRootElement(doc);
  XmlNode *logger = root ? cfg_FindChild(root, "Logger") : nullptr;
  if (!logger) return xml_GetError() >= 0 && (xml_SetError(-1, "<Logger> tag not found"), false);
  std::string present = ",";
  for (const LcfgField &f : lcfg_Fields(kind))
    if (!cfg_ReadFieldAt(logger, f.name.c_str(), f.type, work->data() + f.offset, &present, "<%s> %s", nullptr))
      return false;
  if (lcfg_CheckRequiredTags(kind, present.c_str(), work->data()) != 0) return false;
  lcfg_RecordFromXmlForm(kind, work->data());
  return true;
}

int ReadXml(const std::string &file, const char *typeName, int number, LcfgKind kind,
            void *record, int length) {
  SetSection(typeName, number);
  std::vector<uint8_t> work(lcfg_RecordSize(kind), 0);
  XmlDocument *doc = xml_CreateDocument();
  bool ok = doc && ReadDocument(doc, file, kind, &work);
  xml_ReleaseDocument(doc);
  if (!ok) {
    if (xml_GetError() >= 0) xml_SetError(-1, "Xml Load Failed");
    return cfg_FailXml();
  }
  memcpy(record, work.data(), std::min(work.size(), static_cast<size_t>(length)));
  return 0;
}

int WriteSchemaIn(const std::string &dir, const char *typeName, const RecordType *type) {
  XmlDocument *doc = xml_CreateDocument();
  xml_SetErrorConfigName("");
  xml_SetErrorSection("Creating Schema - Logger Type");
  std::string folder = cfg_SchemaFolder(dir);
  XmlNode *schema = folder.empty() ? nullptr : cfg_NewSchemaDocument(doc, typeName, Namespace(typeName));
  XmlNode *loggers = xml_CreateAndAddElement(doc, "xs:element", schema);
  cfg_Attr(doc, loggers, "name", "Loggers");
  XmlNode *outer = xml_CreateAndAddElement(doc, "xs:sequence", xml_CreateAndAddElement(doc, "xs:complexType", loggers));
  XmlNode *logger = xml_CreateAndAddElement(doc, "xs:element", outer);
  cfg_Attr(doc, logger, "name", "Logger");
  cfg_Attr(doc, logger, "minOccurs", "1");
  cfg_Attr(doc, logger, "maxOccurs", "1");
  XmlNode *fields = xml_CreateAndAddElement(doc, "xs:sequence", xml_CreateAndAddElement(doc, "xs:complexType", logger));
  xsd_AddSimpleTypes(doc, fields, type, 0, 0);
  xml_IndentTree(doc, schema, 0);
  if (!folder.empty()) xml_Save(doc, cfg_JoinPath(folder, (std::string(typeName) + ".xsd").c_str()).c_str());
  xml_ReleaseDocument(doc);
  return xml_GetError() < 0 ? cfg_FailXml() : 0;
}

int WriteXml(const std::string &dir, const char *typeName, int number, LcfgKind kind, const void *record,
             int length) {
  const RecordType *type = lcfg_RecordType(kind);
  std::vector<uint8_t> copy(type->size, 0);
  memcpy(copy.data(), record, std::min(copy.size(), static_cast<size_t>(length)));
  lcfg_RecordToXmlForm(kind, copy.data());
  XmlDocument *doc = xml_CreateDocument();
  SetSection(typeName, number);
  XmlNode *root = cfg_NewRootedDocument(doc, "Loggers", Namespace(typeName),
                                        "../SCHEMA/" + std::string(typeName) + ".xsd");
  XmlNode *logger = root ? xml_CreateAndAddElement(doc, "Logger", root) : nullptr;
  if (logger) cfg_PutFields(doc, logger, type, copy.data(), false);
  xml_IndentTree(doc, root, 0);
  std::string file = cfg_JoinPath(dir, (BaseName(typeName, number) + ".xml").c_str());
  if (root) xml_Save(doc, file.c_str());
  xml_ReleaseDocument(doc);
  if (xml_GetError() < 0) return cfg_FailXml();
  return WriteSchemaIn(dir, typeName, type);
}

void WriteHistory(const std::string &dir, const char *user, LcfgKind kind, std::vector<uint8_t> &before,
                  std::vector<uint8_t> &after, size_t limit) {
  lcfg_RecordToXmlForm(kind, before.data());
  lcfg_RecordToXmlForm(kind, after.data());
  if (memcmp(before.data(), after.data(), limit) == 0 || !cfg_OpenHistoryIn(dir.c_str(), 0, 1)) return;
  for (const LcfgField &f : lcfg_Fields(kind)) {
    if (f.offset + f.type->size > limit) continue;
    char *a = f.type->to_text(f.type, TYPED_MEM_TEMP, before.data() + f.offset);
    char *b = f.type->to_text(f.type, TYPED_MEM_TEMP, after.data() + f.offset);
    if (a && b && os_CompareNoCase(a, b) != 0 && f.name.size() + strlen(a) + strlen(b) < kHistoryTextMax)
      cfg_WriteHistoryLine(user, 0, f.name.c_str(), a, b);
    if (a) typed_mem_Release(TYPED_MEM_TEMP, a);
    if (b) typed_mem_Release(TYPED_MEM_TEMP, b);
  }
  cfg_CloseHistory();
}

bool BadArguments(const char *typeName, const void *record, int length) {
  return !typeName || !*typeName || length < 0 || (!record && length);
}

// The type name of entry n of the shared logger table; false with the error set.
bool TableType(int n, char out[16]) {
  if (shm_AttachLoggers() != 0) return FailFile(), false;
  const ShmTable *t = shm_LoggerTable();
  if (!t || n < 1 || n > t->count) return FailWith(OS_ERROR_INVALID_PARAMETER), false;
  const LoggerRecord *l = reinterpret_cast<const LoggerRecord *>(t->first) + (n - 1);
  memset(out, 0, 16);
  memcpy(out, l->TypeName, sizeof l->TypeName);
  if (!*out) return FailWith(OS_ERROR_INVALID_PARAMETER), false;
  return true;
}

}  // namespace

int lcfg_ReadLogger(const char *folder, const char *typeName, int number, void *record, int length) {
  if (BadArguments(typeName, record, length)) return FailWith(OS_ERROR_INVALID_PARAMETER);
  std::string dir = cfg_AbsoluteDir(folder);
  LcfgKind kind = lcfg_KindOf(typeName);
  std::string base = cfg_JoinPath(dir, BaseName(typeName, number).c_str());
  std::string xml = base + ".xml";
  if (kind != LCFG_OTHER && cfg_ReadXmlEnabled(dir.c_str()) && cfg_FileExists(xml))
    return ReadXml(xml, typeName, number, kind, record, length);
  return ReadBinary(base, record, length);
}

int lcfg_WriteLogger(const char *folder, const char *user, const char *typeName, int number, const void *record,
                     int length) {
  if (BadArguments(typeName, record, length)) return FailWith(OS_ERROR_INVALID_PARAMETER);
  std::string dir = cfg_AbsoluteDir(folder);
  LcfgKind kind = lcfg_KindOf(typeName);
  const RecordType *type = lcfg_RecordType(kind);
  // Stand records of the older size are compared over the whole record,
  // whose second set their primary fields give.
  size_t limit = static_cast<size_t>(length);
  if (kind == LCFG_STAND && limit >= LCFG_STAND_PRIMARY_SIZE) limit = LCFG_STAND_SIZE;
  if (type) limit = std::min<size_t>(limit, type->size);
  std::vector<uint8_t> before, after;
  bool history = false;
  if (type && cfg_HistoryEnabled()) {
    before.assign(type->size, 0);
    if (lcfg_ReadLogger(dir.c_str(), typeName, number, before.data(), static_cast<int>(limit)) == 0)
      history = true;
    else if (errno == OS_ERROR_XML_PARSE_ERROR)
      return -1;
  }
  int mode = cfg_WriteXmlMode(dir.c_str());
  std::string base = cfg_JoinPath(dir, BaseName(typeName, number).c_str());
  // A type without an XML form is kept in binary whatever the mode.
  if ((mode != CFG_WRITE_XML || !type) && length > 0 && WriteBinary(base, record, length) != 0) return -1;
  if (type && mode != CFG_WRITE_BIN && WriteXml(dir, typeName, number, kind, record, length) != 0) return -1;
  if (history) {
    after.assign(type->size, 0);
    memcpy(after.data(), record, std::min<size_t>(after.size(), static_cast<size_t>(length)));
    WriteHistory(dir, user, kind, before, after, limit);
  }
  // The change notice: the configuration's "config" gets a new time.
  int e = errno;
  uint32_t last = os_GetLastError();
  cfg_TouchServerConfigOf(dir.c_str());
  errno = e;
  os_SetLastError(last);
  return 0;
}

int lcfg_WriteSchema(const char *folder, const char *typeName) {
  const RecordType *type = lcfg_RecordType(lcfg_KindOf(typeName));
  if (!type) return FailWith(OS_ERROR_INVALID_PARAMETER);
  return WriteSchemaIn(cfg_AbsoluteDir(folder), typeName, type);
}

int lcfg_ReadLoggerHere(const char *typeName, int number, void *record, int length) {
  return lcfg_ReadLogger(".", typeName, number, record, length);
}

int lcfg_WriteLoggerHere(const char *user, const char *typeName, int number, const void *record, int length) {
  return lcfg_WriteLogger(".", user, typeName, number, record, length);
}

int lcfg_ReadLoggerN(const char *folder, int n, void *record, int length) {
  char type[16];
  return TableType(n, type) ? lcfg_ReadLogger(folder, type, n, record, length) : -1;
}

int lcfg_WriteLoggerN(const char *folder, const char *user, int n, const void *record, int length) {
  char type[16];
  return TableType(n, type) ? lcfg_WriteLogger(folder, user, type, n, record, length) : -1;
}

int lcfg_ReadConfigFlag(uint8_t *flag) {
  if (!flag) return FailWith(OS_ERROR_INVALID_PARAMETER);
  return cfg_ReadFileAt(cfg_JoinPath(cfg_AbsoluteDir("."), "config"), 0, flag, 1) == 0 ? 0 : FailFile();
}

int lcfg_WriteConfigFlag(uint8_t flag) {
  return cfg_WriteFileAt(cfg_JoinPath(cfg_AbsoluteDir("."), "config"), 0, &flag, 1) == 0 ? 0 : FailFile();
}

int lcfg_WriteSaveConfig(const uint8_t record[6]) {
  if (!record) return FailWith(OS_ERROR_INVALID_PARAMETER);
  return cfg_WriteFileAt(cfg_JoinPath(cfg_AbsoluteDir("."), "saveconfig"), 0, record, CFG_SAVECONFIG_SIZE) == 0
             ? 0
             : FailFile();
}
