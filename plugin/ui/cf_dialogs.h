// The plug-in's two dialogs, its resources and its help.
#pragma once
#include <cstddef>

#include "framework/config/chan_record.h"
#include "platform/ui/ui_layer.h"
#include "plugin/ui/cf_host_record.h"

enum : int {
  CF_IDD_ADVANCED = 7000, CF_IDD_CHANNEL = 7001,
  CF_IDC_PORT = 7000, CF_IDC_PARITY = 7001, CF_IDC_BAUD = 7002, CF_IDC_DATA_BITS = 7003,
  CF_IDC_PUMP = 7001, CF_IDC_ITEM = 7002,
  CF_ITEM_COUNT = 73, CF_PORT_TEXT_MAX = 6, CF_IDS_KIND_MISMATCH = 801,
  CF_HELP_HIT_BASE = 0x20000
};

extern const UiTemplate cf_AdvancedTemplate;
extern const UiTemplate cf_ChannelTemplate;
extern const char *const cf_DigitalItems[CF_ITEM_COUNT];
extern const char *const cf_AnalogueItems[CF_ITEM_COUNT];

// The help path: the plug-in's path with its extension replaced by "chm"
// (a name without extension gets ".chm"). 0 or -1 when it does not fit.
int cf_HelpPath(const char *modulePath, char *out, size_t size);
// The help context of a dialog's hit-test: 0x20000 + its template.
int cf_HelpHitTest(int templateId);

// The device dialog on the record's serial settings: OK with a difference
// writes them and sets *changed to 1, OK without one sets 0, Cancel leaves
// both. helpPath: the plug-in's help path.
void cf_RunAdvancedDialog(HostDeviceRecord *record, int *changed, const char *helpPath);
// The channel dialog: OK stores pump and item and the item's text as
// description and sets *changed to 1; a list left without selection keeps
// what the record holds.
void cf_RunChannelDialog(ChannelRecord *record, int *changed, const char *helpPath);

// The port list of the device dialog on the server's serial-port key, the
// current port counted; used by the dialog and its tests.
void cf_FillPortList(UiDialog *dialog, const char *server, const char *current);
