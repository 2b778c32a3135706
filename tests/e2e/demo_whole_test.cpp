// The README's demo of the whole system, `scadasim demo --whole --plain`
// without a display: in under two minutes the live table shows the channel
// cfgtool moved, the print-out and its page are written, the requests read
// the outlet's surge back from the runs, both loggers' runs hold every record
// asked for and the older folder runs sit in the archive.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "platform/ui/ui_print.h"
#include "tests/support/child_run.h"
#include "tests/support/test_root.h"

namespace {

using tnwtest::FindLine;
using tnwtest::ShellRun;

const double kSurgeAbove = 250, kSteadyBelow = 200;

std::string Q(const std::string &s) { return "'" + s + "'"; }

// One number a query on an SQLite file gives.
double SqliteNumber(const std::string &file, const std::string &query) {
  tnwtest::ShellResult r = ShellRun("sqlite3 " + Q(file) + " " + Q(query));
  return r.status == 0 && !r.out.empty() ? atof(r.out.c_str()) : NAN;
}

// The value of channel row `ch` ("A1.8") in the table that begins at `header`.
double TableValue(const std::vector<std::string> &lines, size_t header, const std::string &ch) {
  std::smatch m;
  const std::regex row("^  " + std::regex_replace(ch, std::regex("\\."), "\\.") + " +\\S+ +([-0-9.]+) ");
  for (size_t i = header + 1; i < lines.size() && lines[i].rfind("  ", 0) == 0; ++i)
    if (std::regex_search(lines[i], m, row)) return atof(m[1].str().c_str());
  return NAN;
}

// A figure of the summary line that matches `re` (its first group), or NaN.
double Figure(const std::string &text, const std::string &re) {
  std::smatch m;
  return std::regex_search(text, m, std::regex(re)) ? atof(m[1].str().c_str()) : NAN;
}

}  // namespace

