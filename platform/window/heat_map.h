// The map's heat image: a plane of a detector channel's values as colours, one pixel per
// map cell (ScanWatch's cells, at most 512 a side), with the colour bar that reads it.
// Pending cells are pale grey, readings without a value dark grey; a value outside the
// range takes the colour of the range's end.
#pragma once

#include <QColor>
#include <QImage>
#include <QString>
#include <utility>

#include "platform/scanwatch/scanwatch.h"

class QPainter;
class QRectF;

namespace vx::win {

// The range a heat image spans: the operator's, or the values' own.
struct HeatRange {
  bool automatic = true;
  double low = 0, high = 1;  // when not automatic

  bool operator==(const HeatRange&) const = default;
};

inline const QColor kHeatPending(0xe4, 0xe8, 0xec);
inline const QColor kHeatMissing(0x4a, 0x4f, 0x55);

// The colour of `t` in [0, 1] (clamped): dark blue through teal and green to yellow.
QRgb heat_colour(double t);
// The range drawn for `values` under `range`: never empty (a single value spans ±0.5).
std::pair<double, double> heat_span(const scanwatch::MapValues& values, const HeatRange& range);
// One pixel per cell, row 0 at the top of the image being row 0 of the cells (the caller
// mirrors for y up).
QImage heat_image(const scanwatch::MapValues& values, std::pair<double, double> span);
// The colour bar in `area`: the gradient, low at the bottom, with the range's ends and
// the channel's name.
void draw_colour_bar(QPainter& p, const QRectF& area, std::pair<double, double> span, const QString& channel);

}  // namespace vx::win
