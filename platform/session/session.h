// The session runner: runs the real program (its entry point, driver, run-time and the
// simulated stages) headless, on the virtual clock unless asked for real time, and plays
// an operator script against it. The program's standard output passes unchanged; the
// runner's own lines begin with "@ ".
#pragma once

#include <memory>
#include <string>

#include "platform/detector/detector.h"
#include "platform/session/script.h"

namespace vx::session {

struct Options {
  bool realtime = false;
  bool trace = false;
  // SIGINT, SIGTERM and SIGHUP end the script and the program through its quit path;
  // SIGPIPE is ignored. For the runner's process only: it takes the handlers over.
  bool answer_signals = false;
  std::string record_dir;  // keep a record of every scan there (empty: none)
  std::shared_ptr<detector::Detector> detector;  // what scans read (none: nothing)
};

// Runs a parsed script. Returns the runner's exit status: 0 when the program returned 0
// and every expectation held (also when a signal ended the session), 1 on a failed
// expectation or a program that never came to rest, else the program's own code.
int run(const Script& script, const Options& options);

// Checks the script's control names against the panel file the program will load, when
// it can be read. Returns false with "FILE:LINE: message" in `error`.
bool check_controls(const Script& script, std::string& error);

}  // namespace vx::session
