// Scan pacing: a raster scan on the simulated stages in real time against the scan
// planner's preview (platform/scanplan), which times each move with the stages' motion
// profile and the program's own pacing. The same script also runs on the virtual
// clock, where the program costs no time, so that its scan must take exactly the
// preview: a check of the planner against the program.
//   scan_pacing SESSION_BINARY SCRIPT [RUNS]
// Prints a table: the motion alone (the profiles and the dwell), the preview and the
// wall time of the moves, of the pauses after them and of the whole scan, and the
// ratio wall / preview.
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/watch.h"
#include "platform/panelfile/panel_file.h"
#include "platform/scanplan/scanplan.h"
#include "platform/session/script.h"
#include "platform/stagesim/simulator.h"

namespace {

using namespace vx::bench;
using vx::scanplan::Preview;
using vx::scanplan::Settings;

void apply(Settings& g, const std::string& name, double v) {
  const int i = static_cast<int>(v);
  if (name == "PANEL_NX") g.nx = i;
  else if (name == "PANEL_NY") g.ny = i;
  else if (name == "PANEL_NZ") g.nz = i;
  else if (name == "PANEL_DX") g.dx = v;
  else if (name == "PANEL_DY") g.dy = v;
  else if (name == "PANEL_DZ") g.dz = v;
  else if (name == "PANEL_X0") g.x0 = v;
  else if (name == "PANEL_Y0") g.y0 = v;
  else if (name == "PANEL_Z0") g.z0 = v;
  else if (name == "PANEL_SCAN_X") g.cbx = i;
  else if (name == "PANEL_SCAN_Y") g.cby = i;
  else if (name == "PANEL_SCAN_Z") g.cbz = i;
}

// The panel's initial values for the scan controls (panel file), overridden by the
// script's `set` lines in order. Throws std::runtime_error on a file it cannot read.
Settings settings_from_script(const std::string& script_path, const std::string& panel_path) {
  Settings g;
  std::string error;
  auto pf = vx::rt::load_panel_file(panel_path, error);
  if (!pf) throw std::runtime_error(error);
  for (const vx::rt::PanelSpec& p : pf->panels)
    if (p.resource == 1)
      for (const vx::rt::ControlSpec& c : p.controls) apply(g, c.name, c.initial);
  std::ifstream in(script_path, std::ios::binary);
  if (!in) throw std::runtime_error(script_path + ": cannot open");
  std::stringstream text;
  text << in.rdbuf();
  auto script = vx::session::parse_script(text.str(), script_path, error);
  if (!script) throw std::runtime_error(error);
  for (const vx::session::Statement& st : script->statements)
    if (st.op == vx::session::Op::Set && !st.controls.empty()) apply(g, st.controls[0].name, st.value);
  return g;
}

double secs(vx::Duration d) { return vx::to_seconds(d); }

struct Measured {
  double scan = 0;
  double moves[3] = {0, 0, 0};  // per axis
  double after_x = 0;           // from the end of an x move to what follows it
  double after_yz = 0;
  bool matched = false;         // one bracketed move per modelled move
};

Measured measure(const ScanSpan& s, const Preview& f) {
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

  Settings g;
  try {
    g = settings_from_script(script, panel);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "scan_pacing: %s\n", e.what());
    return 2;
  }
  // The stages as they power up, where the session's scan finds them.
  vx::sim::Simulator stages_at_power_up;
  const auto stages = vx::scanplan::stages_of(stages_at_power_up);
  const Preview f = vx::scanplan::preview(g, stages, {.point_times = false, .moves = true});
  if (!f.duration) {
    std::fprintf(stderr, "scan_pacing: the grid is too large to preview\n");
    return 2;
  }
  const double preview_s = secs(*f.duration);
  const double dwell_s = f.points * secs(vx::scanplan::kDwell);
  int counts[3] = {0, 0, 0};
  double waits[3] = {0, 0, 0};
  double motions[3] = {0, 0, 0};  // the profiles alone, without the latency and the poll
  for (const auto& mv : f.moves) {
    counts[mv.axis]++;
    waits[mv.axis] += secs(mv.wait);
    motions[mv.axis] += secs(mv.motion);
  }
  const double motion_total = motions[0] + motions[1] + motions[2] + dwell_s;

  // The virtual run: the program's own time is free, so its scan is the preview.
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

  const auto n = g.counts();
  const vx::motion::Stage& x = stages[0];
  std::printf("Scan pacing: %d x %d x %d points, steps %g/%g/%g mm, real time (%s --realtime %s)\n", n[0], n[1],
              n[2], g.dx, g.dy, g.dz, std::filesystem::path(session).filename().c_str(), script.c_str());
  std::printf("motion %g mm/s, %g mm/s^2, completion %g ms after the motion; poll %g ms, dwell %g s\n\n",
              x.vmax / x.units_per_mm, x.accel / x.units_per_mm, x.latency * 1000, secs(vx::scanplan::kPoll) * 1000,
              secs(vx::scanplan::kDwell));
  std::printf("| %-44s | %5s | %8s | %9s | %9s | %9s | %11s |\n", "part", "count", "motion s", "preview s",
              "wall s", "excess s", "ms per item");
  std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(46, '-').c_str(), std::string(7, '-').c_str(),
              std::string(10, '-').c_str(), std::string(11, '-').c_str(), std::string(11, '-').c_str(),
              std::string(11, '-').c_str(), std::string(13, '-').c_str());
  if (m.matched) {
    row("x moves, to the completion seen", counts[0], motions[0], waits[0], m.moves[0]);
    row("y moves", counts[1], motions[1], waits[1], m.moves[1]);
    row("z moves", counts[2], motions[2], waits[2], m.moves[2]);
    row("after each x move: refresh, progress, dwell", static_cast<int>(f.points), dwell_s, dwell_s, m.after_x);
    row("after each y or z move", counts[1] + counts[2], 0, 0, m.after_yz);
  } else {
    std::printf("| (the moves seen do not match the preview's %zu; no breakdown) |\n", f.moves.size());
  }
  row("scan: PANEL_SCANNING 1 -> 0", static_cast<int>(f.points), motion_total, preview_s, m.scan);
  const double ratio = m.scan / preview_s;
  std::printf("\nratio wall / preview: %.4f (%s 0.5 %%)", ratio, std::fabs(ratio - 1) <= 0.005 ? "within" : "NOT within");
  if (runs > 1) {
    std::printf("  (median of %d runs; scans:", runs);
    for (const Measured& r : real) std::printf(" %.3f", r.scan);
    std::printf(" s)");
  }
  std::printf("\nthe 250 ms poll adds %.3f s (%.1f %%) to the motion and dwell alone\n", preview_s - motion_total,
              100 * (preview_s - motion_total) / motion_total);
  std::printf("CPU of the real-time session: %.3f s in %.1f s wall\n", session_cpu, session_wall);
  std::printf("virtual clock, same script: scan %.3f s, preview %.3f s (%s)\n", virtual_scan, preview_s,
              std::fabs(virtual_scan - preview_s) < 0.0005 ? "the preview holds" : "PREVIEW AND PROGRAM DISAGREE");
  return 0;
}
