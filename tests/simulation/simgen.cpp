// The session generator: an operator who types and presses at random, some of it
// nonsense, on stages with random faults. It keeps a pessimistic model of how long the
// program's main thread may stay busy with the commands already pressed, for the one
// ordering the program leaves to chance: a stop pressed while a start is still queued
// behind a long command would reach the abort flag at the same virtual instant as the
// new scan clears it. The generator never presses stop while a start may be queued.
#include "tests/simulation/simgen.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>

namespace vx::simtest {

std::uint64_t Rng::next() {
  std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

std::uint64_t Rng::below(std::uint64_t n) {
  return static_cast<std::uint64_t>((static_cast<unsigned __int128>(next()) * n) >> 64);
}

double Rng::unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

int Rng::range(int lo, int hi) { return lo + static_cast<int>(below(static_cast<std::uint64_t>(hi - lo) + 1)); }

namespace {

constexpr const char* kAxis[3] = {"X", "Y", "Z"};
constexpr long long kMs = 1000000;
constexpr long long kS = 1000 * kMs;

// Upper bounds of how long one command keeps the main thread, in ns: the completion
// waits' time-outs plus one poll, and 1 % for the refreshes the panel timer queues
// meanwhile (each served with its 1 ms pause).
constexpr long long kHomeBusy = 182 * kS;
constexpr long long kGotoBusy = 10400 * kMs;
constexpr long long kQuickBusy = 20 * kMs;

std::string num(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

// Scan parameters as the generator last set them; nullopt where the panel still holds
// its own initial value, which the generator does not assume.
struct ScanPlan {
  std::optional<int> n[3], cb[3];
  std::optional<double> d[3], start[3];
};

class Builder {
 public:
  Builder(std::uint64_t seed, Session& s) : r_(seed), s_(s) {}

  void build();

 private:
  void line(const std::string& text) { s_.script += text + "\n"; }
  void feature(const std::string& f) { s_.features.insert(f); }

  void wait_ms(long long ms) {
    const long long ns = ms * kMs + kSkewNs;
    char buf[48];
    std::snprintf(buf, sizeof buf, "wait %lld.%09lld", ns / kS, ns % kS);
    line(buf);
    now_ += ns;
  }
  // A pause between two operator actions: often none, mostly short, now and then long.
  void pause() {
    const double u = r_.unit();
    if (u < 0.25) wait_ms(0);
    else if (u < 0.65) wait_ms(r_.range(1, 800));
    else if (u < 0.95) wait_ms(r_.range(800, 6000));
    else wait_ms(r_.range(6000, 25000));
  }
  void wait_until(long long t) {
    if (t > now_) wait_ms((t - now_) / kMs + 1);
  }

  void marker() { line("show PANEL_SCANNING"); }
  void press(const std::string& control, long long busy) {
    marker();
    line("press " + control);
    s_.marks.push_back({Mark::Press, control});
    feature("press " + control);
    if (control == "PANEL_STARTSCAN" && busy_until_ > now_) start_pending_until_ = std::max(start_pending_until_, busy_until_);
    busy_until_ = std::max(busy_until_, now_) + busy;
  }
  bool stop_allowed() const { return now_ > start_pending_until_; }
  void press_stopscan() {
    wait_until(start_pending_until_);
    press("PANEL_STOPSCAN", kQuickBusy);
  }
  void fault(const std::string& kind, int axis, const std::string& args, bool before_start) {
    if (!before_start) marker();
    line("fault " + kind + " " + kAxis[axis] + (args.empty() ? "" : " " + args));
    if (!before_start) s_.marks.push_back({Mark::Fault, kind + " " + kAxis[axis]});
    feature("fault " + kind + (before_start ? " (before start)" : " (during the session)"));
  }

  double target_value();
  void set_target(int axis);
  void scan_settings();
  void set_int(const std::string& control, int v, std::optional<int>& slot) {
    line("set " + control + " " + std::to_string(v));
    slot = v;
  }
  void set_double(const std::string& control, double v, std::optional<double>& slot) {
    line("set " + control + " " + num(v));
    slot = v;
  }
  std::optional<long long> scan_worst_ns() const;
  void scan_block();
  void mid_fault();
  void pre_start_faults();
  void step();

  Rng r_;
  Session& s_;
  long long now_ = 0;                   // virtual ns since the first statement after start
  long long busy_until_ = 0;            // the main thread may be busy until then
  long long start_pending_until_ = -1;  // a pressed start may wait in the queue until then
  int homes_ = 0;
  bool estop_ = false;  // the emergency stop is engaged
  unsigned disabled_ = 0;  // axes the operator or a fault disabled, bit per axis
  ScanPlan plan_;
};

// A typed target: mostly places on or near the travel, often nonsense: beyond the
// travel, at and across the edge of the int device-unit range, huge, not finite.
double Builder::target_value() {
  const double u = r_.unit();
  if (u < 0.45) return r_.range(-5000, 55000) / 1000.0;
  if (u < 0.55) return r_.pick(std::vector<double>{0, 25, 50, -0.0, 1e-300});
  if (u < 0.65) return r_.pick(std::vector<double>{75, -40, 5000, -5000, 1e6});
  // 2^31 / 409600 = 5242.88: the edge of the int range in millimetres.
  if (u < 0.8)
    return r_.pick(std::vector<double>{5242.88, 5242.8799999, -5242.88, -5242.8800001, -5242.8800025, 5242.880001});
  return r_.pick(std::vector<double>{1e300, -1e300, INFINITY, -INFINITY, NAN, -NAN, 1.7976931348623157e308});
}

void Builder::set_target(int axis) {
  const double v = target_value();
  line(std::string("set PANEL_TARGET_") + kAxis[axis] + " " + num(v));
  if (!std::isfinite(v)) feature("target not finite");
  else if (std::fabs(v * 409600.0) >= 2147483648.0) feature("target beyond the int range");
  else if (v < -25 || v > 50) feature("target beyond the travel");
  else feature("target on the travel");
}

void Builder::scan_settings() {
  static const char* const kN[3] = {"PANEL_NX", "PANEL_NY", "PANEL_NZ"};
  static const char* const kD[3] = {"PANEL_DX", "PANEL_DY", "PANEL_DZ"};
  static const char* const kStart[3] = {"PANEL_X0", "PANEL_Y0", "PANEL_Z0"};
  static const char* const kCb[3] = {"PANEL_SCAN_X", "PANEL_SCAN_Y", "PANEL_SCAN_Z"};
  if (r_.chance(0.6)) {
    feature("scan grid small");
    for (int a = 0; a < 3; a++) {
      set_int(kCb[a], r_.chance(0.7) ? 1 : 0, plan_.cb[a]);
      set_int(kN[a], r_.pick(std::vector<int>{0, 1, 1, 2, 2, 3, 4}), plan_.n[a]);
      set_double(kD[a], r_.pick(std::vector<double>{0.5, 1, -0.5, 0, 2.5, 0.25}), plan_.d[a]);
      set_double(kStart[a], r_.range(0, 40) / 2.0, plan_.start[a]);
    }
    return;
  }
  feature("scan settings nonsense");
  for (int a = 0; a < 3; a++) {
    if (r_.chance(0.6)) set_int(kCb[a], r_.pick(std::vector<int>{0, 1, 1, 2, -1}), plan_.cb[a]);
    if (r_.chance(0.7)) {
      const int n = r_.pick(std::vector<int>{0, 1, 2, 3, 5, -1, -7, 1000, 2147483647, -2147483647 - 1});
      set_int(kN[a], n, plan_.n[a]);
      if (n <= 0) feature("scan count zero or negative");
      if (n >= 1000) feature("scan count large");
    }
    if (r_.chance(0.6)) {
      const double d = r_.pick(std::vector<double>{0, -0.5, -1, 1e-3, 10, 5000, 1e300, NAN, INFINITY, -INFINITY});
      set_double(kD[a], d, plan_.d[a]);
      if (!(d > 0)) feature("scan step zero, negative or not finite");
    }
    if (r_.chance(0.6)) set_double(kStart[a], r_.pick(std::vector<double>{0, 1, 2.5, 25, 50, -3, 75, 1e300, NAN, -INFINITY}), plan_.start[a]);
  }
}

// The longest a scan with the planned settings can run if every move times out: each
// move 10.25 s at most, each point a 0.1 s dwell. Nothing when a setting is unknown.
std::optional<long long> Builder::scan_worst_ns() const {
  double n[3];
  for (int a = 0; a < 3; a++) {
    if (!plan_.cb[a] || !plan_.n[a]) return std::nullopt;
    n[a] = *plan_.cb[a] == 0 ? 1 : std::max(*plan_.n[a], 0);
  }
  const double planes = n[2], rows = n[2] * n[1], points = rows * n[0];
  const double s = (planes + rows + points) * 10.3 + points * 0.1 + 1;
  if (s > 150) return std::nullopt;
  return static_cast<long long>(s * kS);
}

void Builder::scan_block() {
  line("# a scan");
  if (r_.chance(0.85)) scan_settings();
  press("PANEL_STARTSCAN", kQuickBusy);
  const double u = r_.unit();
  if (u < 0.3) {
    // Let it run to its end (if its length can be bounded), then go on.
    const long long begin = std::max(now_, start_pending_until_);
    if (auto worst = scan_worst_ns()) {
      feature("scan left to finish");
      wait_until(begin + *worst);
    } else {
      wait_ms(r_.range(500, 20000));
    }
  } else if (u < 0.55) {
    feature("scan stopped at a random moment");
    wait_ms(r_.range(0, 8000));
    press_stopscan();
  } else if (u < 0.62) {
    feature("quit pressed during a scan");
    wait_ms(r_.range(200, 5000));
    press("PANEL_QUIT", kQuickBusy);
  } else if (u < 0.85) {
    feature("stage disabled during a scan");
    wait_ms(r_.range(300, 6000));
    const int axis = r_.range(0, 2);
    fault("disable", axis, "", false);
    disabled_ |= 1u << axis;
  } else {
    feature("commands pressed during a scan");
    wait_ms(r_.range(100, 3000));
    static const std::vector<std::string> kDuring = {"PANEL_GOTO_X", "PANEL_HOME_Y", "PANEL_JOG_Z_PLUS",
                                                     "PANEL_STARTSCAN", "PANEL_READ", "PANEL_DISABLE_X",
                                                     "PANEL_STOP_Y", "PANEL_GOTO_ALL"};
    for (int k = r_.range(1, 4); k > 0; k--) {
      const std::string& c = r_.pick(kDuring);
      press(c, c == "PANEL_HOME_Y" ? kHomeBusy : c.rfind("PANEL_GOTO", 0) == 0 ? 3 * kGotoBusy : kQuickBusy);
      if (k > 1) wait_ms(r_.range(0, 1500));
    }
  }
}

void Builder::mid_fault() {
  const int axis = r_.range(0, 2);
  const double u = r_.unit();
  if (u < 0.15) fault("stall", axis, "", false);
  else if (u < 0.25) fault("stall", axis, "0", false);
  else if (u < 0.35) fault("drop", axis, r_.pick(std::vector<std::string>{"", "1", "2", "-1", "0"}), false);
  else if (u < 0.45) fault("delay", axis, r_.pick(std::vector<std::string>{"0.3", "1.7", "9.9", "12", "0"}), false);
  else if (u < 0.65)
    fault("message", axis,
          r_.pick(std::vector<std::string>{"2 0", "2 1", "2 2", "3 7", "0 0", "65535 65535", "2 65535 4294967295", "7 1 12"}),
          false);
  else if (u < 0.75)
    fault("status", axis, r_.pick(std::vector<std::string>{"0 0x80000000", "0 0", "0x20000000", "0x80000000", "0x3 0"}),
          false);
  else if (u < 0.8) fault("channel", axis, r_.pick(std::vector<std::string>{"0", "1", "-1"}), false);
  else if (u < 0.85) fault("position", axis, r_.pick(std::vector<std::string>{"0", "409600", "-20480000", "40000000", "-2147483648"}), false);
  else {
    fault("disable", axis, "", false);
    disabled_ |= 1u << axis;
  }
}

void Builder::pre_start_faults() {
  for (int a = 0; a < 3; a++) {
    if (r_.chance(0.06)) fault("open", a, r_.pick(std::vector<std::string>{"1", "2", "3", "4", "-1", "32767"}), true);
    if (r_.chance(0.05)) fault("info", a, "", true);
    if (r_.chance(0.07)) fault("stall", a, "", true);
    if (r_.chance(0.07)) fault("drop", a, r_.pick(std::vector<std::string>{"", "1", "3"}), true);
    if (r_.chance(0.07)) fault("delay", a, r_.pick(std::vector<std::string>{"0.2", "2", "9.9", "15"}), true);
    if (r_.chance(0.04)) fault("channel", a, r_.pick(std::vector<std::string>{"1", "-1"}), true);
    if (r_.chance(0.04)) fault("status", a, r_.pick(std::vector<std::string>{"0 0x80000000", "0x200"}), true);
    if (r_.chance(0.04)) fault("position", a, r_.pick(std::vector<std::string>{"4096000", "-8192000"}), true);
  }
  if (r_.chance(0.03)) {
    line("fault schedule");
    feature("fault schedule (before start)");
  }
}

void Builder::step() {
  static const char* const kJogs[6] = {"PANEL_JOG_X_PLUS", "PANEL_JOG_X_MINUS", "PANEL_JOG_Y_PLUS",
                                       "PANEL_JOG_Y_MINUS", "PANEL_JOG_Z_PLUS", "PANEL_JOG_Z_MINUS"};
  const int axis = r_.range(0, 2);
  const std::string ax = kAxis[axis];
  // An operator who disabled a stage usually enables it again before long.
  if (disabled_ && r_.chance(0.3)) {
    int a = 0;
    while (!(disabled_ & (1u << a))) a++;
    disabled_ &= ~(1u << a);
    press(std::string("PANEL_ENABLE_") + kAxis[a], kQuickBusy);
    return;
  }
  const int w = static_cast<int>(r_.below(100));
  if (w < 12) set_target(axis);
  else if (w < 22) press("PANEL_GOTO_" + ax, kGotoBusy);
  else if (w < 25) press("PANEL_GOTO_ALL", 3 * kGotoBusy);
  else if (w < 34) press(kJogs[r_.below(6)], kQuickBusy);
  else if (w < 37 && homes_ < 2) {
    homes_++;
    press("PANEL_HOME_" + ax, kHomeBusy);
  } else if (w < 42) press("PANEL_STOP_" + ax, kQuickBusy);
  else if (w < 46) {
    press("PANEL_DISABLE_" + ax, kQuickBusy);
    disabled_ |= 1u << axis;
  }
  else if (w < 50) press("PANEL_ENABLE_" + ax, kQuickBusy);
  else if (w < 53) press("PANEL_READ", kQuickBusy);
  else if (w < 55) press("PANEL_RESET_" + std::to_string(r_.range(1, 3)), kQuickBusy);
  else if (w < 68) scan_block();
  else if (w < 71) {
    if (stop_allowed()) press("PANEL_STOPSCAN", kQuickBusy);
  } else if (w < 72) {
    // Ends the session unless a scan runs.
    press("PANEL_QUIT", kQuickBusy);
  } else if (w < 82) {
    mid_fault();
  } else if (w < 85) {
    // The emergency stop, engaged at any moment, and released a while later.
    marker();
    line(estop_ ? "release" : "estop");
    s_.marks.push_back({estop_ ? Mark::Release : Mark::Estop, estop_ ? "release" : "estop"});
    feature(estop_ ? "release" : "estop");
    estop_ = !estop_;
  } else {
    pause();
  }
}

void Builder::build() {
  line("# Varnix simulated operator session, seed " + std::to_string(s_.seed) +
       " (varnix-simtest --script " + std::to_string(s_.seed) + " prints it again)");
  if (r_.chance(0.015)) {
    line("fault init");
    line("start");
    line("quit");
    feature("fault init (before start)");
    s_.expected_exit = -1;
    return;
  }
  if (r_.chance(0.015)) {
    line("fault pool");
    line("start");
    line("quit");
    feature("fault pool (before start)");
    s_.expected_exit = 2;
    return;
  }
  pre_start_faults();
  line("start");
  line("watch PANEL_SCANNING PANEL_PROGRESS PANEL_MOVING PANEL_TARGET_X PANEL_TARGET_Y PANEL_TARGET_Z "
       "PANEL_NX PANEL_NY PANEL_NZ PANEL_DX PANEL_DY PANEL_DZ PANEL_X0 PANEL_Y0 PANEL_Z0 "
       "PANEL_SCAN_X PANEL_SCAN_Y PANEL_SCAN_Z");
  line("show PANEL_PROGRESS PANEL_MOVING PANEL_TARGET_X PANEL_TARGET_Y PANEL_TARGET_Z "
       "PANEL_NX PANEL_NY PANEL_NZ PANEL_DX PANEL_DY PANEL_DZ PANEL_X0 PANEL_Y0 PANEL_Z0 "
       "PANEL_SCAN_X PANEL_SCAN_Y PANEL_SCAN_Z");
  if (r_.chance(0.8)) scan_settings();
  const long long budget = r_.range(20, 150) * kS;
  for (int steps = 0; steps < 80 && now_ < budget; steps++) {
    pause();
    step();
  }
  // The end: wait out whatever may still be queued, stop a scan that may run, wait for
  // it to end, and quit; now and then start a scan and quit into it.
  line("# the end");
  wait_until(std::max(busy_until_, start_pending_until_));
  pause();
  if (r_.chance(0.15)) {
    feature("quit into a scan");
    press("PANEL_STARTSCAN", kQuickBusy);
    wait_ms(r_.range(0, 6000));
  } else {
    press("PANEL_STOPSCAN", kQuickBusy);
    line("until PANEL_SCANNING == 0 within 600");
    wait_ms(r_.range(0, 1000));
  }
  marker();
  s_.marks.push_back({Mark::Quit, "quit"});
  line("quit");
}

}  // namespace

Session generate(std::uint64_t seed) {
  Session s;
  s.seed = seed;
  Builder(seed, s).build();
  return s;
}

}  // namespace vx::simtest
