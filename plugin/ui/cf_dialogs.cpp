// The device dialog (serial settings, ports from the server's registry) and
// the channel dialog (pump and pump item of a channel).
#include "plugin/ui/cf_dialogs.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "framework/config/chan_text.h"
#include "platform/os_error.h"
#include "platform/os_registry.h"

namespace {

const char kSerialKey[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
const char kAdvancedTopic[] = "::/html/HIDD_ADVANCED_DEV_SPEC.htm";
const char kChannelTopic[] = "::/html/HIDD_CHANNEL_DEV_SPEC.htm";

// List position <-> stored value.
const uint32_t kBaudValues[] = {300, 1200, 9600, 19200, 38400};
const int32_t kParityValues[] = {EX_PARITY_NONE, EX_PARITY_ODD, EX_PARITY_EVEN, EX_PARITY_SPACE, EX_PARITY_MARK};
const uint32_t kDataBitValues[] = {5, 6, 7, 8};

template <typename T, size_t N>
int PositionOf(const T (&values)[N], T value) {
  for (size_t i = 0; i + 1 < N; ++i)
    if (values[i] == value) return static_cast<int>(i);
  return static_cast<int>(N) - 1;  // any other value: the last entry
}

template <typename T, size_t N>
T ValueAt(const T (&values)[N], int position) {
  return values[position >= 0 && static_cast<size_t>(position) < N ? position : N - 1];
}

void ShowHelp(const char *helpPath, const char *topic) {
  std::string t = std::string(helpPath ? helpPath : "") + topic;
  ui_OpenHelp(t.c_str());
}

// A computer name the registry can be asked on: not empty, no path or URL.
bool IsMachineName(const char *server) {
  return server[0] != '\0' && strpbrk(server, "/\\:") == nullptr;
}

struct Advanced {
  CfSerial work;
  HostDeviceRecord *record;
  int *changed;
  const char *helpPath;
};

bool AdvancedOk(UiDialog *d, void *context) {
  Advanced *a = static_cast<Advanced *>(context);
  const char *port = ui_ListText(d, CF_IDC_PORT, ui_ListSelection(d, CF_IDC_PORT));
  if (port && strlen(port) < sizeof a->work.ComPort) memcpy(a->work.ComPort, port, strlen(port) + 1);
  a->work.BaudRate = ValueAt(kBaudValues, ui_ListSelection(d, CF_IDC_BAUD));
  a->work.Parity = ValueAt(kParityValues, ui_ListSelection(d, CF_IDC_PARITY));
  a->work.DataBits = ValueAt(kDataBitValues, ui_ListSelection(d, CF_IDC_DATA_BITS));
  uint8_t *stored = cf_SerialBytes(a->record);
  if (memcmp(stored, &a->work, CF_SERIAL_BYTES) != 0) {
    memcpy(stored, &a->work, CF_SERIAL_BYTES);
    *a->changed = 1;
  } else {
    *a->changed = 0;
  }
  return true;
}

void AdvancedHelp(UiDialog *, void *context) { ShowHelp(static_cast<Advanced *>(context)->helpPath, kAdvancedTopic); }

struct Channel {
  ChannelRecord *record;
  int *changed;
  const char *helpPath;
  size_t pumpAt, itemAt;
  const char *const *items;
};

void PutU32(ChannelRecord *r, size_t at, uint32_t v) { memcpy(r->raw + at, &v, sizeof v); }
uint32_t GetU32(const ChannelRecord *r, size_t at) {
  uint32_t v;
  memcpy(&v, r->raw + at, sizeof v);
  return v;
}

bool ChannelOk(UiDialog *d, void *context) {
  Channel *c = static_cast<Channel *>(context);
  // A list left without selection (a stored value it does not show) keeps
  // the record's value and description.
  int pump = ui_ListSelection(d, CF_IDC_PUMP);
  if (pump >= 0) PutU32(c->record, c->pumpAt, static_cast<uint32_t>(pump));
  int item = ui_ListSelection(d, CF_IDC_ITEM);
  if (item >= 0) {
    PutU32(c->record, c->itemAt, static_cast<uint32_t>(item));
    chan_SetDescription(c->record, c->items[item]);
  }
  *c->changed = 1;
  return true;
}

void ChannelHelp(UiDialog *, void *context) { ShowHelp(static_cast<Channel *>(context)->helpPath, kChannelTopic); }

int SelectionOf(uint32_t stored) { return stored > 0x7fffffffu ? -1 : static_cast<int>(stored); }

}  // namespace

void cf_FieldText(const char *field, size_t fieldSize, char *out, size_t outSize) {
  if (outSize == 0) return;
  size_t n = strnlen(field, fieldSize);
  if (n >= outSize) n = outSize - 1;
  memcpy(out, field, n);
  out[n] = '\0';
}

int cf_HelpPath(const char *modulePath, char *out, size_t size) {
  std::string p(modulePath);
  size_t slash = p.find_last_of('/');
  size_t dot = p.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) p += '.';
  else p.erase(dot + 1);
  p += "chm";
  if (p.size() >= size) return -1;
  memcpy(out, p.c_str(), p.size() + 1);
  return 0;
}

