// Whether configuration is read from and written to XML files: switches of the
// server product's key on the computer that holds the configuration.
#pragma once
#include <cstdint>

#include "platform/os_registry.h"

enum : int { CFG_WRITE_BIN = 0, CFG_WRITE_BOTH = 1, CFG_WRITE_XML = 2 };

// The configuration host of `path` is the host of a UNC path ("\\host\..."),
// otherwise this computer. A remote host that cannot be reached gives the
// defaults, which depend on the installed product ("Rimfold": XML on).
int cfg_ReadXmlEnabled(const char *path);          // "ReadXML": 1 or 0
int cfg_WriteXmlMode(const char *path);            // "WriteXML": CFG_WRITE_*
uint32_t cfg_ExcelCompatibleXsd(const char *path);  // "ExcelCompatibleXSD", or 1

// Reads one value of HKLM SOFTWARE\Quenford\Tessarine of a host: a plain host
// name that is not this computer through its remote registry, every other
// host (this computer, URLs) from this computer's. 0 or a Windows error code.
int32_t cfg_ReadHostValue(const char *host, const char *valueName, uint32_t *type, void *data, uint32_t *size);
// The HKLM of a host as above (a plain host name of another computer: its
// remote registry). 0 with *root set, or a Windows error code; give a root
// back with cfg_CloseHostRegistry.
int32_t cfg_OpenHostRegistry(const char *host, OsHKey *root);
void cfg_CloseHostRegistry(OsHKey root);

// The host of a path as above: "." for this computer. `out` holds at least 260 bytes.
void cfg_ConfigHost(const char *path, char *out, uint32_t size);
