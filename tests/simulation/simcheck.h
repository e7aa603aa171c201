// The checker of the simulation test: reads the ordered output of one session run
// (the runner's trace of every stage-library call, the watched controls, the markers,
// the program's own lines) and checks, line by line, the invariants the program must
// keep whatever the operator does and whatever the stages do:
//   - the runner ends with "@ exit 0" (or the start-up failure's code) and status 0: no
//     crash, no deadlock, no failed expectation, no quit that does not end;
//   - the session ends with every stage stopped polling and closed, after the last
//     command, on the main thread, after a quit pressed while no scan ran (a quit that
//     meets a scan is ended as on a signal: the emergency stop, the scan's end, quit);
//     no library call follows, and the simulator counted none on a closed stage;
//   - at most one completion wait is in progress at any time (a wait runs from its
//     command's queue clear to the completion taken or the time-out line), and inside a
//     wait its thread only polls the queue, takes messages and reads the position;
//   - while PANEL_SCANNING reads 1 the main thread makes no library call at all;
//   - every target that reaches the library is an int equal to the truncated
//     mm * 409600 of what was typed (go-to) or computed (scan); every refused target has
//     no device units; jogs are +-409600;
//   - every time-out comes exactly 10 s (moves) or 180 s (homing) after its wait began,
//     on the wait's 250 ms poll grid, with the position and last message it reports;
//   - every scan visits exactly its grid in the program's order, with PANEL_MOVING
//     around each move, the refresh after each x point and the progress k/total*100;
//     it ends with its grid done (progress 100), or, after a stop, at the first test of
//     the abort flag; a start is refused (popup) exactly when a stage reads disabled, and
//     withheld while the emergency stop holds;
//   - every output line is whole and one of the program's or the runner's formats.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "tests/simulation/simgen.h"

namespace vx::simtest {

struct Report {
  bool ok = true;
  std::string failure;  // "what did not hold: detail"
  int line = 0;         // 1-based output line where it showed (0: at the end)
  // What the run did ("time-out of a move", "scan stopped", "fault disable during a
  // scan", ...): the observed half of the coverage figures.
  std::set<std::string> covered;
  long long virtual_ms = 0;  // the last time the output shows
};

// `status` is the runner's exit status (256 + the signal when one ended it), `out` its standard output as lines, `err` its
// standard error.
Report check(const Session& session, int status, const std::vector<std::string>& out, const std::string& err);

}  // namespace vx::simtest
