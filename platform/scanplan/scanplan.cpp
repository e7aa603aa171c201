// The plan replays the worker's loop (z outermost, x innermost, a return stroke at the
// start of every row and plane, the moves of unscanned axes) against a model of each
// stage that follows the simulator's rules: a command first stops the stage where it
// is (a motion cut short loses its velocity and its answer), the new motion is the
// profile clipped at the travel's limits, and its answer (moved, or stopped at a limit)
// arrives the stage's latency after the motion ends. The wait sees the answer at the
// first 250 ms poll at or after its arrival, or gives up at its 10 s bound.
#include "platform/scanplan/scanplan.h"

#include <cmath>
#include <cstdio>

#include "driver/axs.h"
#include "panel/Varnix_ui.h"
#include "platform/stagelib/stage_library.h"
#if VARNIX_SIMULATED_STAGES
#include "platform/stagesim/simulator.h"
#endif

namespace vx::scanplan {

namespace {

const char* const kAxis[3] = {"X", "Y", "Z"};

// A scan longer than a century is not timed.
constexpr Duration kHorizon = std::chrono::hours(24 * 365 * 100);

Time add(Time t, Duration d) {
  if (t == kForever || d == kForever || d >= kForever - t) return kForever;
  return t + d;
}

std::string mm(double v) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.6g mm", v);
  return buf;
}

// One stage during the plan: the motion it was last commanded, from its start, and
// where that motion ends.
struct AxisModel {
  motion::Stage stage;
  motion::Profile profile;
  Time start{0};
  Time end{0};
  double final = 0;

  double physical(Time t) const {
    if (t >= end) return final;
    return profile.position(to_seconds(std::max(Duration{0}, t - start)));
  }
};

// A move's cost depends only on its distance while the stage is at rest, the target
// lies inside the travel and the wait outlasts the motion: the last few are kept,
// since a row repeats its steps.
struct MoveMemo {
  struct Entry {
    double distance = 0;
    Duration wait{0};
    Duration motion{0};
    bool used = false;
  };
  std::array<Entry, 4> entries;
  std::size_t next = 0;
};

// A row of x points costs the same as the row before it when x starts it from the same
// place at rest and that row ran clean (no stop, no time-out): each of its moves then
// meets the same state. The last clean row is kept.
struct RowMemo {
  bool used = false;
  double from = 0;           // x's physical position when the row began
  double final = 0;          // and when it ended
  Duration length{0};        // from the row's first x command to its last dwell's end
  Duration x_end{0};         // when x's last motion ended, from the row's start
  std::vector<Duration> points;  // each point's time from the row's start
};

class Planner {
 public:
  Planner(const Settings& s, const std::array<motion::Stage, 3>& stages, Preview& out, Detail detail)
      : s_(s), out_(out), detail_(detail) {
    for (int k = 0; k < 3; k++) {
      axes_[k].stage = stages[k];
      axes_[k].final = stages[k].position;
    }
  }

  // False when the plan ran out of steps.
  bool run() {
    const auto n = s_.counts();
    for (int iz = 0; iz < n[2]; iz++) {
      move(2, s_.target(2, iz));
      for (int iy = 0; iy < n[1]; iy++) {
        move(1, s_.target(1, iy));
        row(n[0]);
        if (stop_ || exhausted()) break;
      }
      if (stop_ || exhausted()) break;
    }
    if (exhausted()) return false;
    out_.duration = t_;
    if (timeouts_ > 0)
      out_.warnings.push_back(std::to_string(timeouts_) +
                              (timeouts_ == 1 ? " move outlasts" : " moves outlast") +
                              " the 10 s wait: the program reports a time-out and goes on while the stage still moves");
    return true;
  }

