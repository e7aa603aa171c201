// Operator scripts for the session runner: one statement a line, '#' starts a comment.
// The parser checks every line before anything runs; a malformed line is reported as
// "FILE:LINE: message".
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vx::session {

// The longest span a `wait` or an `until ... within` may give, in seconds: a day. A
// session needs minutes (the longest single wait of the program is a 180 s homing); a
// span of days is a typo, and on virtual time it would still take the program's panel
// timer hours of real time to tick through.
inline constexpr double kMaxSeconds = 86400;
// How long an `until` without `within` waits at most, in seconds.
inline constexpr double kUntilDefault = 3600;
// The most a whole script may wait, in seconds: a week. Its waits and the bounds of its
// untils are added up as the script is read; a script whose sum passes this is refused
// at the line where it does. A 1 MiB script of day-long waits would otherwise keep the
// program's panel timer ticking through years of virtual time.
inline constexpr double kMaxTotalSeconds = 7 * 86400;

enum class Op { Fault, Start, Set, Press, Wait, Until, Expect, Show, Watch, Quit, Estop, Release, Preview, Live, Activity };
enum class Cmp { Eq, Ne, Lt, Le, Gt, Ge };

const char* cmp_text(Cmp c);
bool compare(double lhs, Cmp c, double rhs);

// A control as the script names it: a constant ("PANEL_QUIT") or an id ("2").
struct ControlRef {
  std::string name;  // empty when named by id
  int id = 0;
  std::string text() const { return name.empty() ? std::to_string(id) : name; }
};

struct Statement {
  Op op = Op::Start;
  int line = 0;
  // fault
  std::string fault;  // open, info, stall, message, status, drop, delay, channel, position, disable, init, pool, schedule
  std::string axis;   // X, Y, Z or a serial number; empty for init and pool
  std::vector<double> args;
  // set, press, until, expect, show, watch
  std::vector<ControlRef> controls;
  Cmp cmp = Cmp::Eq;
  double value = 0;
  // wait, until
  double seconds = 0;
  std::optional<double> within;
};

// The run-time's faults (init, pool, schedule) are the ones that name no stage.
inline bool runtime_fault(const Statement& st) { return st.op == Op::Fault && st.axis.empty(); }

struct Script {
  std::string file;
  std::vector<Statement> statements;
};

// Parses a whole script. On failure returns nothing and sets `error` to
// "FILE:LINE: message" for the first malformed line.
std::optional<Script> parse_script(std::string_view text, const std::string& file, std::string& error);

// One line as a remote client sends it: the statement, or nothing, with the reason in
// `error` for a malformed line (empty for a blank or comment line).
std::optional<Statement> parse_statement(std::string_view line, std::string& error);

// A number as scripts write it: an integer, a decimal ("12.5", "1e-3"), inf or nan with
// an optional sign, or "0x" hex. A hex literal is a 32-bit pattern: 0x80000000 to
// 0xffffffff stand for the negative ints with those bits.
std::optional<double> parse_number(std::string_view word);

}  // namespace vx::session
