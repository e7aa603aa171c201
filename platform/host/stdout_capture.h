// Inside the host: it takes over the process's standard output (file descriptor 1) so
// that observers get its lines: every byte still reaches the original standard output,
// and each whole line is also handed to a sink. The process's fd 1 becomes the write end
// of a pipe; a reader thread copies what arrives. Destruction gives fd 1 back and
// delivers a last partial line.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace vx::host {

class StdoutCapture {
 public:
  // Called with each line (without its newline) on the reader thread, or on the thread
  // of drain(); never twice at once, and in the order the bytes were written.
  using LineSink = std::function<void(std::string line)>;

  explicit StdoutCapture(LineSink sink);
  ~StdoutCapture();
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  // False when the pipe could not be made; standard output is then left alone.
  bool active() const { return read_fd_ >= 0; }

  // Delivers every byte written to standard output before the call. A test's way to
  // see the console in step with the program without waiting for the reader thread.
  void drain();

 private:
  void reader_main();
  // Reads what the pipe holds, under mu_. Returns false at the end of the stream.
  bool pump_locked();
  void forward_locked(const char* data, std::size_t n);

  LineSink sink_;
  int original_fd_ = -1;  // the standard output we were given
  bool original_open_ = true;  // under mu_: false once a write to it failed
  int read_fd_ = -1;
  std::mutex mu_;         // the pipe's read end and partial_
  std::string partial_;
  std::thread reader_;
};

}  // namespace vx::host
