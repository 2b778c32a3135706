// A printer context over cairo: the pages go to a PDF file, and the page
// drawn last can be saved as PNG to look at. Device units are dots at the
// given resolution; the printable area starts `margin` in from each edge.
// Texts are the ANSI code page (1252), drawn in one font.
#pragma once
#include "platform/os_print.h"

struct UiPrintOptions {
  double widthPt, heightPt;    // the sheet, in points
  double marginPt;             // the printable area's offsets
  const char *font;            // family, e.g. "DejaVu Sans Mono"
  double pointSize;
  int dpi;
};
// A4 landscape, 7-point DejaVu Sans Mono, 300 dpi, quarter-inch margins.
UiPrintOptions ui_A4Landscape(void);

// Opens the document and its first page, as a host does before printing.
// NULL when the file cannot be made.
OsDc *ui_CreatePdfDc(const char *pdfPath, const UiPrintOptions *options);
// Ends an open page that has something on it (or the only page) and the
// document. 0, or -1 when the PDF could not be written.
int ui_ClosePdfDc(OsDc *dc);
// The open page, or the last one ended when the open one is still empty, as
// PNG at the context's resolution. 0 or -1.
int ui_SavePagePng(OsDc *dc, const char *pngPath);
// Pages ended so far.
int ui_PdfPageCount(OsDc *dc);

// Pixels of a PNG that are not white (-1 when it cannot be read): how a test
// tells a page or a window with something on it from a blank one.
long ui_PngInkedPixels(const char *pngPath);
