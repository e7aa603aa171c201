// The bridge from the signals' pipe to the GUI thread.
#include "platform/window/signal_bridge.h"

namespace vx::win {

SignalBridge::SignalBridge(QObject* parent) : QObject(parent) {
  if (caught_.fd() < 0) return;
  notifier_ = std::make_unique<QSocketNotifier>(caught_.fd(), QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
    while (const int sig = caught_.take()) emit requested(sig);
  });
}

SignalBridge::~SignalBridge() { notifier_.reset(); }

}  // namespace vx::win
