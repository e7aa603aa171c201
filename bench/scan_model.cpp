// The scan floor: the worker's loop replayed with the motion profile and the poll grid
// in place of the stages and the clock.
#include "bench/scan_model.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "driver/axs.h"
#include "platform/runtime/panel_model.h"
#include "platform/session/script.h"
#include "platform/stagesim/simulator.h"

namespace vx::bench {

namespace {

void apply(Grid& g, const std::string& name, double v) {
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

// The stage's counter after a move to `mm`: the driver truncates to device units.
int target_units(double mm) {
  int units = 0;
  AXS_MmToDeviceUnits(mm, &units);
  return units;
}

}  // namespace

Grid grid_from_script(const std::string& script_path, const std::string& panel_path) {
  Grid g;
  std::string error;
  auto pf = rt::load_panel_file(panel_path, error);
  if (!pf) throw std::runtime_error(error);
  for (const rt::PanelSpec& p : pf->panels)
    if (p.resource == 1)
      for (const rt::ControlSpec& c : p.controls) apply(g, c.name, c.initial);

  std::ifstream in(script_path, std::ios::binary);
  if (!in) throw std::runtime_error(script_path + ": cannot open");
  std::stringstream text;
  text << in.rdbuf();
  auto script = session::parse_script(text.str(), script_path, error);
  if (!script) throw std::runtime_error(error);
  for (const session::Statement& st : script->statements)
    if (st.op == session::Op::Set && !st.controls.empty()) apply(g, st.controls[0].name, st.value);
  return g;
}

Motion default_motion() {
  const sim::StageConfig c = sim::Simulator::default_stages().front();
  return {c.max_velocity, c.acceleration, c.latency_s, c.units_per_mm};
}

double move_duration(double d, const Motion& m) {
  if (d <= 0) return 0;
  const double ramp = m.velocity * m.velocity / m.acceleration;  // both ramps' distance
  if (d < ramp) return 2 * std::sqrt(d / m.acceleration);
  return d / m.velocity + m.velocity / m.acceleration;
}

Floor scan_floor(const Grid& grid, const Motion& m, const double start[3]) {
  Floor f;
  int pos[3];
  for (int k = 0; k < 3; k++) pos[k] = target_units(start[k]);
  auto move = [&](int axis, double mm) {
    const int to = target_units(mm);
    FloorMove mv;
    mv.axis = axis;
    mv.distance = std::abs(static_cast<double>(to) - pos[axis]) / m.units_per_mm;
    mv.motion = move_duration(mv.distance, m);
    // The first look that sees the message: never the one at the start, since the
    // message comes at least the latency after the command. The small slack keeps an
    // arrival that falls on a look (in exact arithmetic) on that look.
    const double arrival = mv.motion + m.latency;
    const double looks = std::max(1.0, std::ceil(arrival / kPoll - 1e-9));
    mv.floor = looks * kPoll;
    pos[axis] = to;
    f.moves_s += mv.floor;
    f.moves.push_back(mv);
  };
  // The worker's checkbox rule and loop order.
  const int nx = grid.cbx ? grid.nx : 1;
  const int ny = grid.cby ? grid.ny : 1;
  const int nz = grid.cbz ? grid.nz : 1;
  for (int iz = 0; iz < nz; iz++) {
    move(2, grid.z0 + iz * grid.dz);
    for (int iy = 0; iy < ny; iy++) {
      move(1, grid.y0 + iy * grid.dy);
      for (int ix = 0; ix < nx; ix++) {
        move(0, grid.x0 + ix * grid.dx);
        f.points++;
        f.dwell_s += kDwell;
      }
    }
  }
  return f;
}

}  // namespace vx::bench
