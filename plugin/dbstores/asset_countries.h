// The country and region tables of the asset folders: ISO 3166-1 names and
// two-letter codes with a representative position, and the regions named by
// the first letter of a region folder.
#pragma once
#include <cstddef>

struct AssetCountry {
  const char *name;  // upper-case English short name
  const char *code;  // alpha-2
  float latitude, longitude;
};

inline constexpr int ASSET_COUNTRY_COUNT = 240;
// In alphabetical order of the name, ended by a row of nulls.
extern const AssetCountry asset_Countries[ASSET_COUNTRY_COUNT + 1];

// The name of row `index`, or null outside the table.
const char *asset_CountryName(int index);
// The code of a country name (letter case ignored), "--" when not in the table.
const char *asset_CountryCode(const char *name);
// The name of a two-letter code (letter case ignored), or null.
const char *asset_CountryByCode(const char *code);
// The row of a country name (letter case ignored), or null.
const AssetCountry *asset_FindCountry(const char *name);

struct AssetRegion {
  char letter;
  const char *name;
  float latitude, longitude;  // default position
};
// The region of a region folder's first letter (letter case ignored), or null.
const AssetRegion *asset_FindRegion(char letter);

// The limit that protects the upper levels of a logged-data folder `path`
// (Windows form) when its missing levels are made: the offset of the '\'
// before the first component that names a country (countries tried in table
// order, letter case ignored), or, with `loggedDataOnly` or when no country
// matches, of the first "\LOGGED_DATA\" component; -1 when neither is there.
// A missing level whose separator lies at or before the limit is not made.
long asset_FolderLimit(const char *path, bool loggedDataOnly);
