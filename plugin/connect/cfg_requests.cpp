#include "plugin/connect/cfg_requests.h"


#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "framework/server/srv_client.h"
#include "framework/server/srv_private.h"
#include "framework/tables/tbl_text.h"
#include "platform/os_codepage.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_format.h"
#include "platform/os_io.h"

namespace {

enum : int { kReply = 256, kListReply = 65536, kChannelMax = 7, kFieldMax = 260, kParseCode = 1 };

int Fail(uint32_t code) {
  os_Fail(code);
  return -1;
}

bool Field(const char *s, size_t max = kFieldMax) {
  return s && strlen(s) <= max && !strchr(s, ',') && !strchr(s, '\t') && !strchr(s, ';');
}

std::string User() {
  char name[257] = "";
  uint32_t size = sizeof name;
  if (os_GetUserName(name, &size) != 0) name[0] = '\0';
  return name;
}

// Sends bytes; the reply (within its bytes) goes to *reply.
int Send(const char *server, const std::string &request, size_t capacity, std::string *reply = nullptr) {
  std::vector<char> buf(capacity, '\0');
  int n = static_cast<int>(capacity);
  int rc = con_Transact(server, request.data(), static_cast<int>(request.size()), buf.data(), &n);
  if (reply) reply->assign(buf.data(), strnlen(buf.data(), n > 0 ? static_cast<size_t>(n) : 0));
  return rc;
}

int SendLine(const char *server, const std::string &line, std::string *reply = nullptr, size_t capacity = kReply) {
  return Send(server, std::string(line.c_str(), line.size() + 1), capacity, reply);
}

// The comma-separated numbers of a reply, from its start; how many were read.
int Numbers(const std::string &reply, long long *out, int n) {
  const char *p = reply.c_str();
  int got = 0;
  while (got < n && *p) {
    char *end = nullptr;
    long long v = strtoll(p, &end, 10);
    if (end == p) break;
    out[got++] = v;
    p = *end == ',' ? end + 1 : end;
    if (*end != ',') break;
  }
  return got;
}

// A logged-data query goes only to a provider server.
bool ProviderOnly(const char *server) {
  if (srv_ConnectionKind(server) == SRV_KIND_PROVIDER) return true;
  os_Fail(OS_ERROR_NOT_SUPPORTED);
  return false;
}

void CopyReply(const std::string &reply, char *out, int *size) {
  if (!out || !size || *size <= 0) return;
  size_t n = reply.size() < static_cast<size_t>(*size) ? reply.size() : static_cast<size_t>(*size);
  memcpy(out, reply.data(), n);
  *size = static_cast<int>(n);
}

}  // namespace

int srv_RequestRV(const char *server, const char *argument, char *reply, int *size) {
  if (!Field(argument) || !reply || !size) return Fail(OS_ERROR_INVALID_PARAMETER);
  std::string line = std::string("RV,") + argument;
  line.push_back('\0');
  return con_Transact(server, line.data(), static_cast<int>(line.size()), reply, size);
}

int srv_RequestSV(const char *server, const char *channel, const char16_t *text) {
  if (!Field(channel, kChannelMax) || !text) return Fail(OS_ERROR_INVALID_PARAMETER);
  std::string request = std::string("SV,") + channel + "," + os_ComputerName() + "," + User() + ",";
  for (const char16_t *p = text;; ++p) {
    request.push_back(static_cast<char>(*p & 0xFF));
    request.push_back(static_cast<char>(*p >> 8));
    if (!*p) break;
  }
  return Send(server, request, kReply);
}

int srv_RequestFV(const char *server, const char *channel, double value) {
  if (!Field(channel, kChannelMax)) return Fail(OS_ERROR_INVALID_PARAMETER);
  char number[64];
  os_FormatC(number, sizeof number, "%g", value);  // '.' whatever the user's region
  return SendLine(server, std::string("FV,") + channel + "," + number + "," + os_ComputerName() + "," + User());
}

