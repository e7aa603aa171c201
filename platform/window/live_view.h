// The window's own account of the truth, above the program's panel: what the program
// does (always visible, with what runs next and the operator's commands queued behind
// it, which a menu withdraws), the age of the panel's own displays while they are not
// refreshed, the Stop all control, the banner that no operator can miss while the
// emergency stop is engaged, and the live readouts of the three stages with the reason
// a stage cannot move.
//
// It only shows what it is handed and reports the operator's clicks; the host
// reads the stages and the run-time (platform/observe) and decides.
#pragma once

#include <QLabel>
#include <QWidget>
#include <array>
#include <cstdint>
#include <vector>

#include "platform/observe/observe.h"

class QMenu;
class QPushButton;
class QToolButton;

namespace vx::win {

// A one-line label whose text is cut with "…" to its width rather than widening its
// neighbours; it reserves its line while empty.
class ElidedLabel final : public QLabel {
 public:
  explicit ElidedLabel(QWidget* parent = nullptr);
  QSize minimumSizeHint() const override;
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* e) override;
};

class LiveView final : public QWidget {
  Q_OBJECT

 public:
  explicit LiveView(QWidget* parent = nullptr);

  void show_activity(const observe::ActivityView& activity);
  void show_live(const observe::Live& live);
  void show_estop(bool engaged);
  // How old the program's own displays are, while a wait keeps them from refreshing;
  // empty when they are current.
  void show_age(const QString& text);

  QPushButton* stop_all() const { return stop_all_; }
  QPushButton* release() const { return release_; }
  // The queue's Withdraw button and its menu: one entry per queued command of the
  // operator's, then "Withdraw all".
  QToolButton* withdraw() const { return withdraw_; }

 signals:
  void stop_all_clicked();
  void release_clicked();
  void withdraw_clicked(std::uint64_t commit);
  void withdraw_all_clicked();

 private:
  struct AxisRow {
    QLabel* position = nullptr;
    QLabel* state = nullptr;
    QLabel* reason = nullptr;
  };
  QLabel* activity_ = nullptr;
  QLabel* queued_ = nullptr;
  QLabel* age_ = nullptr;
  QToolButton* withdraw_ = nullptr;
  QMenu* withdraw_menu_ = nullptr;
  std::vector<observe::QueuedCommand> commands_;  // what the menu offers
  QPushButton* stop_all_ = nullptr;
  QWidget* banner_ = nullptr;
  QPushButton* release_ = nullptr;
  std::array<AxisRow, observe::kAxes> rows_{};
};

// Sets a label's text only when it changes: the view is refreshed many times a second
// and a repaint for nothing costs the idle window its CPU.
void set_text(QLabel* label, const QString& text);

}  // namespace vx::win