 private:
  void row(int nx) {
    AxisModel& x = axes_[0];
    const Time row_start = t_;
    const bool at_rest = t_ >= x.end;
    steps_++;
    if (at_rest && rows_.used && rows_.from == x.final && !detail_.moves) {
      out_.points += nx;
      if (detail_.point_times)
        for (Duration d : rows_.points) out_.point_times.push_back(row_start + d);
      t_ = add(row_start, rows_.length);
      x.end = add(row_start, rows_.x_end);
      x.final = rows_.final;
      return;
    }
    const double from = x.final;
    const long long timeouts = timeouts_;
    std::vector<Duration> points;
    // What the two previous x moves cost, when remembered: steps truncated to device
    // units alternate between two distances.
    const MoveMemo::Entry* last = nullptr;
    const MoveMemo::Entry* before = nullptr;
    // The common case is kept tight, in locals: a step the moves before made, from rest,
    // inside the travel. Anything else takes the general road through move().
    Time t = t_, x_start = x.start, x_end = x.end;
    double x_final = x.final;
    long long steps = steps_, done = 0;
    auto put = [&] {
      t_ = t, x.start = x_start, x.end = x_end, x.final = x_final, steps_ = steps;
      out_.points += done;
      done = 0;
    };
    auto take = [&] { t = t_, x_start = x.start, x_end = x.end, x_final = x.final, steps = steps_; };
    const double zero = x.stage.zero, travel = x.stage.travel;
    const bool fast = !detail_.moves;
    for (int ix = 0; ix < nx; ix++) {
      if (steps > kMaxPlanSteps || t >= kHorizon) break;
      const double target = s_.target(0, ix);
      int units = 0;
      double to = 0;
      const MoveMemo::Entry* hit = nullptr;
      if (fast && last && t >= x_end && AXS_MmToDeviceUnits(target, &units) && (to = zero + units) >= 0 &&
          to <= travel) {
        const double d = to - x_final;
        if (d == last->distance) hit = last;
        else if (before && d == before->distance) std::swap(last, before), hit = last;
      }
      if (hit) {
        steps++;
        x_start = t;
        x_end = t + last->motion;
        x_final = to;
        t += last->wait;
      } else {
        put();
        before = last;
        last = move(0, target);
        take();
      }
      done++;
      if (detail_.point_times) {
        out_.point_times.push_back(t);
        points.push_back(t - row_start);
      }
      t += kDwell;
      if (stop_) break;
    }
    put();
    if (at_rest && !stop_ && !exhausted() && timeouts_ == timeouts && t_ >= x.end) {
      rows_.used = true;
      rows_.from = from;
      rows_.final = x.final;
      rows_.length = t_ - row_start;
      rows_.x_end = x.end - row_start;
      rows_.points = std::move(points);
    }
  }

  // Out of steps, or past the horizon (where the sums of time would leave their type).
  bool exhausted() const { return steps_ > kMaxPlanSteps || t_ >= kHorizon; }

  // One scan move and its wait, as the driver makes them. Returns the remembered cost it
  // used or made, if any.
  const MoveMemo::Entry* move(int k, double target_mm) {
    steps_++;
    int units = 0;
    // A target with no device units is refused: no move, no wait, and the scan stops.
    if (!AXS_MmToDeviceUnits(target_mm, &units)) {
      stop_ = true;
      return nullptr;
    }
    AxisModel& a = axes_[k];
    const double from = a.physical(t_);
    const double to = a.stage.zero + double(units);
    const bool memo_able = t_ >= a.end && to >= 0 && to <= a.stage.travel;
    MoveMemo& memo = memo_[k];
    if (memo_able)
      for (const auto& e : memo.entries)
        if (e.used && e.distance == to - from) {
          a.start = t_;
          a.end = add(t_, e.motion);
          a.final = to;
          t_ = add(t_, e.wait);
          if (detail_.moves) out_.moves.push_back({k, e.motion, e.wait});
          return &e;
        }
    motion::Profile p = motion::Profile::trapezoid(from, to, a.stage.vmax, a.stage.accel);
    p.clip(0, a.stage.travel);
    const Duration motion = from_seconds(p.duration());
    const Time start = t_;
    const Time end = add(start, motion);
    const Time arrival = add(add(end, from_seconds(a.stage.latency)), from_seconds(a.stage.extra_latency));
    Duration wait;
    if (arrival <= start) {
      // The answer came before the queue was cleared after the command: it is lost.
      wait = kMoveBound;
    } else {
      const auto polls = std::max<Duration::rep>(1, (arrival - start + kPoll - Duration{1}) / kPoll);
      wait = std::min<Duration>(kPoll * polls, kMoveBound);
    }
    // The bound's tick comes first when it falls on the poll that would see the answer.
    if (wait == kMoveBound) timeouts_++;
    a.profile = p;
    a.start = start;
    a.end = end;
    a.final = p.end();
    t_ = add(t_, wait);
    if (detail_.moves) out_.moves.push_back({k, motion, wait});
    if (memo_able && wait < kMoveBound && end <= t_) {
      MoveMemo::Entry& e = memo.entries[memo.next];
      e = {to - from, wait, motion, true};
      memo.next = (memo.next + 1) % memo.entries.size();
      return &e;
    }
    return nullptr;
  }

