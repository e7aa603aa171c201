// Live readings of the stages and the account of what the program does. The state
// words follow the status bits the stages report; a stage that reports a command under
// way without moving is stalled, because a stage that runs a motion always reports its
// direction. The bound of a wait is the armed time-out timer of the thread that waits
// (a timer on a panel other than the main one), so it is what the program will do, not
// what a table here believes it does.
#include "platform/observe/observe.h"

#include <cmath>
#include <cstdio>

#include "driver/axs.h"
#include "panel/Varnix_ui.h"
#include "platform/stagelib/stage_library.h"

namespace vx::observe {

namespace {

std::string number(double v, int digits) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", digits, v);
  return buf;
}


std::string seconds_text(Duration d) { return number(std::floor(to_seconds(d)), 0) + " s"; }

const rt::ControlSpec* find(const rt::PanelSpec* spec, int control) {
  return spec ? rt::find_control(*spec, control) : nullptr;
}

double value_of(const rt::Runtime& runtime, int panel, int control) {
  const auto v = runtime.value(panel, control);
  return v ? v->number() : 0;
}

// What each command reads as it runs (panel/commands.cpp, scan/scan.cpp).
struct Reads {
  int command;
  std::vector<int> inputs;
};
const std::vector<Reads>& reads_table() {
  static const std::vector<Reads> table = {
      {PANEL_GOTO_X, {PANEL_TARGET_X}},
      {PANEL_GOTO_Y, {PANEL_TARGET_Y}},
      {PANEL_GOTO_Z, {PANEL_TARGET_Z}},
      {PANEL_GOTO_ALL, {PANEL_TARGET_X, PANEL_TARGET_Y, PANEL_TARGET_Z}},
      {PANEL_STARTSCAN,
       {PANEL_NX, PANEL_NY, PANEL_NZ, PANEL_DX, PANEL_DY, PANEL_DZ, PANEL_X0, PANEL_Y0, PANEL_Z0, PANEL_SCAN_X,
        PANEL_SCAN_Y, PANEL_SCAN_Z}},
  };
  return table;
}

// Without the '&' that marks a button's key ("&&" is an ampersand).
std::string without_mnemonic(const std::string& label) {
  std::string text;
  for (std::size_t k = 0; k < label.size(); k++) {
    if (label[k] != '&') {
      text += label[k];
    } else if (k + 1 < label.size() && label[k + 1] == '&') {
      text += '&';
      k++;
    }
  }
  return text;
}

// "X" for a control of the group AXIS_X, else "".
std::string axis_of(const rt::ControlSpec& c) {
  return c.group.size() == 6 && c.group.rfind("AXIS_", 0) == 0 ? c.group.substr(5) : std::string();
}

}  // namespace

std::string plain(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.10g", v);
  return buf;
}

const std::vector<std::string>& all_words() {
  static const std::vector<std::string> words = {
      "idle",          "moving-forward", "moving-reverse", "homing",   "homed",   "forward-limit",
      "reverse-limit", "disabled",       "stopped",        "stalled",  "estop",   "not-connected"};
  return words;
}

const char* axis_name(int axis) { return axis == 0 ? "X" : axis == 1 ? "Y" : axis == 2 ? "Z" : "?"; }

