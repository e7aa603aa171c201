// The simulated stages: their motion model, their library-side state (open, polling,
// message queue, faults), the bus thread that calls message callbacks, the call trace,
// and the simulator in force (current(), SimulatorScope).
//
// A stage's truth is a pure function of time: a rest state (position, where the counter
// reads 0, homed) plus at most one motion segment, a chain of constant-acceleration
// phases starting at a known time. Nothing is stepped; every command first brings the
// poll readout up to date with the state that held until then, then folds the segment
// into a new rest state at the present time and starts the next one. Positions inside
// the model are physical device units counted from the reverse limit, as doubles.
#include "platform/stagesim/simulator.h"

#include "platform/motion/motion.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace vx::sim {

namespace {

Time add_saturated(Time t, Duration d) {
  if (t == kForever || d == kForever || d >= kForever - t) return kForever;
  return t + d;
}

int clamp_to_int(double v) {
  if (!(v == v)) return 0;
  constexpr double lo = std::numeric_limits<int>::min();
  constexpr double hi = std::numeric_limits<int>::max();
  return static_cast<int>(std::llround(std::clamp(v, lo, hi)));
}

using motion::Profile;

enum class MotionKind { kNone, kMove, kHome, kStop };

struct Motion {
  MotionKind kind = MotionKind::kNone;
  Time start{0};
  Time end{0};
  Profile profile;
  std::uint64_t id = 0;
};

struct Message {
  WORD type;
  WORD id;
  DWORD data;
  Time arrival;
  bool completion;       // subject to drop_completions
  std::uint64_t motion;  // the motion it completes, 0 for none
  bool arrived = false;  // settled: seen by the queue, drop decided
};

// What a stage is at one instant.
struct Snapshot {
  double physical;
  double velocity;
  double zero;
  bool homed;
  int counter;
  DWORD status;
};

struct Poll {
  bool on = false;
  Time start{0};
  Duration interval{0};
  bool sampled = false;
  Time tick{0};
  int position = 0;
  DWORD status = 0;
};

struct Stage {
  explicit Stage(StageConfig c) : cfg(std::move(c)) {
    const double u = cfg.units_per_mm;
    travel = std::round(cfg.travel_mm * u);
    vmax = cfg.max_velocity * u;
    accel = cfg.acceleration * u;
    rest = std::round(cfg.start_mm * u);
    zero = rest;
    enabled = cfg.enabled;
    homing = {MOT_Reverse, MOT_ReverseLimitSwitch,
              static_cast<unsigned int>(std::llround(cfg.home_velocity * u)), 0};
  }

  StageConfig cfg;
  double travel, vmax, accel;  // units, units/s, units/s^2

  // The truth.
  double rest;  // physical position when no motion runs, else where the motion started
  double zero;  // physical position at which the counter reads 0
  bool homed = false;
  bool enabled;
  bool stalled = false;
  bool stuck = false;  // a command accepted while stalled, never to end
  bool inhibit = false;  // the emergency stop's interlock: no home or move starts
  Motion motion;
  DWORD forced_set = 0;
  DWORD forced_clear = 0;

  // The library's side of the connection.
  bool open = false;
  bool closed = false;  // closed by ISC_Close, and not opened again since
  short open_fault = 0;
  bool info_fault = false;
  short channel_code = 0;
  int drop = 0;
  double extra_latency = 0;
  WORD leds = 0;
  std::int64_t absolute_target = 0;
  std::int64_t relative_distance = 0;
  MOT_HomingParameters homing;
  void (*callback)() = nullptr;
  int owed_callbacks = 0;
  std::deque<Message> queue;  // ordered by arrival
  Poll poll;

