// The self-pipe of SIGINT and SIGTERM. The handler writes the signal's number as one
// byte; the GUI thread reads every byte that is there and emits one signal for each.
#include "platform/window/signal_bridge.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace vx::win {

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

SignalBridge::SignalBridge(QObject* parent) : QObject(parent) {
  if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) return;
  g_write_fd.store(fds_[1]);
  notifier_ = std::make_unique<QSocketNotifier>(fds_[0], QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
    unsigned char b[64];
    ssize_t n;
    while ((n = ::read(fds_[0], b, sizeof b)) > 0)
      for (ssize_t k = 0; k < n; k++) emit requested(b[k]);
  });
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, &old_int_);
  sigaction(SIGTERM, &sa, &old_term_);
}

SignalBridge::~SignalBridge() {
  if (fds_[0] < 0) return;
  sigaction(SIGINT, &old_int_, nullptr);
  sigaction(SIGTERM, &old_term_, nullptr);
  g_write_fd.store(-1);
  notifier_.reset();
  ::close(fds_[0]);
  ::close(fds_[1]);
}

}  // namespace vx::win