AxisLive interpret(int axis, int units, std::uint32_t status, bool inhibited) {
  AxisLive a;
  a.axis = axis;
  a.units = units;
  a.position_mm = static_cast<double>(units) / static_cast<double>(StepsPerMm);
  a.status = status;
  a.inhibited = inhibited;
  const bool enabled = status & sl::kEnabled;
  const bool fwd = status & sl::kMovingForward;
  const bool rev = status & sl::kMovingReverse;
  const bool busy = status & sl::kCommandActive;
  const bool stalled = enabled && busy && !fwd && !rev;
  auto& w = a.words;
  if (enabled && !busy && !fwd && !rev && !inhibited) w.push_back("idle");
  if (fwd) w.push_back("moving-forward");
  if (rev) w.push_back("moving-reverse");
  if (status & sl::kHoming) w.push_back("homing");
  if (status & sl::kHomed) w.push_back("homed");
  if (status & sl::kForwardLimit) w.push_back("forward-limit");
  if (status & sl::kReverseLimit) w.push_back("reverse-limit");
  if (!enabled) w.push_back("disabled");
  if (inhibited && !fwd && !rev) w.push_back("stopped");
  if (stalled) w.push_back("stalled");
  if (inhibited) w.push_back("estop");

  std::vector<std::string> why;
  if (inhibited) why.push_back("the emergency stop is engaged (Release to move)");
  if (!enabled) why.push_back("disabled (Enable it first)");
  if (stalled) why.push_back("stalled: busy without motion");
  if (enabled && !inhibited && !stalled) {
    if (status & sl::kForwardLimit) why.push_back("at the forward limit: it moves only in reverse");
    if (status & sl::kReverseLimit && !(status & sl::kHomed))
      why.push_back("at the reverse limit: it moves only forward");
  }
  for (std::size_t k = 0; k < why.size(); k++) a.reason += (k ? "; " : "") + why[k];
  return a;
}

Live read_live() {
  Live live;
  for (int axis = 0; axis < kAxes; axis++) {
    const char* serial = serialNumbers[axis];
    const int units = ISC_GetPosition(serial);
    const DWORD status = ISC_GetStatusBits(serial);
    const bool inhibited = SL_GetMotionInhibit(serial) != 0;
    live[axis] = interpret(axis, units, status, inhibited);
  }
  return live;
}

void mark_not_connected(Live& live, int axis) {
  for (AxisLive& a : live)
    if (a.axis >= axis) {
      a.words = {"not-connected"};
      a.reason = "not connected yet";
    }
}

std::string words_text(const AxisLive& a) {
  std::string s;
  for (const std::string& w : a.words) s += (s.empty() ? "" : " ") + w;
  return s;
}

std::string control_name(const rt::Runtime& runtime, int panel, int control) {
  const rt::ControlSpec* c = find(runtime.spec(panel), control);
  return c && !c->name.empty() ? c->name : std::to_string(control);
}

const std::vector<int>& inputs_read(int command) {
  static const std::vector<int> none;
  for (const Reads& r : reads_table())
    if (r.command == command) return r.inputs;
  return none;
}

bool moves(int command) {
  for (int id : {PANEL_GOTO_X, PANEL_GOTO_Y, PANEL_GOTO_Z, PANEL_GOTO_ALL, PANEL_JOG_X_MINUS, PANEL_JOG_X_PLUS,
                 PANEL_JOG_Y_MINUS, PANEL_JOG_Y_PLUS, PANEL_JOG_Z_MINUS, PANEL_JOG_Z_PLUS, PANEL_HOME_X, PANEL_HOME_Y,
                 PANEL_HOME_Z, PANEL_STARTSCAN})
    if (id == command) return true;
  return false;
}

std::string field_name(const rt::Runtime& runtime, int panel, int control) {
  const rt::ControlSpec* c = find(runtime.spec(panel), control);
  if (!c) return std::to_string(control);
  std::string text = without_mnemonic(c->label);
  if (text.empty()) return c->name;
  const std::string axis = axis_of(*c);
  return axis.empty() ? text : axis + " " + text;
}

