// Request lines the plug-in module offers beyond its own needs: value
// requests, logged-data queries (answered in process by a provider server),
// device requests with the DEVCAP.TXT table behind them, server path
// builders and an error line writer. Each returns the reply's result, or -1
// (fields holding their separator or too long: error 87, nothing sent).
#pragma once
#include <cstddef>
#include <cstdint>

#include "plugin/connect/cfg_files.h"

// Value requests. Channel names of SV and FV hold at most 7 characters.
int srv_RequestRV(const char *server, const char *argument, char *reply, int *size);
int srv_RequestSV(const char *server, const char *channel, const char16_t *text);
int srv_RequestFV(const char *server, const char *channel, double value);
int srv_RequestDS(const char *server);
int srv_RequestES(const char *server);
int srv_RequestESCount(const char *server, int count);
int srv_RequestBS(const char *server);
int srv_RequestRS(const char *server);
int srv_RequestTS(const char *server, int32_t *first, int16_t *second);
int srv_RequestOS(const char *server);
int srv_RequestAS(const char *server, const char *text);
int srv_RequestTC(const char *server, const char *text, char *reply, int *size);

// Logged-data queries: only a provider server (kind 3) is asked, any other
// gives -1 unsent; "5S" goes to every server. Outputs are 0 after a failure.
int srv_QueryFS(const char *server);
int srv_QueryNS(const char *server, uint32_t *count, int32_t *more);
int srv_QueryIS(const char *server, uint32_t *value);
int srv_QueryWS(const char *server);
int srv_QueryPS(const char *server);
int srv_QueryMS(const char *server, uint32_t value);
int srv_Query5S(const char *server, int32_t a, uint32_t b, int32_t c, uint32_t d, uint32_t out[4], int32_t *last);
int srv_Query6S(const char *server, const char *name, int64_t at, int32_t flag, uint32_t *value);
int srv_Query7S(const char *server, int32_t a, int64_t b, int32_t c, int64_t d, int64_t e, uint32_t f, int64_t g,
                int64_t h, int64_t i, int32_t j, uint32_t *out1, uint32_t *out2, int32_t *out3);
int srv_Query8S(const char *server, int32_t a, int64_t b, int32_t c, int64_t d, int64_t e, int32_t f, int64_t g,
                int64_t h, int64_t i, int32_t j, int64_t k, uint32_t *out1, uint32_t *out2, int32_t *out3);

// One device of DEVCAP.TXT or of an "IE" reply.
struct DeviceCapRecord {
  char Name[9];        // upper case
  char Folder[12];     // "<NAME>_<number>"
  char PrintName[25];  // as written
  uint8_t Number;      // 1..99
  uint8_t RangeCount;  // 1..6
  struct {
    char Code[2];
    uint16_t Count;
  } Ranges[6];
};
static_assert(sizeof(DeviceCapRecord) == 72);

// Checks a DEVCAP.TXT line (fields as read) against the devices before it
// (first..record). 1 valid, -2 with the table's error text set.
int dev_ParseDeviceLine(DeviceCapRecord *record, char **fields, const int *offsets, int count,
                        const DeviceCapRecord *first);

int srv_ControlDevice(const char *server, const char *device, int command);  // "CE", a code or a letter
int srv_RequestDE(const char *server, const char *device);
int srv_RequestEE(const char *server, const char *device);
int srv_RequestSE(const char *server, const char *device, int value);
// "QE,": the number of devices; unanswered, the lines of DEVCAP.TXT.
int srv_CountDevices(const char *server);
// "IE,<selector>" ("*,n" the first n, else a name); unanswered, DEVCAP.TXT.
// The number of records, -2 for a line that fails its check (its text in
// tbl_GetErrorText until the thread's next table), or -1.
int srv_GetDevices(const char *server, const char *selector, DeviceCapRecord *records, int capacity);
struct DeviceTextEntry {
  int32_t Numbers[3];
  char Name[31];
  char Text[129];
};
// "TE,<selector>": entries of three numbers, a name and an optional text.
int srv_GetDeviceTexts(const char *server, const char *selector, DeviceTextEntry *entries, int capacity);

// Server paths of a device, processor or logger folder.
void srv_FolderPath(char *out, size_t size, const char *base, const char *folder);       // "%s\%s"
void srv_FolderXmlPath(char *out, size_t size, const char *base, const char *folder);    // "%s\%s\config.xml"
void srv_FolderConfigPath(char *out, size_t size, const char *base, const char *folder); // "%s\%s\config"
void srv_XmlFilePath(char *out, size_t size, const char *base, const char *name);        // "%s\%s.xml"
// "Error <last error>\r\n".
void srv_ErrorLine(char *out, size_t size);

// One entry of the device and processor list.
struct UnitEntry {
  char Name[CFG_DF_NAME];
  char Instance[3];     // the folder's "_nn" suffix, at most two characters
  uint8_t Enabled;      // byte 0 of the folder's "config" (0 when unreadable)
  uint8_t IsDevice;     // 1 from TSQ_DEVICES, 0 from TSQ_PROCESSORS
};
// The folders of the server's TSQ_DEVICES, then TSQ_PROCESSORS, as
// "%s,%.2s,%1d,%1d;" entries (name, instance, enabled, device) into out.
// The number of entries, or -1 (a list that does not fit: error 234).
int srv_ListUnits(const char *server, char *out, int size);
// Such a list back into entries: their number, or -1 for any entry not of
// that shape; never more than capacity entries are written.
int srv_ParseUnitList(const char *text, UnitEntry *entries, int capacity);
