// How the process meets the signals of its surroundings. Standard output that goes away
// (a closed pipe) must never end the program with its stages open: SIGPIPE is ignored,
// so that a write to a closed pipe fails like a write to a full disk, and the program
// carries on to its own way out. So is SIGXFSZ, for a file (a scan record) that grows
// past the process's file-size limit: the write fails, and the writer says so. SIGINT, SIGTERM and SIGHUP ask the program to end:
// ShutdownSignals turns each into a byte on a pipe, which the host (the window's event
// loop, the session runner's watcher thread) reads outside the handler and answers
// through the program's quit path (platform/shutdown).
#pragma once

#include <csignal>

namespace vx::sig {

// The signals that ask the program to end, each answered the same way.
inline constexpr int kShutdown[] = {SIGINT, SIGTERM, SIGHUP};

// "SIGINT", "SIGTERM", "SIGHUP", else "signal N".
const char* name(int signal);

// Ignores SIGPIPE and SIGXFSZ for the whole process (and the programs it starts).
void ignore_lost_output();

// Catches the shutdown signals while it lives (one at a time in a process); also
// ignores SIGPIPE. Destruction puts the previous handlers back.
class ShutdownSignals {
 public:
  ShutdownSignals();
  ~ShutdownSignals();
  ShutdownSignals(const ShutdownSignals&) = delete;
  ShutdownSignals& operator=(const ShutdownSignals&) = delete;

  // The pipe's read end (non-blocking); readable when a signal came. -1 when the pipe
  // could not be made, and no handler was installed.
  int fd() const { return fds_[0]; }
  // The signals that came since the last call, one per call; 0 when none is waiting.
  int take();
  // Blocks until a signal comes or interrupt() is called; returns the signal, or 0
  // for the interrupt.
  int wait();
  // Wakes wait(), from any thread.
  void interrupt();

 private:
  int fds_[2] = {-1, -1};
  struct sigaction old_[3] {};
};

}  // namespace vx::sig
