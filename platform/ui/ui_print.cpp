// The cairo printer context.
#include "platform/ui/ui_print.h"

#include <cairo-pdf.h>
#include <cairo.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/os_codepage.h"

namespace {

struct Drawn {
  int32_t x, y;
  std::string utf8;
};

struct PdfDc {
  OsDc dc;
  UiPrintOptions options;
  cairo_surface_t *surface = nullptr;
  cairo_t *cr = nullptr;
  OsTextMetrics metrics{};
  bool pageOpen = true;
  int pages = 0;
  std::vector<Drawn> page, lastPage;
};

PdfDc *Of(OsDc *dc) { return static_cast<PdfDc *>(dc->impl); }

double Scale(const PdfDc *p) { return 72.0 / p->options.dpi; }
int32_t Dots(const PdfDc *p, double pt) { return static_cast<int32_t>(std::lround(pt / Scale(p))); }

std::string ToUtf8(const char *text, int32_t length) {
  std::vector<char16_t> wide(static_cast<size_t>(length) + 1);
  size_t n = os_Cp1252ToUtf16(text, static_cast<size_t>(length), wide.data(), wide.size());
  std::string out(n * 3 + 1, '\0');
  size_t m = os_Utf16ToUtf8(wide.data(), n, out.data(), out.size());
  out.resize(m);
  return out;
}

void SetFont(cairo_t *cr, const PdfDc *p) {
  cairo_select_font_face(cr, p->options.font, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, p->options.pointSize * p->options.dpi / 72.0);
}

int32_t Caps(OsDc *dc, int32_t index) {
  PdfDc *p = Of(dc);
  switch (index) {
    case OS_DC_PHYSICALWIDTH: return Dots(p, p->options.widthPt);
    case OS_DC_PHYSICALHEIGHT: return Dots(p, p->options.heightPt);
    case OS_DC_PHYSICALOFFSETX:
    case OS_DC_PHYSICALOFFSETY: return Dots(p, p->options.marginPt);
    default: return 0;
  }
}

int Metrics(OsDc *dc, OsTextMetrics *out) {
  *out = Of(dc)->metrics;
  return 1;
}

int StartPage(OsDc *dc) {
  PdfDc *p = Of(dc);
  if (p->pageOpen) return 1;  // already open: nothing to start
  p->pageOpen = true;
  return cairo_status(p->cr) == CAIRO_STATUS_SUCCESS ? 1 : 0;
}

int EndPage(OsDc *dc) {
  PdfDc *p = Of(dc);
  if (!p->pageOpen) return 0;
  cairo_show_page(p->cr);
  p->pageOpen = false;
  ++p->pages;
  p->lastPage.swap(p->page);
  p->page.clear();
  return cairo_status(p->cr) == CAIRO_STATUS_SUCCESS ? 1 : 0;
}

int TextOut(OsDc *dc, int32_t x, int32_t y, const char *text, int32_t length) {
  PdfDc *p = Of(dc);
  if (!p->pageOpen) return 0;
  std::string utf8 = ToUtf8(text, length);
  cairo_move_to(p->cr, x, y + p->metrics.ascent);
  cairo_show_text(p->cr, utf8.c_str());
  p->page.push_back({x, y, std::move(utf8)});
  return cairo_status(p->cr) == CAIRO_STATUS_SUCCESS ? 1 : 0;
}

const OsDcOps kOps = {Caps, Metrics, StartPage, EndPage, TextOut};

}  // namespace

UiPrintOptions ui_A4Landscape(void) { return {841.89, 595.28, 18.0, "DejaVu Sans Mono", 7.0, 300}; }

