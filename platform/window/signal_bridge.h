// Turns the shutdown signals (SIGINT, SIGTERM, SIGHUP; platform/signals) into a Qt
// signal on the GUI thread: a socket notifier on the signals' pipe emits requested().
// While it lives, SIGPIPE is ignored too, so that standard output that goes away does
// not end the process. One bridge at a time; destruction puts the previous handlers
// back.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

#include "platform/signals/signals.h"

namespace vx::win {

class SignalBridge final : public QObject {
  Q_OBJECT

 public:
  explicit SignalBridge(QObject* parent = nullptr);
  ~SignalBridge() override;

 signals:
  void requested(int signal);

 private:
  sig::ShutdownSignals caught_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace vx::win
