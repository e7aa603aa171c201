// The windowed process's clock and stages.
#include "platform/window/program.h"

namespace vx::win {

RealStages::RealStages() {
#if VARNIX_SIMULATED_STAGES
  // Nobody reads the trace here, and the program may run for days.
  simulator.set_trace_limit(0);
#endif
}

}  // namespace vx::win
