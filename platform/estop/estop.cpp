// The emergency stop: the stage library's motion inhibit and a stop for each stage of
// the axis table, from whichever thread engages it.
#include "platform/estop/estop.h"

#include <atomic>
#include <string>

#include "driver/axs.h"
#include "panel/Varnix_ui.h"
#include "platform/clock/clock.h"
#include "platform/runtime/runtime.h"
#include "platform/stagelib/stage_library.h"

namespace vx::estop {

namespace {

std::atomic<bool> g_engaged{false};

// The calls show in traces as the emergency stop's, whatever thread makes them.
class AsEstop {
 public:
  AsEstop() : saved_(thread_name()) { set_thread_name("estop"); }
  ~AsEstop() { set_thread_name(saved_); }
  AsEstop(const AsEstop&) = delete;
  AsEstop& operator=(const AsEstop&) = delete;

 private:
  std::string saved_;
};

}  // namespace

void engage(rt::Runtime* runtime) {
  g_engaged.store(true, std::memory_order_release);
  {
    AsEstop as;
    // Every stage is inhibited before any is stopped: a wait that a stop ends must
    // find its next move refused, not started.
    for (int axis = 0; axis < 3; axis++) SL_SetMotionInhibit(serialNumbers[axis], 1);
    for (int axis = 0; axis < 3; axis++) ISC_StopProfiled(serialNumbers[axis]);
  }
  if (!runtime) return;
  const int panel = runtime->main_panel();
  if (!panel) return;
  const auto scanning = runtime->value(panel, PANEL_SCANNING);
  if (scanning && scanning->number() != 0) runtime->commit(panel, PANEL_STOPSCAN);
}

void release() {
  AsEstop as;
  for (int axis = 0; axis < 3; axis++) SL_SetMotionInhibit(serialNumbers[axis], 0);
  g_engaged.store(false, std::memory_order_release);
}

bool engaged() { return g_engaged.load(std::memory_order_acquire); }

}  // namespace vx::estop
