// A configuration tool as the plug-in's tests play it: the published host
// state, the scripted back end, string 801, a counted wait cursor, and a
// printer context that records what is drawn.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/os_print.h"
#include "platform/ui/ui_layer.h"

extern "C" __attribute__((visibility("default"))) UiHostState tnw_ui_host;

namespace cftest {

extern const char kString801[];
extern void *const kHostResources;

struct Host {
  uint8_t application[UI_APP_SIZE];
  UiScript script;
  int waitBegun = 0, waitEnded = 0;
};
Host &TheHost();
// Resets the script and the application block (server name, default port).
void ResetHost(const char *server, uint16_t defaultPort);

// Draws as a printer would, into lists of lines per page.
struct TextAt {
  int32_t x, y;
  std::string text;
};
struct Recorder {
  OsDc dc;
  int32_t width = 3000, height = 230, offsetX = 4, offsetY = 5, textHeight = 10;
  std::vector<std::vector<TextAt>> pages{1};
  int starts = 0, ends = 0;
  int failEndAt = 0;    // the n-th EndPage fails (0: none)
  Recorder();
  // Line n of a page (by y), "" when nothing was drawn there.
  std::string LineAt(size_t page, int line) const;
  // All texts of all pages, in order.
  std::vector<std::string> Texts() const;
};

}  // namespace cftest
