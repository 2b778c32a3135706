// The asset settings: values of HKLM SOFTWARE\Quenford\<product>\<key word>
// on the configuration host (a plain host name of another computer through
// its remote registry, every other host from this computer's), the asset
// levels and their names, and the asset codes built from them.
//
// The default server, the asset terms and the logger folders are this
// computer's, read once per process; the first use from any number of
// threads fills them once.
#pragma once
#include <cstddef>
#include <cstdint>

enum : int {
  ASSET_SERVER_MAX = 1283,  // characters of the default logging server
  ASSET_KEYWORD_MAX = 19,   // characters of the product key word
  ASSET_NAME_MAX = 259,     // characters of a term or logger folder name
  ASSET_LIST_MAX = 32,      // asset terms and logger folders read at most
  ASSET_FIXED_LEVELS = 4,   // region, country, customer, client
};

// The replication product name in upper case without blanks, cut to
// ASSET_KEYWORD_MAX characters.
const char *asset_ProductKeyWord(void);

// Reads value `name` of the asset key of `host` as `type`: OS_REG_SZ takes a
// text (also OS_REG_EXPAND_SZ) and terminates it within `size`, other types
// must match. 1, or 0 (missing, another type, too large, host unreachable)
// with `buffer` untouched.
int asset_GetSetting(const char *host, const char *name, uint32_t type, void *buffer, uint32_t size);
// Writes it (the key made when missing). 1, or 0 with the last error.
int asset_SetSetting(const char *host, const char *name, uint32_t type, const void *data, uint32_t size);

// The asset root folder of `host`: its "ROOT" value, else "D:\LedgerLane"
// for the "Rimfold" product, else the named folder TSQ_<key word>. This
// computer's is kept after its first successful read; another host's is
// read each time (a buffer of the calling thread). NULL when it cannot be had.
const char *asset_Root(const char *host);

// The default logging server "user:password@host": this computer's
// "DefaultServer" value, else the built-in one of the product.
const char *asset_DefaultServer(void);

// Asset terms (the levels below client) and logger folders, from 1: their
// "ASSET_TERM_%d" and "LOGGER_DIR_%d" values, else the defaults, counted
// while consecutive indexes have one. NULL past the count.
int asset_TermCount(void);
const char *asset_TermName(int index);
int asset_LoggerDirCount(void);
const char *asset_LoggerDirName(int index);
// "_" followed by the logger folder's name, or NULL.
const char *asset_LoggerDirSuffix(int index);

// Levels from 1: "REGION", "COUNTRY", "CUSTOMER", "CLIENT", then the terms.
int asset_LevelCount(void);
const char *asset_LevelName(int index);

// The name of `level` and its display value in asset `code` ("E_FR_CUST_..."):
// level 1 the region's name, level 2 the country's name, others the code's
// part (parts are separated by '_'). 1, or 0 (no such level, region or
// country, a buffer too small) with both buffers untouched.
int asset_LevelValue(const char *host, int level, const char *code, char *name, size_t nameSize, char *value,
                     size_t valueSize);