  Snapshot at(Time t) const {
    Snapshot s{rest, 0, zero, homed, 0, 0};
    bool active = false;
    int dir = 0;
    const MotionKind kind = motion.kind;
    if (kind != MotionKind::kNone) {
      if (t < motion.end) {
        const double dt = to_seconds(std::max(Duration{0}, t - motion.start));
        s.physical = motion.profile.position(dt);
        s.velocity = motion.profile.velocity(dt);
        active = true;
        dir = motion.profile.direction();
      } else {
        s.physical = motion.profile.end();
        if (kind == MotionKind::kHome) {
          s.zero = 0;
          s.homed = true;
        }
      }
    }
    s.counter = clamp_to_int(s.physical - s.zero);
    DWORD st = 0;
    if (enabled) st |= kEnabled;
    if (s.physical >= travel) st |= kForwardLimit;
    if (s.physical <= 0) st |= kReverseLimit;
    if (active) {
      st |= kCommandActive;
      st |= dir > 0 ? kMovingForward : dir < 0 ? kMovingReverse : 0;
      if (kind == MotionKind::kHome) st |= kHoming;
    }
    if (stuck) st |= kCommandActive;
    if (s.homed) st |= kHomed;
    if (inhibit) st |= kInterlock;
    s.status = (st & ~forced_clear) | forced_set;
    return s;
  }

  // Brings the readout to the latest poll tick. Called before every change, so that
  // every tick it samples lies after the last change and the present state held then.
  void sync_poll(Time now) {
    if (!poll.on || now < poll.start) return;
    const Time tick = poll.start + poll.interval * ((now - poll.start) / poll.interval);
    if (poll.sampled && tick <= poll.tick) return;
    const Snapshot s = at(tick);
    poll.sampled = true;
    poll.tick = tick;
    poll.position = s.counter;
    poll.status = s.status;
  }

  // Ends the present motion where it is now, as the new rest state. A motion cut short
  // takes its pending completion with it. Returns the state it stopped in.
  Snapshot rebase(Time now) {
    const Snapshot s = at(now);
    if (motion.kind != MotionKind::kNone && now < motion.end) {
      const std::uint64_t id = motion.id;
      std::erase_if(queue, [id](const Message& m) { return m.motion == id && !m.arrived; });
    }
    rest = s.physical;
    zero = s.zero;
    homed = s.homed;
    motion = Motion{};
    return s;
  }

  // When an answer to something that ends at `end` arrives: the bus latency after it.
  Time answer_at(Time end) const {
    return add_saturated(add_saturated(end, from_seconds(cfg.latency_s)), from_seconds(extra_latency));
  }

  void schedule(Message m) {
    auto it = std::upper_bound(queue.begin(), queue.end(), m.arrival,
                               [](Time t, const Message& q) { return t < q.arrival; });
    queue.insert(it, m);
  }

  // Lets every message whose time has come arrive: decides whether a completion is
  // dropped, and owes the callback one call per message that arrives.
  void settle(Time now) {
    for (auto it = queue.begin(); it != queue.end() && it->arrival <= now;) {
      if (it->arrived) {
        ++it;
        continue;
      }
      if (it->completion && drop != 0) {
        if (drop > 0) --drop;
        it = queue.erase(it);
        continue;
      }
      it->arrived = true;
      if (callback) ++owed_callbacks;
      ++it;
    }
  }

  int arrived_count() const {
    return static_cast<int>(std::count_if(queue.begin(), queue.end(),
                                          [](const Message& m) { return m.arrived; }));
  }

  void disconnect() {
    open = false;
    closed = true;
    poll = Poll{};
    queue.clear();
    callback = nullptr;
    owed_callbacks = 0;
  }
};

void validate(const StageConfig& c) {
  const bool ok = !c.serial.empty() && c.serial.size() < sizeof(TLI_DeviceInfo::serialNo) &&
                  c.units_per_mm > 0 && c.travel_mm > 0 && c.start_mm >= 0 &&
                  c.start_mm <= c.travel_mm && c.max_velocity > 0 && c.acceleration > 0 &&
                  c.home_velocity > 0 && c.latency_s >= 0 &&
                  c.travel_mm * c.units_per_mm < std::numeric_limits<int>::max();
  if (!ok) throw std::invalid_argument("stage simulator: bad configuration for '" + c.serial + "'");
}

// ---- the engine ---------------------------------------------------------------------

class Engine final : public Simulator::Impl {
 public:
  Engine(std::vector<StageConfig> configs, Clock& clock) : clock_(clock) {
    for (StageConfig& c : configs) {
      validate(c);
      if (find_any(c.serial.c_str())) throw std::invalid_argument("stage simulator: serial twice: " + c.serial);
      stages_.emplace_back(std::move(c));
    }
    // Enrolled here, so that the clock counts the bus as runnable from now on.
    Participant p = clock_.enroll();
    bus_ = std::thread([this, p = std::move(p)]() mutable {
      p.adopt("stage-bus");
      bus_main();
      p.retire();
    });
  }