TEST(DemoWhole, EveryStepShowsItsOutcome) {
  const std::string root = tnwtest::MakeTempDir("wholeroot"), files = tnwtest::MakeTempDir("wholefiles");
  const std::string out = files + "/console.txt";
  const std::string cmd = "env -u DISPLAY PLATFORM_ROOT=" + Q(root) + " " + Q(tnwtest::BinPath("scadasim")) +
                          " demo --whole --plain --out " + Q(files) + " > " + Q(out) + " 2>&1";
  auto start = std::chrono::steady_clock::now();
  int rc = std::system(cmd.c_str());
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::string text = tnwtest::ReadFile(out);
  ASSERT_EQ(rc, 0) << text;
  EXPECT_LT(took, 120.0);
  EXPECT_TRUE(tnwtest::WaitRootEmpty(root, 5000).empty()) << "a child of the demo outlived it";
  const std::vector<std::string> lines = tnwtest::Split(text, '\n');
  const size_t end = lines.size();
  const std::string logtool = Q(tnwtest::BinPath("logtool"));

  // The scanner's own road runs as before.
  EXPECT_LT(FindLine(lines, std::regex("^scadasim: road: P1\\.OP\\.PRESS alarm raised at [0-9.]+ s, returned to normal")),
            end);
  EXPECT_LT(FindLine(lines, std::regex("^scadasim: scanner exited with status 0 after [0-9]+ scan requests$")), end);

  // The channel change: the table showed the controller version in A1.8
  // before; after the write a reconfigure, and from then on A1.8 reads unit
  // 1's outlet pressure, as A1.3 does in the same pass.
  std::smatch m;
  size_t wrote = FindLine(lines, std::regex("scadasim: demo: cfgtool wrote A1\\.8 P2\\.CONTR\\.VER through the channel "
                                            "dialog: pump 1, OP PRESS \\(it read ([0-9.]+)\\)"));
  ASSERT_LT(wrote, end) << text;
  ASSERT_TRUE(std::regex_search(lines[wrote], m, std::regex("it read ([0-9.]+)")));
  const double version = atof(m[1].str().c_str());
  EXPECT_LT(version, 50);
  const std::regex header("^  CH +TAG +VALUE +UNITS +STATE$");
  size_t reconfigured = FindLine(lines, std::regex("^ *[0-9.]+ reconfigured +running=1"), wrote);
  size_t reads = FindLine(lines, std::regex("scadasim: demo: A1\\.8 P2\\.CONTR\\.VER reads [0-9.]+ after the reconfigure"),
                          wrote);
  ASSERT_LT(reconfigured, reads) << text;
  ASSERT_LT(reads, end);
  // A table before the reconfigure showed what cfgtool's dialog saw.
  int old = 0;
  for (size_t i = FindLine(lines, header); i < reconfigured; i = FindLine(lines, header, i + 1))
    old += std::fabs(TableValue(lines, i, "A1.8") - version) < 0.001;
  EXPECT_GE(old, 1) << "no table showed A1.8 before the change";
  size_t after = FindLine(lines, header, reads);
  ASSERT_LT(after, end);
  const double moved = TableValue(lines, after, "A1.8"), outlet = TableValue(lines, after, "A1.3");
  EXPECT_GT(moved, 100);
  EXPECT_NEAR(moved, outlet, 5.0);
  // It stays moved: the last table shows a pressure there too.
  size_t last = after;
  for (size_t i = after; i < end; i = FindLine(lines, header, i + 1)) last = i;
  EXPECT_GT(TableValue(lines, last, "A1.8"), 100);

  // The print-out of the changed configuration, and a picture of its first page.
  ASSERT_LT(FindLine(lines, std::regex("^scadasim: road: print-all: [0-9]+ pages in " + files + "/config\\.pdf .* page 1 in " +
                                       files + "/config\\.png")),
            end)
      << text;
  tnwtest::ShellResult pdf = ShellRun("pdftotext -layout " + Q(files + "/config.pdf") + " -");
  ASSERT_EQ(pdf.status, 0);
  EXPECT_TRUE(std::regex_search(pdf.out, std::regex("A13 +\\[Y\\] P1\\.OP\\.PRESS +bar"))) << pdf.out;
  EXPECT_TRUE(std::regex_search(pdf.out, std::regex("A18 +\\[Y\\] P2\\.CONTR\\.VER[^\n]*\n +OP PRESS "))) << pdf.out;
  const std::string png = tnwtest::ReadFile(files + "/config.png");
  ASSERT_GT(png.size(), 8u);
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  EXPECT_GT(ui_PngInkedPixels((files + "/config.png").c_str()), 500);

  // The requests during the surge: over the provider of the folder run and
  // over TLS from the SQLite run, each a value the runs logged.
  const std::string runs = root + "/drives/c/demo/runs", catalog = root + "/hosts/./sqlserver/demo.db";
  std::string dumps;
  tnwtest::ShellResult list = ShellRun(logtool + " runs " + Q(runs) + " --prefix RUN");
  ASSERT_EQ(list.status, 0);
  std::vector<std::string> runLines = tnwtest::Lines(list.out, "RUN");
  for (const std::string &l : runLines) {
    tnwtest::ShellResult d = ShellRun(logtool + " dump " + Q(runs + "/" + l.substr(0, l.find(' '))));
    ASSERT_EQ(d.status, 0) << l;
    dumps += d.out;
  }
  // The outlet pressure of every record the folder runs hold.
  std::vector<double> logged;
  for (const std::string &r : tnwtest::Lines(dumps, "record ")) logged.push_back(Figure(r, " A13=([-0-9.]+)\\["));
  struct Asked {
    const char *summary, *how;
  } roads[] = {{"the in-process provider \\(C:\\\\demo\\\\runs\\)", "the in-process provider"},
               {"TLS \\(tnw://127\\.0\\.0\\.2:[0-9]+/\\)", "TLS"}};
  for (const Asked &road : roads) {
    SCOPED_TRACE(road.how);
    ASSERT_LT(FindLine(lines, std::regex(std::string("^scadasim: road: request over ") + road.summary +
                                         ": RV,A13 read P1\\.OP\\.PRESS [0-9.]+ during the surge$")),
              end)
        << text;
    size_t said = FindLine(lines, std::regex(std::string("scadasim: demo: logtool request \\S+ RV,A13 \\(") + road.how +
                                             "\\): P1\\.OP\\.PRESS ([0-9.]+)$"));
    ASSERT_LT(said, end) << text;
    ASSERT_TRUE(std::regex_search(lines[said], m, std::regex("PRESS ([0-9.]+)$")));
    const double v = atof(m[1].str().c_str());
    EXPECT_GT(v, kSurgeAbove);
    // A value the run behind the road logged.
    if (std::string(road.how) == "TLS")
      EXPECT_GE(SqliteNumber(catalog, "SELECT COUNT(*) FROM PUMPS_DATA WHERE abs(A13 - " + m[1].str() + ") < 0.0005"), 1)
          << lines[said];
    else
      EXPECT_TRUE(std::any_of(logged.begin(), logged.end(), [&](double x) { return std::fabs(x - v) < 0.0005; }))
          << lines[said];
  }

  // The runs: every record asked for, in a run every 10 s; the steady
  // pressure and the surge in them; the moved channel logged as the outlet.
  const double asked = Figure(text, "\nscadasim: road: folder logger: [0-9]+ runs in C:\\\\demo\\\\runs, [0-9]+ records of "
                                    "([0-9]+) asked");
  ASSERT_GT(asked, 30) << text;
  EXPECT_GE(runLines.size(), 3u) << list.out;
  std::vector<std::string> records = tnwtest::Lines(dumps, "record ");
  EXPECT_EQ(records.size(), static_cast<size_t>(asked));
  ASSERT_FALSE(records.empty());
  EXPECT_LT(*std::min_element(logged.begin(), logged.end()), kSteadyBelow);
  EXPECT_GT(*std::max_element(logged.begin(), logged.end()), kSurgeAbove);
  EXPECT_EQ(Figure(records.back(), " A18=([-0-9.]+)\\["), Figure(records.back(), " A13=([-0-9.]+)\\[")) << records.back();
  EXPECT_EQ(SqliteNumber(catalog, "SELECT COUNT(*) FROM PUMPS_DATA"), asked);
  EXPECT_GT(SqliteNumber(catalog, "SELECT MAX(A13) FROM PUMPS_DATA"), kSurgeAbove);
  EXPECT_LT(SqliteNumber(catalog, "SELECT MIN(A13) FROM PUMPS_DATA"), kSteadyBelow);

  // The archive: every run but the newest, with its records; the newest
  // stays live.
  const std::string archive = root + "/drives/c/demo/archive.mdb", live = root + "/drives/c/demo/live.mdb";
  std::vector<std::string> newest = tnwtest::Split(runLines.back(), ' ');
  ASSERT_EQ(newest.size(), 4u) << runLines.back();
  EXPECT_EQ(newest[2], "-") << "the newest run is open";
  EXPECT_EQ(SqliteNumber(archive, "SELECT COUNT(*) FROM Loggers_Arc WHERE bCompleted = 1"),
            static_cast<double>(runLines.size() - 1));
  EXPECT_EQ(SqliteNumber(archive, "SELECT COUNT(*) FROM RUNDATA_Arc"), asked - atof(newest[3].c_str()));
  EXPECT_GT(SqliteNumber(archive, "SELECT MAX(V1) FROM RUNDATA_Arc"), kSurgeAbove);
  EXPECT_EQ(SqliteNumber(live, "SELECT COUNT(*) FROM Loggers"), 1);
  EXPECT_EQ(SqliteNumber(live, "SELECT COUNT(*) FROM RUNDATA"), atof(newest[3].c_str()));
  EXPECT_LT(FindLine(lines, std::regex("^scadasim: road: archive: " + std::to_string(runLines.size() - 1) +
                                       " runs \\([0-9]+ records\\) begun before .* moved to C:\\\\demo\\\\archive\\.mdb; 1 run")),
            end)
      << text;
}
