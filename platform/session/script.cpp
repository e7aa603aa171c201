// The operator-script parser: words, numbers, controls and the statements' shapes.
#include "platform/session/script.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "platform/files/printable.h"

namespace vx::session {

const char* cmp_text(Cmp c) {
  switch (c) {
    case Cmp::Eq: return "==";
    case Cmp::Ne: return "!=";
    case Cmp::Lt: return "<";
    case Cmp::Le: return "<=";
    case Cmp::Gt: return ">";
    case Cmp::Ge: return ">=";
  }
  return "?";
}

bool compare(double l, Cmp c, double r) {
  switch (c) {
    case Cmp::Eq: return l == r;
    case Cmp::Ne: return l != r;
    case Cmp::Lt: return l < r;
    case Cmp::Le: return l <= r;
    case Cmp::Gt: return l > r;
    case Cmp::Ge: return l >= r;
  }
  return false;
}

namespace {

std::optional<Cmp> parse_cmp(std::string_view w) {
  if (w == "==") return Cmp::Eq;
  if (w == "!=") return Cmp::Ne;
  if (w == "<") return Cmp::Lt;
  if (w == "<=") return Cmp::Le;
  if (w == ">") return Cmp::Gt;
  if (w == ">=") return Cmp::Ge;
  return std::nullopt;
}

bool is_digits(std::string_view w) {
  if (w.empty()) return false;
  for (char c : w)
    if (c < '0' || c > '9') return false;
  return true;
}

std::optional<ControlRef> parse_control(std::string_view w) {
  ControlRef r;
  if (is_digits(w)) {
    if (w.size() > 9) return std::nullopt;
    r.id = std::atoi(std::string(w).c_str());
    if (r.id <= 0) return std::nullopt;
    return r;
  }
  if (w.size() < 7 || w.substr(0, 6) != "PANEL_") return std::nullopt;
  for (char c : w)
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return std::nullopt;
  r.name = std::string(w);
  return r;
}

std::string seconds_text(double v) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

bool is_axis(std::string_view w) { return w == "X" || w == "Y" || w == "Z" || (w.size() == 8 && is_digits(w)); }

struct FaultShape {
  const char* name;
  bool axis;
  int min_args, max_args;
};
constexpr FaultShape kFaults[] = {
    {"open", true, 1, 1},    {"info", true, 0, 0},     {"stall", true, 0, 1},
    {"message", true, 2, 3}, {"status", true, 1, 2},   {"drop", true, 0, 1},
    {"delay", true, 1, 1},   {"channel", true, 1, 1},  {"position", true, 1, 1},
    {"disable", true, 0, 0}, {"init", false, 0, 0},    {"pool", false, 0, 0},
    {"schedule", false, 0, 0},
};

}  // namespace

std::optional<double> parse_number(std::string_view w) {
  if (w.empty() || w.size() > 64) return std::nullopt;
  const std::string s(w);
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    if (s.size() > 10) return std::nullopt;
    unsigned long v = 0;
    for (size_t i = 2; i < s.size(); i++) {
      const char c = s[i];
      int d;
      if (c >= '0' && c <= '9') d = c - '0';
      else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
      else return std::nullopt;
      v = v * 16 + static_cast<unsigned long>(d);
    }
    return static_cast<double>(static_cast<int>(static_cast<unsigned int>(v)));
  }
  std::string_view body = w;
  if (body[0] == '+' || body[0] == '-') body.remove_prefix(1);
  if (body == "inf" || body == "nan") {
    const double v = body == "inf" ? INFINITY : NAN;
    return w[0] == '-' ? -v : v;
  }
  // digits [. digits] [e [sign] digits]
  size_t i = 0;
  auto digits = [&] {
    const size_t start = i;
    while (i < body.size() && body[i] >= '0' && body[i] <= '9') i++;
    return i - start;
  };
  size_t n = digits();
  if (i < body.size() && body[i] == '.') {
    i++;
    n += digits();
  }
  if (n == 0) return std::nullopt;
  if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
    i++;
    if (i < body.size() && (body[i] == '+' || body[i] == '-')) i++;
    if (digits() == 0) return std::nullopt;
  }
  if (i != body.size()) return std::nullopt;
  errno = 0;
  return std::strtod(s.c_str(), nullptr);
}

namespace {

using Words = std::vector<std::string_view>;

// A line's words, its comment left out.
Words words_of(std::string_view line) {
  if (const size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
  Words w;
  for (size_t i = 0; i < line.size();) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) i++;
    const size_t s = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') i++;
    if (i > s) w.push_back(line.substr(s, i - s));
  }
  return w;
}

std::optional<ControlRef> control_at(const Words& w, size_t k) {
  return k < w.size() ? parse_control(w[k]) : std::nullopt;
}

std::optional<double> number_at(const Words& w, size_t k) {
  return k < w.size() ? parse_number(w[k]) : std::nullopt;
}

// Each reads the words of one statement into `st`; returns why they are not one, or "".
std::string read_fault(const Words& w, Statement& st) {
  if (w.size() < 2)
    return "fault needs a kind: open, info, stall, message, status, drop, delay, channel, position, disable, init, "
           "pool or schedule";
  const FaultShape* shape = nullptr;
  for (const FaultShape& f : kFaults)
    if (w[1] == f.name) shape = &f;
  if (!shape) return "unknown fault '" + std::string(w[1]) + "'";
  st.op = Op::Fault;
  st.fault = std::string(w[1]);
  size_t k = 2;
  if (shape->axis) {
    if (k >= w.size() || !is_axis(w[k])) return "fault " + st.fault + " needs an axis: X, Y, Z or a serial number";
    st.axis = std::string(w[k++]);
  }
  const int nargs = static_cast<int>(w.size() - k);
  if (nargs < shape->min_args || nargs > shape->max_args)
    return "fault " + st.fault + " takes " + std::to_string(shape->min_args) +
           (shape->max_args != shape->min_args ? " to " + std::to_string(shape->max_args) : "") + " number(s) after " +
           (shape->axis ? "the axis" : "its kind");
  for (; k < w.size(); k++) {
    auto v = parse_number(w[k]);
    if (!v) return "'" + std::string(w[k]) + "' is not a number";
    st.args.push_back(*v);
  }
  return {};
}

