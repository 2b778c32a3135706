#include "plugin/dbstores/asset_countries.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace {

TEST(AssetCountries, TableIsSortedUniqueAndEnded) {
  std::set<std::string> codes;
  for (int i = 0; i < ASSET_COUNTRY_COUNT; ++i) {
    const AssetCountry &c = asset_Countries[i];
    ASSERT_NE(c.name, nullptr) << i;
    if (i > 0) {
      EXPECT_LT(strcmp(asset_Countries[i - 1].name, c.name), 0) << c.name;
    }
    EXPECT_EQ(strlen(c.code), 2u) << c.name;
    EXPECT_TRUE(codes.insert(c.code).second) << c.code;
    EXPECT_TRUE(c.latitude >= -90 && c.latitude <= 90 && c.longitude >= -180 && c.longitude <= 180) << c.name;
    for (const char *p = c.name; *p; ++p) EXPECT_FALSE(*p >= 'a' && *p <= 'z') << c.name;
  }
  EXPECT_EQ(asset_Countries[ASSET_COUNTRY_COUNT].name, nullptr);
  EXPECT_STREQ(asset_CountryName(0), "AFGHANISTAN");
  EXPECT_STREQ(asset_CountryName(1), "ALAND ISLANDS");
  EXPECT_STREQ(asset_CountryName(ASSET_COUNTRY_COUNT - 1), "ZIMBABWE");
  EXPECT_EQ(asset_CountryName(ASSET_COUNTRY_COUNT), nullptr);
  EXPECT_EQ(asset_CountryName(-1), nullptr);
}

TEST(AssetCountries, Lookups) {
  const struct {
    const char *name, *code;
  } byName[] = {{"France", "FR"}, {"FRANCE", "FR"}, {"fRaNcE", "FR"}, {"ALBANIA", "AL"},
                {"ZIMBABWE", "ZW"}, {"UNITED KINGDOM", "GB"}, {"FRANCEX", "--"}, {"", "--"}, {nullptr, "--"}};
  for (const auto &c : byName) EXPECT_STREQ(asset_CountryCode(c.name), c.code) << (c.name ? c.name : "null");
  const struct {
    const char *code, *name;
  } byCode[] = {{"FR", "FRANCE"}, {"fr", "FRANCE"}, {"AF", "AFGHANISTAN"}, {"ZW", "ZIMBABWE"},
                {"--", nullptr}, {"F", nullptr}, {"FRA", nullptr}, {"QQ", nullptr}};
  for (const auto &c : byCode) {
    const char *got = asset_CountryByCode(c.code);
    if (c.name == nullptr) {
      EXPECT_EQ(got, nullptr) << c.code;
    } else {
      EXPECT_STREQ(got, c.name) << c.code;
    }
  }
}

TEST(AssetCountries, Regions) {
  const struct {
    char letter;
    const char *name;
    float latitude, longitude;
  } cases[] = {{'A', "ASIA", 39.504f, 72.246f},
               {'e', "EUROPE CIS", 54.368f, 4.922f},
               {'L', "LATIN AMERICA", -12.125f, -76.904f},
               {'M', "MIDDLE EAST AND NORTH AFRICA", 30.069f, 42.407f},
               {'N', "NORTH AMERICA", 48.807f, -104.414f},
               {'S', "SOUTHERN AND WEST AFRICA", 3.250f, 17.930f}};
  for (const auto &c : cases) {
    const AssetRegion *r = asset_FindRegion(c.letter);
    ASSERT_NE(r, nullptr) << c.letter;
    EXPECT_STREQ(r->name, c.name);
    EXPECT_EQ(r->latitude, c.latitude);
    EXPECT_EQ(r->longitude, c.longitude);
  }
  for (char none : {'X', 'x', 'B', '\0', '_'}) EXPECT_EQ(asset_FindRegion(none), nullptr) << none;
}

}  // namespace

namespace {

TEST(AssetCountries, FolderLimit) {
  const struct {
    const char *path;
    bool loggedDataOnly;
    long limit;
  } cases[] = {
      {"D:\\A\\E\\FRANCE\\C1\\L1", false, 6},
      {"D:\\A\\E\\france\\C1\\L1", false, 6},
      {"D:\\A\\E\\FRANCE\\C1\\L1", true, -1},
      {"D:\\ROOT\\LOGGED_DATA\\L1", false, 7},
      {"D:\\ROOT\\LOGGED_DATA\\L1", true, 7},
      {"D:\\LOGGED_DATA\\E\\FRANCE\\L1", false, 16},  // a country wins over the logged-data folder
      {"D:\\LOGGED_DATA\\E\\FRANCE\\L1", true, 2},
      {"D:\\A\\E\\L1\\FRANCE", false, -1},             // the last component is no limit
      {"D:\\A\\FRANCEX\\L1", false, -1},
      {"D:\\A\\FRANCE\\CHAD\\L1", false, 11},         // table order (CHAD first), not path order
      {"", false, -1},
  };
  for (const auto &c : cases) EXPECT_EQ(asset_FolderLimit(c.path, c.loggedDataOnly), c.limit) << c.path;
}

}  // namespace
