// The program on a window. ProgramThread runs the program's entry point on a thread of
// its own, enrolled with the clock as "main", so that the GUI thread never waits for
// it; it tells the GUI thread when the entry point returns. WindowedProgram puts the
// host, the run-time and that thread together in the order they depend on each other.
#pragma once

#include <QObject>
#include <atomic>
#include <thread>

#include "platform/clock/clock.h"
#include "platform/runtime/runtime.h"
#if VARNIX_SIMULATED_STAGES
#include "platform/stagesim/simulator.h"
#endif
#include "platform/window/window_host.h"

namespace vx::win {

class ProgramThread final : public QObject {
  Q_OBJECT

 public:
  explicit ProgramThread(Clock& clock, QObject* parent = nullptr);
  // Joins the thread: the program must have returned (or never started).
  ~ProgramThread() override;

  void start();
  bool has_ended() const { return ended_.load(std::memory_order_acquire); }
  int exit_code() const { return code_.load(std::memory_order_acquire); }

 signals:
  // On the GUI thread, once the entry point has returned.
  void ended(int code);

 private:
  Clock& clock_;
  std::thread thread_;
  std::atomic<bool> ended_{false};
  std::atomic<int> code_{0};
};

// The real clock and the simulated stages in force for a windowed process (the program
// and the latency benchmark); declared before the WindowedProgram that uses them. Built
// against another stage library, the process has only the clock: the stages are that
// library's.
struct RealStages {
  RealStages();

  RealClock clock;
  ClockScope clock_scope{clock};
#if VARNIX_SIMULATED_STAGES
  sim::Simulator simulator;
  sim::SimulatorScope simulator_scope{simulator};
#endif
};

// Uses the clock in force (ClockScope) and the simulator in force when constructed;
// installs its run-time for its lifetime.
class WindowedProgram {
 public:
  explicit WindowedProgram(Clock& clock, WindowOptions options = {});
  // Ends the live view's reader, joins the program, then ends the run-time.
  ~WindowedProgram() { host_.stop_live(); }
  WindowedProgram(const WindowedProgram&) = delete;
  WindowedProgram& operator=(const WindowedProgram&) = delete;

  void start() { thread_.start(); }
  WindowHost& host() { return host_; }
  rt::Runtime& runtime() { return runtime_; }
  ProgramThread& thread() { return thread_; }

 private:
  WindowHost host_;
  rt::Runtime runtime_;
  rt::RuntimeScope scope_;
  ProgramThread thread_;
};

}  // namespace vx::win
