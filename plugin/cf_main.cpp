// The plug-in's load and its six entry points. The load finds the host's
// state; a library constructor cannot fail the load, so without host state
// every entry point does nothing (the print-outs give -1).
#include <cstring>

#include "plugin/cf_exports.h"
#include "plugin/connect/con_transports.h"
#include "plugin/ui/cf_dialogs.h"
#include "plugin/ui/cf_inet_dialog.h"
#include "plugin/ui/cf_print.h"

namespace {

// The plug-in's module handle: where its resources (the templates) are.
char g_module;
char g_helpPath[4096];

__attribute__((constructor)) void Load() {
  con_InstallTransports();
  ui_AttachHost();
  cf_InstallInternetErrorDialog();
  char path[4000];
  if (ui_ModulePath(reinterpret_cast<const void *>(&Load), path, sizeof path) == 0)
    cf_HelpPath(path, g_helpPath, sizeof g_helpPath);
}

// The dialogs take the plug-in's own resources; the host's handle comes back
// on every return.
struct OwnResources {
  const UiHostState *host;
  void *saved;
  explicit OwnResources(const UiHostState *h) : host(h), saved(ui_SwapResourceHandle(h, &g_module)) {}
  ~OwnResources() { ui_SwapResourceHandle(host, saved); }
};

struct WaitCursor {
  const UiHostState *host;
  explicit WaitCursor(const UiHostState *h) : host(h) {
    if (host && host->BeginWaitCursor) host->BeginWaitCursor();
  }
  ~WaitCursor() {
    if (host && host->EndWaitCursor) host->EndWaitCursor();
  }
};

}  // namespace

void DLL_ConfigAdvanDevSpecific(void *, HostDeviceRecord *device, int *changed) {
  const UiHostState *host = ui_Host();
  if (!host || !device || !changed) return;
  OwnResources own(host);
  cf_RunAdvancedDialog(device, changed, g_helpPath);
}

void DLL_ConfigChanDevSpecific(void *, uint32_t, uint32_t, uint32_t, ChannelRecord *record, int *changed) {
  const UiHostState *host = ui_Host();
  if (!host || !record || !changed) return;
  OwnResources own(host);
  cf_RunChannelDialog(record, changed, g_helpPath);
}

void DLL_PasteChannel(uint32_t, uint32_t, uint32_t, uint32_t, ChannelRecord *destination,
                      const ChannelRecord *source, int *pasted) {
  const UiHostState *host = ui_Host();
  if (!host || !destination || !source || !pasted) return;
  OwnResources own(host);
  if (chan_TypeByte(destination) == chan_TypeByte(source)) {
    memmove(destination, source, sizeof(ChannelRecord));
    *pasted = 1;
    return;
  }
  char text[UI_MESSAGE_TEXT];
  ui_LoadString(host, CF_IDS_KIND_MISMATCH, text, sizeof text);
  ui_MessageBox(text, UI_MB_ICONEXCLAMATION);
}

void DLL_Debug_Available(void) {}

int PrintConfig(OsDc *dc, const char *server, HostDeviceRecord *device, uint8_t type, int first, int last, int,
                ChannelRecord *records) {
  const UiHostState *host = ui_Host();
  if (!host) return -1;
  WaitCursor cursor(host);
  return prn_PrintConfig(dc, server, device, type, first, last, records);
}

int PrintAllConfig(OsDc *dc, const char *server, HostDeviceRecord *device, uint8_t autoEnable, uint8_t saveOutputs,
                   uint8_t saveByTag, int saveRate, DeviceConfig *config, ChannelRecord **types) {
  const UiHostState *host = ui_Host();
  if (!host) return -1;
  WaitCursor cursor(host);
  return prn_PrintAllConfig(dc, server, device, autoEnable, saveOutputs, saveByTag, saveRate, config, types);
}
