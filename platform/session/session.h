// The session runner: runs the real program (its entry point, driver, run-time and the
// simulated stages) headless, on the virtual clock unless asked for real time, and plays
// an operator script against it, then serves remote clients if asked to (each client's
// statement runs as a script line; on virtual time the clock moves only while a
// client's `wait` or `until` plays). The program's standard output passes unchanged; the
// runner's own lines begin with "@ ". The same statement engine serves remote clients
// against a program another front end runs (Remote: the window).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/detector/detector.h"
#include "platform/control/control.h"
#include "platform/session/script.h"

namespace vx {
class Clock;
namespace host {
class Host;
}
}  // namespace vx

namespace vx::session {

class Session;

struct Options {
  bool realtime = false;
  bool trace = false;
  // SIGINT, SIGTERM and SIGHUP end the script and the program through its quit path;
  // SIGPIPE is ignored. For the runner's process only: it takes the handlers over.
  bool answer_signals = false;
  std::string record_dir;  // keep a record of every scan there (empty: none)
  std::shared_ptr<detector::Detector> detector;  // what scans read (none: nothing)
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

// Serves remote clients against a program another front end runs (the window): each
// statement a client sends plays as it plays in varnix-session, on a thread of the
// server's own, against `host` on `clock` (the real clock: `wait` and `until` take their
// time). Made and subscribed before the host starts; stop() before the host goes; it
// outlives the host, which tells it until its end.
class Remote {
 public:
  struct Options {
    std::vector<control::Address> listen;
    std::string token;               // clients send `auth TOKEN` first (empty: none needed)
    std::string program = "varnix";  // names the program in lines on standard error
    // The clients or who holds control changed (on the server's I/O thread).
    std::function<void()> clients_changed;
  };
  Remote(host::Host& host, Clock& clock, Options options);
  ~Remote();
  Remote(const Remote&) = delete;
  Remote& operator=(const Remote&) = delete;

  // Listens and serves. False with the reason ("tcp:127.0.0.1:5025: address in use").
  bool start(std::string& error);
  std::vector<std::string> bound() const;
  // The control rules and the clients, for the window's display and switch.
  control::Server& server();
  // Closes every client and ends the serving thread; a statement playing ends first.
  void stop();

 private:
  std::unique_ptr<Session> session_;
};

// Checks the script's control names against the panel file the program will load, when
// it can be read. Returns false with "FILE:LINE: message" in `error`.
bool check_controls(const Script& script, std::string& error);

}  // namespace vx::session