  ~Engine() override {
    {
      std::lock_guard lk(clock_.mutex());
      stopping_ = true;
      clock_.notify_all(bus_channel_);
    }
    bus_.join();
  }

  // ---- library side

  short build_device_list() override {
    std::lock_guard lk(mu_);
    device_list_ = true;
    return kOk;
  }

  short device_info(const char* serial, TLI_DeviceInfo* info) override {
    std::lock_guard lk(mu_);
    Stage* st = find_any(serial);
    if (!info) return kErrBadParam;
    if (!device_list_ || !st || st->info_fault) return kErrNotFound;
    TLI_DeviceInfo d{};
    d.typeID = 45;
    std::strncpy(d.description, st->cfg.description.c_str(), sizeof(d.description) - 1);
    std::strncpy(d.serialNo, st->cfg.serial.c_str(), sizeof(d.serialNo) - 1);
    d.isKnownType = true;
    d.motorType = MOT_StepperMotor;
    d.maxChannels = 1;
    std::memcpy(info, &d, sizeof d);
    return kOk;
  }

  short open(const char* serial) override {
    std::lock_guard lk(mu_);
    Stage* st = find_any(serial);
    if (!st) return kErrNotFound;
    if (st->open_fault != 0) return st->open_fault;
    st->open = true;
    st->closed = false;
    return kOk;
  }

  void close(const char* serial) override {
    std::lock_guard lk(mu_);
    if (Stage* st = find_open(serial)) st->disconnect();
  }

  bool set_leds(const char* serial, WORD leds) override {
    std::lock_guard lk(mu_);
    Stage* st = find_open(serial);
    if (!st) return false;
    st->leds = leds;
    return true;
  }

  bool start_polling(const char* serial, int ms) override {
    std::lock_guard lk(mu_);
    Stage* st = find_open(serial);
    if (!st || ms <= 0) return false;
    const Time now = clock_.now();
    st->poll = Poll{true, now, from_millis(ms)};
    st->sync_poll(now);
    return true;
  }

  void stop_polling(const char* serial) override {
    std::lock_guard lk(mu_);
    Stage* st = find_open(serial);
    if (!st) return;
    st->sync_poll(clock_.now());
    st->poll.on = false;
  }

  void register_callback(const char* serial, void (*callback)()) override {
    std::lock_guard lk(mu_);
    Stage* st = find_open(serial);
    if (!st) return;
    st->callback = callback;
    if (!callback) st->owed_callbacks = 0;
  }

  int queue_size(const char* serial) override {
    std::lock_guard lk(mu_);
    Stage* st = settled_open(serial);
    return st ? st->arrived_count() : 0;
  }

  bool next_message(const char* serial, WORD* type, WORD* id, DWORD* data) override {
    std::lock_guard lk(mu_);
    Stage* st = settled_open(serial);
    if (!st || !type || !id || !data || st->queue.empty() || !st->queue.front().arrived) return false;
    const Message m = st->queue.front();
    st->queue.pop_front();
    *type = m.type;
    *id = m.id;
    *data = m.data;
    return true;
  }

  void clear_queue(const char* serial) override {
    std::lock_guard lk(mu_);
    if (Stage* st = settled_open(serial))
      std::erase_if(st->queue, [](const Message& m) { return m.arrived; });
  }

  short get_homing_params(const char* serial, MOT_HomingParameters* params) override {
    std::lock_guard lk(mu_);
    Stage* st = find_open(serial);
    if (!st) return kErrNotOpen;
    if (!params) return kErrBadParam;
    std::memcpy(params, &st->homing, sizeof st->homing);
    return kOk;
  }

  short set_homing_params(const char* serial, const MOT_HomingParameters* params) override {
    std::lock_guard lk(mu_);
    Stage* st = find_open(serial);
    if (!st) return kErrNotOpen;
    if (!params) return kErrBadParam;
    std::memcpy(&st->homing, params, sizeof st->homing);
    return kOk;
  }