int srv_RequestDS(const char *server) { return SendLine(server, "DS," + User()); }
int srv_RequestES(const char *server) { return SendLine(server, "ES,"); }
int srv_RequestESCount(const char *server, int count) { return SendLine(server, "ES,*," + std::to_string(count)); }
int srv_RequestBS(const char *server) { return SendLine(server, "BS"); }
int srv_RequestRS(const char *server) { return SendLine(server, "RS"); }
int srv_RequestOS(const char *server) { return SendLine(server, "OS"); }

int srv_RequestTS(const char *server, int32_t *first, int16_t *second) {
  std::string reply;
  int rc = SendLine(server, "TS", &reply);
  long long v[2] = {0, 0};
  if (rc != -1 && Numbers(reply, v, 2) == 2) {
    if (first) *first = static_cast<int32_t>(v[0]);
    if (second) *second = static_cast<int16_t>(v[1]);
  }
  return rc;
}

int srv_RequestAS(const char *server, const char *text) {
  if (!Field(text)) return Fail(OS_ERROR_INVALID_PARAMETER);
  return SendLine(server, std::string("AS,") + text);
}

int srv_RequestTC(const char *server, const char *text, char *reply, int *size) {
  if (!text || strlen(text) > kFieldMax) return Fail(OS_ERROR_INVALID_PARAMETER);
  std::string r;
  int rc = SendLine(server, std::string("TC,") + text, &r, kReply);
  if (rc != -1) CopyReply(r, reply, size);
  return rc;
}

int srv_QueryFS(const char *server) { return ProviderOnly(server) ? SendLine(server, "FS") : -1; }
int srv_QueryWS(const char *server) { return ProviderOnly(server) ? SendLine(server, "WS") : -1; }
int srv_QueryPS(const char *server) { return ProviderOnly(server) ? SendLine(server, "PS") : -1; }
int srv_QueryMS(const char *server, uint32_t value) {
  return ProviderOnly(server) ? SendLine(server, "MS," + std::to_string(value)) : -1;
}

int srv_QueryNS(const char *server, uint32_t *count, int32_t *more) {
  if (count) *count = 0;
  if (more) *more = 0;
  if (!ProviderOnly(server)) return -1;
  std::string reply;
  int rc = SendLine(server, "NS", &reply);
  long long v[2] = {0, 0};
  int n = rc == -1 ? 0 : Numbers(reply, v, 2);
  if (n >= 1 && count) *count = static_cast<uint32_t>(v[0]);
  if (n >= 2 && more) *more = static_cast<int32_t>(v[1]);
  return rc;
}

int srv_QueryIS(const char *server, uint32_t *value) {
  if (value) *value = 0;
  if (!ProviderOnly(server)) return -1;
  std::string reply;
  int rc = SendLine(server, "IS", &reply);
  long long v = 0;
  if (rc != -1 && Numbers(reply, &v, 1) == 1 && value) *value = static_cast<uint32_t>(v);
  return rc;
}

int srv_Query5S(const char *server, int32_t a, uint32_t b, int32_t c, uint32_t d, uint32_t out[4], int32_t *last) {
  char line[128];
  snprintf(line, sizeof line, "5S,%d,%u,%d,%u", a, b, c, d);
  std::string reply;
  int rc = SendLine(server, line, &reply);
  long long v[5] = {0, 0, 0, 0, 0};
  if (rc == -1 || Numbers(reply, v, 5) != 5) memset(v, 0, sizeof v);
  for (int i = 0; i < 4 && out; ++i) out[i] = static_cast<uint32_t>(v[i]);
  if (last) *last = static_cast<int32_t>(v[4]);
  return rc;
}

int srv_Query6S(const char *server, const char *name, int64_t at, int32_t flag, uint32_t *value) {
  if (value) *value = 0;
  if (!Field(name)) return Fail(OS_ERROR_INVALID_PARAMETER);
  if (!ProviderOnly(server)) return -1;
  char line[kFieldMax + 64];
  snprintf(line, sizeof line, "6S,%s,%lld,%d", name, static_cast<long long>(at), flag);
  std::string reply;
  int rc = SendLine(server, line, &reply);
  long long v = 0;
  if (rc != -1 && Numbers(reply, &v, 1) == 1 && value) *value = static_cast<uint32_t>(v);
  return rc;
}

