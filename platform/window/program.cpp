// The program's thread. The run-time binds the panel's callbacks by name in the
// executable, so the instance handle is the executable's own symbol table.
#include "platform/window/program.h"

#include <dlfcn.h>

#include <cstdio>

#include "platform/entry/os.h"

namespace vx::win {

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
    void* instance = dlopen(nullptr, RTLD_NOW);
    char cmdline[] = "";
    const int code = WinMain(instance, nullptr, cmdline, 1);
    std::fflush(stdout);
    if (instance) dlclose(instance);
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