  short home(const char* serial) override {
    return command(serial, [this](Stage& st, Time now) {
      st.rebase(now);
      st.homed = false;
      const double v = st.homing.velocity > 0 ? double(st.homing.velocity) : st.cfg.home_velocity * st.cfg.units_per_mm;
      start(st, now, MotionKind::kHome, Profile::trapezoid(st.rest, 0, v, st.accel));
    });
  }

  short set_move_absolute(const char* serial, int position) override {
    std::lock_guard lk(mu_);
    Stage* st = find_open(serial);
    if (!st) return kErrNotOpen;
    st->absolute_target = position;
    return kOk;
  }

  short move_absolute(const char* serial) override {
    return command(serial, [this](Stage& st, Time now) {
      st.rebase(now);
      move_to(st, now, st.zero + double(st.absolute_target));
    });
  }

  short set_move_relative(const char* serial, int distance) override {
    std::lock_guard lk(mu_);
    Stage* st = find_open(serial);
    if (!st) return kErrNotOpen;
    st->relative_distance = distance;
    return kOk;
  }

  short move_relative(const char* serial) override {
    return command(serial, [this](Stage& st, Time now) {
      const Snapshot s = st.rebase(now);
      move_to(st, now, st.zero + double(std::int64_t{s.counter} + st.relative_distance));
    });
  }

  short stop_profiled(const char* serial) override {
    std::lock_guard lk(mu_);
    Stage* st = find_open(serial);
    if (!st) return kErrNotOpen;
    const Time now = clock_.now();
    st->sync_poll(now);
    // A disabled or stalled stage has no motion to stop and gives no answer; but under
    // the emergency stop's interlock the library answers for it, so that a wait on it
    // ends now instead of at its time-out.
    if (!st->enabled || st->stalled) {
      if (st->inhibit) {
        st->schedule(Message{kMsgMotor, kMsgStopped, 0, st->answer_at(now), true, 0});
      }
      return kOk;
    }
    const Snapshot s = st->rebase(now);
    start(*st, now, MotionKind::kStop, Profile::stop(s.physical, s.velocity, st->accel));
    return kOk;
  }

  short set_inhibit(const char* serial, bool engaged) override {
    std::lock_guard lk(mu_);
    Stage* st = find_any(serial);
    if (!st) return kErrNotFound;
    if (refused_closed(*st)) return kErrNotOpen;
    st->sync_poll(clock_.now());
    st->inhibit = engaged;
    return kOk;
  }

  bool inhibited(const char* serial) override {
    std::lock_guard lk(mu_);
    Stage* st = find_any(serial);
    return st && !refused_closed(*st) && st->inhibit;
  }

  short enable_channel(const char* serial) override { return channel(serial, true); }
  short disable_channel(const char* serial) override { return channel(serial, false); }

  int position(const char* serial) override {
    std::lock_guard lk(mu_);
    Stage* st = find_open(serial);
    if (!st) return 0;
    st->sync_poll(clock_.now());
    return st->poll.position;
  }

  DWORD status_bits(const char* serial) override {
    std::lock_guard lk(mu_);
    Stage* st = find_open(serial);
    if (!st) return 0;
    st->sync_poll(clock_.now());
    return st->poll.status;
  }

  int number_positions(const char* serial) override {
    std::lock_guard lk(mu_);
    Stage* st = find_open(serial);
    return st ? static_cast<int>(st->travel) : 0;
  }

  short real_from_device(const char* serial, int device_unit, double* real_unit, int unit_type) override {
    std::lock_guard lk(mu_);
    Stage* st = find_open(serial);
    if (!st) return kErrNotOpen;
    if (!real_unit || !known_unit(unit_type)) return kErrBadParam;
    *real_unit = double(device_unit) / st->cfg.units_per_mm;
    return kOk;
  }

