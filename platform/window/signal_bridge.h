// Turns SIGINT and SIGTERM into a Qt signal on the GUI thread: the handler only writes a
// byte to a pipe (all a signal handler may safely do), and a socket notifier on the
// pipe's read end emits requested(). One bridge at a time; destruction puts the
// previous handlers back.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>
#include <csignal>

namespace vx::win {

class SignalBridge final : public QObject {
  Q_OBJECT

 public:
  explicit SignalBridge(QObject* parent = nullptr);
  ~SignalBridge() override;

 signals:
  void requested(int signal);

 private:
  int fds_[2] = {-1, -1};
  std::unique_ptr<QSocketNotifier> notifier_;
  struct sigaction old_int_ {}, old_term_ {};
};

}  // namespace vx::win
