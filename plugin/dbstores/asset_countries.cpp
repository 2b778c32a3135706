#include "plugin/dbstores/asset_countries.h"

#include <cstring>

#include "platform/os_codepage.h"

const AssetCountry asset_Countries[ASSET_COUNTRY_COUNT + 1] = {
    {"AFGHANISTAN", "AF", 33.0f, 65.0f},
    {"ALAND ISLANDS", "AX", 60.2f, 20.0f},
    {"ALBANIA", "AL", 41.0f, 20.0f},
    {"ALGERIA", "DZ", 28.0f, 3.0f},
    {"AMERICAN SAMOA", "AS", -14.3f, -170.7f},
    {"ANDORRA", "AD", 42.5f, 1.5f},
    {"ANGOLA", "AO", -12.5f, 18.5f},
    {"ANGUILLA", "AI", 18.2f, -63.2f},
    {"ANTARCTICA", "AQ", -90.0f, 0.0f},
    {"ANTIGUA AND BARBUDA", "AG", 17.1f, -61.8f},
    {"ARGENTINA", "AR", -34.0f, -64.0f},
    {"ARMENIA", "AM", 40.0f, 45.0f},
    {"ARUBA", "AW", 12.5f, -70.0f},
    {"AUSTRALIA", "AU", -25.0f, 135.0f},
    {"AUSTRIA", "AT", 47.3f, 13.3f},
    {"AZERBAIJAN", "AZ", 40.5f, 47.5f},
    {"BAHAMAS", "BS", 24.3f, -76.0f},
    {"BAHRAIN", "BH", 26.0f, 50.6f},
    {"BANGLADESH", "BD", 24.0f, 90.0f},
    {"BARBADOS", "BB", 13.2f, -59.5f},
    {"BELARUS", "BY", 53.0f, 28.0f},
    {"BELGIUM", "BE", 50.8f, 4.0f},
    {"BELIZE", "BZ", 17.3f, -88.8f},
    {"BENIN", "BJ", 9.5f, 2.3f},
    {"BERMUDA", "BM", 32.3f, -64.8f},
    {"BHUTAN", "BT", 27.5f, 90.5f},
    {"BOLIVIA", "BO", -17.0f, -65.0f},
    {"BOSNIA AND HERZEGOVINA", "BA", 44.0f, 18.0f},
    {"BOTSWANA", "BW", -22.0f, 24.0f},
    {"BOUVET ISLAND", "BV", -54.4f, 3.4f},
    {"BRAZIL", "BR", -10.0f, -55.0f},
    {"BRITISH INDIAN OCEAN TERRITORY", "IO", -6.0f, 71.5f},
    {"BRUNEI DARUSSALAM", "BN", 4.5f, 114.7f},
    {"BULGARIA", "BG", 43.0f, 25.0f},
    {"BURKINA FASO", "BF", 13.0f, -2.0f},
    {"BURUNDI", "BI", -3.5f, 30.0f},
    {"CAMBODIA", "KH", 13.0f, 105.0f},
    {"CAMEROON", "CM", 6.0f, 12.0f},
    {"CANADA", "CA", 60.0f, -95.0f},
    {"CAPE VERDE", "CV", 16.0f, -24.0f},
    {"CAYMAN ISLANDS", "KY", 19.5f, -80.5f},
    {"CENTRAL AFRICAN REPUBLIC", "CF", 7.0f, 21.0f},
    {"CHAD", "TD", 15.0f, 19.0f},
    {"CHILE", "CL", -30.0f, -71.0f},
    {"CHINA", "CN", 35.0f, 105.0f},
    {"CHRISTMAS ISLAND", "CX", -10.5f, 105.7f},
    {"COCOS (KEELING) ISLANDS", "CC", -12.5f, 96.8f},
    {"COLOMBIA", "CO", 4.0f, -72.0f},
    {"COMOROS", "KM", -12.2f, 44.3f},
    {"CONGO", "CG", -1.0f, 15.0f},
    {"CONGO, THE DEMOCRATIC REPUBLIC OF THE", "CD", 0.0f, 25.0f},
    {"COOK ISLANDS", "CK", -21.2f, -159.8f},
    {"COSTA RICA", "CR", 10.0f, -84.0f},
    {"COTE D'IVOIRE", "CI", 8.0f, -5.0f},
    {"CROATIA", "HR", 45.2f, 15.5f},
    {"CUBA", "CU", 21.5f, -80.0f},
    {"CYPRUS", "CY", 35.0f, 33.0f},
    {"CZECH REPUBLIC", "CZ", 49.8f, 15.5f},
    {"DENMARK", "DK", 56.0f, 10.0f},
    {"DJIBOUTI", "DJ", 11.5f, 43.0f},
    {"DOMINICA", "DM", 15.4f, -61.3f},
    {"DOMINICAN REPUBLIC", "DO", 19.0f, -70.7f},
    {"ECUADOR", "EC", -2.0f, -77.5f},
    {"EGYPT", "EG", 27.0f, 30.0f},
    {"EL SALVADOR", "SV", 13.8f, -88.9f},
    {"EQUATORIAL GUINEA", "GQ", 2.0f, 10.0f},
    {"ERITREA", "ER", 15.0f, 39.0f},
    {"ESTONIA", "EE", 59.0f, 26.0f},
    {"ETHIOPIA", "ET", 8.0f, 38.0f},
    {"FALKLAND ISLANDS (MALVINAS)", "FK", -51.8f, -59.0f},
    {"FAROE ISLANDS", "FO", 62.0f, -7.0f},
    {"FIJI", "FJ", -18.0f, 175.0f},
    {"FINLAND", "FI", 64.0f, 26.0f},
    {"FRANCE", "FR", 46.0f, 2.0f},
    {"FRENCH GUIANA", "GF", 4.0f, -53.0f},
    {"FRENCH POLYNESIA", "PF", -15.0f, -140.0f},
    {"FRENCH SOUTHERN TERRITORIES", "TF", -43.0f, 67.0f},
    {"GABON", "GA", -1.0f, 11.8f},
    {"GAMBIA", "GM", 13.5f, -15.5f},
    {"GEORGIA", "GE", 42.0f, 43.5f},
    {"GERMANY", "DE", 51.0f, 9.0f},
    {"GHANA", "GH", 8.0f, -2.0f},
    {"GIBRALTAR", "GI", 36.1f, -5.4f},
    {"GREECE", "GR", 39.0f, 22.0f},
    {"GREENLAND", "GL", 72.0f, -40.0f},
    {"GRENADA", "GD", 12.1f, -61.7f},
    {"GUADELOUPE", "GP", 16.3f, -61.6f},
    {"GUAM", "GU", 13.5f, 144.8f},
    {"GUATEMALA", "GT", 15.5f, -90.3f},
    {"GUINEA", "GN", 11.0f, -10.0f},
    {"GUINEA-BISSAU", "GW", 12.0f, -15.0f},
    {"GUYANA", "GY", 5.0f, -59.0f},
    {"HAITI", "HT", 19.0f, -72.4f},
    {"HEARD ISLAND AND MCDONALD ISLANDS", "HM", -53.1f, 72.5f},
    {"HOLY SEE (VATICAN CITY STATE)", "VA", 41.9f, 12.5f},
    {"HONDURAS", "HN", 15.0f, -86.5f},
    {"HONG KONG", "HK", 22.3f, 114.2f},
    {"HUNGARY", "HU", 47.0f, 20.0f},
    {"ICELAND", "IS", 65.0f, -18.0f},
    {"INDIA", "IN", 20.0f, 77.0f},
    {"INDONESIA", "ID", -5.0f, 120.0f},
    {"IRAN, ISLAMIC REPUBLIC OF", "IR", 32.0f, 53.0f},
    {"IRAQ", "IQ", 33.0f, 44.0f},
    {"IRELAND", "IE", 53.0f, -8.0f},
    {"ISRAEL", "IL", 31.5f, 34.8f},
    {"ITALY", "IT", 42.8f, 12.8f},
    {"JAMAICA", "JM", 18.3f, -77.5f},
    {"JAPAN", "JP", 36.0f, 138.0f},
    {"JORDAN", "JO", 31.0f, 36.0f},
    {"KAZAKHSTAN", "KZ", 48.0f, 68.0f},
    {"KENYA", "KE", 1.0f, 38.0f},
    {"KIRIBATI", "KI", 1.4f, 173.0f},
    {"KOREA, DEMOCRATIC PEOPLE'S REPUBLIC OF", "KP", 40.0f, 127.0f},
    {"KOREA, REPUBLIC OF", "KR", 37.0f, 127.5f},
    {"KUWAIT", "KW", 29.3f, 47.7f},
    {"KYRGYZSTAN", "KG", 41.0f, 75.0f},
    {"LAO PEOPLE'S DEMOCRATIC REPUBLIC", "LA", 18.0f, 105.0f},
    {"LATVIA", "LV", 57.0f, 25.0f},
    {"LEBANON", "LB", 33.8f, 35.8f},
    {"LESOTHO", "LS", -29.5f, 28.5f},
    {"LIBERIA", "LR", 6.5f, -9.5f},
    {"LIBYAN ARAB JAMAHIRIYA", "LY", 25.0f, 17.0f},
    {"LIECHTENSTEIN", "LI", 47.2f, 9.5f},
    {"LITHUANIA", "LT", 56.0f, 24.0f},
    {"LUXEMBOURG", "LU", 49.8f, 6.2f},
    {"MACAO", "MO", 22.2f, 113.5f},
    {"MACEDONIA, THE FORMER YUGOSLAV REPUBLIC OF", "MK", 41.8f, 22.0f},
    {"MADAGASCAR", "MG", -20.0f, 47.0f},
    {"MALAWI", "MW", -13.5f, 34.0f},
    {"MALAYSIA", "MY", 2.5f, 112.5f},
    {"MALDIVES", "MV", 3.2f, 73.0f},
    {"MALI", "ML", 17.0f, -4.0f},
    {"MALTA", "MT", 35.9f, 14.4f},
    {"MARSHALL ISLANDS", "MH", 9.0f, 168.0f},
    {"MARTINIQUE", "MQ", 14.7f, -61.0f},
    {"MAURITANIA", "MR", 20.0f, -12.0f},
    {"MAURITIUS", "MU", -20.3f, 57.6f},
    {"MAYOTTE", "YT", -12.8f, 45.2f},
    {"MEXICO", "MX", 23.0f, -102.0f},
    {"MICRONESIA, FEDERATED STATES OF", "FM", 6.9f, 158.2f},
    {"MOLDOVA, REPUBLIC OF", "MD", 47.0f, 29.0f},
    {"MONACO", "MC", 43.7f, 7.4f},
    {"MONGOLIA", "MN", 46.0f, 105.0f},
    {"MONTSERRAT", "MS", 16.8f, -62.2f},
    {"MOROCCO", "MA", 32.0f, -5.0f},
    {"MOZAMBIQUE", "MZ", -18.3f, 35.0f},
    {"MYANMAR", "MM", 22.0f, 98.0f},
    {"NAMIBIA", "NA", -22.0f, 17.0f},
    {"NAURU", "NR", -0.5f, 166.9f},
    {"NEPAL", "NP", 28.0f, 84.0f},
    {"NETHERLANDS", "NL", 52.5f, 5.8f},
    {"NETHERLANDS ANTILLES", "AN", 12.3f, -69.0f},
    {"NEW CALEDONIA", "NC", -21.5f, 165.5f},
    {"NEW ZEALAND", "NZ", -41.0f, 174.0f},
    {"NICARAGUA", "NI", 13.0f, -85.0f},
    {"NIGER", "NE", 16.0f, 8.0f},
    {"NIGERIA", "NG", 10.0f, 8.0f},
    {"NIUE", "NU", -19.0f, -169.9f},
    {"NORFOLK ISLAND", "NF", -29.0f, 168.0f},
    {"NORTHERN MARIANA ISLANDS", "MP", 15.2f, 145.8f},
    {"NORWAY", "NO", 62.0f, 10.0f},
    {"OMAN", "OM", 21.0f, 57.0f},
    {"PAKISTAN", "PK", 30.0f, 70.0f},
    {"PALAU", "PW", 7.5f, 134.5f},
    {"PALESTINIAN TERRITORY, OCCUPIED", "PS", 32.0f, 35.3f},
    {"PANAMA", "PA", 9.0f, -80.0f},
    {"PAPUA NEW GUINEA", "PG", -6.0f, 147.0f},
    {"PARAGUAY", "PY", -23.0f, -58.0f},
    {"PERU", "PE", -10.0f, -76.0f},
    {"PHILIPPINES", "PH", 13.0f, 122.0f},
    {"PITCAIRN", "PN", -24.7f, -127.4f},
    {"POLAND", "PL", 52.0f, 20.0f},
    {"PORTUGAL", "PT", 39.5f, -8.0f},
    {"PUERTO RICO", "PR", 18.2f, -66.5f},
    {"QATAR", "QA", 25.5f, 51.3f},
    {"REUNION", "RE", -21.1f, 55.6f},
    {"ROMANIA", "RO", 46.0f, 25.0f},
    {"RUSSIAN FEDERATION", "RU", 60.0f, 100.0f},
    {"RWANDA", "RW", -2.0f, 30.0f},
    {"SAINT HELENA", "SH", -15.9f, -5.7f},
    {"SAINT KITTS AND NEVIS", "KN", 17.3f, -62.7f},
    {"SAINT LUCIA", "LC", 13.9f, -61.0f},
    {"SAINT PIERRE AND MIQUELON", "PM", 46.8f, -56.3f},
    {"SAINT VINCENT AND THE GRENADINES", "VC", 13.3f, -61.2f},
    {"SAMOA", "WS", -13.6f, -172.3f},
    {"SAN MARINO", "SM", 43.9f, 12.4f},
    {"SAO TOME AND PRINCIPE", "ST", 1.0f, 7.0f},
    {"SAUDI ARABIA", "SA", 25.0f, 45.0f},
    {"SENEGAL", "SN", 14.0f, -14.0f},
    {"SERBIA AND MONTENEGRO", "CS", 44.0f, 21.0f},
    {"SEYCHELLES", "SC", -4.6f, 55.7f},
    {"SIERRA LEONE", "SL", 8.5f, -11.5f},
    {"SINGAPORE", "SG", 1.4f, 103.8f},
    {"SLOVAKIA", "SK", 48.7f, 19.5f},
    {"SLOVENIA", "SI", 46.1f, 15.0f},
    {"SOLOMON ISLANDS", "SB", -8.0f, 159.0f},
    {"SOMALIA", "SO", 10.0f, 49.0f},
    {"SOUTH AFRICA", "ZA", -29.0f, 24.0f},
    {"SOUTH GEORGIA AND THE SOUTH SANDWICH ISLANDS", "GS", -54.5f, -37.0f},
    {"SPAIN", "ES", 40.0f, -4.0f},
    {"SRI LANKA", "LK", 7.0f, 81.0f},
    {"SUDAN", "SD", 15.0f, 30.0f},
    {"SURINAME", "SR", 4.0f, -56.0f},
    {"SVALBARD AND JAN MAYEN", "SJ", 78.0f, 20.0f},
    {"SWAZILAND", "SZ", -26.5f, 31.5f},
    {"SWEDEN", "SE", 62.0f, 15.0f},
    {"SWITZERLAND", "CH", 47.0f, 8.0f},
    {"SYRIAN ARAB REPUBLIC", "SY", 35.0f, 38.0f},
    {"TAIWAN, PROVINCE OF CHINA", "TW", 23.5f, 121.0f},
    {"TAJIKISTAN", "TJ", 39.0f, 71.0f},
    {"TANZANIA, UNITED REPUBLIC OF", "TZ", -6.0f, 35.0f},
    {"THAILAND", "TH", 15.0f, 100.0f},
    {"TIMOR-LESTE", "TL", -8.8f, 125.9f},
    {"TOGO", "TG", 8.0f, 1.2f},
    {"TOKELAU", "TK", -9.0f, -172.0f},
    {"TONGA", "TO", -20.0f, -175.0f},
    {"TRINIDAD AND TOBAGO", "TT", 11.0f, -61.0f},
    {"TUNISIA", "TN", 34.0f, 9.0f},
    {"TURKEY", "TR", 39.0f, 35.0f},
    {"TURKMENISTAN", "TM", 40.0f, 60.0f},
    {"TURKS AND CAICOS ISLANDS", "TC", 21.8f, -71.6f},
    {"TUVALU", "TV", -8.0f, 178.0f},
    {"UGANDA", "UG", 1.0f, 32.0f},
    {"UKRAINE", "UA", 49.0f, 32.0f},
    {"UNITED ARAB EMIRATES", "AE", 24.0f, 54.0f},
    {"UNITED KINGDOM", "GB", 54.0f, -2.0f},
    {"UNITED STATES", "US", 38.0f, -97.0f},
    {"UNITED STATES MINOR OUTLYING ISLANDS", "UM", 19.3f, 166.6f},
    {"URUGUAY", "UY", -33.0f, -56.0f},
    {"UZBEKISTAN", "UZ", 41.0f, 64.0f},
    {"VANUATU", "VU", -16.0f, 167.0f},
    {"VENEZUELA", "VE", 8.0f, -66.0f},
    {"VIET NAM", "VN", 16.0f, 106.0f},
    {"VIRGIN ISLANDS, BRITISH", "VG", 18.5f, -64.5f},
    {"VIRGIN ISLANDS, U.S.", "VI", 18.3f, -64.9f},
    {"WALLIS AND FUTUNA", "WF", -13.3f, -176.2f},
    {"WESTERN SAHARA", "EH", 24.5f, -13.0f},
    {"YEMEN", "YE", 15.0f, 48.0f},
    {"ZAMBIA", "ZM", -15.0f, 30.0f},
    {"ZIMBABWE", "ZW", -20.0f, 30.0f},
    {nullptr, nullptr, 0.0f, 0.0f},
};

