// The heat image's colours, its pixels and its colour bar. The image costs one pass over
// the plane's cells, whatever the grid.
#include "platform/window/heat_map.h"

#include <QPainter>
#include <QRectF>
#include <algorithm>
#include <cmath>

namespace vx::win {

QRgb heat_colour(double t) {
  if (!(t >= 0)) t = 0;  // NaN too
  if (t > 1) t = 1;
  // Stops of a perceptually even map, from dark blue to yellow.
  static const double stops[][3] = {{68, 1, 84}, {59, 82, 139}, {33, 145, 140}, {94, 201, 98}, {253, 231, 37}};
  const double at = t * 4;
  const int i = std::min(3, static_cast<int>(at));
  const double f = at - i;
  auto mix = [&](int c) { return static_cast<int>(std::lround(stops[i][c] + (stops[i + 1][c] - stops[i][c]) * f)); };
  return qRgb(mix(0), mix(1), mix(2));
}

std::pair<double, double> heat_span(const scanwatch::MapValues& values, const HeatRange& range) {
  double low = range.low, high = range.high;
  if (range.automatic) {
    if (values.low > values.high) return {0, 1};  // nothing read yet
    low = values.low, high = values.high;
  }
  if (!(high > low)) {
    const double mid = std::isfinite(low) ? low : 0;
    return {mid - 0.5, mid + 0.5};
  }
  return {low, high};
}

QImage heat_image(const scanwatch::MapValues& values, std::pair<double, double> span) {
  QImage image(std::max(1, values.columns), std::max(1, values.rows), QImage::Format_RGB32);
  image.fill(kHeatPending);
  const double scale = 1.0 / (span.second - span.first);
  for (int y = 0; y < values.rows; y++) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < values.columns; x++) {
      const std::size_t c = static_cast<std::size_t>(y) * values.columns + x;
      if (c >= values.flags.size() || !(values.flags[c] & scanwatch::MapValues::kRead)) continue;
      const float v = values.values[c];
      line[x] = std::isnan(v) ? kHeatMissing.rgb() : heat_colour((v - span.first) * scale);
    }
  }
  return image;
}

void draw_colour_bar(QPainter& p, const QRectF& area, std::pair<double, double> span, const QString& channel) {
  const QRectF bar(area.left(), area.top() + 16, 12, std::max(10.0, area.height() - 32));
  QLinearGradient g(bar.bottomLeft(), bar.topLeft());
  for (int i = 0; i <= 8; i++) g.setColorAt(i / 8.0, QColor::fromRgb(heat_colour(i / 8.0)));
  p.setPen(QColor(0x56, 0x60, 0x6b));
  p.setBrush(g);
  p.drawRect(bar);
  p.setBrush(Qt::NoBrush);
  const QRectF text(bar.right() + 3, 0, area.right() - bar.right() - 3, 14);
  p.drawText(text.translated(0, bar.top() - 7), Qt::AlignLeft | Qt::AlignVCenter,
             QString::number(span.second, 'g', 4));
  p.drawText(text.translated(0, bar.bottom() - 7), Qt::AlignLeft | Qt::AlignVCenter,
             QString::number(span.first, 'g', 4));
  p.drawText(QRectF(area.left() - 10, area.top(), area.width() + 10, 14), Qt::AlignLeft | Qt::AlignVCenter, channel);
}

}  // namespace vx::win
