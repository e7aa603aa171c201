// Scan pacing: a raster scan on the simulated stages in real time against its floor,
// the least time that the simulated motion and the program's fixed timings allow (the
// model is in scan_model.h). The same script also runs on the virtual clock, where the
// program costs no time, so that its scan must take exactly the floor: a check of the
// model against the program.
//   scan_pacing SESSION_BINARY SCRIPT [RUNS]
// Prints a table: the motion alone (the profiles and the dwell), the floor and the wall
// time of the moves, of the pauses after them and of the whole scan, and the ratio
// wall / floor.
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/scan_model.h"
#include "bench/watch.h"

namespace {

using namespace vx::bench;

struct Measured {
  double scan = 0;
  double moves[3] = {0, 0, 0};  // per axis
  double after_x = 0;           // from the end of an x move to what follows it
  double after_yz = 0;
  bool matched = false;         // one bracketed move per modelled move
};

Measured measure(const ScanSpan& s, const Floor& f) {
  Measured m;
  m.scan = s.end.t - s.start.t;
  m.matched = s.moves.size() == f.moves.size();
  if (!m.matched) return m;
  for (std::size_t k = 0; k < s.moves.size(); k++) {
    const int axis = f.moves[k].axis;
    m.moves[axis] += s.moves[k].second - s.moves[k].first;
    const double next = k + 1 < s.moves.size() ? s.moves[k + 1].first : s.end.t;
    (axis == 0 ? m.after_x : m.after_yz) += next - s.moves[k].second;
  }
  return m;
}

void row(const char* what, int count, double motion, double floor, double wall) {
  const double excess = wall - floor;
  std::printf("| %-44s | %5d | %8.3f | %9.3f | %9.3f | %9.3f | %11.2f |\n", what, count, motion, floor, wall,
              excess, count ? 1000 * excess / count : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: scan_pacing SESSION_BINARY SCRIPT [RUNS]\n");
    return 2;
  }
  const std::string session = argv[1];
  const std::string script = argv[2];
  const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
  const std::string panel =
      (std::filesystem::path(session).parent_path() / "Varnix_ui.uir").string();

  Grid g;
  try {
    g = grid_from_script(script, panel);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "scan_pacing: %s\n", e.what());
    return 2;
  }
  const Motion motion = default_motion();
  const double start[3] = {0, 0, 0};  // the counters read 0 at power-up
  const Floor f = scan_floor(g, motion, start);
  int counts[3] = {0, 0, 0};
  double floors[3] = {0, 0, 0};
  double motions[3] = {0, 0, 0};  // the profiles alone, without the latency and the poll
  for (const FloorMove& mv : f.moves) {
    counts[mv.axis]++;
    floors[mv.axis] += mv.floor;
    motions[mv.axis] += mv.motion;
  }
  const double motion_total = motions[0] + motions[1] + motions[2] + f.dwell_s;

  // The virtual run: the program's own time is free, so its scan is the floor.
  int status = 0;
  const auto vws = run_session({session, script}, &status);
  const auto vscan = find_scan(vws);
  if (!vscan || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "scan_pacing: the virtual session did not run a whole scan\n");
    return 1;
  }
  const double virtual_scan = vscan->end.t - vscan->start.t;

  std::vector<Measured> real;
  double session_wall = 0, session_cpu = 0;  // of the last real-time run
  for (int r = 0; r < runs; r++) {
    const auto ws = run_session({session, "--realtime", script}, &status, &session_wall, &session_cpu);
    const auto scan = find_scan(ws);
    if (!scan || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "scan_pacing: the real-time session did not run a whole scan\n");
      return 1;
    }
    real.push_back(measure(*scan, f));
  }
  // The run reported in detail: the median by scan time.
  std::vector<Measured> sorted = real;
  std::sort(sorted.begin(), sorted.end(), [](const Measured& a, const Measured& b) { return a.scan < b.scan; });
  const Measured& m = sorted[sorted.size() / 2];

  std::printf("Scan pacing: %d x %d x %d points, steps %g/%g/%g mm, real time (%s --realtime %s)\n",
              g.cbx ? g.nx : 1, g.cby ? g.ny : 1, g.cbz ? g.nz : 1, g.dx, g.dy, g.dz,
              std::filesystem::path(session).filename().c_str(), script.c_str());
  std::printf("motion %g mm/s, %g mm/s^2, completion %g ms after the motion; poll %g ms, dwell %g s\n\n",
              motion.velocity, motion.acceleration, motion.latency * 1000, kPoll * 1000, kDwell);
  std::printf("| %-44s | %5s | %8s | %9s | %9s | %9s | %11s |\n", "part", "count", "motion s", "floor s", "wall s",
              "excess s", "ms per item");
  std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(46, '-').c_str(), std::string(7, '-').c_str(),
              std::string(10, '-').c_str(), std::string(11, '-').c_str(), std::string(11, '-').c_str(),
              std::string(11, '-').c_str(), std::string(13, '-').c_str());
  if (m.matched) {
    row("x moves, to the completion seen", counts[0], motions[0], floors[0], m.moves[0]);
    row("y moves", counts[1], motions[1], floors[1], m.moves[1]);
    row("z moves", counts[2], motions[2], floors[2], m.moves[2]);
    row("after each x move: refresh, progress, dwell", f.points, f.dwell_s, f.dwell_s, m.after_x);
    row("after each y or z move", counts[1] + counts[2], 0, 0, m.after_yz);
    row("1 ms loop pauses (none: the loop waits)", 0, 0, 0, 0);
  } else {
    std::printf("| (the moves seen do not match the model's %zu; no breakdown) |\n", f.moves.size());
  }
  row("scan: PANEL_SCANNING 1 -> 0", f.points, motion_total, f.total(), m.scan);
  std::printf("\nratio wall / floor: %.4f", m.scan / f.total());
  if (runs > 1) {
    std::printf("  (median of %d runs; scans:", runs);
    for (const Measured& r : real) std::printf(" %.3f", r.scan);
    std::printf(" s)");
  }
  std::printf("\nthe 250 ms poll adds %.3f s (%.1f %%) to the motion and dwell alone\n", f.total() - motion_total,
              100 * (f.total() - motion_total) / motion_total);
  std::printf("CPU of the real-time session: %.3f s in %.1f s wall\n", session_cpu, session_wall);
  std::printf("virtual clock, same script: scan %.3f s, floor %.3f s (%s)\n", virtual_scan, f.total(),
              std::fabs(virtual_scan - f.total()) < 0.0015 ? "the model holds" : "MODEL AND PROGRAM DISAGREE");
  return 0;
}
