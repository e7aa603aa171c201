// The scan planner's speed: how long a preview of a million-point scan takes on the
// simulated stages as they power up (the window previews as the operator types, so it
// must keep up: the target is 10 ms). Grids of one long row, square planes and a cube,
// and one whose moves do not repeat; each timed as the best of several runs.
//   preview_speed [RUNS]
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>

#include "platform/scanplan/scanplan.h"
#include "platform/stagesim/simulator.h"

// The thread's CPU time, in ms: on a shared machine the wall time of a 10 ms run
// includes other processes' time slices.
double cpu_ms() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  vx::sim::Simulator at_power_up;
  const auto stages = vx::scanplan::stages_of(at_power_up);
  struct Grid {
    const char* what;
    vx::scanplan::Settings s;
  };
  const Grid grids[] = {
      {"1000000 x 1 x 1, 0.0000488 mm (19 to 21 units)", {1000000, 1, 1, 0.000048828125, 0, 0, -24, 0, 0, 1, 0, 0}},
      {"1000000 x 1 x 1, 0.0000123457 mm (5 or 6 units)",
       {1000000, 1, 1, 0.0000123457, 0, 0, -6, 0, 0, 1, 0, 0}},
      {"1000 x 1000 x 1, 0.02 mm", {1000, 1000, 1, 0.02, 0.02, 0, -10, -10, 0, 1, 1, 0}},
      {"100 x 100 x 100, 0.2 mm", {100, 100, 100, 0.2, 0.2, 0.2, -10, -10, -10, 1, 1, 1}},
      {"1000 x 1000 x 1, 0.0123457 mm (steps vary by a unit)",
       {1000, 1000, 1, 0.0123457, 0.0123457, 0, -6, -6, 0, 1, 1, 0}},
  };
  std::printf("| %-52s | %8s | %12s | %10s | %10s |\n", "grid", "points", "duration s", "wall ms", "CPU ms");
  std::printf("|%s|%s|%s|%s|%s|\n", std::string(54, '-').c_str(), std::string(10, '-').c_str(),
              std::string(14, '-').c_str(), std::string(12, '-').c_str(), std::string(12, '-').c_str());
  for (const Grid& g : grids) {
    double best = 1e9, best_cpu = 1e9;
    vx::scanplan::Preview p;
    for (int r = 0; r < runs; r++) {
      const double c0 = cpu_ms();
      const auto t0 = std::chrono::steady_clock::now();
      p = vx::scanplan::preview(g.s, stages);
      const auto t1 = std::chrono::steady_clock::now();
      best_cpu = std::min(best_cpu, cpu_ms() - c0);
      best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    std::printf("| %-52s | %8lld | %12.3f | %10.2f | %10.2f |\n", g.what, p.points,
                p.duration ? vx::to_seconds(*p.duration) : -1.0, best, best_cpu);
  }
  std::printf("\nbest of %d runs each; target: 10 ms for 10^6 points\n", runs);
  return 0;
}
