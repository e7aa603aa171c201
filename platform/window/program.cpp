// The program's thread: the process entry's call of the program, off the GUI thread.
#include "platform/window/program.h"

#include "platform/entry/entry.h"

namespace vx::win {

RealStages::RealStages() {
#if VARNIX_SIMULATED_STAGES
  // Nobody reads the trace here, and the program may run for days.
  simulator.set_trace_limit(0);
#endif
}

ProgramThread::ProgramThread(Clock& clock, QObject* parent) : QObject(parent), clock_(clock) {}

ProgramThread::~ProgramThread() {
  if (thread_.joinable()) thread_.join();
}

void ProgramThread::start() {
  if (thread_.joinable()) return;
  // Enrolled here, so that the program counts as running from the moment it exists.
  Participant token = clock_.enroll();
  thread_ = std::thread([this, token = std::move(token)]() mutable {
    token.adopt("main");
    const int code = run_program_entry();
    code_.store(code, std::memory_order_release);
    ended_.store(true, std::memory_order_release);
    QMetaObject::invokeMethod(this, [this, code] { emit ended(code); }, Qt::QueuedConnection);
    token.retire();
  });
}

WindowedProgram::WindowedProgram(Clock& clock, WindowOptions options)
    : host_(clock, options), runtime_(&host_), scope_(runtime_), thread_(clock) {
  host_.attach(runtime_);
  QObject::connect(&thread_, &ProgramThread::ended, &host_, &WindowHost::program_finished);
}

}  // namespace vx::win
