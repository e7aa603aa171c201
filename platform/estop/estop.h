// The emergency stop ("Stop all"), which lives outside the program: the window's thread
// or the session script's engages it directly, never through the program's event queue,
// which may be blocked in a wait. Engaging it inhibits motion on the three stages of the
// axis table and sends each a profiled stop through the stage library, at once; while it
// is engaged every home and move is refused by the stages and answered with the stopped
// message, so that no wait hangs and a go-to-all or a scan moves nothing more. It also
// asks a running scan to stop. Release lifts the inhibit; nothing moves by itself then.
//
// The stage-library calls it makes are traced under the thread name "estop".
#pragma once

namespace vx::rt {
class Runtime;
}

namespace vx::estop {

// Callable from any thread. `runtime`, when given, is the program's run-time: a scan
// it runs is asked to stop as the operator's Stop scan does.
void engage(rt::Runtime* runtime = nullptr);
void release();
// Whether it is engaged now (as this process last set it).
bool engaged();

}  // namespace vx::estop
