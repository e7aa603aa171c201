// The session generator of the simulation test: from a seed, an operator session for
// the session runner — a random set of stage faults and a random sequence of the
// panel's commands, typed targets and scan settings (nonsense included), with waits
// between them — and what the checker needs to read the run: the statements marked in
// the output and the planned features, for the coverage figures.
//
// Everything random comes from Rng, a splitmix64 of our own: the standard library's
// distributions may give other numbers on another library version, and a seed must
// give the same session everywhere.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace vx::simtest {

// splitmix64: small, fast, and every 64-bit seed gives a full-period stream.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next();
  // Uniform in [0, n) for n > 0 (multiply-shift; the bias is below 2^-40 for
  // the small n used here, and identical on every platform).
  std::uint64_t below(std::uint64_t n);
  double unit();                 // uniform in [0, 1), 53 bits
  bool chance(double p) { return unit() < p; }
  int range(int lo, int hi);     // uniform in [lo, hi]
  template <class T>
  const T& pick(const std::vector<T>& v) {
    return v[below(v.size())];
  }

 private:
  std::uint64_t state_;
};

// Every wait of a generated session is a whole number of milliseconds plus this skew.
// The program acts only on whole milliseconds counted from the operator action that set
// it going (or from the start-up), so with the skew no operator action falls on the
// same virtual instant as a program action, whose order would then be up to the host's
// scheduler and the run would not replay exactly.
inline constexpr long long kSkewNs = 137;

// A statement the checker must place in the output. The generator puts "show
// PANEL_SCANNING" before each of them, so that the marker line ("@ PANEL_SCANNING = V")
// stands where the statement acted and tells whether a scan ran then.
struct Mark {
  enum Kind { Press, Fault, Quit, Estop, Release } kind = Press;
  std::string what;  // the control pressed, or "KIND AXIS" of a fault; "quit" for the final quit
};

struct Session {
  std::uint64_t seed = 0;
  std::string script;
  std::vector<Mark> marks;
  // What the runner must end with: 0, or the start-up failure's code (-1 for a failed
  // run-time initialisation, 2 for a thread pool that cannot be made).
  int expected_exit = 0;
  // What the session was built to exercise ("fault stall (before start)", "press
  // PANEL_HOME_X", "target nan", ...): the planned half of the coverage figures.
  std::set<std::string> features;
};

Session generate(std::uint64_t seed);

}  // namespace vx::simtest