namespace {

int ThreeOut(const char *server, const char *line, uint32_t *out1, uint32_t *out2, int32_t *out3) {
  if (out1) *out1 = 0;
  if (out2) *out2 = 0;
  if (out3) *out3 = 0;
  if (!ProviderOnly(server)) return -1;
  std::string reply;
  int rc = SendLine(server, line, &reply);
  long long v[3];
  if (rc == -1 || Numbers(reply, v, 3) != 3) return rc;
  if (out1) *out1 = static_cast<uint32_t>(v[0]);
  if (out2) *out2 = static_cast<uint32_t>(v[1]);
  if (out3) *out3 = static_cast<int32_t>(v[2]);
  return rc;
}

}  // namespace

int srv_Query7S(const char *server, int32_t a, int64_t b, int32_t c, int64_t d, int64_t e, uint32_t f, int64_t g,
                int64_t h, int64_t i, int32_t j, uint32_t *out1, uint32_t *out2, int32_t *out3) {
  char line[256];
  snprintf(line, sizeof line, "7S,%d,%lld,%d,%lld,%lld,%u,%lld,%lld,%lld,%d", a, static_cast<long long>(b), c,
           static_cast<long long>(d), static_cast<long long>(e), f, static_cast<long long>(g),
           static_cast<long long>(h), static_cast<long long>(i), j);
  return ThreeOut(server, line, out1, out2, out3);
}

int srv_Query8S(const char *server, int32_t a, int64_t b, int32_t c, int64_t d, int64_t e, int32_t f, int64_t g,
                int64_t h, int64_t i, int32_t j, int64_t k, uint32_t *out1, uint32_t *out2, int32_t *out3) {
  char line[256];
  snprintf(line, sizeof line, "8S,%d,%lld,%d,%lld,%lld,%d,%lld,%lld,%lld,%d,%lld", a, static_cast<long long>(b), c,
           static_cast<long long>(d), static_cast<long long>(e), f, static_cast<long long>(g),
           static_cast<long long>(h), static_cast<long long>(i), j, static_cast<long long>(k));
  return ThreeOut(server, line, out1, out2, out3);
}

namespace {

int Invalid(const char *message, char **fields, const int *offsets, int i) {
  tbl_ReportError(kParseCode, message, offsets ? offsets[i] : -1, fields[i] ? static_cast<int>(strlen(fields[i])) : 0);
  return -2;
}

bool Present(char **fields, int count, int i) { return i < count && fields[i] && fields[i][0]; }

}  // namespace