OsDc *ui_CreatePdfDc(const char *pdfPath, const UiPrintOptions *options) {
  if (!pdfPath || !options || options->dpi <= 0 || options->pointSize <= 0) return nullptr;
  PdfDc *p = new PdfDc;
  p->options = *options;
  p->surface = cairo_pdf_surface_create(pdfPath, options->widthPt, options->heightPt);
  p->cr = cairo_create(p->surface);
  if (cairo_status(p->cr) != CAIRO_STATUS_SUCCESS) {
    cairo_destroy(p->cr);
    cairo_surface_destroy(p->surface);
    delete p;
    return nullptr;
  }
  cairo_scale(p->cr, Scale(p), Scale(p));
  SetFont(p->cr, p);
  cairo_set_source_rgb(p->cr, 0, 0, 0);
  cairo_font_extents_t fe;
  cairo_font_extents(p->cr, &fe);
  cairo_text_extents_t te;
  cairo_text_extents(p->cr, "M", &te);
  p->metrics.ascent = static_cast<int32_t>(std::ceil(fe.ascent));
  p->metrics.descent = static_cast<int32_t>(std::ceil(fe.descent));
  p->metrics.height = p->metrics.ascent + p->metrics.descent;
  p->metrics.aveCharWidth = static_cast<int32_t>(std::lround(te.x_advance));
  p->metrics.maxCharWidth = static_cast<int32_t>(std::ceil(fe.max_x_advance));
  p->dc.size = sizeof(OsDc);
  p->dc.ops = &kOps;
  p->dc.impl = p;
  return &p->dc;
}

int ui_ClosePdfDc(OsDc *dc) {
  if (!dc) return -1;
  PdfDc *p = Of(dc);
  if (p->pageOpen && (!p->page.empty() || p->pages == 0)) EndPage(dc);
  cairo_destroy(p->cr);
  cairo_surface_finish(p->surface);
  int ok = cairo_surface_status(p->surface) == CAIRO_STATUS_SUCCESS ? 0 : -1;
  cairo_surface_destroy(p->surface);
  delete p;
  return ok;
}

int ui_PdfPageCount(OsDc *dc) { return dc ? Of(dc)->pages : 0; }

int ui_SavePagePng(OsDc *dc, const char *pngPath) {
  if (!dc || !pngPath) return -1;
  PdfDc *p = Of(dc);
  const std::vector<Drawn> &page = p->page.empty() ? p->lastPage : p->page;
  int w = Caps(dc, OS_DC_PHYSICALWIDTH), h = Caps(dc, OS_DC_PHYSICALHEIGHT);
  cairo_surface_t *img = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
  cairo_t *cr = cairo_create(img);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  cairo_set_source_rgb(cr, 0, 0, 0);
  SetFont(cr, p);
  for (const Drawn &d : page) {
    cairo_move_to(cr, d.x, d.y + p->metrics.ascent);
    cairo_show_text(cr, d.utf8.c_str());
  }
  cairo_destroy(cr);
  int ok = cairo_surface_write_to_png(img, pngPath) == CAIRO_STATUS_SUCCESS ? 0 : -1;
  cairo_surface_destroy(img);
  return ok;
}

long ui_PngInkedPixels(const char *pngPath) {
  cairo_surface_t *img = cairo_image_surface_create_from_png(pngPath);
  if (cairo_surface_status(img) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(img);
    return -1;
  }
  cairo_surface_flush(img);
  cairo_format_t format = cairo_image_surface_get_format(img);
  int w = cairo_image_surface_get_width(img), h = cairo_image_surface_get_height(img);
  int stride = cairo_image_surface_get_stride(img);
  const unsigned char *data = cairo_image_surface_get_data(img);
  long inked = 0;
  if (format == CAIRO_FORMAT_RGB24 || format == CAIRO_FORMAT_ARGB32) {
    for (int y = 0; y < h; ++y) {
      const uint32_t *row = reinterpret_cast<const uint32_t *>(data + static_cast<size_t>(y) * stride);
      for (int x = 0; x < w; ++x)
        if ((row[x] & 0xFFFFFFu) != 0xFFFFFFu) ++inked;
    }
  }
  cairo_surface_destroy(img);
  return inked;
}
