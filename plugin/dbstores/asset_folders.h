// Asset folders: the settings an asset folder keeps in its "information.ini".
#pragma once

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