std::string command_text(const rt::Runtime& runtime, int panel, int control) {
  const rt::ControlSpec* c = find(runtime.spec(panel), control);
  if (!c) return std::to_string(control);
  if (c->kind != rt::Kind::Command) return c->name;
  std::string text = without_mnemonic(c->label);
  if (text.empty()) text = c->name;
  if (const std::string axis = axis_of(*c); !axis.empty()) text += " " + axis;
  for (int axis_go : {PANEL_GOTO_X, PANEL_GOTO_Y, PANEL_GOTO_Z})
    if (axis_go == control) text += ": " + plain(value_of(runtime, panel, inputs_read(control)[0])) + " mm";
  if (control == PANEL_GOTO_ALL)
    text += ": X " + plain(value_of(runtime, panel, PANEL_TARGET_X)) + ", Y " +
            plain(value_of(runtime, panel, PANEL_TARGET_Y)) + ", Z " +
            plain(value_of(runtime, panel, PANEL_TARGET_Z)) + " mm";
  if (control == PANEL_STARTSCAN) {
    std::string axes;
    for (auto [id, name] : {std::pair{PANEL_SCAN_X, "X"}, {PANEL_SCAN_Y, "Y"}, {PANEL_SCAN_Z, "Z"}})
      if (value_of(runtime, panel, id) != 0) axes += axes.empty() ? name : std::string(", ") + name;
    // An axis not ticked is not scanned: it counts one point, wherever its count stands.
    auto count = [&](int n, int box) { return value_of(runtime, panel, box) != 0 ? plain(value_of(runtime, panel, n)) : "1"; };
    text += ": " + count(PANEL_NX, PANEL_SCAN_X) + " × " + count(PANEL_NY, PANEL_SCAN_Y) + " × " +
            count(PANEL_NZ, PANEL_SCAN_Z) + " points, " +
            (axes.empty() ? std::string("no axis scanned") : "scanning " + axes);
  }
  return text;
}

bool scanning(const rt::Runtime& runtime) {
  const int panel = runtime.main_panel();
  return panel && value_of(runtime, panel, PANEL_SCANNING) != 0;
}

namespace {

ActivityView describe(const rt::Runtime& runtime, Time now, const Live* live) {
  ActivityView v;
  const int panel = runtime.main_panel();
  const rt::Activity a = runtime.activity();
  for (const rt::Activity::Event& e : a.queued) {
    v.queued.push_back(e.control);
    v.queued_text.push_back(command_text(runtime, panel, e.control));
    v.queued_names.push_back(control_name(runtime, panel, e.control));
    if (e.commit) v.commands.push_back({e.commit, e.control, v.queued_text.back()});
    else v.own_requests++;
  }
  if (!panel) {
    v.state = "starting";
    v.what = "Starting: loading the panel";
    return v;
  }
  if (!a.loop_started) {
    v.state = "connecting";
    v.what = "Connecting to the stages";
    v.connecting = kAxes;
    if (live)
      for (const AxisLive& s : *live)
        if (s.status == 0 && s.units == 0) {
          v.what = std::string("Connecting to stage ") + axis_name(s.axis) + " (" + serialNumbers[s.axis] + ")";
          v.connecting = s.axis;
          break;
        }
    return v;
  }
  if (scanning(runtime)) {
    v.state = "scanning";
    // The panel's indices count from 0; the scan pane counts points from 1.
    v.what = "Scanning: " + number(value_of(runtime, panel, PANEL_PROGRESS), 1) + " % done (indices x " +
             plain(value_of(runtime, panel, PANEL_IX)) + ", y " + plain(value_of(runtime, panel, PANEL_IY)) + ", z " +
             plain(value_of(runtime, panel, PANEL_IZ)) + ")";
    return v;
  }
  if (!a.serving) {
    v.state = "idle";
    v.what = "Idle";
    return v;
  }
  const int control = a.serving->control;
  if (control == PANEL_QUIT) {
    v.state = "quitting";
    v.what = "Quitting: closing the stages";
    return v;
  }
  v.state = "busy";
  std::string text = command_text(runtime, panel, control);
  if (text.rfind("Home ", 0) == 0) text = "Homing " + text.substr(5);
  v.headline = text;
  v.what = text + ": " + seconds_text(now - a.serving_since);
  // The wait under way is the one armed on a panel the program made for it.
  for (const rt::Activity::Armed& t : a.timers)
    if (t.panel != panel && t.since >= a.serving_since)
      v.what += ", gives up at " + plain(std::round(to_seconds(t.since + t.interval - a.serving_since) * 10) / 10) + " s";
  return v;
}

}  // namespace

ActivityView describe_activity(const rt::Runtime& runtime, Time now, const Live* live) {
  ActivityView v = describe(runtime, now, live);
  if (v.headline.empty()) v.headline = v.what;  // only a command's line carries times to leave out
  return v;
}

}  // namespace vx::observe
