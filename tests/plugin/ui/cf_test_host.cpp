#include "tests/plugin/ui/cf_test_host.h"

#include <cstdio>

namespace cftest {

const char kString801[] = "The channel types differ: nothing pasted.";
static char g_hostResources;
void *const kHostResources = &g_hostResources;

namespace {

Host g_host;

int LoadString(uint32_t id, char *out, int size) {
  if (id != 801 || size <= 0) return 0;
  return snprintf(out, static_cast<size_t>(size), "%s", kString801);
}
void BeginWait() { ++g_host.waitBegun; }
void EndWait() { ++g_host.waitEnded; }

Recorder *Of(OsDc *dc) { return static_cast<Recorder *>(dc->impl); }

int32_t Caps(OsDc *dc, int32_t index) {
  Recorder *r = Of(dc);
  switch (index) {
    case OS_DC_PHYSICALWIDTH: return r->width;
    case OS_DC_PHYSICALHEIGHT: return r->height;
    case OS_DC_PHYSICALOFFSETX: return r->offsetX;
    case OS_DC_PHYSICALOFFSETY: return r->offsetY;
    default: return 0;
  }
}
int Metrics(OsDc *dc, OsTextMetrics *out) {
  out->height = Of(dc)->textHeight;
  out->ascent = out->height - 2;
  out->descent = 2;
  out->aveCharWidth = out->maxCharWidth = 6;
  return 1;
}
int Start(OsDc *dc) {
  Recorder *r = Of(dc);
  ++r->starts;
  r->pages.emplace_back();
  return 1;
}
int End(OsDc *dc) {
  Recorder *r = Of(dc);
  ++r->ends;
  return r->failEndAt == r->ends ? 0 : 1;
}
int Text(OsDc *dc, int32_t x, int32_t y, const char *text, int32_t length) {
  Of(dc)->pages.back().push_back({x, y, std::string(text, static_cast<size_t>(length))});
  return 1;
}
const OsDcOps kOps = {Caps, Metrics, Start, End, Text};

}  // namespace

Host &TheHost() { return g_host; }

void ResetHost(const char *server, uint16_t defaultPort) {
  memset(&g_host.script, 0, sizeof g_host.script);
  memset(g_host.application, 0, sizeof g_host.application);
  snprintf(reinterpret_cast<char *>(g_host.application + UI_APP_SERVER_NAME),
           UI_APP_DEFAULT_PORT - UI_APP_SERVER_NAME, "%s", server);
  memcpy(g_host.application + UI_APP_DEFAULT_PORT, &defaultPort, sizeof defaultPort);
  g_host.waitBegun = g_host.waitEnded = 0;
  tnw_ui_host.resourceHandle = kHostResources;
}

Recorder::Recorder() {
  dc.size = sizeof dc;
  dc.ops = &kOps;
  dc.impl = this;
}

std::string Recorder::LineAt(size_t page, int line) const {
  if (page >= pages.size()) return "";
  for (const TextAt &t : pages[page])
    if (t.y == offsetY + line * textHeight) return t.text;
  return "";
}

std::vector<std::string> Recorder::Texts() const {
  std::vector<std::string> all;
  for (const auto &p : pages)
    for (const TextAt &t : p) all.push_back(t.text);
  return all;
}

}  // namespace cftest

UiHostState tnw_ui_host = {sizeof(UiHostState),
                           cftest::TheHost().application,
                           cftest::kHostResources,
                           cftest::LoadString,
                           cftest::BeginWait,
                           cftest::EndWait,
                           nullptr,
                           UI_BACKEND_SCRIPTED,
                           &cftest::TheHost().script,
                           nullptr};
