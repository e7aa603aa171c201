// The shutdown sequence over the run-time's operator side: commits, as the panel's own
// buttons make them, and a look at the Scanning lamp.
#include "platform/shutdown/shutdown.h"

#include "panel/Varnix_ui.h"
#include "platform/estop/estop.h"
#include "platform/observe/observe.h"
#include "platform/runtime/runtime.h"

namespace vx::shutdown {

void Shutdown::begin() {
  begun_ = true;
  quit_sent_ = false;
  estop::engage(&runtime_);
  stop_sent_ = scanning();  // the emergency stop has asked it to stop
}

bool Shutdown::scanning() const { return observe::scanning(runtime_); }

Shutdown::Sent Shutdown::step() {
  const int panel = runtime_.main_panel();
  if (!begun_ || !panel) return Sent::Nothing;
  if (scanning()) {
    quit_sent_ = false;  // a quit taken during the scan was dropped
    if (stop_sent_) return Sent::Nothing;
    runtime_.commit(panel, PANEL_STOPSCAN);
    stop_sent_ = true;
    return Sent::StopScan;
  }
  stop_sent_ = false;
  if (quit_sent_) return Sent::Nothing;
  runtime_.commit(panel, PANEL_QUIT);
  quit_sent_ = true;
  return Sent::Quit;
}

}  // namespace vx::shutdown