  const Settings& s_;
  Preview& out_;
  Detail detail_;
  std::array<AxisModel, 3> axes_;
  std::array<MoveMemo, 3> memo_;
  RowMemo rows_;
  Time t_{0};
  bool stop_ = false;
  long long timeouts_ = 0;
  long long steps_ = 0;
};

void check(const Settings& s, const std::array<motion::Stage, 3>& stages, Preview& p) {
  const auto scanned = s.scanned();
  for (int k = 0; k < 3; k++) {
    const AxisRange& r = p.axes[k];
    if (scanned[k] && r.count <= 0) {
      p.warnings.push_back(std::string(kAxis[k]) + " is scanned with " + std::to_string(r.count) +
                           " points: the scan visits no point");
      continue;
    }
    if (scanned[k] && r.count > 1 && s.steps()[k] == 0)
      p.warnings.push_back(std::string(kAxis[k]) + " steps by 0 mm: all its " + std::to_string(r.count) +
                           " points are the same");
    const motion::Stage& st = stages[k];
    const double lo = -st.zero / st.units_per_mm;
    const double hi = (st.travel - st.zero) / st.units_per_mm;
    for (double v : {r.low(), r.high()}) {
      int units = 0;
      if (!AXS_MmToDeviceUnits(v, &units)) {
        p.warnings.push_back(std::string(kAxis[k]) + " point " + mm(v) +
                             " has no device units: the driver refuses it and the scan stops there");
        break;
      }
      const double phys = st.zero + units;
      if (phys < 0 || phys > st.travel) {
        p.warnings.push_back(std::string(kAxis[k]) + " point " + mm(v) + " is beyond the stage's travel (" +
                             mm(lo) + " to " + mm(hi) + "): the stage stops at the limit");
        break;
      }
    }
  }
}

}  // namespace

long long Settings::grid_points() const {
  const auto n = counts();
  if (n[0] <= 0 || n[1] <= 0 || n[2] <= 0) return 0;
  const double product = double(n[0]) * double(n[1]) * double(n[2]);
  return product > 9e18 ? static_cast<long long>(9e18) : static_cast<long long>(n[0]) * n[1] * n[2];
}

std::optional<Settings> read_settings(const rt::Runtime& runtime, int panel) {
  Settings s;
  bool ok = true;
  auto get_int = [&](int id, int& v) {
    auto x = runtime.value(panel, id);
    if (!x || x->type != rt::DataType::Int) ok = false;
    else v = x->i;
  };
  auto get_double = [&](int id, double& v) {
    auto x = runtime.value(panel, id);
    if (!x || x->type != rt::DataType::Double) ok = false;
    else v = x->d;
  };
  get_int(PANEL_NX, s.nx);
  get_int(PANEL_NY, s.ny);
  get_int(PANEL_NZ, s.nz);
  get_double(PANEL_DX, s.dx);
  get_double(PANEL_DY, s.dy);
  get_double(PANEL_DZ, s.dz);
  get_double(PANEL_X0, s.x0);
  get_double(PANEL_Y0, s.y0);
  get_double(PANEL_Z0, s.z0);
  get_int(PANEL_SCAN_X, s.cbx);
  get_int(PANEL_SCAN_Y, s.cby);
  get_int(PANEL_SCAN_Z, s.cbz);
  if (!ok) return std::nullopt;
  return s;
}

Preview preview(const Settings& s, const std::array<motion::Stage, 3>& stages, Detail detail) {
  Preview p;
  p.grid_points = s.grid_points();
  const auto n = s.counts();
  const auto scanned = s.scanned();
  for (int k = 0; k < 3; k++) {
    AxisRange& r = p.axes[k];
    r.scanned = scanned[k];
    r.count = n[k];
    r.first = s.target(k, 0);
    r.last = n[k] > 1 ? s.target(k, n[k] - 1) : r.first;
  }
  check(s, stages, p);
  if (detail.point_times && p.grid_points <= kMaxPlanSteps)
    p.point_times.reserve(static_cast<std::size_t>(p.grid_points));
  if (!Planner(s, stages, p, detail).run()) {
    p.points = p.grid_points;
    p.point_times.clear();
    p.moves.clear();
    p.warnings.push_back("the scan is too long to time (" + std::to_string(p.grid_points) + " points)");
  }
  return p;
}

#if VARNIX_SIMULATED_STAGES
std::array<motion::Stage, 3> stages_of(const sim::Simulator& simulator) {
  std::array<motion::Stage, 3> out;
  for (int k = 0; k < 3; k++) out[k] = simulator.motion_state(serialNumbers[k]);
  return out;
}

std::array<motion::Stage, 3> stages_now() { return stages_of(sim::current()); }
#else
std::array<motion::Stage, 3> stages_now() {
  std::array<motion::Stage, 3> out;
  for (int k = 0; k < 3; k++) {
    out[k] = motion::nominal_stage();  // only the position is known of these stages
    out[k].position = out[k].zero + ISC_GetPosition(serialNumbers[k]);
  }
  return out;
}
#endif

std::string summary(const Preview& p) {
  std::string s = std::to_string(p.points) + " points ";
  if (!p.duration) return s + "untimed";
  char buf[48];
  // Whole nanoseconds to milliseconds, rounded half up, without a detour through double.
  const long long ms = (p.duration->count() + 500000) / 1000000;
  std::snprintf(buf, sizeof buf, "%lld.%03lld s", ms / 1000, ms % 1000);
  return s + buf;
}

}  // namespace vx::scanplan
