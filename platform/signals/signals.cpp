// The self-pipe of the shutdown signals. The handler writes the signal's number as one
// byte, all a handler may safely do; readers take the bytes one at a time.
#include "platform/signals/signals.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace vx::sig {

namespace {

std::atomic<int> g_write_fd{-1};

void on_signal(int sig) {
  const int saved = errno;
  const int fd = g_write_fd.load(std::memory_order_relaxed);
  if (fd >= 0) {
    const unsigned char b = static_cast<unsigned char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(fd, &b, 1);
  }
  errno = saved;
}

}  // namespace

const char* name(int signal) {
  switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "signal";
  }
}

void ignore_lost_output() {
  struct sigaction sa {};
  sa.sa_handler = SIG_IGN;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGPIPE, &sa, nullptr);
  sigaction(SIGXFSZ, &sa, nullptr);
}

ShutdownSignals::ShutdownSignals() {
  ignore_lost_output();
  if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
    fds_[0] = fds_[1] = -1;
    return;
  }
  g_write_fd.store(fds_[1]);
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int k = 0; k < 3; k++) sigaction(kShutdown[k], &sa, &old_[k]);
}

ShutdownSignals::~ShutdownSignals() {
  if (fds_[0] < 0) return;
  for (int k = 0; k < 3; k++) sigaction(kShutdown[k], &old_[k], nullptr);
  g_write_fd.store(-1);
  ::close(fds_[0]);
  ::close(fds_[1]);
}

int ShutdownSignals::take() {
  if (fds_[0] < 0) return 0;
  for (;;) {
    unsigned char b = 0;
    const ssize_t n = ::read(fds_[0], &b, 1);
    if (n == 1) return b;
    if (n < 0 && errno == EINTR) continue;
    return 0;
  }
}

int ShutdownSignals::wait() {
  if (fds_[0] < 0) return 0;
  for (;;) {
    pollfd p{fds_[0], POLLIN, 0};
    if (::poll(&p, 1, -1) < 0 && errno != EINTR) return 0;
    unsigned char b = 0;
    const ssize_t n = ::read(fds_[0], &b, 1);
    if (n == 1) return b;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    return 0;
  }
}

void ShutdownSignals::interrupt() {
  if (fds_[1] < 0) return;
  const unsigned char b = 0;
  [[maybe_unused]] const ssize_t n = ::write(fds_[1], &b, 1);
}

}  // namespace vx::sig
