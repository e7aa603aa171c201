// The simulator behind our stage library: three integrated stepper stages (by default
// the three serial numbers of the axis table), each a pure function of the clock's time:
// a trapezoidal motion profile, a homing towards the reverse limit, an enabled channel,
// poll-tick readouts and a timed message queue. A small bus thread calls the registered
// message callbacks at the time each message arrives.
//
// The control interface below serves tests and the session runner: it injects faults,
// forces status bits and messages, and keeps a trace of every library call.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock/clock.h"
#include "platform/motion/motion.h"
#include "platform/stagelib/stage_library.h"

namespace vx::sim {

// The status bits, message types and ids and error codes are what every stage library
// reports (platform/stagelib); the simulated stages report them by those names.
using namespace ::vx::sl;

struct StageConfig {
  std::string serial;
  std::string description = "Integrated stepper stage (simulated)";
  // The nominal stage's profile (platform/motion), unless a test makes another.
  int units_per_mm = motion::kNominal.units_per_mm;
  double travel_mm = motion::kNominal.travel_mm;
  double start_mm = motion::kNominal.start_mm;
  double max_velocity = motion::kNominal.max_velocity;
  double acceleration = motion::kNominal.acceleration;
  double home_velocity = motion::kNominal.home_velocity;
  double latency_s = motion::kNominal.latency_s;
  bool enabled = true;           // channel state at power-up
};

// One library call: when, from which thread, and what ("ISC_Home(45388004) = 0").
struct TraceEntry {
  Time time;
  std::string thread;
  std::string call;
};

class Simulator {
 public:
  // The three stages of the axis table ("45388004", "45387934", "45388034").
  static std::vector<StageConfig> default_stages();

  // Uses the clock in force when it is constructed.
  Simulator();
  explicit Simulator(std::vector<StageConfig> stages);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // ---- faults (each acts at once; those set before a stage opens shape its opening)
  void fail_open(const std::string& serial, short code);      // ISC_Open returns code
  void fail_info(const std::string& serial);                   // TLI_GetDeviceInfo fails
  void stall(const std::string& serial, bool on = true);      // accepts commands, never moves or completes
  void inject_message(const std::string& serial, WORD type, WORD id, DWORD data = 0);
  // Over the modelled bits, until changed; (0, 0) hands every bit back to the model.
  void force_status(const std::string& serial, DWORD set, DWORD clear = 0);
  void drop_completions(const std::string& serial, int count);  // the next count are lost; -1: all
  void delay_completions(const std::string& serial, double seconds);  // added latency
  void channel_return(const std::string& serial, short code);  // Enable/DisableChannel return code;
                                                                // non-zero: the call does nothing
  void set_position(const std::string& serial, int units);     // the stage is there at once
  void power_disable(const std::string& serial);               // the channel drops out, as by hand

  // ---- observation (the truth, not what the last poll saw)
  bool known(const std::string& serial) const;
  bool is_open(const std::string& serial) const;
  int true_position(const std::string& serial) const;
  DWORD true_status(const std::string& serial) const;
  // Its motion parameters and where it is now, for planning moves.
  motion::Stage motion_state(const std::string& serial) const;
  // The library calls that named a stage after ISC_Close had closed it (until it is
  // opened again), ISC_Open and TLI_GetDeviceInfo aside: each was refused as on a
  // stage never opened. A program must make none.
  long long closed_calls() const;

  // The newest entries, at most the trace limit (by default kDefaultTraceLimit; 0 keeps
  // none, the sink still sees every call): a long-running program must not grow.
  static constexpr std::size_t kDefaultTraceLimit = 100000;
  std::vector<TraceEntry> trace() const;
  void clear_trace();
  void set_trace_limit(std::size_t entries);
  // Called for every traced call, in the caller's thread, as it happens, under the
  // trace's lock (which keeps the order): the sink must not call the library.
  void set_trace_sink(std::function<void(const TraceEntry&)> sink);

  // The library functions' side; not for tests.
  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

// The library functions' side of a simulator: one member per call of stage_library.h,
// taking the same arguments (a null serial is an unknown one). stage_library.cpp
// forwards to it and records the trace; simulator.cpp implements it. An interface, so
// that the model's state stays out of this header.
struct Simulator::Impl {
  virtual ~Impl() = default;

  virtual short build_device_list() = 0;
  virtual short device_info(const char* serial, TLI_DeviceInfo* info) = 0;
  virtual short open(const char* serial) = 0;
  virtual void close(const char* serial) = 0;
  virtual bool set_leds(const char* serial, WORD leds) = 0;
  virtual bool start_polling(const char* serial, int milliseconds) = 0;
  virtual void stop_polling(const char* serial) = 0;
  virtual void register_callback(const char* serial, void (*callback)()) = 0;

  virtual int queue_size(const char* serial) = 0;
  virtual bool next_message(const char* serial, WORD* type, WORD* id, DWORD* data) = 0;
  virtual void clear_queue(const char* serial) = 0;

  virtual short get_homing_params(const char* serial, MOT_HomingParameters* params) = 0;
  virtual short set_homing_params(const char* serial, const MOT_HomingParameters* params) = 0;
  virtual short home(const char* serial) = 0;
  virtual short set_move_absolute(const char* serial, int position) = 0;
  virtual short move_absolute(const char* serial) = 0;
  virtual short set_move_relative(const char* serial, int distance) = 0;
  virtual short move_relative(const char* serial) = 0;
  virtual short stop_profiled(const char* serial) = 0;
  virtual short enable_channel(const char* serial) = 0;
  virtual short disable_channel(const char* serial) = 0;

  virtual short set_inhibit(const char* serial, bool engaged) = 0;
  virtual bool inhibited(const char* serial) = 0;

  virtual int position(const char* serial) = 0;
  virtual DWORD status_bits(const char* serial) = 0;
  virtual int number_positions(const char* serial) = 0;
  virtual short real_from_device(const char* serial, int device_unit, double* real_unit,
                                 int unit_type) = 0;
  virtual short device_from_real(const char* serial, double real_unit, int* device_unit,
                                 int unit_type) = 0;

  // Appends one entry (time and thread taken now) and hands it to the sink.
  virtual void trace(std::string call) = 0;
};

// The simulator the library functions use: the innermost installed one, else a
// process-wide default made on first use.
Simulator& current();

class SimulatorScope {
 public:
  explicit SimulatorScope(Simulator& s);
  ~SimulatorScope();
  SimulatorScope(const SimulatorScope&) = delete;
  SimulatorScope& operator=(const SimulatorScope&) = delete;

 private:
  Simulator* previous_;
};

}  // namespace vx::sim
