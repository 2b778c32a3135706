// Asset folders: the settings an asset folder keeps in its "information.ini".
#pragma once
#include <cstddef>

// Paths, the file name included, are at most this long.
inline constexpr int ASSET_PATH_MAX = 259;

// The "USERLIMIT" "LIMIT" number of `folder`'s "information.ini": -1 when the
// key (or the file) is missing, -2 when it is empty; a value that is no
// number reads as 0, one beyond the int range as its nearer bound. A folder
// path too long for the file's name also gives -1 (last error 206).
int asset_GetUserLimit(const char *folder);
// Writes `limit` there (the file made when missing). 1, or 0 with the last error.
int asset_SetUserLimit(const char *folder, int limit);

// The position of asset folder `path` below asset root `root` (both Windows
// form, letter case ignored where they are compared): the "[POSITION]" of
// the deepest "information.ini" on the way from the folder up to the root,
// else the country's (second level) position, else the region's default.
// 1 with *latitude and *longitude set; 0 when the path is not below the root,
// is too long, or its region folder names no region.
int asset_PositionBelow(const char *root, const char *path, double *latitude, double *longitude);

// Writes "LATITUDE=%f" and "LONGITUDE=%f" as the "[POSITION]" section of the
// folder's "information.ini". 1, or 0 with the last error.
int asset_SetPosition(const char *folder, double latitude, double longitude);

// The asset code of a path below the asset root of `host`: the region
// folder's first letter, "_" and the country's ISO code ("--" unknown), then
// "_" and each further folder name, one part per asset level (a buffer of
// the calling thread). NULL when the path is not below the root or goes
// deeper than the levels; with `partial` set, the code built so far then
// ("" when nothing was).
const char *asset_Code(const char *host, const char *path, int partial);

// asset_PositionBelow under the root of `host`; a host that is not this
// computer is asked through its server ("LF", folder, "information.ini"),
// whose reply "1,latitude,longitude" gives the position. 1, or 0 with the
// outputs untouched.
int asset_GetPosition(const char *host, const char *path, double *latitude, double *longitude);

// The lines of the "[HEADER]" section of the deepest "information.ini" on
// the way from the folder up to the asset root of `host` that has one, each
// ending in "\r\n", into `buffer` (`size` bytes with the terminator). 1, or
// 0 (not below the root, no header, a buffer too small: untouched).
int asset_GetHeader(const char *host, const char *path, char *buffer, size_t size);
// The same without the lines that begin with a level name (or, for the
// "Rimfold" product, "WellNo") and a colon, letter case ignored.
int asset_GetHeaderExtra(const char *host, const char *path, char *buffer, size_t size);

enum : int {
  ASSET_VALUE_MAX = 64,      // named values of one asset
  ASSET_VALUE_NAME_MAX = 24,
  ASSET_VALUE_TEXT = 0,
  ASSET_VALUE_INT = 1,
  ASSET_VALUE_FLOAT = 2,
};
struct AssetHeaderValue {
  char name[ASSET_VALUE_NAME_MAX + 1];
  int kind;                       // ASSET_VALUE_*
  double number;                  // of a number
  char text[ASSET_PATH_MAX + 1];  // as written
};
// The named values of an asset: each level's name with the path's folder
// (and "WellNo" with the second asset term's folder for the "Rimfold"
// product), then each "name:value" line of its header. A value written as a
// quoted template holding "%d" or "%f" followed by its text ("Depth:"%f" 1250.5")
// is a number when the text reads as one. Names are cut to 24 characters.
// The number of values (at most `capacity` and ASSET_VALUE_MAX), or -1 when
// the path is not below the root.
int asset_HeaderValues(const char *host, const char *path, AssetHeaderValue *values, int capacity);

// asset_GetUserLimit for a folder of this computer; 1 for another host.
int asset_UserLimitHere(const char *host, const char *path);
