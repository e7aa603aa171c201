// The real clock and the simulated stages in force for a windowed process (the program
// and the latency benchmark), made before the WindowedProgram that uses them. Built
// against another stage library, the process has only the clock: the stages are that
// library's.
#pragma once

#include "platform/clock/clock.h"
#if VARNIX_SIMULATED_STAGES
#include "platform/stagesim/simulator.h"
#endif
#include "platform/window/window_host.h"

namespace vx::win {

struct RealStages {
  RealStages();

  RealClock clock;
  ClockScope clock_scope{clock};
#if VARNIX_SIMULATED_STAGES
  sim::Simulator simulator;
  sim::SimulatorScope simulator_scope{simulator};
#endif
};

}  // namespace vx::win
