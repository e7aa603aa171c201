// The scan planner: what a raster scan with given settings will do, before it starts.
// It counts the points, gives the range each axis covers and warns of settings that
// will not scan as meant (a point beyond a stage's travel, a scanned axis with no
// points, a step of 0 with several points); and it times the scan move by move, with
// the stages' motion profile and the program's own pacing (each completion seen at the
// next 250 ms poll of its wait, the wait's 10 s bound, the 0.1 s dwell after each
// point, the return strokes and the moves of unscanned axes), so that on the simulated
// stages the duration is exact to the nanosecond.
//
// The window and the session runner both preview through it; the scan observer uses
// the plan's point times to say how long a running scan has left.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock/clock.h"
#include "platform/motion/motion.h"
#include "platform/runtime/runtime.h"

namespace vx::sim {
class Simulator;
}

namespace vx::scanplan {

// The scan's settings as the worker reads them from the panel.
struct Settings {
  int nx = 0, ny = 0, nz = 0;
  double dx = 0, dy = 0, dz = 0;
  double x0 = 0, y0 = 0, z0 = 0;
  int cbx = 0, cby = 0, cbz = 0;

  // The counts after the checkbox rule: an axis that is not scanned has one point.
  std::array<int, 3> counts() const { return {cbx ? nx : 1, cby ? ny : 1, cbz ? nz : 1}; }
  std::array<double, 3> starts() const { return {x0, y0, z0}; }
  std::array<double, 3> steps() const { return {dx, dy, dz}; }
  std::array<bool, 3> scanned() const { return {cbx != 0, cby != 0, cbz != 0}; }
  // The target of grid index i on axis k, computed as the worker computes it.
  double target(int k, int i) const { return starts()[k] + i * steps()[k]; }
  // The grid's points: the product of the counts, 0 when any is 0 or less.
  long long grid_points() const;

  bool operator==(const Settings&) const = default;
};

// The settings on `panel` now; nothing when a control cannot be read.
std::optional<Settings> read_settings(const rt::Runtime& runtime, int panel);

// The program's fixed timings, which pace its waits and its scans; the planner times by
// them and the checks of the simulated sessions hold the program to them.
inline constexpr Duration kPoll = std::chrono::milliseconds(250);    // the completion wait's sleep
inline constexpr Duration kMoveBound = std::chrono::seconds(10);     // a move's wait, in a scan or not
inline constexpr Duration kHomeBound = std::chrono::seconds(180);    // a homing's wait
inline constexpr Duration kDwell = std::chrono::milliseconds(100);   // after each point

struct AxisRange {
  bool scanned = false;
  int count = 0;        // after the checkbox rule
  double first = 0;     // mm, the target of index 0
  double last = 0;      // mm, the target of the last index (first when count <= 1)
  double low() const { return first < last ? first : last; }
  double high() const { return first < last ? last : first; }
};

struct Preview {
  long long grid_points = 0;  // the points of the grid
  long long points = 0;       // those the scan will complete (fewer when it must stop early)
  std::array<AxisRange, 3> axes;
  std::vector<std::string> warnings;
  // From the start-scan press to the scan's end; nothing when the scan is too long to
  // plan (kMaxPlanSteps).
  std::optional<Duration> duration;
  // Filled when asked for (Detail): when each point completes (its refresh), from the
  // press; and every move in the worker's order.
  std::vector<Duration> point_times;
  struct Move {
    int axis = 0;             // 0 X, 1 Y, 2 Z
    Duration motion{0};       // the profile's duration
    Duration wait{0};         // from the command to the end of its wait
  };
  std::vector<Move> moves;
};

struct Detail {
  bool point_times = false;
  bool moves = false;
};

// The most moves and repeated rows a plan walks (a few tenths of a second); a longer scan
// is counted, ranged and checked, but not timed.
inline constexpr long long kMaxPlanSteps = 20'000'000;

// Plans the scan for the stages X, Y, Z as they stand (motion::Stage: their travel,
// profile, latency and position).
Preview preview(const Settings& s, const std::array<motion::Stage, 3>& stages, Detail detail = {});

#if VARNIX_SIMULATED_STAGES
// The simulated stages of the axis table, X, Y, Z, as they stand now.
std::array<motion::Stage, 3> stages_of(const sim::Simulator& simulator);
#endif

// The stages of the axis table as they stand now, for the window's and the runner's
// previews: the simulated stages in force, exactly; built against another stage
// library, the simulated stages' nominal profile placed where each stage says it is
// (so the preview of real stages is an estimate).
std::array<motion::Stage, 3> stages_now();

// "N points D s": the points and the duration in seconds to the millisecond
// ("untimed" for a grid too large to time).
std::string summary(const Preview& p);

}  // namespace vx::scanplan
