// The cairo printer context: what pdftotext reads back from its PDF, page
// counts, metrics that fit the sheet, and a PNG of a page.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/ui/ui_print.h"
#include "tests/support/child_run.h"
#include "tests/support/test_root.h"

namespace {

int Pages(const std::string &pdf);

std::string Output(const std::string &command) { return tnwtest::Shell(command); }

int Pages(const std::string &pdf) {
  std::string info = Output("pdfinfo '" + pdf + "'");
  size_t at = info.find("Pages:");
  return at == std::string::npos ? -1 : atoi(info.c_str() + at + 6);
}

// Columns as drawn: the font advances 0.602 em, 4.2 points at 7 points.
std::string PdfText(const std::string &pdf) { return Output("pdftotext -layout -fixed 4.2 '" + pdf + "' -"); }

void Draw(OsDc *dc, int line, const char *text) {
  OsTextMetrics tm;
  ASSERT_EQ(os_GetTextMetrics(dc, &tm), 1);
  int32_t y = os_GetDeviceCaps(dc, OS_DC_PHYSICALOFFSETY) + line * tm.height;
  EXPECT_EQ(os_TextOut(dc, 2 * os_GetDeviceCaps(dc, OS_DC_PHYSICALOFFSETX), y, text, static_cast<int32_t>(strlen(text))),
            1);
}

TEST(UiPrint, PdfPagesReadBack) {
  std::string dir = tnwtest::MakeTempDir("pdf");
  std::string pdf = dir + "/out.pdf", png = dir + "/page.png";
  UiPrintOptions o = ui_A4Landscape();
  OsDc *dc = ui_CreatePdfDc(pdf.c_str(), &o);
  ASSERT_NE(dc, nullptr);
  // A4 landscape at 300 dpi, and 150 columns of the font fit between the margins.
  EXPECT_EQ(os_GetDeviceCaps(dc, OS_DC_PHYSICALWIDTH), 3508);
  EXPECT_EQ(os_GetDeviceCaps(dc, OS_DC_PHYSICALHEIGHT), 2480);
  EXPECT_EQ(os_GetDeviceCaps(dc, OS_DC_PHYSICALOFFSETY), 75);
  OsTextMetrics tm;
  ASSERT_EQ(os_GetTextMetrics(dc, &tm), 1);
  EXPECT_GT(tm.height, 20);
  EXPECT_LT(tm.height, 45);
  EXPECT_LE(2 * 75 + 150 * tm.aveCharWidth, 3508 - 75);
  Draw(dc, 1, "FIRST PAGE    COLUMN 15");
  Draw(dc, 2, "TEMP 20\xB0" "C");  // code page 1252 degree sign
  EXPECT_GT(os_EndPage(dc), 0);
  EXPECT_LE(os_EndPage(dc), 0);          // no page open
  EXPECT_EQ(os_TextOut(dc, 0, 0, "x", 1), 0);
  EXPECT_GT(os_StartPage(dc), 0);
  Draw(dc, 1, "SECOND PAGE");
  ASSERT_EQ(ui_SavePagePng(dc, png.c_str()), 0);
  EXPECT_EQ(ui_PdfPageCount(dc), 1);
  ASSERT_EQ(ui_ClosePdfDc(dc), 0);
  EXPECT_GT(ui_PngInkedPixels(png.c_str()), 100);
  std::string text = PdfText(pdf);
  EXPECT_NE(text.find("FIRST PAGE    COLUMN 15\n"), std::string::npos) << text;
  EXPECT_NE(text.find("TEMP 20\xC2\xB0" "C\n"), std::string::npos) << text;
  size_t ff = text.find('\f');
  ASSERT_NE(ff, std::string::npos);
  EXPECT_NE(text.find("SECOND PAGE", ff), std::string::npos);
  EXPECT_EQ(Pages(pdf), 2);
}

// A page started but left empty at the close is not a page; a document with
// nothing drawn still has its one page.
TEST(UiPrint, EmptyPages) {
  std::string dir = tnwtest::MakeTempDir("pdf");
  UiPrintOptions o = ui_A4Landscape();
  OsDc *dc = ui_CreatePdfDc((dir + "/a.pdf").c_str(), &o);
  ASSERT_NE(dc, nullptr);
  Draw(dc, 1, "ONLY");
  EXPECT_GT(os_EndPage(dc), 0);
  EXPECT_GT(os_StartPage(dc), 0);
  ASSERT_EQ(ui_ClosePdfDc(dc), 0);
  EXPECT_EQ(Pages(dir + "/a.pdf"), 1);
  dc = ui_CreatePdfDc((dir + "/b.pdf").c_str(), &o);
  ASSERT_EQ(ui_ClosePdfDc(dc), 0);
  EXPECT_EQ(Pages(dir + "/b.pdf"), 1);
  EXPECT_EQ(ui_CreatePdfDc((dir + "/no/such/folder/c.pdf").c_str(), &o), nullptr);
  EXPECT_EQ(ui_PngInkedPixels((dir + "/missing.png").c_str()), -1);
}

}  // namespace
