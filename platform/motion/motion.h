// The motion of one stage: the trapezoidal profile of a move (accelerate, cruise,
// decelerate; a triangle when the move is too short to reach the cruise velocity), the
// deceleration of a stop, and the cut where a motion meets a limit of the travel. The
// simulated stages move by it and the scan planner times moves by it, so that a plan
// agrees with the stages to the nanosecond.
//
// Positions are device units as doubles, velocities units/s, accelerations units/s^2.
#pragma once

#include <array>
#include <cstddef>

namespace vx::motion {

// A phase of constant acceleration.
struct Phase {
  double duration = 0;  // s
  double accel = 0;     // units/s^2, signed
};

// A motion from a start position and velocity through at most three phases. Every
// profile made here is monotonic (it never reverses), which makes clipping at a limit
// a matter of finding one crossing.
class Profile {
 public:
  Profile() = default;

  // From rest to rest; a null move has no phase.
  static Profile trapezoid(double from, double to, double vmax, double accel);
  // Deceleration from velocity v0 to rest.
  static Profile stop(double from, double v0, double accel);

  double duration() const;
  double start() const { return p0_; }
  double end() const { return end_; }
  int direction() const { return end_ > p0_ ? 1 : end_ < p0_ ? -1 : (v0_ > 0) - (v0_ < 0); }
  double position(double dt) const;
  double velocity(double dt) const;

  // Cuts the motion where it reaches lo or hi, when it would go past it: a limit switch
  // stops the motor where it trips, at whatever speed it had. Returns whether it cut.
  bool clip(double lo, double hi);

 private:
  void push(Phase p) { phases_[count_++] = p; }

  double p0_ = 0;
  double v0_ = 0;
  double end_ = 0;
  std::array<Phase, 3> phases_{};
  std::size_t count_ = 0;
};

// A stage as its motion sees it: the travel, the profile's limits, how late its answer
// comes, and where it stands. Physical positions count from the reverse limit; the
// stage's counter reads 0 at `zero`.
struct Stage {
  double travel = 0;      // units, the forward limit
  double vmax = 0;        // units/s
  double accel = 0;       // units/s^2
  double latency = 0;     // s from the end of a motion to its message
  double extra_latency = 0;  // s, a further delay of every message
  double zero = 0;        // physical position where the counter reads 0
  double position = 0;    // physical position now
  int units_per_mm = 1;
};

// The nominal integrated stepper stage, in millimetres and seconds: the simulated
// stages are made to it, and the scan planner assumes it of stages that tell only their
// position.
struct Nominal {
  int units_per_mm = 409600;
  double travel_mm = 50.0;     // from the reverse limit (0) to the forward limit
  double start_mm = 25.0;      // physical position at power-up; the counter reads 0 there
  double max_velocity = 5.0;   // mm/s
  double acceleration = 10.0;  // mm/s^2
  double home_velocity = 2.0;  // mm/s
  double latency_s = 0.005;    // a completion arrives this long after the motion ends
};
inline constexpr Nominal kNominal{};

// The nominal stage at rest at its power-up place, in device units.
Stage nominal_stage();

}  // namespace vx::motion
