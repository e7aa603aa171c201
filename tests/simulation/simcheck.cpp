// The checker's reading of a run. One pass over the output in order, keeping what the
// program must be doing: the open completion wait, the scan and where it is in its grid,
// the panel values as watched, each thread's expected next call and the program lines
// that must come next. The first line that breaks an invariant ends the check.
//
// The checker knows the axis table and the device-unit rule as the program's contract
// states them, not from the program's code: a change of either shows here.
#include "tests/simulation/simcheck.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <optional>
#include <string_view>

#include "platform/scanplan/scanplan.h"
#include "platform/stagelib/stage_library.h"

namespace vx::simtest {

namespace {

const char* const kSerial[3] = {"45388004", "45387934", "45388034"};
const char* const kAxisName[3] = {"X", "Y", "Z"};
constexpr double kUnitsPerMm = 409600.0;
constexpr long long ms_of(vx::Duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); }
constexpr long long kMoveLimitMs = ms_of(vx::scanplan::kMoveBound);
constexpr long long kHomeLimitMs = ms_of(vx::scanplan::kHomeBound);
constexpr long long kDecelerationMs = 600;  // from full speed, and a poll to see it
constexpr long long kPollMs = ms_of(vx::scanplan::kPoll);

int axis_of(const std::string& serial) {
  for (int a = 0; a < 3; a++)
    if (serial == kSerial[a]) return a;
  return -1;
}

// The device units of a target in millimetres: truncated toward zero, or none when the
// product is not finite or its truncation does not fit an int.
std::optional<int> device_units(double mm) {
  const double p = kUnitsPerMm * mm;
  if (!std::isfinite(p) || p <= -2147483649.0 || p >= 2147483648.0) return std::nullopt;
  return static_cast<int>(std::trunc(p));
}

std::string printf_g(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}
std::string printf_f(double v) {
  char buf[512];
  std::snprintf(buf, sizeof buf, "%f", v);
  return buf;
}
std::string shortest(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::optional<double> parse_double(const std::string& s) {
  double v = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return std::nullopt;
  return v;
}
std::optional<long long> parse_ll(const std::string& s) {
  long long v = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return std::nullopt;
  return v;
}
// "17.601" as 17601 ms.
std::optional<long long> parse_ms(const std::string& s) {
  const size_t dot = s.find('.');
  if (dot == std::string::npos || s.size() - dot != 4) return std::nullopt;
  auto whole = parse_ll(s.substr(0, dot));
  auto frac = parse_ll(s.substr(dot + 1));
  if (!whole || !frac || *whole < 0) return std::nullopt;
  return *whole * 1000 + *frac;
}
std::string ms_text(long long ms) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lld.%03lld", ms / 1000, ms % 1000);
  return buf;
}

// The program's line formats (its printf lines). In a pattern, {axis} is an axis index,
// {serial} eight digits, {hex} hexadecimal digits, {uint} decimal digits, {pos} a
// printf "%f" number and {g} a printf "%g" number; everything else stands for itself.
const char* const kProgramFormats[] = {
    "Device {axis} (serial {serial}) Connected... ",
    "Error connecting device {axis} ({serial})",
    "Integrated stepper stage (simulated) err={hex}",
    " err={hex}",
    "Device Disconnected...",
    "Start Homing...",
    "Homed...",
    "Move refused: axis [{axis}] target {g} mm is beyond the device-unit range",
    "AXS timeout",
    "Timeout in axis [{axis}] pos: {pos} messageType {uint}, messageId {uint}",
    "axis [{axis}] pos: {pos} messageType {uint}, messageId {uint}",
    "Stopped in axis [{axis}] pos: {pos} messageType {uint}, messageId {uint}",
    "RST Not yet implemented",
    "The panel shows the stages connected: they are not opened again",
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool matches(const std::string& line, std::string_view pattern) {
  size_t i = 0;
  for (size_t p = 0; p < pattern.size();) {
    if (pattern[p] != '{') {
      if (i >= line.size() || line[i] != pattern[p]) return false;
      i++, p++;
      continue;
    }
    const size_t close = pattern.find('}', p);
    const std::string_view field = pattern.substr(p + 1, close - p - 1);
    p = close + 1;
    const size_t from = i;
    auto span = [&](auto&& in_class) {
      while (i < line.size() && in_class(line[i])) i++;
      return i - from;
    };
    if (field == "axis") {
      if (i >= line.size() || line[i] < '0' || line[i] > '2') return false;
      i++;
    } else if (field == "serial") {
      if (span(is_digit) != 8) return false;
    } else if (field == "uint") {
      if (span(is_digit) == 0) return false;
    } else if (field == "hex") {
      if (span([](char c) { return is_digit(c) || (c >= 'a' && c <= 'f'); }) == 0) return false;
    } else if (field == "g") {
      if (span([](char c) { return is_digit(c) || (c >= 'a' && c <= 'z') || c == '-' || c == '+' || c == '.'; }) == 0)
        return false;
    } else if (field == "pos") {
      if (i < line.size() && line[i] == '-') i++;
      const size_t digits = i;
      while (i < line.size() && is_digit(line[i])) i++;
      if (i == digits || i >= line.size() || line[i] != '.') return false;
      const size_t frac = ++i;
      while (i < line.size() && is_digit(line[i])) i++;
      if (i - frac != 6) return false;
    } else {
      return false;
    }
  }
  return i == line.size();
}

bool is_control_name(const std::string& n) {
  if (n.size() < 7 || n.rfind("PANEL_", 0) != 0) return false;
  return n.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") == std::string::npos;
}

struct Call {
  std::string name;               // "ISC_SetMoveAbsolutePosition"
  std::vector<std::string> args;  // "45388004", "409600"
  std::string result;             // "0", "0x80000000"; empty for void calls
  std::string filled;             // what the brackets hold: "2 1 0"
  std::string serial() const { return args.empty() ? std::string() : args[0]; }
  std::string text() const {
    std::string s = name + "(";
    for (size_t i = 0; i < args.size(); i++) s += (i ? ", " : "") + args[i];
    return s + ")";
  }
};

std::optional<Call> parse_call(const std::string& text) {
  Call c;
  const size_t open = text.find('(');
  const size_t close = text.find(')', open);
  if (open == std::string::npos || close == std::string::npos) return std::nullopt;
  c.name = text.substr(0, open);
  if (c.name.empty() || c.name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_") != std::string::npos)
    return std::nullopt;
  const std::string args = text.substr(open + 1, close - open - 1);
  for (size_t p = 0; !args.empty();) {
    const size_t q = args.find(", ", p);
    c.args.push_back(args.substr(p, q == std::string::npos ? std::string::npos : q - p));
    if (q == std::string::npos) break;
    p = q + 2;
  }
  std::string rest = text.substr(close + 1);
  if (rest.rfind(" = ", 0) == 0) {
    rest = rest.substr(3);
    const size_t br = rest.find(" [");
    c.result = rest.substr(0, br);
    if (c.result.empty() || c.result.find_first_not_of("0123456789abcdefx-") != std::string::npos) return std::nullopt;
    if (br != std::string::npos) {
      if (rest.back() != ']') return std::nullopt;
      c.filled = rest.substr(br + 2, rest.size() - br - 3);
    }
  } else if (!rest.empty()) {
    return std::nullopt;
  }
  return c;
}

// The scan worker's walk through its grid, as the program's contract gives it: z
// outermost, x innermost, PANEL_MOVING around every move, the progress after every x
// point, and the three tests of the abort flag (after each point's dwell, at the end of
// each row and of each plane).
struct ScanParams {
  int n[3] = {0, 0, 0};  // x, y, z
  double d[3] = {0, 0, 0};
  double start[3] = {0, 0, 0};
  int cb[3] = {0, 0, 0};
};

class ScanWalk {
 public:
  enum Kind { MovingOn, Move, MovingOff, Progress, Test, End };
  struct Ev {
    Kind kind = End;
    int axis = -1;
    double value = 0;  // the move's target in mm, or the progress
  };

  explicit ScanWalk(const ScanParams& p) : p_(p) {
    for (int a = 0; a < 3; a++) n_[a] = p.cb[a] == 0 ? 1 : p.n[a];
    total_ = static_cast<double>(n_[0]) * static_cast<double>(n_[1]) * static_cast<double>(n_[2]);
  }
  bool has_points() const { return n_[0] > 0 && n_[1] > 0 && n_[2] > 0; }

  Ev next() {
    switch (phase_) {
      case PlaneStart:
        if (iz_ >= n_[2]) {
          phase_ = Done;
          return {End};
        }
        phase_ = ZMove;
        return {MovingOn, 2};
      case ZMove:
        phase_ = ZOff;
        return {Move, 2, p_.start[2] + iz_ * p_.d[2]};
      case ZOff:
        phase_ = RowStart;
        iy_ = 0;
        return {MovingOff, 2};
      case RowStart:
        if (iy_ >= n_[1]) {
          phase_ = PlaneStart;
          iz_++;
          return {Test};
        }
        phase_ = YMove;
        return {MovingOn, 1};
      case YMove:
        phase_ = YOff;
        return {Move, 1, p_.start[1] + iy_ * p_.d[1]};
      case YOff:
        phase_ = PointStart;
        ix_ = 0;
        return {MovingOff, 1};
      case PointStart:
        if (ix_ >= n_[0]) {
          phase_ = RowStart;
          iy_++;
          return {Test};
        }
        phase_ = XMove;
        return {MovingOn, 0};
      case XMove:
        phase_ = XOff;
        return {Move, 0, p_.start[0] + ix_ * p_.d[0]};
      case XOff:
        phase_ = Prog;
        return {MovingOff, 0};
      case Prog: {
        phase_ = PointTest;
        nstep_++;
        const double ratio = nstep_ / total_;
        return {Progress, -1, ratio * 100.0};
      }
      case PointTest:
        phase_ = PointStart;
        ix_++;
        return {Test};
      case Done:
        return {End};
    }
    return {End};
  }

 private:
  enum Phase { PlaneStart, ZMove, ZOff, RowStart, YMove, YOff, PointStart, XMove, XOff, Prog, PointTest, Done };
  ScanParams p_;
  int n_[3];
  double total_ = 0;
  int ix_ = 0, iy_ = 0, iz_ = 0;
  int nstep_ = 0;
  Phase phase_ = PlaneStart;
};

const char* kind_text(ScanWalk::Kind k) {
  switch (k) {
    case ScanWalk::MovingOn: return "PANEL_MOVING = 1";
    case ScanWalk::Move: return "a move";
    case ScanWalk::MovingOff: return "PANEL_MOVING = 0";
    case ScanWalk::Progress: return "a progress write";
    case ScanWalk::Test: return "a test of the abort flag";
    case ScanWalk::End: return "the end of the grid";
  }
  return "?";
}

struct Wait {
  std::string thread;
  int axis = 0;
  bool home = false;
  long long begin_ms = 0;
  unsigned last_type = 0, last_id = 0;
  bool tick = false;          // "AXS timeout" came: the next call reads the position
  bool took = false;          // a homing wait took a message: the next call reads the position
  bool completed = false;     // the message taken was the awaited one
  bool stopped = false;       // the message taken was the stopped one: the wait ends
  bool stop_line = false;     // the next call reads the position for the Stopped line
  bool want_take = false;     // the queue had messages: the next call takes one
  long long limit_ms() const { return home ? kHomeLimitMs : kMoveLimitMs; }
};

struct ThreadState {
  std::deque<Call> recent;           // the last three calls
  std::deque<std::string> expect;    // the calls that must come next, as "NAME(SERIAL)"
};

class Checker {
 public:
  Checker(const Session& s, int status, const std::vector<std::string>& out, const std::string& err)
      : s_(s), status_(status), out_(out), err_(err) {}
  Report run();

 private:
  // Records the first failure; later ones are consequences.
  void fail(const std::string& what) {
    if (!rep_.ok) return;
    rep_.ok = false;
    rep_.failure = what;
    rep_.line = lineno_;
  }
  void cover(const std::string& what) { rep_.covered.insert(what); }

  void on_line(const std::string& l);
  void on_trace(long long t, const std::string& thread, const Call& c);
  void on_estop_call(long long t, const Call& c);
  void check_at_rest(long long t, const Call& c);
  void on_wait_call(long long t, const Call& c);
  void on_watch(const std::string& name, const std::string& value);
  void on_show(const std::string& name, const std::string& value);
  void on_program(const std::string& l);
  void on_exit(int code);
  void scan_event(const ScanWalk::Ev& seen, const std::string& what);
  void begin_wait(const std::string& thread, long long t, int axis, bool home);
  void end_scan();
  bool last_three_status_reads(const ThreadState& ts, bool* all_enabled) const;

  const Session& s_;
  int status_;
  const std::vector<std::string>& out_;
  const std::string& err_;
  Report rep_;
  int lineno_ = 0;

  long long last_ms_ = 0;
  std::map<std::string, double> panel_;
  std::map<std::string, ThreadState> threads_;
  std::deque<std::string> lines_due_;  // program lines that must come next, in order
  std::optional<Wait> wait_;

  // Start-up.
  int calls_ = 0;
  int next_axis_ = 0;
  bool open_failed_ = false;
  int callbacks_ = 0;
  std::string description_;
  // The scan.
  bool scanning_ = false;
  int scanning_ones_ = 0;  // 1 after the start-scan's write, 2 after the worker's
  std::optional<ScanWalk> walk_;
  bool stopped_ = false;
  bool progressed_ = false;
  std::deque<std::string> refresh_due_;  // the worker's refresh after an x point: its calls still due
  std::deque<int> stops_due_;  // Stops pressed, by axis: the main thread's next calls send them
  bool inhibited_[3] = {false, false, false};  // the emergency stop holds the stage
  long long inhibited_at_ = 0;
  long long settle_until_ = 0;  // readings before this may predate a fault that moved a stage
  long long last_t_ = 0;        // the time of the last library call
  std::optional<std::string> rest_[3];  // the stage's reading once at rest under the emergency stop
  bool start_due_ = false;     // PANEL_MOVING = 0 came outside a scan: PANEL_SCANNING = 1 must follow
  // Marks and the end.
  size_t mark_ = 0;
  bool quit_ok_ = false;
  bool quit_in_scan_ = false;  // the script's quit met a scan: the runner ends it as on a signal
  int closed_ = 0;
  bool exited_ = false;
};

bool Checker::last_three_status_reads(const ThreadState& ts, bool* all_enabled) const {
  if (ts.recent.size() < 3) return false;
  *all_enabled = true;
  for (int a = 0; a < 3; a++) {
    const Call& c = ts.recent[ts.recent.size() - 3 + a];
    if (c.name != "ISC_GetStatusBits" || c.serial() != kSerial[a]) return false;
    const unsigned long bits = std::strtoul(c.result.c_str(), nullptr, 16);
    if ((bits & vx::sl::kEnabled) == 0) *all_enabled = false;
  }
  return true;
}

void Checker::begin_wait(const std::string& thread, long long t, int axis, bool home) {
  if (wait_) {
    fail("two completion waits at once: " + thread + " began one on axis " + kAxisName[axis] + " while " +
         wait_->thread + " waits on axis " + kAxisName[wait_->axis] + " since " + ms_text(wait_->begin_ms));
    return;
  }
  Wait w;
  w.thread = thread;
  w.axis = axis;
  w.home = home;
  w.begin_ms = t;
  wait_ = w;
}

void Checker::on_wait_call(long long t, const Call& c) {
  Wait& w = *wait_;
  const std::string serial = kSerial[w.axis];
  if (c.serial() != serial) {
    fail("inside a wait on axis " + std::string(kAxisName[w.axis]) + ", " + w.thread + " called " + c.text());
    return;
  }
  if (w.tick || w.took || w.stop_line) {
    if (c.name != "ISC_GetPosition") {
      fail("after " + std::string(w.tick ? "its time-out" : "taking a message") + " the wait called " + c.text() +
           ", not ISC_GetPosition");
      return;
    }
    const auto units = parse_ll(c.result);
    if (!units) return fail("position not an integer: " + c.result);
    const std::string pos = printf_f(static_cast<double>(*units) / kUnitsPerMm);
    const std::string ids = " messageType " + std::to_string(w.last_type) + ", messageId " + std::to_string(w.last_id);
    if (w.tick) {
      // The time-out: the timer was armed as the wait began and ticks once its interval
      // has passed, which lands on the poll grid (10 s and 180 s are whole polls).
      if (t != w.begin_ms + w.limit_ms())
        return fail("the time-out of the " + std::string(w.home ? "homing" : "move") + " wait begun at " +
                    ms_text(w.begin_ms) + " came at " + ms_text(t) + ", not at " + ms_text(w.begin_ms + w.limit_ms()));
      lines_due_.push_back("Timeout in axis [" + std::to_string(w.axis) + "] pos: " + pos + ids);
      cover(w.home ? "time-out of a homing" : "time-out of a move");
      wait_.reset();
      return;
    }
    if (w.stop_line) {
      // A stopped stage ends the wait: no "Homed..." after it.
      lines_due_.push_back("Stopped in axis [" + std::to_string(w.axis) + "] pos: " + pos + ids);
      cover(w.home ? "homing ended by a stop" : "move ended by a stop");
      wait_.reset();
      return;
    }
    lines_due_.push_back("axis [" + std::to_string(w.axis) + "] pos: " + pos + ids);
    w.took = false;
    if (w.completed) {
      lines_due_.push_back("Homed...");
      cover("homing completed");
      wait_.reset();
    } else if (w.stopped) {
      w.stop_line = true;
    }
    return;
  }
  if (t - w.begin_ms >= w.limit_ms())
    return fail("the wait begun at " + ms_text(w.begin_ms) + " still polls at " + ms_text(t) + ", past its time-out");
  if (w.want_take) {
    if (c.name != "ISC_GetNextMessage") return fail("the queue had messages, but the wait called " + c.text());
    w.want_take = false;
    if (c.result != "1") return fail("the wait took no message from a queue that had one: " + c.text() + " = " + c.result);
    unsigned type = 0, id = 0;
    unsigned long data = 0;
    if (std::sscanf(c.filled.c_str(), "%u %u %lu", &type, &id, &data) != 3) return fail("message not read: " + c.filled);
    w.last_type = type;
    w.last_id = id;
    const bool awaited = type == 2 && id == (w.home ? 0u : 1u);
    w.stopped = type == 2 && id == 2;
    if (!awaited && !w.stopped) cover("a message taken during a wait that does not end it");
    if (w.home) {
      w.took = true;
      w.completed = awaited;
    } else if (awaited) {
      cover("move completed");
      wait_.reset();
    } else if (w.stopped) {
      w.stop_line = true;
    }
    return;
  }
  if (c.name == "ISC_MessageQueueSize") {
    if ((t - w.begin_ms) % kPollMs != 0)
      return fail("the wait begun at " + ms_text(w.begin_ms) + " polls at " + ms_text(t) + ", off its 250 ms grid");
    const auto n = parse_ll(c.result);
    if (!n || *n < 0) return fail("queue size not a count: " + c.result);
    w.want_take = *n > 0;
    return;
  }
  fail("inside a wait on axis " + std::string(kAxisName[w.axis]) + ", " + w.thread + " called " + c.text());
}

// The emergency stop's calls: the inhibit of all three stages, then a stop for each.
void Checker::on_estop_call(long long t, const Call& c) {
  const int axis = axis_of(c.serial());
  if (axis < 0) return fail("the emergency stop called " + c.text());
  if (closed_ == 3) return fail("a library call after the stages were closed: " + c.text());
  if (c.name == "SL_SetMotionInhibit") {
    if (c.args.size() != 2 || (c.args[1] != "0" && c.args[1] != "1")) return fail("an inhibit call out of shape: " + c.text());
    inhibited_[axis] = c.args[1] == "1";
    inhibited_at_ = t;
    rest_[axis].reset();
    return;
  }
  if (c.name == "ISC_StopProfiled") {
    if (!inhibited_[axis]) return fail("the emergency stop sent a stop before inhibiting the stage: " + c.text());
    return;
  }
  fail("the emergency stop called " + c.text());
}

// While the emergency stop is engaged, once the stages had time to decelerate (0.5 s
// from full speed, and a 50 ms poll), every reading of a stage gives the same place.
void Checker::check_at_rest(long long t, const Call& c) {
  const int axis = axis_of(c.serial());
  if (axis < 0 || !inhibited_[axis] || t < std::max(inhibited_at_ + kDecelerationMs, settle_until_)) return;
  if (!rest_[axis]) {
    rest_[axis] = c.result;
    cover("position read while the emergency stop is engaged");
    return;
  }
  if (*rest_[axis] != c.result)
    fail("axis " + std::string(kAxisName[axis]) + " moved while the emergency stop was engaged: " + *rest_[axis] +
         " then " + c.result + " units");
}

void Checker::on_trace(long long t, const std::string& thread, const Call& c) {
  calls_++;
  last_t_ = t;
  const bool main = thread == "main";
  const bool pool = thread.rfind("pool-", 0) == 0;
  if (thread == "estop") return on_estop_call(t, c);
  if (!main && !pool) return fail("thread " + thread + " called the library: " + c.text());
  if (main && !stops_due_.empty()) {
    // A Stop acts through its callback, which the main thread runs as soon as it next
    // processes events: in GetUserEvent, or after the current poll's sleep in a wait.
    const int axis = stops_due_.front();
    const std::string want = std::string("ISC_StopProfiled(") + kSerial[axis] + ")";
    if (c.text() != want) return fail("Stop " + std::string(kAxisName[axis]) + " was pressed, but the main thread called " + c.text() + " before " + want);
    stops_due_.pop_front();
    cover(wait_ ? "stop sent during a wait" : scanning_ ? "stop sent during a scan" : "stop sent at once");
    if (closed_ == 3) return fail("a library call after the stages were closed: " + c.text());
    return;
  }
  if (c.name == "ISC_GetPosition") check_at_rest(t, c);
  if (main && scanning_) return fail("the main thread called the library while PANEL_SCANNING reads 1: " + c.text());
  if (!lines_due_.empty()) return fail("the line \"" + lines_due_.front() + "\" did not come before " + c.text());
  if (start_due_) return fail("PANEL_MOVING = 0 outside a scan not followed by the start of one");
  if (closed_ == 3) return fail("a library call after the stages were closed: " + c.text());
  if (wait_ && wait_->thread != thread)
    return fail(thread + " called " + c.text() + " while " + wait_->thread + " waits on axis " + kAxisName[wait_->axis]);
  ThreadState& ts = threads_[thread];
  struct Recent {
    ThreadState& ts;
    const Call& c;
    ~Recent() {
      ts.recent.push_back(c);
      if (ts.recent.size() > 3) ts.recent.pop_front();
    }
  } recent{ts, c};
  if (wait_) return on_wait_call(t, c);

  const std::string serial = c.serial();
  const int axis = axis_of(serial);
  if (!ts.expect.empty()) {
    const std::string want = ts.expect.front();
    ts.expect.pop_front();
    if (want != c.name + "(" + serial + ")") return fail("after " + ts.recent.back().text() + " expected " + want + ", got " + c.text());
  }
  const std::string& n = c.name;
  const bool startup = callbacks_ < 3;
  if (n == "DisplayPanel" || n == "TLI_BuildDeviceList") {
    if (!main || !startup || calls_ > 2) fail("start-up call out of place: " + c.text());
    return;
  }
  if (n == "TLI_GetDeviceInfo") {
    if (!main || !startup || open_failed_ || axis != next_axis_) return fail("device information asked out of order: " + c.text());
    description_ = c.result == "0" ? c.filled : "";
    if (c.result != "0") cover("device information missing");
    return;
  }
  if (n == "ISC_Open") {
    if (!main || !startup || axis != next_axis_) return fail("stage opened out of order: " + c.text());
    const auto code = parse_ll(c.result);
    if (!code) return fail("open code not a number: " + c.result);
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(static_cast<int>(*code)));
    if (*code == 0) {
      lines_due_.push_back("Device " + std::to_string(axis) + " (serial " + serial + ") Connected... ");
      ts.expect = {"ISC_SetLEDswitches(" + serial + ")", "ISC_StartPolling(" + serial + ")"};
    } else {
      cover("stage failed to open");
      lines_due_.push_back("Error connecting device " + std::to_string(axis) + " (" + serial + ")");
      lines_due_.push_back(description_ + " err=" + hex);
      open_failed_ = true;
    }
    next_axis_++;
    return;
  }
  if (n == "ISC_SetLEDswitches") return;
  if (n == "ISC_StartPolling") {
    if (c.args.size() != 2 || c.args[1] != "50") return fail("polling not every 50 ms: " + c.text());
    lines_due_.push_back(description_ + " err=0");
    return;
  }
  if (n == "ISC_RegisterMessageCallback") {
    if (!main || !startup || axis != callbacks_ || (!open_failed_ && next_axis_ != 3))
      return fail("message callback registered out of order: " + c.text());
    callbacks_++;
    return;
  }
  if (startup) return fail("a command before start-up ended: " + c.text());
  if (axis < 0) return fail("a call for an unknown stage: " + c.text());

  if (pool && !scanning_) return fail("a pool thread called the library while no scan ran: " + c.text());
  if (pool && !refresh_due_.empty()) {
    const std::string want = refresh_due_.front();
    refresh_due_.pop_front();
    if (want != n + "(" + serial + ")") return fail("the refresh after an x point should call " + want + ", not " + c.text());
    return;
  }
  if (n == "ISC_GetPosition" || n == "ISC_GetStatusBits") {
    if (pool) return fail("a read by the worker outside its refresh: " + c.text());
    return;
  }
  if (n == "ISC_MessageQueueSize" || n == "ISC_GetNextMessage") return fail("the queue was polled outside a wait: " + c.text());
  if (n == "ISC_SetMoveAbsolutePosition" || n == "ISC_SetMoveRelativeDistance") {
    const auto units = c.args.size() == 2 ? parse_ll(c.args[1]) : std::nullopt;
    if (!units || *units < -2147483648ll || *units > 2147483647ll) return fail("a target outside the int range: " + c.text());
    if (n == "ISC_SetMoveRelativeDistance") {
      if (!main) return fail("a relative move from " + thread + ": " + c.text());
      if (*units != 409600 && *units != -409600) return fail("a jog that is not 1 mm: " + c.text());
      ts.expect = {"ISC_MoveRelativeDistance(" + serial + ")", "ISC_ClearMessageQueue(" + serial + ")"};
      return;
    }
    ts.expect = {"ISC_MoveAbsolute(" + serial + ")", "ISC_ClearMessageQueue(" + serial + ")"};
    if (pool) {
      ScanWalk::Ev e{ScanWalk::Move, axis, static_cast<double>(*units)};
      return scan_event(e, c.text());
    }
    const double target = panel_["PANEL_TARGET_" + std::string(kAxisName[axis])];
    const auto want = device_units(target);
    if (!want) return fail("the target " + shortest(target) + " mm has no device units, yet reached the library: " + c.text());
    if (*want != *units)
      return fail("the go-to target " + shortest(target) + " mm should be " + std::to_string(*want) + " units: " + c.text());
    cover("go-to sent");
    return;
  }
  if (n == "ISC_MoveAbsolute" || n == "ISC_MoveRelativeDistance") return;  // order checked by expect
  if (n == "ISC_ClearMessageQueue") {
    if (ts.recent.empty()) return fail("a queue clear as the first call");
    const Call& prev = ts.recent.back();
    if (prev.name == "ISC_MoveAbsolute") begin_wait(thread, t, axis, false);
    else if (prev.name == "ISC_SetHomingParamsBlock") ts.expect = {"ISC_Home(" + serial + ")"};
    else if (prev.name != "ISC_MoveRelativeDistance") fail("a queue clear after " + prev.text());
    return;
  }
  if (n == "ISC_GetHomingParamsBlock") {
    if (!main) return fail("a homing from " + thread);
    ts.expect = {"ISC_SetHomingParamsBlock(" + serial + ")", "ISC_ClearMessageQueue(" + serial + ")"};
    return;
  }
  if (n == "ISC_SetHomingParamsBlock") {
    if (c.args.size() < 2 || c.args[1].rfind("direction=2 ", 0) != 0) return fail("a homing not in reverse: " + c.text());
    return;
  }
  if (n == "ISC_Home") {
    lines_due_.push_back("Start Homing...");
    begin_wait(thread, t, axis, true);
    return;
  }
  if (n == "ISC_StopProfiled") return fail("a stop that no Stop press asked for: " + c.text());
  if (n == "ISC_EnableChannel" || n == "ISC_DisableChannel") {
    if (!main) fail("a stage command from " + thread + ": " + c.text());
    return;
  }
  if (n == "ISC_StopPolling" || n == "ISC_Close") {
    if (!main || scanning_) return fail("the stages closed while a scan runs: " + c.text());
    if (!quit_ok_) return fail("the stages closed without a quit pressed while no scan ran: " + c.text());
    if (axis != closed_) return fail("stages closed out of order: " + c.text());
    if (n == "ISC_StopPolling") {
      ts.expect = {"ISC_Close(" + serial + ")"};
      return;
    }
    closed_++;
    lines_due_.push_back("Device Disconnected...");
    return;
  }
  fail("a call the program does not make: " + c.text());
}

void Checker::scan_event(const ScanWalk::Ev& seen, const std::string& what) {
  if (!walk_) return fail("a scan step outside a scan: " + what);
  ScanWalk::Ev e;
  do {
    e = walk_->next();
  } while (e.kind == ScanWalk::Test && !stopped_);
  if (e.kind == ScanWalk::Test) return fail("the scan went on after the stop, past the abort flag's test: " + what);
  if (e.kind == ScanWalk::End) return fail("the scan went on past its grid: " + what);
  if (e.kind != seen.kind) return fail(std::string("the scan should come to ") + kind_text(e.kind) + " here, not " + what);
  if (e.kind == ScanWalk::Move) {
    if (e.axis != seen.axis)
      return fail("the scan should move axis " + std::string(kAxisName[e.axis]) + " here, not " + what);
    const auto want = device_units(e.value);
    // A sent move carries its units in `value`; a refused one is marked by axis -2 below.
    if (what.rfind("Move refused", 0) == 0) {
      if (want) return fail("the scan target " + shortest(e.value) + " mm has device units, yet was refused: " + what);
      const std::string g = printf_g(e.value);
      const bool same = what.find("target " + g + " mm") != std::string::npos ||
                        (std::isnan(e.value) && (what.find("target nan mm") != std::string::npos ||
                                                 what.find("target -nan mm") != std::string::npos));
      if (!same) return fail("the refused scan target should read " + g + ": " + what);
      // A refused scan move asks the scan to stop, as the stop command does.
      stopped_ = true;
      cover("scan move refused");
      return;
    }
    if (!want) return fail("the scan target " + shortest(e.value) + " mm has no device units, yet reached the library: " + what);
    if (static_cast<double>(*want) != seen.value)
      return fail("the scan target " + shortest(e.value) + " mm should be " + std::to_string(*want) + " units: " + what);
    return;
  }
  if (e.kind == ScanWalk::MovingOff && e.axis == 0)
    for (int a = 0; a < 3; a++) {
      refresh_due_.push_back(std::string("ISC_GetPosition(") + kSerial[a] + ")");
      refresh_due_.push_back(std::string("ISC_GetStatusBits(") + kSerial[a] + ")");
    }
  if (e.kind == ScanWalk::Progress) {
    if (!refresh_due_.empty()) return fail("the progress came before the refresh of every axis: " + what);
    if (!(e.value == seen.value)) return fail("the progress should read " + shortest(e.value) + ": " + what);
    progressed_ = true;
  }
}

void Checker::end_scan() {
  if (stopped_) {
    const ScanWalk::Ev e = walk_->next();
    if (e.kind != ScanWalk::Test && e.kind != ScanWalk::End)
      return fail(std::string("the scan ended after a stop without finishing the step under way (next: ") +
                  kind_text(e.kind) + ")");
    cover("scan stopped");
  } else {
    ScanWalk::Ev e;
    do {
      e = walk_->next();
    } while (e.kind == ScanWalk::Test);
    if (e.kind != ScanWalk::End)
      return fail(std::string("the scan ended without a stop before its grid was done (next: ") + kind_text(e.kind) + ")");
    cover(progressed_ ? "scan completed, progress 100" : "scan without points");
  }
  walk_.reset();
}

void Checker::on_watch(const std::string& name, const std::string& value) {
  const auto v = parse_double(value);
  if (!v) return fail("watched value not a number: " + value);
  if (start_due_ && name != "PANEL_SCANNING") return fail("PANEL_MOVING = 0 outside a scan not followed by the start of one");
  if (name == "PANEL_SCANNING") {
    start_due_ = false;
    if (wait_) return fail("PANEL_SCANNING written while a wait is in progress");
    if (*v == 1) {
      if (!scanning_) {
        bool all_enabled = false;
        if (!last_three_status_reads(threads_["main"], &all_enabled))
          return fail("a scan started without reading the three stages' status first");
        if (!all_enabled) return fail("a scan started though a stage reads disabled");
        if (inhibited_[0] || inhibited_[1] || inhibited_[2]) return fail("a scan started under the emergency stop");
        scanning_ = true;
        scanning_ones_ = 1;
        return;
      }
      if (scanning_ones_ != 1) return fail("PANEL_SCANNING set again during a scan");
      scanning_ones_ = 2;
      // The worker reads its settings now, once.
      ScanParams p;
      static const char* const kN[3] = {"PANEL_NX", "PANEL_NY", "PANEL_NZ"};
      static const char* const kD[3] = {"PANEL_DX", "PANEL_DY", "PANEL_DZ"};
      static const char* const kStart[3] = {"PANEL_X0", "PANEL_Y0", "PANEL_Z0"};
      static const char* const kCb[3] = {"PANEL_SCAN_X", "PANEL_SCAN_Y", "PANEL_SCAN_Z"};
      for (int a = 0; a < 3; a++) {
        p.n[a] = static_cast<int>(panel_[kN[a]]);
        p.d[a] = panel_[kD[a]];
        p.start[a] = panel_[kStart[a]];
        p.cb[a] = static_cast<int>(panel_[kCb[a]]);
      }
      walk_.emplace(p);
      stopped_ = false;
      progressed_ = false;
      refresh_due_.clear();
      cover("scan ran");
      return;
    }
    if (*v != 0) return fail("PANEL_SCANNING = " + value);
    if (!scanning_) return fail("PANEL_SCANNING put out while no scan ran");
    scanning_ = false;
    if (scanning_ones_ == 1) {
      cover("scan refused by the thread pool");
      return;
    }
    if (!refresh_due_.empty()) return fail("the scan ended inside its refresh");
    end_scan();
    if (quit_in_scan_) quit_ok_ = true;  // the shutdown sequence presses quit now
    return;
  }
  if (name == "PANEL_MOVING") {
    if (!scanning_) {
      if (*v != 0) return fail("PANEL_MOVING = 1 outside a scan");
      start_due_ = true;
      return;
    }
    if (scanning_ones_ != 2) return fail("PANEL_MOVING written before the worker began");
    ScanWalk::Ev e{*v == 1 ? ScanWalk::MovingOn : ScanWalk::MovingOff};
    if (*v != 0 && *v != 1) return fail("PANEL_MOVING = " + value);
    if (e.kind == ScanWalk::MovingOff && wait_) return fail("PANEL_MOVING put out while the move's wait is in progress");
    scan_event(e, "PANEL_MOVING = " + value);
    return;
  }
  if (name == "PANEL_PROGRESS") {
    if (!scanning_ || scanning_ones_ != 2) return fail("PANEL_PROGRESS written outside a scan");
    scan_event({ScanWalk::Progress, -1, *v}, "PANEL_PROGRESS = " + value);
    return;
  }
  panel_[name] = *v;
}

void Checker::on_show(const std::string& name, const std::string& value) {
  const auto v = parse_double(value);
  if (!v) return fail("shown value not a number: " + value);
  if (name != "PANEL_SCANNING") {
    panel_[name] = *v;
    return;
  }
  if (mark_ >= s_.marks.size()) return fail("a marker with no marked statement");
  const Mark& m = s_.marks[mark_++];
  if ((*v != 0) != scanning_)
    return fail("the marker reads PANEL_SCANNING = " + value + ", but the watched writes say " + (scanning_ ? "1" : "0"));
  const bool during = *v != 0;
  if (m.kind == Mark::Estop || m.kind == Mark::Release) {
    cover(std::string(m.kind == Mark::Estop ? "emergency stop" : "release") + (during ? " during a scan" : " outside a scan"));
    // Engaged during a scan, it asks the scan to stop as Stop scan does.
    if (m.kind == Mark::Estop && during && scanning_ones_ == 2) stopped_ = true;
    return;
  }
  if (m.kind == Mark::Press && m.what.rfind("PANEL_STOP_", 0) == 0 && m.what.size() == 12) {
    stops_due_.push_back(m.what[11] - 'X');
    if (during && scanning_ones_ == 2) stopped_ = true;
    return;
  }
  if (m.kind == Mark::Fault) {
    cover("fault " + m.what.substr(0, m.what.find(' ')) + (during ? " during a scan" : " outside a scan"));
    // A stage set to another place by hand is at rest there, once a poll has seen it
    // (the fault came after the last call; the program calls at least every 0.5 s).
    for (auto& r : rest_) r.reset();
    settle_until_ = last_t_ + kDecelerationMs;
    return;
  }
  if (m.kind == Mark::Quit || m.what == "PANEL_QUIT") {
    if (!during) {
      quit_ok_ = true;
    } else if (m.kind == Mark::Quit) {
      quit_in_scan_ = true;  // the runner's line says so next
    } else {
      cover("quit dropped during a scan");
    }
    return;
  }
  if (during) {
    if (m.what == "PANEL_STOPSCAN") {
      if (scanning_ones_ == 2) stopped_ = true;
    } else {
      cover("command dropped during a scan");
    }
  }
}

void Checker::on_program(const std::string& l) {
  bool known = false;
  for (const char* f : kProgramFormats)
    if (matches(l, f)) known = true;
  if (!known) return fail("a line that is not one of the program's: \"" + l + "\"");
  if (!lines_due_.empty()) {
    if (l != lines_due_.front()) return fail("expected the line \"" + lines_due_.front() + "\", got \"" + l + "\"");
    lines_due_.pop_front();
    return;
  }
  if (l == "AXS timeout") {
    if (!wait_ || wait_->tick || wait_->took || wait_->want_take) return fail("a time-out tick outside a wait's poll");
    wait_->tick = true;
    return;
  }
  if (l == "RST Not yet implemented") {
    if (scanning_) return fail("a reset served while a scan runs");
    cover("reset served");
    return;
  }
  if (l.rfind("Move refused: axis [", 0) == 0) {
    const int axis = l[20] - '0';
    if (scanning_) {
      ScanWalk::Ev e{ScanWalk::Move, axis, 0};
      return scan_event(e, l);
    }
    const double target = panel_["PANEL_TARGET_" + std::string(kAxisName[axis])];
    if (device_units(target)) return fail("the go-to target " + shortest(target) + " mm has device units, yet was refused");
    const std::string g = printf_g(target);
    if (l.find("target " + g + " mm") == std::string::npos &&
        !(std::isnan(target) && (l.find("target nan mm") != std::string::npos || l.find("target -nan mm") != std::string::npos)))
      return fail("the refused go-to target should read " + g);
    cover("go-to refused");
    return;
  }
  fail("a line out of place: \"" + l + "\"");
}

void Checker::on_exit(int code) {
  if (exited_) return fail("a second exit line");
  exited_ = true;
  if (code != s_.expected_exit) return fail("the program returned " + std::to_string(code) + ", expected " + std::to_string(s_.expected_exit));
  if (s_.expected_exit != 0) {
    if (calls_ != 0) return fail("a start-up failure, yet the library was called");
    cover("start-up failure");
    return;
  }
  if (scanning_) return fail("the program ended while PANEL_SCANNING reads 1");
  if (wait_) return fail("the program ended inside a wait");
  if (closed_ != 3) return fail("the program ended with " + std::to_string(3 - closed_) + " stage(s) not closed");
  if (!lines_due_.empty()) return fail("the line \"" + lines_due_.front() + "\" did not come");
  if (mark_ < s_.marks.size()) cover("session ended by a quit press");
}

void Checker::on_line(const std::string& l) {
  if (exited_) return fail("a line after the exit line: \"" + l + "\"");
  if (l.rfind("@ ", 0) != 0) return on_program(l);
  if (l.rfind("@ FAIL", 0) == 0) {
    if (l.find("on stages it had closed") != std::string::npos) return fail("calls on closed stages: " + l.substr(2));
    return fail("the runner reports: " + l.substr(2));
  }
  if (l == "@ Start scan refused: the emergency stop holds the stages (Release first)") {
    // Withheld before the program sees it, also when a scan runs (which would drop it).
    if (!(inhibited_[0] && inhibited_[1] && inhibited_[2]))
      return fail("Start scan refused though the emergency stop is not engaged");
    cover(scanning_ ? "start refused (the emergency stop holds, during a scan)" : "start refused (the emergency stop holds)");
    return;
  }
  if (l == "@ quit during a scan: ending the program") {
    if (!quit_in_scan_ || !scanning_) return fail("the runner ended a scan that the quit did not meet");
    // The emergency stop that follows asks the scan to stop, as Stop scan does.
    if (scanning_ones_ == 2) stopped_ = true;
    cover("quit during a scan: the scan stopped, then quit");
    return;
  }
  if (l.rfind("@ exit ", 0) == 0) {
    if (!parse_ll(l.substr(7))) return fail("a runner line that is not whole: \"" + l + "\"");
    if (!lines_due_.empty()) return fail("the line \"" + lines_due_.front() + "\" did not come before the exit");
    return on_exit(std::atoi(l.c_str() + 7));
  }
  if (l.rfind("@ popup ", 0) == 0) {
    if (l != "@ popup \"Error\" \"Enable AXS Stages First\"") return fail("an unknown popup: " + l);
    bool all_enabled = true;
    if (scanning_ || !last_three_status_reads(threads_["main"], &all_enabled) || all_enabled)
      return fail("the start-scan refusal without a stage that reads disabled");
    cover("start refused (a stage reads disabled)");
    return;
  }
  // "@ trace T THREAD CALL", "@ T NAME = VALUE" or "@ NAME = VALUE".
  const bool trace = l.rfind("@ trace ", 0) == 0;
  const size_t a = trace ? 8 : 2;
  const size_t b = l.find(' ', a);
  const std::string first = l.substr(a, b - a);
  if (!trace && first.rfind("PANEL_", 0) == 0) {
    const size_t eq = l.find(" = ", a);
    if (eq == std::string::npos || !is_control_name(l.substr(a, eq - a)))
      return fail("a runner line that is not whole: \"" + l + "\"");
    return on_show(l.substr(a, eq - a), l.substr(eq + 3));
  }
  const auto t = parse_ms(first);
  if (!t) return fail("a time that is not one: " + first);
  if (*t < last_ms_) return fail("time went back from " + ms_text(last_ms_) + " to " + first);
  last_ms_ = *t;
  if (trace) {
    const size_t c = l.find(' ', b + 1);
    const std::string thread = l.substr(b + 1, c - b - 1);
    const auto call = c == std::string::npos ? std::nullopt : parse_call(l.substr(c + 1));
    if (!call || thread.empty()) return fail("a trace line that is not whole: \"" + l + "\"");
    return on_trace(*t, thread, *call);
  }
  const size_t eq = b == std::string::npos ? b : l.find(" = ", b + 1);
  if (eq == std::string::npos || !is_control_name(l.substr(b + 1, eq - b - 1)))
    return fail("a runner line that is not whole: \"" + l + "\"");
  on_watch(l.substr(b + 1, eq - b - 1), l.substr(eq + 3));
}

Report Checker::run() {
  if (status_ >= 256) {
    lineno_ = static_cast<int>(out_.size());
    fail("the runner was ended by signal " + std::to_string(status_ - 256) + ": " + err_.substr(0, err_.find('\n')));
    return rep_;
  }
  for (const std::string& l : out_) {
    lineno_++;
    on_line(l);
    rep_.virtual_ms = last_ms_;
    if (!rep_.ok) return rep_;
  }
  lineno_ = 0;
  if (!exited_) fail("the output ends without an exit line");
  const int want_status = s_.expected_exit & 0xff;
  if (rep_.ok && status_ != want_status)
    fail("the runner's status is " + std::to_string(status_) + ", expected " + std::to_string(want_status));
  const std::string want_err = s_.expected_exit == 2 ? "Varnix: cannot make the thread pool; no stage was touched\n" : "";
  if (rep_.ok && err_ != want_err) fail("standard error: " + err_.substr(0, 2000));
  return rep_;
}

}  // namespace

Report check(const Session& session, int status, const std::vector<std::string>& out, const std::string& err) {
  return Checker(session, status, out, err).run();
}

}  // namespace vx::simtest
