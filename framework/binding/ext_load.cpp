// Finding the extension library of a driver.

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "framework/binding/ext_binding.h"
#include "framework/registry/reg_settings.h"
#include "framework/tables/tbl_text.h"
#include "platform/os_codepage.h"

namespace {

enum : int { kDatprocFields = 5 };

bool IsDecimal(const char *s) {
  if (!*s) return false;
  for (; *s; ++s)
    if (!isdigit(static_cast<unsigned char>(*s))) return false;
  return true;
}

// The directory without trailing separators.
std::string Trimmed(const char *directory) {
  std::string d = directory ? directory : "";
  while (d.size() > 1 && (d.back() == '\\' || d.back() == '/')) d.pop_back();
  return d;
}

// The configuration folder that holds the directory.
std::string ParentOf(const std::string &dir) {
  size_t cut = dir.find_last_of("\\/");
  if (cut == std::string::npos) return dir == "." ? ".." : ".";
  if (cut == 0) return dir.substr(0, 1);
  return dir.substr(0, cut);
}

std::string BinFolder(void) {
  const char *bin = cfg_GetFolder("TSQ_BIN");
  return bin ? bin : "";
}

OsModuleHandle LoadFromBin(const char *file) {
  std::string bin = BinFolder();
  if (bin.empty()) return nullptr;
  return os_LoadLibrary((bin + "\\" + file).c_str());
}

// The DATPROC.TXT fall-back: custa_ex.dll or custd_ex.dll by the processor's line.
OsModuleHandle LoadByProcessor(const std::string &configFolder, const char *driverName) {
  std::string table = configFolder + "\\DATPROC.TXT";
  if (tbl_Open(table.c_str()) < 0) return nullptr;
  OsModuleHandle module = nullptr;
  char *fields[kDatprocFields];
  int offsets[kDatprocFields];
  int n;
  while ((n = tbl_ReadFields(fields, offsets, kDatprocFields)) > 0) {
    if (os_CompareNoCaseN(fields[0], driverName, 5) != 0) continue;
    ProcessorRecord record;
    if (tbl_ParseProcessorLine(table.c_str(), &record, fields, offsets, n, &record) == 1 && !record.Run)
      module = LoadFromBin(record.Type == 2 ? "custa_ex.dll" : "custd_ex.dll");
    break;
  }
  tbl_Close();
  return module;
}

}  // namespace

void ext_DriverName(const char *directory, char *out, uint32_t size) {
  if (!out || size == 0) return;
  std::string d = Trimmed(directory);
  size_t cut = d.find_last_of("\\/");
  std::string last = cut == std::string::npos ? d : d.substr(cut + 1);
  size_t under = last.rfind('_');
  if (under != std::string::npos) last.resize(under);
  snprintf(out, size, "%s", last.c_str());
}

void ext_LibraryName(const char *driverName, char *out, uint32_t size) {
  if (!out || size == 0) return;
  const char *name = driverName ? driverName : "";
  // Every unit of a numbered family shares one library.
  if (os_CompareNoCaseN(name, "dudi", 4) == 0 && IsDecimal(name + 4))
    name = "dudi";
  else if (os_CompareNoCaseN(name, "vantx", 5) == 0 && IsDecimal(name + 5))
    name = "vantx";
  snprintf(out, size, "%.5s_ex.dll", name);
}

OsModuleHandle ext_LoadLibraryFile(const char *file) {
  OsModuleHandle module = os_LoadLibrary(file);
  if (!module) module = LoadFromBin(file);
  return module;
}

OsModuleHandle ext_LoadExtensionByName(const char *driverName) {
  char file[EXT_NAME_MAX];
  ext_LibraryName(driverName, file, sizeof file);
  return ext_LoadLibraryFile(file);
}

OsModuleHandle ext_LoadExtension(const char *directory) {
  char driver[EXT_NAME_MAX];
  ext_DriverName(directory, driver, sizeof driver);
  OsModuleHandle module = ext_LoadExtensionByName(driver);
  if (!module) module = LoadByProcessor(ParentOf(Trimmed(directory)), driver);
  return module;
}

void ext_FreeExtension(OsModuleHandle module) {
  if (module) os_FreeLibrary(module);
}
