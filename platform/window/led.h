// A round on/off lamp for the panel's indicators: lit in its colour when on, a dark
// glass when off. It only paints; the value it shows is set by whoever owns it.
#pragma once

#include <QColor>
#include <QWidget>

namespace vx::win {

class Led final : public QWidget {
  Q_OBJECT
  Q_PROPERTY(bool on READ isOn WRITE setOn)

 public:
  explicit Led(QWidget* parent = nullptr, QColor on_colour = QColor(0x2e, 0xcc, 0x40));

  bool isOn() const { return on_; }
  void setOn(bool on);
  // Whether what it shows may be old (the program has not refreshed it for a while).
  bool isStale() const { return stale_; }
  void setStale(bool stale);
  QSize sizeHint() const override { return {16, 16}; }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  bool on_ = false;
  bool stale_ = false;
  QColor colour_;
};

}  // namespace vx::win
