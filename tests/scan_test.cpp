// The raster scan end to end through the session runner: the grid order, the checkbox
// rule, progress, stopping, the start-scan check, and the guard against commands while
// a scan runs.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>

#include "tests/session_harness.h"

using vxtest::run_session;
using Lines = std::vector<std::string>;

namespace {

struct Grid {
  int nx = 1, ny = 1, nz = 1;
  double dx = 0.5, dy = 0.5, dz = 0.5;
  double x0 = 1, y0 = 2, z0 = 3;
  int cbx = 1, cby = 1, cbz = 1;
};

std::string fmt(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::string setup(const Grid& g) {
  return "start\nset PANEL_NX " + std::to_string(g.nx) + "\nset PANEL_NY " + std::to_string(g.ny) +
         "\nset PANEL_NZ " + std::to_string(g.nz) + "\nset PANEL_DX " + fmt(g.dx) + "\nset PANEL_DY " +
         fmt(g.dy) + "\nset PANEL_DZ " + fmt(g.dz) + "\nset PANEL_X0 " + fmt(g.x0) + "\nset PANEL_Y0 " +
         fmt(g.y0) + "\nset PANEL_Z0 " + fmt(g.z0) + "\nset PANEL_SCAN_X " + std::to_string(g.cbx) +
         "\nset PANEL_SCAN_Y " + std::to_string(g.cby) + "\nset PANEL_SCAN_Z " + std::to_string(g.cbz) +
         "\nwatch PANEL_PROGRESS\n";
}

const std::string kRunToEnd = "press PANEL_STARTSCAN\nuntil PANEL_SCANNING == 0 within 600\n";

// The watched values of `name`, in order.
Lines watched(const vxtest::SessionResult& r, const std::string& name) {
  Lines out;
  for (const auto& l : r.at("")) {
    const auto at = l.find(" " + name + " = ");
    if (at != std::string::npos && l.find(' ') == at) out.push_back(l.substr(at + name.size() + 4));
  }
  return out;
}

// Absolute targets sent to one axis, in millimetres' device units.
Lines targets(const vxtest::SessionResult& r, const char* serial) {
  Lines out;
  for (const auto& c : r.calls(std::string("ISC_SetMoveAbsolutePosition(") + serial)) {
    const auto a = c.find(", ") + 2;
    out.push_back(c.substr(a, c.find(')') - a));
  }
  return out;
}

const char* const X = "45388004";
const char* const Y = "45387934";
const char* const Z = "45388034";

TEST(Scan, NoCheckboxMakesOnePointAtTheStart) {
  Grid g;
  g.nx = 4;
  g.cbx = g.cby = g.cbz = 0;
  auto r = run_session(setup(g) + kRunToEnd + "quit\n");
  ASSERT_EQ(r.status, 0) << r.text();
  EXPECT_EQ(targets(r, Z), Lines{"1228800"});
  EXPECT_EQ(targets(r, Y), Lines{"819200"});
  EXPECT_EQ(targets(r, X), Lines{"409600"});
  EXPECT_EQ(watched(r, "PANEL_PROGRESS"), Lines{"100"});
}

TEST(Scan, OnlyXScannedMovesZAndYOnce) {
  Grid g;
  g.nx = 5;
  g.ny = g.nz = 3;
  g.cby = g.cbz = 0;
  auto r = run_session(setup(g) + kRunToEnd + "quit\n");
  EXPECT_EQ(targets(r, Z).size(), 1u);
  EXPECT_EQ(targets(r, Y).size(), 1u);
  EXPECT_EQ(targets(r, X), (Lines{"409600", "614400", "819200", "1024000", "1228800"}));
  EXPECT_EQ(watched(r, "PANEL_PROGRESS"), (Lines{"20", "40", "60", "80", "100"}));
}

TEST(Scan, ZeroOrNegativeCountsMoveZAndYOnly) {
  for (int nx : {0, -3}) {
    Grid g;
    g.nx = nx;
    g.ny = 2;
    g.cbz = 0;
    auto r = run_session(setup(g) + "set PANEL_PROGRESS 42.5\n" + kRunToEnd + "expect PANEL_PROGRESS == 42.5\nquit\n");
    EXPECT_EQ(r.status, 0) << r.text();
    EXPECT_EQ(targets(r, Z).size(), 1u);
    EXPECT_EQ(targets(r, Y), (Lines{"819200", "1024000"}));
    EXPECT_TRUE(targets(r, X).empty());
    EXPECT_EQ(r.calls("ISC_GetStatusBits").size(), 3u + 3u);  // start-up refresh and start-scan check
  }
}

TEST(Scan, ANegativeStepScansDownwards) {
  Grid g;
  g.nx = 3;
  g.dx = -0.5;
  g.x0 = 5;
  g.cby = g.cbz = 0;
  auto r = run_session(setup(g) + kRunToEnd + "quit\n");
  EXPECT_EQ(targets(r, X), (Lines{"2048000", "1843200", "1638400"}));
}

TEST(Scan, AGridRunsZMajorWithAReturnStrokeAndRisingProgress) {
  Grid g;
  g.nx = 3;
  g.ny = 2;
  g.nz = 1;
  auto r = run_session(setup(g) + "watch PANEL_IX PANEL_IY PANEL_IZ PANEL_MOVING\n" + kRunToEnd + "quit\n");
  ASSERT_EQ(r.status, 0) << r.text();
  Lines progress;
  for (int n = 1; n <= 6; n++) progress.push_back(fmt(n / 6.0 * 100.0));
  EXPECT_EQ(watched(r, "PANEL_PROGRESS"), progress);
  EXPECT_EQ(targets(r, X), (Lines{"409600", "614400", "819200", "409600", "614400", "819200"}));
  EXPECT_EQ(targets(r, Y), (Lines{"819200", "1024000"}));
  EXPECT_EQ(targets(r, Z), Lines{"1228800"});
  EXPECT_EQ(watched(r, "PANEL_IX"), (Lines{"0", "1", "2", "0", "1", "2"}));
  // The moving LED: on and off around each of the 1 + 2 + 6 moves.
  EXPECT_EQ(watched(r, "PANEL_MOVING").size(), 1u + 2 * 9);
}

TEST(Scan, StopEndsTheScanAtTheNextTestAndLeavesTheStages) {
  struct Case {
    const char* when;
    int x_moves;  // x moves made before the scan ended
  } cases[] = {
      {"until PANEL_IX == 1\n", 2},                // during the x move of point 1
      {"until PANEL_PROGRESS > 20\n", 2},          // during point 1's dwell
      {"until PANEL_IY == 1\n", 4},                // during row 1's y move: its first point still runs
  };
  for (const Case& c : cases) {
    Grid g;
    g.nx = 3;
    g.ny = 3;
    auto r = run_session(setup(g) + "press PANEL_STARTSCAN\n" + c.when + "press PANEL_STOPSCAN\n" +
                         "until PANEL_SCANNING == 0 within 60\nquit\n");
    EXPECT_EQ(r.status, 0) << r.text();
    EXPECT_EQ(targets(r, X).size(), static_cast<size_t>(c.x_moves)) << c.when << r.text();
    EXPECT_TRUE(r.calls("ISC_StopProfiled").empty());
  }
}

TEST(Scan, AStopWhileIdleIsClearedByTheNextScan) {
  Grid g;
  g.nx = 3;
  auto r = run_session(setup(g) + "press PANEL_STOPSCAN\nwait 1\n" + kRunToEnd + "quit\n");
  EXPECT_EQ(watched(r, "PANEL_PROGRESS").back(), "100") << r.text();
  EXPECT_EQ(targets(r, X).size(), 3u);
}

TEST(Scan, ADisabledStageRefusesTheScanWithAPopup) {
  auto r = run_session(
      "start\npress PANEL_DISABLE_Z\nwait 1\nset PANEL_MOVING 1\nwatch PANEL_SCANNING\n"
      "press PANEL_STARTSCAN\nwait 5\nexpect PANEL_MOVING == 1\nquit\n");
  ASSERT_EQ(r.status, 0) << r.text();
  EXPECT_EQ(r.at("popup"), Lines{"popup \"Error\" \"Enable AXS Stages First\""});
  EXPECT_TRUE(watched(r, "PANEL_SCANNING").empty());
  EXPECT_TRUE(r.calls("ISC_SetMoveAbsolutePosition").empty());
  // All three status words were read for the check, right before the popup: a disabled
  // axis does not end the check early.
  size_t popup = 0;
  for (size_t i = 0; i < r.lines.size(); i++)
    if (r.lines[i].rfind("@ popup", 0) == 0) popup = i;
  ASSERT_GE(popup, 3u);
  for (int k = 0; k < 3; k++)
    EXPECT_NE(r.lines[popup - 3 + k].find(std::string("ISC_GetStatusBits(") + (k == 0 ? X : k == 1 ? Y : Z)),
              std::string::npos)
        << r.lines[popup - 3 + k];
  EXPECT_NE(r.lines[popup - 1].find("= 0x0"), std::string::npos) << r.lines[popup - 1];  // Z: disabled
}

TEST(Scan, AHandOverThatFailsPutsTheScanningLedOutAgain) {
  auto r = run_session("fault schedule\n" + setup(Grid{}) + "watch PANEL_SCANNING\npress PANEL_STARTSCAN\nwait 1\n"
                       "press PANEL_JOG_X_PLUS\nwait 1\nquit\n");
  ASSERT_EQ(r.status, 0) << r.text();
  EXPECT_EQ(watched(r, "PANEL_SCANNING"), (Lines{"1", "0"}));
  EXPECT_TRUE(targets(r, X).empty());
  EXPECT_EQ(r.calls("ISC_MoveRelativeDistance").size(), 1u);  // the loop serves commands again
}

TEST(Scan, ATargetWithoutDeviceUnitsEndsTheScan) {
  // Without a move to wait for, the planes of an empty grid would race past unvisited,
  // two billion refusals long.
  Grid g;
  g.nz = 2147483647;
  g.z0 = NAN;
  g.ny = 0;
  auto r = run_session(setup(g) + "watch PANEL_SCANNING\npress PANEL_STARTSCAN\n"
                       "until PANEL_SCANNING == 0 within 1\nquit\n");
  ASSERT_EQ(r.status, 0) << r.text();
  EXPECT_EQ(r.count("Move refused: axis [2] target nan mm is beyond the device-unit range"), 1) << r.text();
  EXPECT_EQ(watched(r, "PANEL_SCANNING"), (Lines{"1", "1", "0"}));
  // A refused x target: its point still completes, then the scan ends.
  Grid x;
  x.nx = 3;
  x.ny = 2;
  x.dx = 3000;
  auto rx = run_session(setup(x) + kRunToEnd + "quit\n");
  EXPECT_EQ(targets(rx, X), (Lines{"409600", "1229209600"}));
  EXPECT_EQ(targets(rx, Y).size(), 1u);  // the second row never starts
  EXPECT_EQ(rx.count("Move refused: axis [0] target 6001 mm is beyond the device-unit range"), 1) << rx.text();
  EXPECT_EQ(watched(rx, "PANEL_PROGRESS").size(), 3u);
}

TEST(Scan, StartAndQuitWhileScanningAreIgnored) {
  Grid g;
  g.nx = 3;
  g.nz = 2;
  auto r = run_session(setup(g) + "press PANEL_STARTSCAN\npress PANEL_STARTSCAN\nuntil PANEL_IX == 1\n"
                       "press PANEL_QUIT\npress PANEL_STARTSCAN\nset PANEL_NX 10\n"
                       "until PANEL_SCANNING == 0 within 600\nexpect PANEL_CONNECTED == 1\nquit\n");
  ASSERT_EQ(r.status, 0) << r.text();
  EXPECT_EQ(targets(r, Z).size(), 2u);  // one worker, nz = 2
  EXPECT_EQ(targets(r, X).size(), 6u);  // the edit of nx during the scan changed nothing
  EXPECT_EQ(r.count("Device Disconnected..."), 3);
}

TEST(Scan, AStalledMoveTimesOutOnceAndTheScanGoesOn) {
  Grid g;
  g.nx = 2;
  auto r = run_session("fault stall Y\n" + setup(g) + kRunToEnd + "quit\n");
  ASSERT_EQ(r.status, 0) << r.text();
  int timeouts = 0;
  for (const auto& l : r.program()) timeouts += l.rfind("Timeout in axis [1]", 0) == 0;
  EXPECT_EQ(timeouts, 1) << r.text();
  EXPECT_EQ(r.count("AXS timeout"), 1);
  EXPECT_EQ(watched(r, "PANEL_PROGRESS").back(), "100");
}

}  // namespace
