// The emergency stop ("Stop all"), which lives outside the program: the window's thread
// or the session script's engages it directly, never through the program's event queue,
// which may be blocked in a wait. Engaging it inhibits motion on the three stages of the
// axis table and sends each a profiled stop through the stage library, at once; while it
// is engaged every home and move is refused by the stages and answered with the stopped
// message, so that no wait hangs and a go-to-all or a scan moves nothing more. It also
// asks a running scan to stop, and no scan starts while it holds: a scan would run its
// whole grid of refused moves and call itself complete. Release lifts the inhibit;
// nothing moves by itself then.
//
// The stage-library calls it makes are traced under the thread name "estop".
#pragma once

#include <optional>
#include <string>

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

// Why the program may not be handed the command `control` of its main panel now, or
// nothing: while the emergency stop is engaged, Start scan is refused.
std::optional<std::string> refusal(int control);
// Makes refusal() the run-time's event guard for the main panel, so that a Start scan
// is withheld from the program while the stop holds, whichever front end committed it
// and whenever the program takes it (one queued behind a homing, say); the host's
// Host::refused says why. Every host calls it once, before the program runs.
void guard(rt::Runtime& runtime);

}  // namespace vx::estop