int dev_ParseDeviceLine(DeviceCapRecord *r, char **fields, const int *offsets, int count, const DeviceCapRecord *first) {
  if (!r || !fields) return -2;
  memset(r, 0, sizeof *r);
  if (!Present(fields, count, 0)) return tbl_ReportError(kParseCode, "no device name specified", -1, 0), -2;
  size_t nameLen = strlen(fields[0]);
  if (nameLen > 8) return Invalid("device name too long", fields, offsets, 0);
  for (size_t i = 0; i < nameLen; ++i) r->Name[i] = static_cast<char>(toupper(static_cast<unsigned char>(fields[0][i])));
  if (!Present(fields, count, 1)) return tbl_ReportError(kParseCode, "no device number specified", -1, 0), -2;
  char *end = nullptr;
  long number = strtol(fields[1], &end, 10);
  if (*end || number < 1 || number > 99) return Invalid("invalid device number", fields, offsets, 1);
  r->Number = static_cast<uint8_t>(number);
  snprintf(r->Folder, sizeof r->Folder, "%s_%ld", r->Name, number);
  if (!Present(fields, count, 2)) return tbl_ReportError(kParseCode, "no print name specified", -1, 0), -2;
  if (strlen(fields[2]) > 24) return Invalid("print name too long", fields, offsets, 2);
  snprintf(r->PrintName, sizeof r->PrintName, "%s", fields[2]);
  for (const DeviceCapRecord *p = first; p && p < r; ++p) {
    if (strcmp(p->Name, r->Name) == 0 && p->Number == r->Number)
      return Invalid("duplicate device name and number", fields, offsets, 0);
    if (os_CompareNoCase(p->PrintName, r->PrintName) == 0) return Invalid("duplicate print name", fields, offsets, 2);
  }
  for (int i = 3; i < count && i < 9; ++i) {
    if (!fields[i][0]) continue;
    const char *colon = strchr(fields[i], ':');
    char code[3] = {0, 0, 0};
    size_t codeLen = colon ? static_cast<size_t>(colon - fields[i]) : strlen(fields[i]);
    if (codeLen <= 2) memcpy(code, fields[i], codeLen);
    long n = colon ? strtol(colon + 1, &end, 10) : 0;
    if (codeLen != 2 || (colon && *end)) code[0] = '\0';
    if (!tbl_CheckChannelSpec(code, colon && !*end ? static_cast<int>(n) : 0, offsets ? offsets[i] : -1,
                              static_cast<int>(strlen(fields[i]))))
      return -2;
    memcpy(r->Ranges[r->RangeCount].Code, code, 2);
    r->Ranges[r->RangeCount].Count = static_cast<uint16_t>(n);
    ++r->RangeCount;
  }
  if (r->RangeCount == 0) return tbl_ReportError(kParseCode, "no channel range(s) defined", -1, 0), -2;
  return 1;
}

int srv_ControlDevice(const char *server, const char *device, int command) {
  if (!Field(device)) return Fail(OS_ERROR_INVALID_PARAMETER);
  std::string line = std::string("CE,") + device + ",";
  if (command > 255) line += std::to_string(command);
  else line += static_cast<char>(toupper(command & 0xFF));
  return SendLine(server, line);
}

int srv_RequestDE(const char *server, const char *device) {
  return Field(device) ? SendLine(server, std::string("DE,") + device) : Fail(OS_ERROR_INVALID_PARAMETER);
}
int srv_RequestEE(const char *server, const char *device) {
  return Field(device) ? SendLine(server, std::string("EE,") + device) : Fail(OS_ERROR_INVALID_PARAMETER);
}
int srv_RequestSE(const char *server, const char *device, int value) {
  return Field(device) ? SendLine(server, std::string("SE,") + device + "," + std::to_string(value))
                       : Fail(OS_ERROR_INVALID_PARAMETER);
}

int srv_CountDevices(const char *server) {
  int n = SendLine(server, "QE,");
  return n == -1 ? srv_CountTableLines(server, "DEVCAP.TXT") : n;
}

namespace {

enum : int { kDeviceFields = 9 };

int DevicesFromTable(const char *server, const char *selector, DeviceCapRecord *records, int capacity) {
  char path[1024];
  if (!srv_TablePath(server, "DEVCAP.TXT", path, sizeof path) || tbl_Open(path) < 0) return -1;
  bool firstN = selector[0] == '*' && selector[1] == ',';
  int wanted = firstN ? atoi(selector + 2) : 0;
  std::vector<DeviceCapRecord> all;
  int filled = 0, result = 0;
  char *fields[kDeviceFields];
  int offsets[kDeviceFields];
  for (;;) {
    int count = tbl_ReadFields(fields, offsets, kDeviceFields);
    if (count <= 0) break;
    all.emplace_back();
    if (dev_ParseDeviceLine(&all.back(), fields, offsets, count, all.data()) != 1) {
      result = -2;
      break;
    }
    const DeviceCapRecord &r = all.back();
    bool take = firstN ? filled < wanted : (os_CompareNoCase(r.Name, selector) == 0 || os_CompareNoCase(r.Folder, selector) == 0 ||
                                            os_CompareNoCase(r.PrintName, selector) == 0);
    if (take && filled < capacity) records[filled++] = r;
    if (!firstN && filled) break;
    if (firstN && (filled >= wanted || filled >= capacity)) break;
  }
  // A bad line keeps the table open, so its error text can be read.
  if (result == -2) return -2;
  tbl_Close();
  return filled;
}

}  // namespace

