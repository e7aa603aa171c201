// The check of a panel against the contract the program hands the run-time: every
// control the program addresses is there with its kind and data type, names the
// callback the program expects of it (and no other), and the indicators that must
// read off when the panel is loaded do. A panel that breaks it never reaches the
// program, which would otherwise read a missing guard as "off" and lose it.
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
  return std::nullopt;
}

}  // namespace vx::rt
