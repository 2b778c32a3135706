// Product settings, registry access with per-user redirection and
// product-specific keys, and the named folders.
#pragma once
#include <cstdint>

#include "platform/os_io.h"
#include "platform/os_registry.h"

enum : int { PROD_NAME_MAX = 31, CFG_FOLDER_MAX = 260 };

// The product name (cached): "ProductName" under SOFTWARE\Quenford, else under
// HKLM SOFTWARE\Quenford\Tessarine; default "Amberlin" on an embedded
// controller, otherwise "Tessarine".
const char *prod_GetProductName(void);
// "ReplicationProductName" likewise; default "Ledger Lane" for the product
// "Rimfold", otherwise "Field to Base".
const char *prod_GetReplicationProductName(void);
// Forgets the cached names (tests, and after the per-user flag changes).
void prod_ForgetNames(void);

// Per-user flag: when on, every access to HKLM goes to HKCU.
void reg_SetPerUser(bool on);
bool reg_IsPerUser(void);

// Reads (access with bit 0 set) or writes (through the write-filter guard) one
// value. A key path that ends with the product word "Tessarine" uses the
// current product's key instead; a plain query that fails there falls back to
// the path as given. Returns 0 or a Windows error code.
int32_t reg_AccessValue(OsHKey root, const char *keyPath, uint32_t access, const char *valueName,
                        uint32_t *type, void *data, uint32_t *size);
int32_t reg_DeleteValue(OsHKey root, const char *keyPath, const char *valueName);
// 1 when SOFTWARE\Quenford\<name> can be opened or created for query, else 0.
int reg_KeyExists(const char *name);

// The product root: "%c:\%s" with the system drive and the product name, or
// the "Root:" value under HKLM SOFTWARE\Quenford\Tessarine.
const char *cfg_ProductRoot(void);
// A named folder: the environment value of TSQ_<name> ("RE2_" names map to
// "TSQ_"), the registry value it points to ("%\Hive\Key\Value%"), or the
// default under the product root (upper case). NULL with errno on failure.
const char *cfg_ResolveName(const char *name);
// cfg_ResolveName, and for the replay and export folders a writable place.
const char *cfg_GetFolder(const char *name);
// Nonzero when the process may access `path` as `accessMask` asks
// (OS_GENERIC_READ, _WRITE, _EXECUTE or _ALL of platform/os_io.h).
int fs_CheckAccess(const char *path, uint32_t accessMask);
