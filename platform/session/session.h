// The session runner: runs the real program (its entry point, driver, run-time and the
// simulated stages) headless, on the virtual clock unless asked for real time, and plays
// an operator script against it, then serves remote clients if asked to (each client's
// statement runs as a script line; on virtual time the clock moves only while a
// client's `wait` or `until` plays). The program's standard output passes unchanged; the
// runner's own lines begin with "@ ".
#pragma once

#include <string>
#include <vector>

#include "platform/control/control.h"
#include "platform/session/script.h"

namespace vx::session {

struct Options {
  bool realtime = false;
  bool trace = false;
  // SIGINT, SIGTERM and SIGHUP end the script and the program through its quit path;
  // SIGPIPE is ignored. For the runner's process only: it takes the handlers over.
  bool answer_signals = false;
  std::string record_dir;  // keep a record of every scan there (empty: none)
  // Serve remote clients there once the script has played (docs/control-protocol.md):
  // each statement a client sends runs as a script line would. Empty: no socket.
  std::vector<control::Address> listen;
  std::string token;  // clients send `auth TOKEN` first (empty: none needed)
};

// Runs a parsed script, then serves remote clients when `listen` names addresses, until
// a client quits, the program ends or a signal comes. Returns the runner's exit status: 0 when the program returned 0
// and every expectation held (also when a signal ended the session), 1 on a failed
// expectation or a program that never came to rest, else the program's own code.
int run(const Script& script, const Options& options);

// Checks the script's control names against the panel file the program will load, when
// it can be read. Returns false with "FILE:LINE: message" in `error`.
bool check_controls(const Script& script, std::string& error);

}  // namespace vx::session
