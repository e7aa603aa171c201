// The scan preview against the real program: for each scan of a table, the session
// runner previews the scan, presses start-scan and runs it to its end on the virtual
// clock; the preview's points and duration must be what the program did, to the
// millisecond. The table covers counts of 0, 1 and more (and negative ones), negative
// and zero steps, unscanned axes, stages standing away from the start (homed, moved by
// hand), points beyond the travel, a target the driver refuses and a move longer than
// the wait's bound.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "platform/scanplan/scanplan.h"
#include "platform/stagesim/simulator.h"
#include "tests/session_harness.h"

namespace {

struct Case {
  const char* what;
  std::string settings;  // set lines (and faults) before the preview
  bool warns = false;    // the preview must warn
};

const std::string kGrid =
    "set PANEL_SCAN_X 1\nset PANEL_SCAN_Y 1\nset PANEL_SCAN_Z 1\n"
    "set PANEL_X0 0\nset PANEL_Y0 0\nset PANEL_Z0 0\n";

std::string counts(int nx, int ny, int nz) {
  return "set PANEL_NX " + std::to_string(nx) + "\nset PANEL_NY " + std::to_string(ny) + "\nset PANEL_NZ " +
         std::to_string(nz) + "\n";
}
std::string steps(const char* dx, const char* dy, const char* dz) {
  return std::string("set PANEL_DX ") + dx + "\nset PANEL_DY " + dy + "\nset PANEL_DZ " + dz + "\n";
}
std::string starts(const char* x0, const char* y0, const char* z0) {
  return std::string("set PANEL_X0 ") + x0 + "\nset PANEL_Y0 " + y0 + "\nset PANEL_Z0 " + z0 + "\n";
}
std::string scanned(int x, int y, int z) {
  return "set PANEL_SCAN_X " + std::to_string(x) + "\nset PANEL_SCAN_Y " + std::to_string(y) +
         "\nset PANEL_SCAN_Z " + std::to_string(z) + "\n";
}

// The seconds of a runner line "@ T NAME = V".
double time_of(const std::string& line) { return std::strtod(line.c_str() + 2, nullptr); }

TEST(ScanPreview, EqualsTheProgramsOwnRun) {
  const Case table[] = {
      {"the panel's initial settings", ""},
      {"3 x 2 x 1 at the power-up position", kGrid + counts(3, 2, 1) + steps("0.5", "0.5", "0.5")},
      {"one point", kGrid + counts(1, 1, 1) + steps("0.5", "0.5", "0.5")},
      {"4 x 3 x 2, long steps (trapezoids)", kGrid + counts(4, 3, 2) + steps("3", "2.5", "4")},
      {"x count 0", kGrid + counts(0, 3, 2) + steps("1", "1", "1"), true},
      {"y count 0", kGrid + counts(3, 0, 2) + steps("1", "1", "1"), true},
      {"z count -2", kGrid + counts(3, 3, -2) + steps("1", "1", "1"), true},
      {"negative steps", kGrid + counts(3, 3, 2) + steps("-0.7", "-1.25", "-2")},
      {"zero step on x with 4 points", kGrid + counts(4, 2, 1) + steps("0", "1", "1"), true},
      {"all steps zero", kGrid + counts(2, 2, 2) + steps("0", "0", "0"), true},
      {"no axis scanned", counts(5, 5, 5) + steps("1", "1", "1") + starts("2", "-3", "4") + scanned(0, 0, 0)},
      {"only x scanned", counts(5, 7, 9) + steps("0.3", "1", "1") + starts("1", "1", "1") + scanned(1, 0, 0)},
      {"only z scanned", counts(5, 7, 3) + steps("1", "1", "-1.5") + starts("1", "2", "3") + scanned(0, 0, 1)},
      {"x and z, y not scanned, count 0 on y ignored",
       counts(3, 0, 2) + steps("0.4", "1", "0.4") + starts("0", "5", "0") + scanned(1, 0, 1)},
      {"start away from the stages", kGrid + counts(3, 3, 1) + steps("0.5", "0.5", "1") + starts("-12", "20", "7")},
      {"stages moved by hand first",
       "fault position X 2000000\nfault position Y -3000000\nfault position Z 12345\n" + kGrid + counts(3, 2, 2) +
           steps("0.25", "0.5", "1")},
      {"after homing (the counters read 0 at the reverse limit)",
       "press PANEL_HOME_X\nwait 20\n" + kGrid + counts(4, 2, 1) + steps("2", "1", "1") + starts("10", "0", "0")},
      {"fractional steps truncated to device units", kGrid + counts(6, 2, 1) + steps("0.0001234", "0.333333", "1")},
      {"x points beyond the forward limit", kGrid + counts(3, 2, 1) + steps("10", "0.5", "0.5") + starts("10", "0", "0"),
       true},
      {"y start beyond the reverse limit", kGrid + counts(2, 2, 1) + steps("1", "-1", "1") + starts("0", "-30", "0"), true},
      {"a move longer than the wait's bound", kGrid + counts(2, 1, 1) + steps("49.8", "1", "1") + starts("-24.9", "0", "0"),
       true},
      {"long moves that time out on every row",
       kGrid + counts(2, 3, 1) + steps("49.9", "0.5", "1") + starts("-24.95", "0", "0"), true},
      {"a target the driver refuses stops the scan", kGrid + counts(3, 2, 1) + steps("1e10", "1", "1"), true},
      {"a larger grid", kGrid + counts(10, 10, 2) + steps("0.2", "0.3", "0.5")},
  };
  ASSERT_GE(std::size(table), 20u);
  for (const Case& c : table) {
    SCOPED_TRACE(c.what);
    // The watched write of a target input no scan reads dates the press: the set and the
    // press happen at one instant.
    const std::string script = "start\n" + c.settings +
                               "watch PANEL_TARGET_X PANEL_SCANNING PANEL_PROGRESS\nwait 0.3\n"
                               "set PANEL_TARGET_X 1\npreview\npress PANEL_STARTSCAN\n"
                               "until PANEL_SCANNING == 0 within 3000\nquit\n";
    const auto r = vxtest::run_session(script, "");
    ASSERT_EQ(r.status, 0) << r.text();

    double press = -1, off = -1;
    int progress = 0;
    for (const auto& l : r.at("")) {
      if (l.find(" PANEL_TARGET_X = ") != std::string::npos) press = time_of("@ " + l);
      if (l.find(" PANEL_SCANNING = 0") != std::string::npos) off = time_of("@ " + l);
      if (l.find(" PANEL_PROGRESS = ") != std::string::npos) progress++;
    }
    const auto preview = r.at("preview ");
    ASSERT_FALSE(preview.empty()) << r.text();
    ASSERT_GE(press, 0) << r.text();
    ASSERT_GE(off, press) << r.text();
    int points = -1;
    double seconds = -1;
    ASSERT_EQ(std::sscanf(preview[0].c_str(), "preview %d points %lf s", &points, &seconds), 2) << preview[0];
    EXPECT_EQ(points, progress) << r.text();
    EXPECT_EQ(std::llround(seconds * 1000), std::llround((off - press) * 1000)) << r.text();
    EXPECT_EQ(r.at("preview warning").size() > 0, c.warns) << r.text();
  }
}

// The parts of a preview that need no program: ranges, warnings, the points of grids
// the scan cannot complete, the summary's rounding, and grids too long to plan. The
// stages are the simulator's as they power up (counters at 0, 25 mm from either limit).
TEST(ScanPreview, RangesWarningsAndLimits) {
  vx::sim::Simulator at_power_up;
  const auto stages = vx::scanplan::stages_of(at_power_up);
  using vx::scanplan::Settings;
  auto warned = [](const vx::scanplan::Preview& p, const std::string& part) {
    for (const auto& w : p.warnings)
      if (w.find(part) != std::string::npos) return true;
    return false;
  };

  const Settings grid{4, 3, 2, 0.5, -1, 2, 1, 2, -3, 1, 1, 1};
  const auto p = vx::scanplan::preview(grid, stages);
  EXPECT_EQ(p.points, 24);
  EXPECT_EQ(p.grid_points, 24);
  EXPECT_TRUE(p.warnings.empty());
  EXPECT_EQ(p.axes[0].first, 1);
  EXPECT_EQ(p.axes[0].last, 2.5);
  EXPECT_EQ(p.axes[1].low(), 0);
  EXPECT_EQ(p.axes[1].high(), 2);
  EXPECT_EQ(p.axes[2].last, -1);

  Settings beyond = grid;
  beyond.x0 = 24;  // 24 to 25.5 mm: the last points lie beyond the forward limit
  EXPECT_TRUE(warned(vx::scanplan::preview(beyond, stages), "X point 25.5 mm is beyond the stage's travel"));

  Settings none = grid;
  none.ny = -1;
  const auto q = vx::scanplan::preview(none, stages);
  EXPECT_EQ(q.points, 0);
  EXPECT_TRUE(warned(q, "Y is scanned with -1 points"));
  none.cby = 0;  // not scanned: its count does not matter
  EXPECT_EQ(vx::scanplan::preview(none, stages).points, 8);

  Settings still = grid;
  still.dz = 0;
  EXPECT_TRUE(warned(vx::scanplan::preview(still, stages), "Z steps by 0 mm: all its 2 points are the same"));

  Settings refused = grid;
  // The second row's y target has no device units: the row's first point still comes,
  // then the scan stops.
  refused.dy = 1e9;
  const auto r = vx::scanplan::preview(refused, stages);
  EXPECT_EQ(r.points, 5);
  EXPECT_TRUE(warned(r, "has no device units"));

  const Settings huge{100000, 100000, 100000, 1e-4, 1e-4, 1e-4, 0, 0, 0, 1, 1, 1};
  const auto h = vx::scanplan::preview(huge, stages);
  EXPECT_FALSE(h.duration);
  EXPECT_EQ(vx::scanplan::summary(h), "1000000000000000 points untimed");

  vx::scanplan::Preview rounded;
  rounded.points = 3;
  rounded.duration = std::chrono::nanoseconds(1'234'500'000);
  EXPECT_EQ(vx::scanplan::summary(rounded), "3 points 1.235 s");
}

}  // namespace