std::string read_check(const Words& w, Statement& st) {
  const std::string_view verb = w[0];
  auto c = control_at(w, 1);
  auto cmp = w.size() > 2 ? parse_cmp(w[2]) : std::nullopt;
  auto v = number_at(w, 3);
  const std::string shape = std::string(verb) + " CONTROL OP VALUE" + (verb == "until" ? " [within SECONDS]" : "");
  if (!c || !cmp || !v) return "expected: " + shape + ", OP one of == != < <= > >=";
  st.op = verb == "until" ? Op::Until : Op::Expect;
  st.controls.push_back(*c);
  st.cmp = *cmp;
  st.value = *v;
  if (verb == "until" && w.size() == 6 && w[4] == "within") {
    auto s = number_at(w, 5);
    if (!s || !(*s >= 0) || *s > kMaxSeconds) return "within takes SECONDS (0 to 86400)";
    st.within = *s;
  } else if (w.size() != 4) {
    return "expected: " + shape;
  }
  return {};
}

std::string read_controls(const Words& w, Statement& st) {
  if (w.size() < 2) return std::string(w[0]) + " needs at least one control";
  st.op = w[0] == "show" ? Op::Show : Op::Watch;
  for (size_t k = 1; k < w.size(); k++) {
    auto c = parse_control(w[k]);
    if (!c) return "'" + std::string(w[k]) + "' is not a control (a PANEL_ name or an id)";
    st.controls.push_back(*c);
  }
  return {};
}

std::string read_statement(const Words& w, Statement& st) {
  const std::string_view verb = w[0];
  if (verb == "fault") return read_fault(w, st);
  if (verb == "until" || verb == "expect") return read_check(w, st);
  if (verb == "show" || verb == "watch") return read_controls(w, st);
  if (verb == "live" || verb == "activity" || verb == "start" || verb == "quit" || verb == "estop" ||
      verb == "release" || verb == "preview") {
    if (w.size() != 1) return std::string(verb) + " takes nothing";
    st.op = verb == "live"       ? Op::Live
            : verb == "activity" ? Op::Activity
            : verb == "start"    ? Op::Start
            : verb == "quit"     ? Op::Quit
            : verb == "estop"    ? Op::Estop
            : verb == "preview"  ? Op::Preview
                                 : Op::Release;
    return {};
  }
  if (verb == "set") {
    auto c = control_at(w, 1);
    auto v = number_at(w, 2);
    if (w.size() != 3 || !c || !v) return "expected: set CONTROL VALUE";
    st.op = Op::Set;
    st.controls.push_back(*c);
    st.value = *v;
    return {};
  }
  if (verb == "press") {
    auto c = control_at(w, 1);
    if (w.size() != 2 || !c) return "expected: press CONTROL";
    st.op = Op::Press;
    st.controls.push_back(*c);
    return {};
  }
  if (verb == "wait") {
    auto v = number_at(w, 1);
    if (w.size() != 2 || !v || !(*v >= 0) || *v > kMaxSeconds) return "expected: wait SECONDS (0 to 86400)";
    st.op = Op::Wait;
    st.seconds = *v;
    return {};
  }
  return "unknown statement '" + std::string(verb) + "'";
}

}  // namespace

std::optional<Statement> parse_statement(std::string_view line, std::string& error) {
  error.clear();
  const Words w = words_of(line);
  if (w.empty()) return std::nullopt;
  Statement st;
  st.line = 1;
  if (std::string why = read_statement(w, st); !why.empty()) {
    error = files::printable(why);
    return std::nullopt;
  }
  return st;
}

std::optional<Script> parse_script(std::string_view text, const std::string& file, std::string& error) {
  Script script;
  script.file = file;
  int line_no = 0;
  double waited = 0;  // the seconds the statements so far may wait, in all
  // Whatever the script holds is shown escaped: a line may carry control characters.
  auto fail = [&](const std::string& msg) {
    error = files::printable(file + ":" + std::to_string(line_no) + ": " + msg);
    return std::nullopt;
  };
  for (size_t pos = 0; pos <= text.size();) {
    const size_t end = std::min(text.find('\n', pos), text.size());
    const Words w = words_of(text.substr(pos, end - pos));
    pos = end + 1;
    line_no++;
    if (w.empty()) continue;
    Statement st;
    st.line = line_no;
    if (std::string why = read_statement(w, st); !why.empty()) return fail(why);
    if (st.op == Op::Wait || st.op == Op::Until) {
      waited += st.op == Op::Wait ? st.seconds : st.within.value_or(kUntilDefault);
      if (waited > kMaxTotalSeconds)
        return fail("the script's waits (wait, and until with its bound, 3600 s unless within says) add up to " +
                    seconds_text(waited) + " s here, more than a session may wait in all (" +
                    seconds_text(kMaxTotalSeconds) + " s, 7 days)");
    }
    script.statements.push_back(std::move(st));
  }
  return script;
}

}  // namespace vx::session
