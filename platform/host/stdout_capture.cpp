// The pipe under standard output. The reader and drain() both empty the pipe under one
// mutex with non-blocking reads, so a drain() sees every byte written before it, and no
// byte is ever held outside the lock where a drain() could miss it.
#include "platform/host/stdout_capture.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

namespace vx::host {

namespace {

// Bytes the original output cannot take (a full disk) are dropped: the console still
// gets every line. False when it has gone for good: a pipe without a reader (EPIPE,
// SIGPIPE being ignored), to which nothing more is sent.
bool write_all(int fd, const char* data, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, data, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return errno != EPIPE;
    }
    data += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

}  // namespace

StdoutCapture::StdoutCapture(LineSink sink) : sink_(std::move(sink)) {
  std::fflush(stdout);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  original_fd_ = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (original_fd_ < 0 || ::dup2(fds[1], STDOUT_FILENO) < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    if (original_fd_ >= 0) ::close(original_fd_);
    original_fd_ = -1;
    return;
  }
  ::close(fds[1]);  // fd 1 is now the only write end: its closing ends the stream
  read_fd_ = fds[0];
  ::fcntl(read_fd_, F_SETFL, ::fcntl(read_fd_, F_GETFL) | O_NONBLOCK);
  // On a pipe the C library would hold lines back until its buffer fills.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  reader_ = std::thread([this] { reader_main(); });
}

StdoutCapture::~StdoutCapture() {
  if (!active()) return;
  std::fflush(stdout);
  ::dup2(original_fd_, STDOUT_FILENO);  // closes the pipe's write end
  reader_.join();
  std::lock_guard lk(mu_);
  if (!partial_.empty()) sink_(std::exchange(partial_, {}));
  ::close(read_fd_);
  ::close(original_fd_);
}

void StdoutCapture::drain() {
  if (!active()) return;
  std::fflush(stdout);
  std::lock_guard lk(mu_);
  pump_locked();
}

void StdoutCapture::reader_main() {
  for (;;) {
    pollfd p{read_fd_, POLLIN, 0};
    if (::poll(&p, 1, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    std::lock_guard lk(mu_);
    if (!pump_locked()) return;
  }
}

bool StdoutCapture::pump_locked() {
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(read_fd_, buf, sizeof buf);
    if (n > 0) {
      forward_locked(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK;
  }
}

void StdoutCapture::forward_locked(const char* data, std::size_t n) {
  if (original_open_ && !write_all(original_fd_, data, n)) original_open_ = false;
  partial_.append(data, n);
  std::size_t start = 0;
  for (std::size_t nl; (nl = partial_.find('\n', start)) != std::string::npos; start = nl + 1)
    sink_(partial_.substr(start, nl - start));
  partial_.erase(0, start);
}

}  // namespace vx::host