int srv_GetDevices(const char *server, const char *selector, DeviceCapRecord *records, int capacity) {
  if (!selector || strlen(selector) > kFieldMax || (!records && capacity > 0) || capacity < 0)
    return Fail(OS_ERROR_INVALID_PARAMETER);
  std::string reply;
  int n = SendLine(server, std::string("IE,") + selector, &reply, kListReply);
  if (n == -1) return DevicesFromTable(server, selector, records, capacity);
  // "n,entry;entry;...", each entry a DEVCAP.TXT line.
  size_t at = reply.find(',');
  int filled = 0;
  std::vector<DeviceCapRecord> seen;
  seen.reserve(static_cast<size_t>(n < capacity ? (n > 0 ? n : 0) : capacity) + 1);
  while (at != std::string::npos && filled < n && filled < capacity) {
    size_t end = reply.find(';', at + 1);
    std::string entry = reply.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
    std::vector<char> text(entry.begin(), entry.end());
    text.push_back('\0');
    char *fields[kDeviceFields];
    int offsets[kDeviceFields];
    int count = tbl_SplitFields(text.data(), fields, offsets, kDeviceFields);
    seen.emplace_back();
    if (dev_ParseDeviceLine(&seen.back(), fields, offsets, count, seen.data()) != 1) return Fail(OS_ERROR_INVALID_DATA);
    records[filled++] = seen.back();
    at = end;
  }
  return filled;
}

int srv_GetDeviceTexts(const char *server, const char *selector, DeviceTextEntry *entries, int capacity) {
  if (!Field(selector) || (!entries && capacity > 0) || capacity < 0) return Fail(OS_ERROR_INVALID_PARAMETER);
  std::string reply;
  int n = SendLine(server, std::string("TE,") + selector, &reply, kListReply);
  if (n == -1) return -1;
  size_t at = reply.find(',');
  int filled = 0;
  while (at != std::string::npos && filled < n && filled < capacity) {
    size_t end = reply.find(';', at + 1);
    std::string entry = reply.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
    std::vector<char> text(entry.begin(), entry.end());
    text.push_back('\0');
    char *f[5];
    int count = tbl_SplitFields(text.data(), f, nullptr, 5);
    if (count < 3) return Fail(OS_ERROR_INVALID_DATA);
    DeviceTextEntry &e = entries[filled++];
    memset(&e, 0, sizeof e);
    for (int i = 0; i < 3; ++i) e.Numbers[i] = atoi(f[i]);
    if (count > 3) snprintf(e.Name, sizeof e.Name, "%.30s", f[3]);
    if (count > 4) snprintf(e.Text, sizeof e.Text, "%s", f[4]);
    at = end;
  }
  return filled;
}

void srv_FolderPath(char *out, size_t size, const char *base, const char *folder) {
  snprintf(out, size, "%s\\%s", base ? base : "", folder ? folder : "");
}
void srv_FolderXmlPath(char *out, size_t size, const char *base, const char *folder) {
  snprintf(out, size, "%s\\%s\\config.xml", base ? base : "", folder ? folder : "");
}
void srv_FolderConfigPath(char *out, size_t size, const char *base, const char *folder) {
  snprintf(out, size, "%s\\%s\\config", base ? base : "", folder ? folder : "");
}
void srv_XmlFilePath(char *out, size_t size, const char *base, const char *name) {
  snprintf(out, size, "%s\\%s.xml", base ? base : "", name ? name : "");
}
void srv_ErrorLine(char *out, size_t size) { snprintf(out, size, "Error %u\r\n", os_GetLastError()); }

