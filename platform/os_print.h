// Printer device contexts. An OsDc is a table of drawing operations over
// some surface, so a plug-in that carries its own copy of the platform draws
// on the surface its host opened. The cairo surface (PDF to a file, PNG of a
// page to look at) is made by the UI layer (platform/ui/ui_print.h); tests
// may fill the table with their own recorder.
//
// Units are device units (dots). Capabilities: the physical page size and
// the offsets of the printable area. Text is drawn in the context's single
// font, its top-left corner at (x, y).
#pragma once
#include <cstdint>

enum : int32_t {
  OS_DC_PHYSICALWIDTH = 110, OS_DC_PHYSICALHEIGHT = 111, OS_DC_PHYSICALOFFSETX = 112, OS_DC_PHYSICALOFFSETY = 113
};

struct OsTextMetrics {
  int32_t height;          // ascent + descent
  int32_t ascent;
  int32_t descent;
  int32_t aveCharWidth;
  int32_t maxCharWidth;
};

struct OsDc;
struct OsDcOps {
  int32_t (*getDeviceCaps)(OsDc *dc, int32_t index);           // 0 for an unknown index
  int (*getTextMetrics)(OsDc *dc, OsTextMetrics *out);         // 1 or 0
  int (*startPage)(OsDc *dc);                                  // > 0, or <= 0 on failure
  int (*endPage)(OsDc *dc);                                    // > 0, or <= 0 on failure
  int (*textOut)(OsDc *dc, int32_t x, int32_t y, const char *text, int32_t length);  // 1 or 0
};
struct OsDc {
  uint32_t size;           // sizeof(OsDc)
  const OsDcOps *ops;
  void *impl;
};

// Checked calls: a NULL or foreign context fails (0, or 0 for capabilities).
int32_t os_GetDeviceCaps(OsDc *dc, int32_t index);
int os_GetTextMetrics(OsDc *dc, OsTextMetrics *out);
int os_StartPage(OsDc *dc);
int os_EndPage(OsDc *dc);
int os_TextOut(OsDc *dc, int32_t x, int32_t y, const char *text, int32_t length);
