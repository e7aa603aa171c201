// The floor of a raster scan: the least time the program's fixed timings and the
// simulated motion allow, move by move, in the order the scan worker makes its moves.
//
// The model (docs/benchmarks.md explains it):
//  - a move of d mm takes 2*sqrt(d/a) s when d < v*v/a (a triangular profile) and
//    d/v + v/a s otherwise, with the stage's cruise velocity v and acceleration a; a
//    null move takes 0 s; targets are truncated to device units as the driver does;
//  - its completion message arrives the stage's latency after the motion ends;
//  - the completion wait looks at the queue when the move starts and then once after
//    every 250 ms sleep, so the move is over for the worker at the first multiple of
//    250 ms (from the move's start, at least one) at or after the arrival;
//  - each x point adds the 0.1 s dwell; the refresh and the progress write cost nothing.
// It assumes targets within the travel (no limit stops) and no time-outs.
#pragma once

#include <string>
#include <vector>

namespace vx::bench {

// The scan's settings, as the worker reads them from the panel.
struct Grid {
  int nx = 0, ny = 0, nz = 0;
  double dx = 0, dy = 0, dz = 0;
  double x0 = 0, y0 = 0, z0 = 0;
  int cbx = 0, cby = 0, cbz = 0;
};

// The panel's initial values for the scan controls (panel file), overridden by the
// script's `set` lines in order. Throws std::runtime_error on a file it cannot read.
Grid grid_from_script(const std::string& script_path, const std::string& panel_path);

struct Motion {
  double velocity = 5.0;      // mm/s
  double acceleration = 10.0;  // mm/s^2
  double latency = 0.005;     // s from the end of the motion to the completion message
  int units_per_mm = 409600;
};
// The simulator's default stage, which every axis of the default simulator has.
Motion default_motion();

inline constexpr double kPoll = 0.250;   // the completion wait's sleep
inline constexpr double kDwell = 0.100;  // the scan's pause after each x point

struct FloorMove {
  int axis = 0;          // 0 X, 1 Y, 2 Z
  double distance = 0;   // mm
  double motion = 0;     // s, the profile's duration
  double floor = 0;      // s, when the wait can first see the completion
};

struct Floor {
  std::vector<FloorMove> moves;  // in the worker's order
  int points = 0;
  double moves_s = 0;
  double dwell_s = 0;
  double total() const { return moves_s + dwell_s; }
};

// The stages start at `start` (counter millimetres of X, Y, Z).
Floor scan_floor(const Grid& g, const Motion& m, const double start[3]);

double move_duration(double distance_mm, const Motion& m);

}  // namespace vx::bench