  short device_from_real(const char* serial, double real_unit, int* device_unit, int unit_type) override {
    std::lock_guard lk(mu_);
    Stage* st = find_open(serial);
    if (!st) return kErrNotOpen;
    if (!device_unit || !known_unit(unit_type)) return kErrBadParam;
    const double u = real_unit * st->cfg.units_per_mm;
    // Checked before converting: a double outside int's range has no int value.
    if (!std::isfinite(u) || !(u > double(std::numeric_limits<int>::min()) - 0.5) ||
        !(u < double(std::numeric_limits<int>::max()) + 0.5))
      return kErrBadParam;
    *device_unit = static_cast<int>(std::llround(u));
    return kOk;
  }

  void trace(std::string call) override {
    std::lock_guard lk(trace_mu_);
    TraceEntry entry{clock_.now(), thread_name(), std::move(call)};
    if (sink_) sink_(entry);
    if (trace_limit_ == 0) return;
    if (trace_.size() >= trace_limit_) trace_.pop_front();
    trace_.push_back(std::move(entry));
  }

  // ---- control side

  template <class F>
  void control(const std::string& serial, F&& f) {
    bool kick = false;
    {
      std::lock_guard lk(mu_);
      Stage* st = find_any(serial.c_str());
      if (!st) return;
      const Time now = clock_.now();
      st->sync_poll(now);
      kick = f(*st, now);
    }
    if (kick) kick_bus();
  }

  template <class F>
  auto observe(const std::string& serial, F&& f) const -> decltype(f(std::declval<const Stage&>(), Time{})) {
    std::lock_guard lk(mu_);
    const Stage* st = find_any(serial.c_str());
    if (!st) return {};
    return f(*st, clock_.now());
  }

  void inject(const std::string& serial, WORD type, WORD id, DWORD data) {
    control(serial, [&](Stage& st, Time now) {
      if (!st.open) return false;
      st.schedule(Message{type, id, data, now, false, 0});
      return true;
    });
  }

  void power_off(Stage& st, Time now) {
    st.rebase(now);
    st.stuck = false;
    st.enabled = false;
  }

  long long closed_calls() const {
    std::lock_guard lk(mu_);
    return closed_calls_;
  }

  std::vector<TraceEntry> trace_copy() const {
    std::lock_guard lk(trace_mu_);
    return {trace_.begin(), trace_.end()};
  }
  void set_trace_limit(std::size_t n) {
    std::lock_guard lk(trace_mu_);
    trace_limit_ = n;
    while (trace_.size() > trace_limit_) trace_.pop_front();
  }
  void clear_trace() {
    std::lock_guard lk(trace_mu_);
    trace_.clear();
  }
  void set_sink(std::function<void(const TraceEntry&)> sink) {
    std::lock_guard lk(trace_mu_);
    sink_ = std::move(sink);
  }

 private:
  static bool known_unit(int t) { return t == 0 || t == 1 || t == 2; }

  Stage* find_any(const char* serial) {
    if (!serial) return nullptr;
    for (Stage& s : stages_)
      if (s.cfg.serial == serial) return &s;
    return nullptr;
  }
  const Stage* find_any(const char* serial) const { return const_cast<Engine*>(this)->find_any(serial); }

  // The stage a call needs open; a call on a stage that was closed is refused like one
  // on a stage never opened, and counted.
  Stage* find_open(const char* serial) {
    Stage* st = find_any(serial);
    if (!st || refused_closed(*st)) return nullptr;
    return st->open ? st : nullptr;
  }

  bool refused_closed(const Stage& st) {
    if (!st.closed) return false;
    ++closed_calls_;
    return true;
  }

  Stage* settled_open(const char* serial) {
    Stage* st = find_open(serial);
    if (st) st->settle(clock_.now());
    return st;
  }

  // A home or move: refused when not open, sent but ignored while disabled, accepted
  // and forgotten while stalled, else run by `f`.
  template <class F>
  short command(const char* serial, F&& f) {
    {
      std::lock_guard lk(mu_);
      Stage* st = find_open(serial);
      if (!st) return kErrNotOpen;
      const Time now = clock_.now();
      st->sync_poll(now);
      if (st->inhibit) {
        // The interlock answers for the stage, whatever its state: a wait must end.
        st->schedule(Message{kMsgMotor, kMsgStopped, 0, st->answer_at(now), true, 0});
      } else if (!st->enabled) {
        return kOk;
      } else if (st->stalled) {
        st->stuck = true;
        return kOk;
      } else {
        f(*st, now);
      }
    }
    kick_bus();
    return kOk;
  }

