// The emergency stop: the stage library's motion inhibit and a stop for each stage of
// the axis table, from whichever thread engages it.
#include "platform/estop/estop.h"

#include <atomic>

#include "driver/axs.h"
#include "panel/Varnix_ui.h"
#include "platform/clock/clock.h"
#include "platform/observe/observe.h"
#include "platform/runtime/runtime.h"
#include "platform/stagelib/stage_library.h"

namespace vx::estop {

namespace {

std::atomic<bool> g_engaged{false};

}  // namespace

void engage(rt::Runtime* runtime) {
  g_engaged.store(true, std::memory_order_release);
  {
    const ThreadNameScope as("estop");  // whatever thread engages it
    // Every stage is inhibited before any is stopped: a wait that a stop ends must
    // find its next move refused, not started.
    for (int axis = 0; axis < 3; axis++) SL_SetMotionInhibit(serialNumbers[axis], 1);
    for (int axis = 0; axis < 3; axis++) ISC_StopProfiled(serialNumbers[axis]);
  }
  if (runtime && observe::scanning(*runtime)) runtime->commit(runtime->main_panel(), PANEL_STOPSCAN);
}

void release() {
  const ThreadNameScope as("estop");
  for (int axis = 0; axis < 3; axis++) SL_SetMotionInhibit(serialNumbers[axis], 0);
  g_engaged.store(false, std::memory_order_release);
}

bool engaged() { return g_engaged.load(std::memory_order_acquire); }

std::optional<std::string> refusal(int control) {
  if (control == PANEL_STARTSCAN && engaged())
    return "Start scan refused: the emergency stop holds the stages (Release first)";
  return std::nullopt;
}

void guard(rt::Runtime& runtime) {
  runtime.set_event_guard([&runtime](int panel, int control) -> std::optional<std::string> {
    if (panel != runtime.main_panel()) return std::nullopt;
    return refusal(control);
  });
}

}  // namespace vx::estop