namespace {

enum : int { kUnitsMax = 1024 };

// Device and processor folders are named "<NAME>_<nn>" (the instance is at
// most two digits, the device number 1..99), and byte 0 of a folder's
// "config" is its enable switch; the list tells which table a folder came
// from so a caller can address it with the device or the processor verbs.
int AppendUnits(const char *server, const char *base, int isDevice, std::string *list) {
  std::unique_ptr<char[][CFG_DF_NAME]> names(new char[kUnitsMax][CFG_DF_NAME]);
  int n = srv_ListDirectory(server, base, "*", 0, names.get(), kUnitsMax);
  if (n < 0) return -1;
  int count = 0;
  for (int i = 0; i < n; ++i) {
    std::string folder = names[static_cast<size_t>(i)];
    // A name holding the list's separators could not be read back.
    if (folder.empty() || folder == "." || folder == ".." || folder.find_first_of(",;") != std::string::npos) continue;
    std::string path = std::string(base) + "\\" + folder;
    if (srv_RemoteRequestBF(server, path.c_str()) != 1) continue;
    size_t cut = folder.rfind('_');
    std::string name = cut == std::string::npos ? folder : folder.substr(0, cut);
    std::string instance = cut == std::string::npos ? "" : folder.substr(cut + 1);
    uint8_t enabled = 0;
    int32_t got = 0;
    const CfgOpen open = {OS_GENERIC_READ, 3, 0, OS_OPEN_EXISTING, 0};
    if (!srv_RemoteReadFile(server, nullptr, (path + "\\config").c_str(), &enabled, 1, 0, 0, &open, &got) || got != 1)
      enabled = 0;
    char entry[CFG_DF_NAME + 16];
    snprintf(entry, sizeof entry, "%s,%.2s,%1d,%1d;", name.c_str(), instance.c_str(), enabled ? 1 : 0, isDevice);
    *list += entry;
    ++count;
  }
  return count;
}

}  // namespace

int srv_ListUnits(const char *server, char *out, int size) {
  if (!out || size <= 0) return Fail(OS_ERROR_INVALID_PARAMETER);
  out[0] = '\0';
  std::string list;
  int devices = AppendUnits(server, "TSQ_DEVICES", 1, &list);
  if (devices < 0) return -1;
  int processors = AppendUnits(server, "TSQ_PROCESSORS", 0, &list);
  if (processors < 0) return -1;
  if (list.size() + 1 > static_cast<size_t>(size)) return Fail(OS_ERROR_MORE_DATA);
  memcpy(out, list.c_str(), list.size() + 1);
  return devices + processors;
}

int srv_ParseUnitList(const char *text, UnitEntry *entries, int capacity) {
  if (!text || capacity < 0 || (!entries && capacity > 0)) return Fail(OS_ERROR_INVALID_PARAMETER);
  int n = 0;
  for (const char *at = text; *at;) {
    const char *end = strchr(at, ';');
    if (!end) return Fail(OS_ERROR_INVALID_DATA);
    std::string entry(at, static_cast<size_t>(end - at));
    at = end + 1;
    size_t c1 = entry.find(','), c2 = c1 == std::string::npos ? c1 : entry.find(',', c1 + 1),
           c3 = c2 == std::string::npos ? c2 : entry.find(',', c2 + 1);
    if (c3 == std::string::npos || entry.find(',', c3 + 1) != std::string::npos) return Fail(OS_ERROR_INVALID_DATA);
    std::string name = entry.substr(0, c1), instance = entry.substr(c1 + 1, c2 - c1 - 1),
                enabled = entry.substr(c2 + 1, c3 - c2 - 1), device = entry.substr(c3 + 1);
    auto flag = [](const std::string &s) { return s.size() == 1 && (s[0] == '0' || s[0] == '1'); };
    if (name.empty() || name.size() >= CFG_DF_NAME || instance.size() > 2 || !flag(enabled) || !flag(device))
      return Fail(OS_ERROR_INVALID_DATA);
    if (n < capacity) {
      UnitEntry &e = entries[n];
      memset(&e, 0, sizeof e);
      memcpy(e.Name, name.c_str(), name.size());
      memcpy(e.Instance, instance.c_str(), instance.size());
      e.Enabled = static_cast<uint8_t>(enabled[0] - '0');
      e.IsDevice = static_cast<uint8_t>(device[0] - '0');
    }
    ++n;
  }
  return n < capacity ? n : capacity;
}