int cf_HelpHitTest(int templateId) { return CF_HELP_HIT_BASE + templateId; }

void cf_FillPortList(UiDialog *dialog, const char *server, const char *current) {
  bool present = false;
  OsHKey root = nullptr;
  std::string machine = std::string("\\\\") + server;
  if (IsMachineName(server) && os_RegConnectRegistry(machine.c_str(), OS_HKEY_LOCAL_MACHINE, &root) == 0) {
    OsHKey key = nullptr;
    // Open only: creating the key here would shadow the ports the machine shows.
    if (os_RegOpenKeyEx(root, kSerialKey, 0, OS_KEY_READ, &key) == 0) {
      for (uint32_t i = 0;; ++i) {
        char name[100];
        uint8_t data[10];
        uint32_t nameSize = sizeof name, dataSize = sizeof data, type = 0;
        int32_t rc = os_RegEnumValue(key, i, name, &nameSize, &type, data, &dataSize);
        if (rc == OS_ERROR_MORE_DATA) continue;  // too big to be a port; later ones still count
        if (rc != 0) break;
        if (type != OS_REG_SZ || dataSize > sizeof data) continue;
        size_t n = strnlen(reinterpret_cast<const char *>(data), dataSize);
        if (n > CF_PORT_TEXT_MAX) continue;
        char text[CF_PORT_TEXT_MAX + 1];
        memcpy(text, data, n);
        text[n] = '\0';
        ui_ListAdd(dialog, CF_IDC_PORT, text);
        if (strcmp(text, current) == 0) present = true;
      }
      os_RegCloseKey(key);
    }
    if (root != OS_HKEY_LOCAL_MACHINE) os_RegCloseKey(root);
  }
  if (!present) ui_ListAdd(dialog, CF_IDC_PORT, current);
}

void cf_RunAdvancedDialog(HostDeviceRecord *record, int *changed, const char *helpPath) {
  Advanced a;
  memcpy(&a.work, cf_SerialBytes(record), CF_SERIAL_BYTES);
  a.record = record;
  a.changed = changed;
  a.helpPath = helpPath;
  const UiHostState *host = ui_Host();
  char server[1600];
  ui_HostServerName(host, server, sizeof server);
  char current[sizeof a.work.ComPort + 1];
  cf_FieldText(a.work.ComPort, sizeof a.work.ComPort, current, sizeof current);
  if (current[0] == '\0') {
    unsigned port = ui_HostDefaultPort(host);
    // "COM1000" would not fit the port field: empty means "COM<instance>:".
    if (port <= 999) snprintf(current, sizeof current, "COM%u", port);
    memset(a.work.ComPort, 0, sizeof a.work.ComPort);
    memcpy(a.work.ComPort, current, strlen(current));
    a.work.BaudRate = 9600;
    a.work.Parity = EX_PARITY_NONE;
    a.work.DataBits = 8;
  }
  UiDialog *d = ui_DialogCreate(&cf_AdvancedTemplate);
  cf_FillPortList(d, server, current);
  ui_ListSelectExact(d, CF_IDC_PORT, current);
  ui_ListSetSelection(d, CF_IDC_BAUD, PositionOf(kBaudValues, a.work.BaudRate));
  ui_ListSetSelection(d, CF_IDC_PARITY, PositionOf(kParityValues, a.work.Parity));
  ui_ListSetSelection(d, CF_IDC_DATA_BITS, PositionOf(kDataBitValues, a.work.DataBits));
  UiDialogHooks hooks = {AdvancedOk, AdvancedHelp, &a};
  ui_DialogRun(d, &hooks);
  ui_DialogFree(d);
}

void cf_RunChannelDialog(ChannelRecord *record, int *changed, const char *helpPath) {
  bool digital = record->raw[offsetof(ChannelAnalogue, Type)] & 1;
  Channel c = {record, changed, helpPath, digital ? 192u : 188u, digital ? 196u : 192u,
               digital ? cf_DigitalItems : cf_AnalogueItems};
  UiDialog *d = ui_DialogCreate(&cf_ChannelTemplate);
  for (int i = 0; i < CF_ITEM_COUNT; ++i) ui_ListAdd(d, CF_IDC_ITEM, c.items[i]);
  ui_ListSetSelection(d, CF_IDC_PUMP, SelectionOf(GetU32(record, c.pumpAt)));
  ui_ListSetSelection(d, CF_IDC_ITEM, SelectionOf(GetU32(record, c.itemAt)));
  UiDialogHooks hooks = {ChannelOk, ChannelHelp, &c};
  ui_DialogRun(d, &hooks);
  ui_DialogFree(d);
}