  short channel(const char* serial, bool on) {
    std::lock_guard lk(mu_);
    Stage* st = find_open(serial);
    if (!st) return kErrNotOpen;
    if (st->channel_code != 0) return st->channel_code;
    const Time now = clock_.now();
    st->sync_poll(now);
    if (on) st->enabled = true;
    else power_off(*st, now);
    return kOk;
  }

  void move_to(Stage& st, Time now, double target) {
    start(st, now, MotionKind::kMove, Profile::trapezoid(st.rest, target, st.vmax, st.accel));
  }

  // Starts a motion from the rest state and queues its answer for the time the motion
  // ends plus the bus latency.
  void start(Stage& st, Time now, MotionKind kind, Profile profile) {
    const bool at_limit = profile.clip(0, st.travel);
    WORD answer = kMsgStopped;
    if (kind == MotionKind::kHome) answer = kMsgHomed;
    if (kind == MotionKind::kMove && !at_limit) answer = kMsgMoved;
    st.motion = Motion{kind, now, add_saturated(now, from_seconds(profile.duration())), std::move(profile), ++motion_ids_};
    st.schedule(Message{kMsgMotor, answer, 0, st.answer_at(st.motion.end), true, st.motion.id});
  }

  void kick_bus() {
    std::lock_guard lk(clock_.mutex());
    ++kicks_;
    clock_.notify_all(bus_channel_);
  }

  // Lets messages arrive at their time and calls the callbacks, with no simulator lock
  // held, then sleeps on the clock until the next arrival or a kick.
  void bus_main() {
    for (;;) {
      std::uint64_t seen;
      {
        std::lock_guard lk(clock_.mutex());
        if (stopping_) return;
        seen = kicks_;
      }
      std::vector<void (*)()> calls;
      Time next = kForever;
      {
        std::lock_guard lk(mu_);
        const Time now = clock_.now();
        for (Stage& st : stages_) {
          st.settle(now);
          for (; st.owed_callbacks > 0; --st.owed_callbacks) calls.push_back(st.callback);
          for (const Message& m : st.queue)
            if (!m.arrived) next = std::min(next, m.arrival);
        }
      }
      for (auto* f : calls) f();
      std::unique_lock lk(clock_.mutex());
      if (stopping_) return;
      if (kicks_ == seen) clock_.wait_until(lk, bus_channel_, next, "stage bus");
    }
  }

  Clock& clock_;
  mutable std::mutex mu_;  // guards the stages and device_list_
  std::vector<Stage> stages_;
  bool device_list_ = false;
  std::uint64_t motion_ids_ = 0;
  long long closed_calls_ = 0;

  mutable std::mutex trace_mu_;  // guards the trace and its sink; keeps entries in order
  std::deque<TraceEntry> trace_;
  std::size_t trace_limit_ = Simulator::kDefaultTraceLimit;
  std::function<void(const TraceEntry&)> sink_;

  // Guarded by the clock's mutex, which the bus waits under.
  WaitChannel bus_channel_;
  std::uint64_t kicks_ = 0;
  bool stopping_ = false;
  std::thread bus_;
};

// ---- Simulator ----------------------------------------------------------------------

Engine& engine(Simulator::Impl& i) { return static_cast<Engine&>(i); }
}  // namespace

std::vector<StageConfig> Simulator::default_stages() {
  std::vector<StageConfig> v(3);
  v[0].serial = "45388004";
  v[1].serial = "45387934";
  v[2].serial = "45388034";
  return v;
}

Simulator::Simulator() : Simulator(default_stages()) {}
Simulator::Simulator(std::vector<StageConfig> stages)
    : impl_(std::make_unique<Engine>(std::move(stages), vx::clock())) {}
Simulator::~Simulator() = default;

void Simulator::fail_open(const std::string& serial, short code) {
  engine(*impl_).control(serial, [code](Stage& st, Time) { st.open_fault = code; return false; });
}

void Simulator::fail_info(const std::string& serial) {
  engine(*impl_).control(serial, [](Stage& st, Time) { st.info_fault = true; return false; });
}

