// The binding's own operations: each loads the library, uses it and frees it.

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "framework/binding/ext_binding.h"
#include "framework/eventlog/sts_report.h"
#include "framework/xml/xml_error.h"
#include "platform/os_codepage.h"
#include "platform/os_error.h"
#include "platform/os_file.h"

namespace {

// The last directory asked and its answer.
char g_doXmlDir[EXT_NAME_MAX];
int g_doXml;
bool g_doXmlKnown;

}  // namespace

int ext_HasDoXml(const char *directory) {
  const char *dir = directory ? directory : "";
  if (g_doXmlKnown && os_CompareNoCase(g_doXmlDir, dir) == 0) return g_doXml;
  OsModuleHandle module = ext_LoadExtension(dir);
  int has = module && os_GetProcAddress(module, "Ex_DoXml") ? 1 : 0;
  ext_FreeExtension(module);
  snprintf(g_doXmlDir, sizeof g_doXmlDir, "%s", dir);
  g_doXml = has;
  g_doXmlKnown = strlen(dir) < sizeof g_doXmlDir;
  return has;
}

int ext_ValidateChanWithConfig(void *a1, void *a2, void *a3, void *a4, void *a5, void *a6, void *a7) {
  char cwd[4096];
  if (os_GetCurrentDirectory(cwd, sizeof cwd) != 0) return 0;
  char driver[EXT_NAME_MAX];
  ext_DriverName(cwd, driver, sizeof driver);
  OsModuleHandle module = ext_LoadExtensionByName(driver);
  if (!module) return 0;
  auto *validate =
      reinterpret_cast<ExValidateChanWithConfigFn *>(os_GetProcAddress(module, "Ex_ValidateChanWithConfig"));
  int rc = 0;
  if (validate) {
    char error[EXT_ERROR_MAX] = "";
    int32_t result = validate(a1, a2, a3, a4, a5, a6, a7, error, sizeof error);
    error[sizeof error - 1] = '\0';
    if (result == -1) {
      xml_SetError(-1, error);
      sts_ReportErrorEvent(".", STS_EVENT_ERROR, xml_GetErrorText());
      rc = -1;
    }
  }
  ext_FreeExtension(module);
  if (rc == -1) {
    errno = OS_ERROR_XML_PARSE_ERROR;
    os_SetLastError(OS_ERROR_XML_PARSE_ERROR);
  }
  return rc;
}

int ext_GetConfigPort(const char *deviceName, char *port, uint32_t size) {
  if (!port || size == 0) return -1;
  port[0] = '\0';
  char file[EXT_NAME_MAX];
  snprintf(file, sizeof file, "%.5s_ex.dll", deviceName ? deviceName : "");
  OsModuleHandle module = ext_LoadLibraryFile(file);
  if (!module) return -1;
  auto *get = reinterpret_cast<ExGetConfigPortFn *>(os_GetProcAddress(module, "Ex_Get_Config_Port"));
  if (get) {
    char text[EXT_PORT_MAX + 1] = "";
    get(deviceName, EXT_PORT_MAX, text);
    text[EXT_PORT_MAX - 1] = '\0';
    snprintf(port, size, "%s", text);
  }
  ext_FreeExtension(module);
  return get ? 0 : -1;
}
