// The print-out's cost over drawing its text: PrintAllConfig of five types of
// 1000 enabled channels (records given) through the loaded plug-in onto a PDF
// surface, against the same lines, captured in that run, drawn by TextOut
// straight onto a like surface. Prints print_ratio; exits 1 above 1.20.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "framework/config/chan_text.h"
#include "platform/os_env.h"
#include "platform/ui/ui_layer.h"
#include "platform/ui/ui_print.h"
#include "plugin/cf_exports.h"

namespace {

uint8_t g_application[UI_APP_SIZE];
UiScript g_script;
char g_resources;

}  // namespace

extern "C" __attribute__((visibility("default"))) UiHostState tnw_ui_host;
UiHostState tnw_ui_host = {sizeof(UiHostState), g_application, &g_resources, nullptr, nullptr, nullptr,
                           nullptr, UI_BACKEND_SCRIPTED, &g_script, nullptr};

namespace {

enum Op { OP_TEXT, OP_END, OP_START };
struct Step {
  Op op;
  int32_t x, y;
  std::string text;
};

// Forwards to a PDF context and keeps what was asked of it.
struct Capture {
  OsDc dc;
  OsDc *target;
  std::vector<Step> steps;
};
Capture *Of(OsDc *dc) { return static_cast<Capture *>(dc->impl); }
int32_t Caps(OsDc *dc, int32_t i) { return os_GetDeviceCaps(Of(dc)->target, i); }
int Metrics(OsDc *dc, OsTextMetrics *m) { return os_GetTextMetrics(Of(dc)->target, m); }
int Start(OsDc *dc) {
  Of(dc)->steps.push_back({OP_START, 0, 0, {}});
  return os_StartPage(Of(dc)->target);
}
int End(OsDc *dc) {
  Of(dc)->steps.push_back({OP_END, 0, 0, {}});
  return os_EndPage(Of(dc)->target);
}
int Text(OsDc *dc, int32_t x, int32_t y, const char *t, int32_t n) {
  Of(dc)->steps.push_back({OP_TEXT, x, y, std::string(t, static_cast<size_t>(n))});
  return os_TextOut(Of(dc)->target, x, y, t, n);
}
const OsDcOps kCaptureOps = {Caps, Metrics, Start, End, Text};

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

ChannelRecord Channel(int type, int n) {
  ChannelRecord r;
  memset(&r, 0, sizeof r);
  r.raw[CHAN_TYPE_OFFSET] = static_cast<uint8_t>(type);
  chan_SetFlagBit(&r, CHAN_FLAG_ENABLE, true);
  chan_SetTag(&r, ("TAG" + std::to_string(n)).c_str());
  chan_SetDescription(&r, "CYL1 PRESS");
  if (type & 1) {
    chan_SetFlagBit(&r, CHAN_DF_EVENT_ENABLE, true);
    chan_SetFlagBit(&r, CHAN_DF_ALARM_ENABLE, true);
    memcpy(r.d.LowStateText, "STOPPED", 7);
    memcpy(r.d.HighStateText, "RUNNING", 7);
    memcpy(r.d.AlarmText, "PUMP STOPPED", 12);
  } else {
    chan_SetUnits(&r, "BAR");
    for (int bit : {CHAN_AF_EVENT_ENABLE, CHAN_AF_LOW_ALARM_ENABLE, CHAN_AF_HIGH_ALARM_ENABLE,
                    CHAN_AF_LOW_WARNING_ENABLE, CHAN_AF_HIGH_ALARM_DEADBAND_ENABLE, CHAN_AF_SIG_CHANGE_ENABLE})
      chan_SetFlagBit(&r, bit, true);
    float v[] = {1.5f, 250.25f, 12.5f, 99999.9f};
    memcpy(r.raw + offsetof(ChannelAnalogue, LowEventLimit), &v[0], 4);
    memcpy(r.raw + offsetof(ChannelAnalogue, HighEventLimit), &v[1], 4);
    memcpy(r.raw + offsetof(ChannelAnalogue, LowAlarmLimit), &v[2], 4);
    memcpy(r.raw + offsetof(ChannelAnalogue, HighAlarmLimit), &v[3], 4);
    memcpy(r.a.LowAlarmText, "PRESSURE LOW", 12);
    memcpy(r.a.HighAlarmText, "PRESSURE HIGH", 13);
  }
  return r;
}

}  // namespace

int main() {
  OsModuleHandle lib = os_LoadLibrary("tnwll_cf.dll");
  CfPrintAllConfig printAll =
      lib ? reinterpret_cast<CfPrintAllConfig>(os_GetProcAddress(lib, "PrintAllConfig")) : nullptr;
  if (!printAll) {
    fprintf(stderr, "bench_print: cannot load tnwll_cf.dll\n");
    return 2;
  }
  const int kChannels = 1000;
  HostDeviceRecord device;
  memset(&device, 0, sizeof device);
  memcpy(device.name, "PUMPHOUSE", 9);
  memcpy(device.folder, "TNWELL1", 7);
  const char *codes[IO_TYPE_COUNT] = {"AI", "DI", "AO", "DO", "CI"};
  std::vector<ChannelRecord> records[IO_TYPE_COUNT];
  ChannelRecord *types[IO_TYPE_COUNT];
  for (int t = 0; t < IO_TYPE_COUNT; ++t) {
    memcpy(device.types[t].code, codes[t], 2);
    device.types[t].count = kChannels;
    for (int n = 1; n <= kChannels; ++n) records[t].push_back(Channel(t, n));
    types[t] = records[t].data();
  }
  DeviceConfig config;
  memset(&config, 0, sizeof config);
  config.ScanRate = 1000;
  std::string dir = "/tmp";
  UiPrintOptions options = ui_A4Landscape();
  double best = 1e9;
  size_t lines = 0;
  int pages = 0;
  for (int rep = 0; rep < 5; ++rep) {
    OsDc *pdf = ui_CreatePdfDc((dir + "/bench_print_a.pdf").c_str(), &options);
    Capture capture{{sizeof(OsDc), &kCaptureOps, nullptr}, pdf, {}};
    capture.dc.impl = &capture;
    capture.steps.reserve(30000);
    double t0 = Now();
    int r = printAll(&capture.dc, "SCADA1", &device, 1, 1, 0, 90500, &config, types);
    double printTime = Now() - t0;
    pages = ui_PdfPageCount(pdf);
    ui_ClosePdfDc(pdf);
    if (r < 0) {
      fprintf(stderr, "bench_print: the print-out failed\n");
      return 2;
    }
    OsDc *plain = ui_CreatePdfDc((dir + "/bench_print_b.pdf").c_str(), &options);
    double t1 = Now();
    for (const Step &s : capture.steps) {
      if (s.op == OP_TEXT)
        os_TextOut(plain, s.x, s.y, s.text.data(), static_cast<int32_t>(s.text.size()));
      else if (s.op == OP_END)
        os_EndPage(plain);
      else
        os_StartPage(plain);
    }
    double drawTime = Now() - t1;
    ui_ClosePdfDc(plain);
    lines = 0;
    for (const Step &s : capture.steps) lines += s.op == OP_TEXT;
    double ratio = printTime / drawTime;
    if (ratio < best) best = ratio;
    printf("run %d: print %.3f s, draw %.3f s\n", rep + 1, printTime, drawTime);
  }
  remove((dir + "/bench_print_a.pdf").c_str());
  remove((dir + "/bench_print_b.pdf").c_str());
  printf("lines %zu pages %d\n", lines, pages);
  printf("print_ratio %.3f\n", best);
  return best <= 1.20 ? 0 : 1;
}
