// libFuzzer target for the session-script parser (parse_script, parse_number): any
// bytes must give either a script or one "FILE:LINE: message" naming a line of the
// text, without a control character, never a crash, a hang or undefined behaviour; a
// script it returns must hold only well-formed statements whose waits add up to a week
// at most, and printing it back in canonical form must parse to
// the same statements; every word that reads as a number must read back the same from
// the shortest form the runner prints numbers in. Seeds: tests/fuzz/corpus/script/.
// The suite replays the corpus through this same function (script_corpus_test).
#include "platform/session/script.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

using vx::session::Op;
using vx::session::Statement;

void require(bool ok) {
  if (!ok) __builtin_trap();  // libFuzzer reports the input that broke a promise
}

std::string shortest(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

bool same_number(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b) && std::signbit(a) == std::signbit(b);
  return a == b && std::signbit(a) == std::signbit(b);
}

// How many numbers after the axis (or the kind) each fault takes, and whether it names an axis.
bool fault_shape(const std::string& f, bool& axis, std::size_t& lo, std::size_t& hi) {
  struct S {
    const char* name;
    bool axis;
    std::size_t lo, hi;
  };
  static const S shapes[] = {{"open", true, 1, 1},    {"info", true, 0, 0},     {"stall", true, 0, 1},
                             {"message", true, 2, 3}, {"status", true, 1, 2},   {"drop", true, 0, 1},
                             {"delay", true, 1, 1},   {"channel", true, 1, 1},  {"position", true, 1, 1},
                             {"disable", true, 0, 0}, {"init", false, 0, 0},    {"pool", false, 0, 0},
                             {"schedule", false, 0, 0}};
  for (const S& s : shapes)
    if (f == s.name) {
      axis = s.axis;
      lo = s.lo;
      hi = s.hi;
      return true;
    }
  return false;
}

void check_statement(const Statement& st) {
  for (const auto& c : st.controls) require(c.name.empty() ? c.id > 0 : c.name.rfind("PANEL_", 0) == 0 && c.name.size() > 6);
  switch (st.op) {
    case Op::Fault: {
      bool axis = false;
      std::size_t lo = 0, hi = 0;
      require(fault_shape(st.fault, axis, lo, hi));
      require(axis == !st.axis.empty());
      require(st.args.size() >= lo && st.args.size() <= hi);
      require(st.controls.empty());
      break;
    }
    case Op::Start:
    case Op::Quit:
    case Op::Estop:
    case Op::Release:
    case Op::Preview:
    case Op::Live:
    case Op::Activity:
    case Op::Readings:
      require(st.controls.empty() && st.args.empty());
      break;
    case Op::Set:
    case Op::Press:
    case Op::Expect:
      require(st.controls.size() == 1);
      break;
    case Op::Wait:
      require(st.controls.empty() && st.seconds >= 0 && st.seconds <= vx::session::kMaxSeconds);
      break;
    case Op::Until:
      require(st.controls.size() == 1);
      if (st.within) require(*st.within >= 0 && *st.within <= vx::session::kMaxSeconds);
      break;
    case Op::Show:
    case Op::Watch:
      require(!st.controls.empty());
      break;
  }
}

// The statement as a script line, in the canonical form.
std::string print(const Statement& st) {
  std::string s;
  auto controls = [&] {
    for (const auto& c : st.controls) s += " " + c.text();
  };
  switch (st.op) {
    case Op::Fault:
      s = "fault " + st.fault + (st.axis.empty() ? "" : " " + st.axis);
      for (double a : st.args) s += " " + shortest(a);
      break;
    case Op::Start: s = "start"; break;
    case Op::Quit: s = "quit"; break;
    case Op::Estop: s = "estop"; break;
    case Op::Release: s = "release"; break;
    case Op::Preview: s = "preview"; break;
    case Op::Live: s = "live"; break;
    case Op::Activity: s = "activity"; break;
    case Op::Readings: s = "watch readings"; break;
    case Op::Set:
      s = "set";
      controls();
      s += " " + shortest(st.value);
      break;
    case Op::Press:
      s = "press";
      controls();
      break;
    case Op::Wait: s = "wait " + shortest(st.seconds); break;
    case Op::Until:
    case Op::Expect:
      s = st.op == Op::Until ? "until" : "expect";
      controls();
      s += std::string(" ") + vx::session::cmp_text(st.cmp) + " " + shortest(st.value);
      if (st.within) s += " within " + shortest(*st.within);
      break;
    case Op::Show:
    case Op::Watch:
      s = st.op == Op::Show ? "show" : "watch";
      controls();
      break;
  }
  return s;
}

bool same(const Statement& a, const Statement& b) {
  if (a.op != b.op || a.fault != b.fault || a.axis != b.axis || a.args.size() != b.args.size() ||
      a.controls.size() != b.controls.size() || a.cmp != b.cmp || !same_number(a.value, b.value) ||
      !same_number(a.seconds, b.seconds) || a.within.has_value() != b.within.has_value())
    return false;
  if (a.within && !same_number(*a.within, *b.within)) return false;
  for (std::size_t i = 0; i < a.args.size(); i++)
    if (!same_number(a.args[i], b.args[i])) return false;
  for (std::size_t i = 0; i < a.controls.size(); i++)
    if (a.controls[i].name != b.controls[i].name || a.controls[i].id != b.controls[i].id) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string error;
  const auto script = vx::session::parse_script(text, "fuzz.vxs", error);
  std::size_t lines = 1;
  for (char c : text) lines += c == '\n';
  if (!script) {
    // "fuzz.vxs:LINE: message", LINE one of the text's lines.
    require(error.rfind("fuzz.vxs:", 0) == 0);
    const std::size_t colon = error.find(": ", 9);
    require(colon != std::string::npos && colon > 9 && colon + 2 < error.size());
    std::size_t line = 0;
    for (std::size_t i = 9; i < colon; i++) {
      require(error[i] >= '0' && error[i] <= '9');
      line = line * 10 + static_cast<std::size_t>(error[i] - '0');
    }
    require(line >= 1 && line <= lines);
    // Shown to a terminal: no control character of the text comes through.
    for (const char c : error) require(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
  } else {
    require(error.empty());
    require(script->file == "fuzz.vxs");
    int last = 0;
    std::string canonical;
    double waited = 0;
    for (const Statement& st : script->statements) {
      require(st.line > last && static_cast<std::size_t>(st.line) <= lines);
      if (st.op == Op::Wait) waited += st.seconds;
      if (st.op == Op::Until) waited += st.within.value_or(vx::session::kUntilDefault);
      require(waited <= vx::session::kMaxTotalSeconds);
      last = st.line;
      check_statement(st);
      canonical += print(st) + "\n";
    }
    std::string again_error;
    const auto again = vx::session::parse_script(canonical, "canonical.vxs", again_error);
    require(again.has_value() && again->statements.size() == script->statements.size());
    for (std::size_t i = 0; i < again->statements.size(); i++) require(same(again->statements[i], script->statements[i]));
  }
  // Every blank-separated word: a number must read back from its shortest form.
  for (std::size_t i = 0; i < text.size();) {
    while (i < text.size() && std::strchr(" \t\r\n", text[i]) && text[i] != '\0') i++;
    const std::size_t s = i;
    while (i < text.size() && !(std::strchr(" \t\r\n", text[i]) && text[i] != '\0')) i++;
    if (i == s) continue;
    if (const auto v = vx::session::parse_number(text.substr(s, i - s))) {
      const auto back = vx::session::parse_number(shortest(*v));
      require(back.has_value() && same_number(*back, *v));
    }
  }
  return 0;
}