void Simulator::stall(const std::string& serial, bool on) {
  engine(*impl_).control(serial, [on](Stage& st, Time now) {
    if (on && !st.stalled) {
      // The motor stops where it is; the command it was running never ends.
      const bool running = st.motion.kind != MotionKind::kNone && now < st.motion.end;
      st.rebase(now);
      st.stuck = st.stuck || running;
    }
    if (!on) st.stuck = false;
    st.stalled = on;
    return false;
  });
}

void Simulator::inject_message(const std::string& serial, WORD type, WORD id, DWORD data) {
  engine(*impl_).inject(serial, type, id, data);
}

void Simulator::force_status(const std::string& serial, DWORD set, DWORD clear) {
  engine(*impl_).control(serial, [set, clear](Stage& st, Time) {
    if (set == 0 && clear == 0) {
      st.forced_set = st.forced_clear = 0;
    } else {
      st.forced_set = (st.forced_set & ~clear) | set;
      st.forced_clear = (st.forced_clear & ~set) | clear;
    }
    return false;
  });
}

void Simulator::drop_completions(const std::string& serial, int count) {
  engine(*impl_).control(serial, [count](Stage& st, Time) { st.drop = std::max(count, -1); return false; });
}

void Simulator::delay_completions(const std::string& serial, double seconds) {
  engine(*impl_).control(serial, [seconds](Stage& st, Time) {
    st.extra_latency = seconds > 0 ? seconds : 0;
    return false;
  });
}

void Simulator::channel_return(const std::string& serial, short code) {
  engine(*impl_).control(serial, [code](Stage& st, Time) { st.channel_code = code; return false; });
}

void Simulator::set_position(const std::string& serial, int units) {
  engine(*impl_).control(serial, [units](Stage& st, Time now) {
    st.rebase(now);
    st.rest = std::clamp(st.zero + double(units), 0.0, st.travel);
    return false;
  });
}

void Simulator::power_disable(const std::string& serial) {
  Engine& e = engine(*impl_);
  e.control(serial, [&e](Stage& st, Time now) { e.power_off(st, now); return false; });
}

bool Simulator::known(const std::string& serial) const {
  return engine(*impl_).observe(serial, [](const Stage&, Time) { return true; });
}

bool Simulator::is_open(const std::string& serial) const {
  return engine(*impl_).observe(serial, [](const Stage& st, Time) { return st.open; });
}

int Simulator::true_position(const std::string& serial) const {
  return engine(*impl_).observe(serial, [](const Stage& st, Time now) { return st.at(now).counter; });
}

motion::Stage Simulator::motion_state(const std::string& serial) const {
  return engine(*impl_).observe(serial, [](const Stage& st, Time now) {
    return motion::Stage{st.travel, st.vmax, st.accel, st.cfg.latency_s, st.extra_latency, st.at(now).zero,
                         st.at(now).physical, st.cfg.units_per_mm};
  });
}

DWORD Simulator::true_status(const std::string& serial) const {
  return engine(*impl_).observe(serial, [](const Stage& st, Time now) { return st.at(now).status; });
}

long long Simulator::closed_calls() const { return engine(*impl_).closed_calls(); }

std::vector<TraceEntry> Simulator::trace() const { return engine(*impl_).trace_copy(); }
void Simulator::clear_trace() { engine(*impl_).clear_trace(); }
void Simulator::set_trace_limit(std::size_t entries) { engine(*impl_).set_trace_limit(entries); }
void Simulator::set_trace_sink(std::function<void(const TraceEntry&)> sink) {
  engine(*impl_).set_sink(std::move(sink));
}

// ---- the simulator in force ---------------------------------------------------------

namespace {
std::atomic<Simulator*> g_current{nullptr};
}  // namespace

Simulator& current() {
  if (Simulator* s = g_current.load(std::memory_order_acquire)) return *s;
  static Simulator fallback;
  return fallback;
}

SimulatorScope::SimulatorScope(Simulator& s)
    : previous_(g_current.exchange(&s, std::memory_order_acq_rel)) {}
SimulatorScope::~SimulatorScope() { g_current.store(previous_, std::memory_order_release); }

}  // namespace vx::sim
