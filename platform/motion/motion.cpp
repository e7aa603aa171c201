// The profile's arithmetic. Kept in one translation unit so that the simulator and the
// planner compute every duration with the same instructions.
#include "platform/motion/motion.h"

#include <algorithm>
#include <cmath>

namespace vx::motion {

Profile Profile::trapezoid(double from, double to, double vmax, double accel) {
  Profile p;
  p.p0_ = from;
  p.end_ = to;
  const double dist = std::abs(to - from);
  if (dist == 0) return p;
  const double s = to > from ? 1.0 : -1.0;
  const double ramp = vmax * vmax / (2 * accel);
  if (dist >= 2 * ramp) {
    const double ta = vmax / accel;
    p.push({ta, s * accel});
    p.push({(dist - 2 * ramp) / vmax, 0});
    p.push({ta, -s * accel});
  } else {
    const double ta = std::sqrt(dist / accel);
    p.push({ta, s * accel});
    p.push({ta, -s * accel});
  }
  return p;
}

Profile Profile::stop(double from, double v0, double accel) {
  Profile p;
  p.p0_ = from;
  p.v0_ = v0;
  p.end_ = from;
  if (v0 == 0) return p;
  const double t = std::abs(v0) / accel;
  p.push({t, v0 > 0 ? -accel : accel});
  p.end_ = from + v0 * t / 2;
  return p;
}

double Profile::duration() const {
  double d = 0;
  for (std::size_t k = 0; k < count_; k++) d += phases_[k].duration;
  return d;
}

double Profile::position(double dt) const {
  double p = p0_, v = v0_;
  for (std::size_t k = 0; k < count_; k++) {
    const Phase& ph = phases_[k];
    if (dt < ph.duration) return p + v * dt + ph.accel * dt * dt / 2;
    p += v * ph.duration + ph.accel * ph.duration * ph.duration / 2;
    v += ph.accel * ph.duration;
    dt -= ph.duration;
  }
  return end_;
}

double Profile::velocity(double dt) const {
  double v = v0_;
  for (std::size_t k = 0; k < count_; k++) {
    const Phase& ph = phases_[k];
    if (dt < ph.duration) return v + ph.accel * dt;
    v += ph.accel * ph.duration;
    dt -= ph.duration;
  }
  return 0;
}

bool Profile::clip(double lo, double hi) {
  double level;
  if (end_ > hi) level = hi;
  else if (end_ < lo) level = lo;
  else return false;
  const double s = end_ > p0_ ? 1.0 : -1.0;
  double p = p0_, v = v0_;
  std::array<Phase, 3> kept{};
  std::size_t n = 0;
  for (std::size_t k = 0; k < count_; k++) {
    const Phase& ph = phases_[k];
    const double gap = s * (level - p);  // distance left to the level, >= 0
    const double u = s * v, b = s * ph.accel;
    const double run = u * ph.duration + b * ph.duration * ph.duration / 2;
    if (run >= gap) {
      // Smaller positive root of u t + b t^2 / 2 = gap, in the form that stays
      // accurate when b is small or negative.
      const double disc = std::max(0.0, u * u + 2 * b * gap);
      const double denom = u + std::sqrt(disc);
      const double t = denom > 0 ? std::clamp(2 * gap / denom, 0.0, ph.duration) : 0.0;
      if (t > 0) kept[n++] = {t, ph.accel};
      break;
    }
    kept[n++] = ph;
    p += v * ph.duration + ph.accel * ph.duration * ph.duration / 2;
    v += ph.accel * ph.duration;
  }
  phases_ = kept;
  count_ = n;
  end_ = level;
  return true;
}

Stage nominal_stage() {
  const Nominal& n = kNominal;
  const double u = n.units_per_mm;
  const double zero = std::round(n.start_mm * u);
  return Stage{std::round(n.travel_mm * u), n.max_velocity * u, n.acceleration * u, n.latency_s, 0, zero, zero,
               n.units_per_mm};
}

}  // namespace vx::motion
