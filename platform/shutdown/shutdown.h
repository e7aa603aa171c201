// Ending the program from outside (a shutdown signal, the window closed) through the
// program's own way out, so that the program itself closes the stages. The emergency
// stop comes first: it cuts short a wait in progress (a homing would otherwise hold the
// quit command back for up to 180 s) and asks a running scan to stop. Once no scan runs
// the quit command is sent; a quit that the program dropped, because a scan it had just
// taken started before the quit was served, is sent again after that scan is stopped.
// The host dismisses any popup the program waits on before it begins.
//
// Both hosts drive it the same way: begin(), then step() on each poll (a tenth of a
// second is plenty) until the program has returned.
#pragma once

namespace vx::rt {
class Runtime;
}

namespace vx::shutdown {

class Shutdown {
 public:
  explicit Shutdown(rt::Runtime& runtime) : runtime_(runtime) {}

  // What a step did.
  enum class Sent { Nothing, StopScan, Quit };

  // Engages the emergency stop and starts the sequence (again).
  void begin();
  bool begun() const { return begun_; }
  // One look at the panel: asks a running scan to stop, or sends the quit command;
  // nothing when that was done already.
  Sent step();

 private:
  bool scanning() const;

  rt::Runtime& runtime_;
  bool begun_ = false;
  bool stop_sent_ = false;
  bool quit_sent_ = false;
};

}  // namespace vx::shutdown
