// Paints the panel's indicator lamps: a radial gradient with a highlight, so that an
// operator tells on from off at a glance without reading the label.
#include "platform/window/led.h"

#include <QPainter>
#include <QRadialGradient>
#include <algorithm>

namespace vx::win {

Led::Led(QWidget* parent, QColor on_colour) : QWidget(parent), colour_(on_colour) {
  setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void Led::setOn(bool on) {
  if (on == on_) return;
  on_ = on;
  update();
}

void Led::setStale(bool stale) {
  if (stale_ == stale) return;
  stale_ = stale;
  update();
}

void Led::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal d = std::min(width(), height()) - 2.0;
  const QRectF r((width() - d) / 2.0, (height() - d) / 2.0, d, d);
  // A stale lamp is drawn washed out, lit or not: what it says may be old.
  const QColor lit = stale_ ? QColor::fromHsv(colour_.hue(), colour_.saturation() / 4, colour_.value()) : colour_;
  const QColor base = on_ ? lit : QColor(0x3b, 0x44, 0x3d);
  QRadialGradient g(r.center() - QPointF(d * 0.18, d * 0.18), d * 0.75);
  g.setColorAt(0.0, on_ ? base.lighter(170) : QColor(0x6a, 0x74, 0x6c));
  g.setColorAt(1.0, on_ ? base : base.darker(130));
  p.setPen(QPen(stale_ ? QColor(0x9a, 0xa3, 0xad) : QColor(0x22, 0x28, 0x24), 1.0, stale_ ? Qt::DotLine : Qt::SolidLine));
  p.setBrush(g);
  p.drawEllipse(r);
}

}  // namespace vx::win
