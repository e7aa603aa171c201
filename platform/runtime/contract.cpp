// The check of a panel against the contract the program hands the run-time: every
// control the program addresses is there with its kind and data type, names the
// callback the program expects of it (and no other), the indicators that must read off
// when the panel is loaded do, and the ranges of the inputs the stages' targets are
// computed from keep every target convertible. A panel that breaks it never reaches the
// program, which would otherwise read a missing guard as "off" and lose it, or compute
// targets that overflow (and that the window could not draw).
#include <algorithm>
#include <cmath>
#include <string>

#include "platform/runtime/runtime.h"

namespace vx::rt {

namespace {

Kind kind_of(int k) {
  switch (k) {
    case CTRL_KIND_INDICATOR: return Kind::Indicator;
    case CTRL_KIND_NUMERIC_INPUT: return Kind::NumericInput;
    case CTRL_KIND_NUMERIC_DISPLAY: return Kind::NumericDisplay;
    case CTRL_KIND_TOGGLE: return Kind::Toggle;
    case CTRL_KIND_TIMER: return Kind::Timer;
    default: return Kind::Command;
  }
}

DataType type_of(int t) {
  return t == VAL_INTEGER ? DataType::Int : t == VAL_DOUBLE ? DataType::Double : DataType::None;
}

std::string where(const std::string& path, int line, int column) {
  return path + ":" + std::to_string(line) + ":" + std::to_string(column) + ": ";
}

// "an indicator of type int", "a command".
std::string what(Kind k, DataType t) {
  std::string s = k == Kind::Indicator ? "an " : "a ";
  s += kind_name(k);
  if (t != DataType::None) s += std::string(" of type ") + type_name(t);
  return s;
}

// What is wrong with `c` as the control `want` describes, or "".
std::string mismatch(const ControlSpec& c, const ContractControl& want) {
  const Kind kind = kind_of(want.kind);
  const DataType type = type_of(want.type);
  const std::string callback = want.callback ? want.callback : "";
  const std::string known = want.name ? want.name : "control " + std::to_string(c.id);
  if (want.name && c.name != want.name)
    return "control " + std::to_string(c.id) + " is named " + c.name + ", but the program knows it as " + want.name;
  if (c.kind != kind || c.type != type)
    return known + " (id " + std::to_string(c.id) + ") is " + what(c.kind, c.type) + "; the program needs " +
           what(kind, type);
  if (c.callback != callback) {
    if (callback.empty())
      return known + " names the callback '" + c.callback + "'; the program takes its commits in the event loop";
    if (c.callback.empty()) return known + " must name the callback '" + callback + "'";
    return known + " names the callback '" + c.callback + "'; the program needs '" + callback + "'";
  }
  if (want.startsOff && c.initial != 0)
    return known + " must read off (0) when the panel is loaded; the program would take it as set";
  return "";
}

// Every target `t` allows within its inputs' ranges must convert. The target is
// start + index * step in double arithmetic, index from 0 to count - 1; it grows with
// the start, and with the index and step on either side of 0, and rounding keeps that
// order, so its least and greatest values lie at the corners of the ranges. Those that
// convert form one interval: checking the corners checks every target.
std::optional<std::string> target_violation(const PanelSpec& panel, const ContractTarget& t,
                                            int (*converts)(double, int*), const std::string& path) {
  struct Input {
    const ControlSpec* c = nullptr;
    double lo = 0, hi = 0;
  };
  Input in[3];
  const int ids[3] = {t.start, t.step, t.count};
  for (int k = 0; k < 3; k++) {
    if (ids[k] == 0) continue;
    const ControlSpec* c = find_control(panel, ids[k]);
    if (!c)
      return where(path, panel.line, panel.column) + "panel " + panel.name + " has no control " +
             std::to_string(ids[k]) + "; the program computes the stages' targets from it";
    if (!c->min || !c->max)
      return where(path, c->line, c->column) + c->name + " has no '" + (c->min ? "max" : "min") +
             "'; the program computes the stages' targets from it, so its range must keep them small enough "
             "to convert to device units";
    in[k] = {c, *c->min, *c->max};
  }
  const double last_index = in[2].c ? std::max(in[2].hi - 1, 0.0) : 0.0;
  for (const double start : {in[0].lo, in[0].hi})
    for (const double step : {in[1].lo, in[1].hi})
      for (const double index : {0.0, last_index}) {
        const double target = start + index * step;
        int units = 0;
        if (converts(target, &units)) continue;
        const std::string why = std::isfinite(target) ? ", too large to convert to device units"
                                                      : ", which is not a finite number";
        if (index == 0)
          return where(path, in[0].c->line, in[0].c->column) + "the range of " + in[0].c->name +
                 " allows the target " + number_text(target) + " mm" + why;
        const std::string sum = number_text(start) + " + " + number_text(index) + " * " + number_text(step);
        return where(path, in[1].c->line, in[1].c->column) + "the ranges of " + in[0].c->name + ", " +
               in[1].c->name + " and " + in[2].c->name + " allow the scan target " +
               (std::isfinite(target) ? sum + " = " + number_text(target) : sum) + " mm (start + index * step)" +
               why;
      }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> contract_violation(const PanelSpec& panel, const PanelContract& contract,
                                              const std::string& path) {
  const std::string at_panel = where(path, panel.line, panel.column);
  for (int k = 0; k < contract.controlCount; k++) {
    const ContractControl& want = contract.controls[k];
    if (want.id == 0) {
      // The file chooses the id: one control of this kind with this callback will do.
      bool found = false;
      for (const ControlSpec& c : panel.controls)
        if (c.kind == kind_of(want.kind) && want.callback && c.callback == want.callback) found = true;
      if (!found)
        return at_panel + "panel " + panel.name + " has no " + kind_name(kind_of(want.kind)) +
               " naming the callback '" + (want.callback ? want.callback : "") + "', which the program needs";
      continue;
    }
    const ControlSpec* c = find_control(panel, want.id);
    if (!c)
      return at_panel + "panel " + panel.name + " has no control " + std::to_string(want.id) + " (" +
             (want.name ? want.name : "?") + "); the program needs " +
             what(kind_of(want.kind), type_of(want.type)) + " there";
    if (const std::string m = mismatch(*c, want); !m.empty()) return where(path, c->line, c->column) + m;
  }
  for (int k = 0; k < contract.indicatorCount; k++) {
    const ContractControl want{contract.indicators[k], nullptr, CTRL_KIND_INDICATOR, VAL_INTEGER, nullptr, 0};
    const ControlSpec* c = find_control(panel, want.id);
    if (!c)
      return at_panel + "panel " + panel.name + " has no control " + std::to_string(want.id) +
             "; the program writes a status LED (an indicator of type int) there";
    if (const std::string m = mismatch(*c, want); !m.empty()) return where(path, c->line, c->column) + m;
  }
  for (int k = 0; contract.targetConverts && k < contract.targetCount; k++)
    if (auto broken = target_violation(panel, contract.targets[k], contract.targetConverts, path)) return broken;
  return std::nullopt;
}

}  // namespace vx::rt
