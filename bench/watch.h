// The session runner's watch lines ("@ 12.345 PANEL_MOVING = 1") as the benchmarks read
// them, and the scan's span and moves found among them. The time is the session
// clock's: wall seconds under --realtime, virtual seconds otherwise.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "bench/child.h"

namespace vx::bench {

struct Watch {
  double t = 0;       // the session clock's seconds
  double wall = 0;    // when the benchmark read the line
  std::string name;   // the control
  double value = 0;
};

inline std::optional<Watch> parse_watch(const Line& line) {
  Watch w;
  char name[64];
  if (std::sscanf(line.text.c_str(), "@ %lf %63s = %lf", &w.t, name, &w.value) != 3) return std::nullopt;
  w.name = name;
  w.wall = line.wall;
  return w;
}

struct ScanSpan {
  Watch start;  // the first PANEL_SCANNING = 1
  Watch end;    // the first PANEL_SCANNING = 0 after it
  // Each move as PANEL_MOVING brackets it: [rise, fall] in session seconds.
  std::vector<std::pair<double, double>> moves;
};

// Nothing when the output holds no whole scan.
inline std::optional<ScanSpan> find_scan(const std::vector<Watch>& ws) {
  ScanSpan s;
  bool started = false, moving = false;
  double rise = 0;
  for (const Watch& w : ws) {
    if (w.name == "PANEL_SCANNING") {
      if (!started && w.value == 1) {
        started = true;
        s.start = w;
      } else if (started && w.value == 0) {
        s.end = w;
        return s;
      }
    } else if (started && w.name == "PANEL_MOVING") {
      if (w.value == 1 && !moving) {
        moving = true;
        rise = w.t;
      } else if (w.value == 0 && moving) {
        moving = false;
        s.moves.emplace_back(rise, w.t);
      }
    }
  }
  return std::nullopt;
}

// Runs a session and collects its watch lines.
inline std::vector<Watch> run_session(const std::vector<std::string>& argv, int* status = nullptr,
                                      double* wall = nullptr, double* cpu = nullptr) {
  std::vector<Watch> ws;
  Child c(argv);
  while (auto l = c.next_line())
    if (auto w = parse_watch(*l)) ws.push_back(*w);
  const Child::Exit e = c.wait();
  if (status) *status = e.status;
  if (wall) *wall = e.wall - c.started();
  if (cpu) *cpu = cpu_seconds(e.usage);
  return ws;
}

}  // namespace vx::bench