const char *asset_CountryName(int index) {
  return index >= 0 && index < ASSET_COUNTRY_COUNT ? asset_Countries[index].name : nullptr;
}

const AssetCountry *asset_FindCountry(const char *name) {
  if (name == nullptr) return nullptr;
  for (const AssetCountry *c = asset_Countries; c->name; ++c)
    if (os_CompareNoCase(c->name, name) == 0) return c;
  return nullptr;
}

const char *asset_CountryCode(const char *name) {
  const AssetCountry *c = asset_FindCountry(name);
  return c ? c->code : "--";
}

const char *asset_CountryByCode(const char *code) {
  if (code == nullptr || strlen(code) != 2) return nullptr;
  for (const AssetCountry *c = asset_Countries; c->name; ++c)
    if (os_CompareNoCase(c->code, code) == 0) return c->name;
  return nullptr;
}

const AssetRegion *asset_FindRegion(char letter) {
  static const AssetRegion kRegions[] = {
      {'A', "ASIA", 39.504f, 72.246f},
      {'E', "EUROPE CIS", 54.368f, 4.922f},
      {'L', "LATIN AMERICA", -12.125f, -76.904f},
      {'M', "MIDDLE EAST AND NORTH AFRICA", 30.069f, 42.407f},
      {'N', "NORTH AMERICA", 48.807f, -104.414f},
      {'S', "SOUTHERN AND WEST AFRICA", 3.250f, 17.930f},
  };
  char up = (letter >= 'a' && letter <= 'z') ? static_cast<char>(letter - 32) : letter;
  for (const AssetRegion &r : kRegions)
    if (r.letter == up) return &r;
  return nullptr;
}

namespace {

// Offset of the '\' before the first component of `path` equal to `name`, or -1.
long ComponentAt(const char *path, const char *name) {
  size_t n = strlen(name);
  for (const char *p = strchr(path, '\\'); p != nullptr; p = strchr(p + 1, '\\')) {
    // A component lies between two '\': the last one of the path has no limit role.
    if (os_CompareNoCaseN(p + 1, name, n) == 0 && p[1 + n] == '\\') return static_cast<long>(p - path);
  }
  return -1;
}

}  // namespace

long asset_FolderLimit(const char *path, bool loggedDataOnly) {
  if (path == nullptr) return -1;
  if (!loggedDataOnly)
    for (const AssetCountry *c = asset_Countries; c->name; ++c) {
      long at = ComponentAt(path, c->name);
      if (at >= 0) return at;
    }
  return ComponentAt(path, "LOGGED_DATA");
}
