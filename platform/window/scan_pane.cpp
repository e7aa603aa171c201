// The pane's widgets and the map's painting. A plane of few points is painted a dot a
// point; a larger one as an image of at most one pixel per point and never more pixels
// than the map has, made from the points done and the off-target cells without visiting
// a point.
#include "platform/window/scan_pane.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPainter>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace vx::win {

namespace {

const QColor kPending(0xc3, 0xca, 0xd2);
const QColor kDone(0x2f, 0x9e, 0x44);
const QColor kOff(0xd6, 0x33, 0x2f);
const QColor kCurrent(0x0d, 0x6e, 0xd8);
const QColor kStage(0xe0, 0x6c, 0x00);

QString mm(double v) { return QString::number(v, 'g', 5); }

// The current point's ring around a heat cell of w x h pixels.
double d_ring(double w, double h) { return std::min(w, h) * 0.7; }

// The pane is brought up to date twice a second at rest: a label is touched only when
// its text changes, so that nothing is laid out or painted again for nothing.
void set_text(QLabel* l, const QString& text) {
  if (l->text() != text) l->setText(text);
}

// The legend of what the map draws: the points' states, or the heat map's marks.
QString legend(bool heat) {
  if (heat)
    return QStringLiteral(
        "<span style='color:#c3cad2'>■</span> pending · late <span style='color:#4a4f55'>✕</span> no value "
        "<span style='color:#d6332f'>□</span> off target <span style='color:#0d6ed8'>○</span> current "
        "<span style='color:#e06c00'>+</span> stages");
  return QStringLiteral(
      "<span style='color:#c3cad2'>●</span> pending <span style='color:#2f9e44'>●</span> done "
      "<span style='color:#0d6ed8'>○</span> current <span style='color:#d6332f'>●</span> off target "
      "<span style='color:#e06c00'>+</span> stages");
}

QLabel* make_label(QWidget* parent, const char* name) {
  auto* l = new QLabel(parent);
  l->setObjectName(QLatin1String(name));
  l->setWordWrap(true);
  l->setTextInteractionFlags(Qt::TextSelectableByMouse);
  return l;
}

}  // namespace

QString span_text(Duration d) {
  const long long tenths = std::max<long long>(0, d.count() / 100000000);
  const long long h = tenths / 36000, m = tenths / 600 % 60, s = tenths / 10 % 60, t = tenths % 10;
  if (h > 0) return QStringLiteral("%1:%2:%3.%4").arg(h).arg(m, 2, 10, QLatin1Char('0')).arg(s, 2, 10, QLatin1Char('0')).arg(t);
  return QStringLiteral("%1:%2.%3").arg(m).arg(s, 2, 10, QLatin1Char('0')).arg(t);
}

// ---- the map ------------------------------------------------------------------------------

ScanMap::ScanMap(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("scanMap"));
  setMinimumSize(240, 200);
}

void ScanMap::show_grid(MapView view) {
  // Painted again only when something it shows has changed: the pane is brought up to
  // date far more often than a scan moves on.
  if (view == view_) return;
  view_ = std::move(view);
  message_ = check_geometry();
  update();
}

// Every target lies between an axis's first and last (start + index x step); the
// stages' position is drawn too. Named is the worst value: one that is not a number,
// else the farthest.
QString ScanMap::check_geometry() const {
  const scanwatch::MapLayout map(view_.settings);
  if (map.empty()) return tr("No points to scan");
  const char* names = "XYZ";
  for (int k : {map.across, map.up}) {
    if (map.strip && k != map.across) continue;
    std::optional<double> worst;
    for (double v : {view_.settings.target(k, 0), view_.settings.target(k, map.counts[k] - 1), view_.stages[k]}) {
      if (std::isfinite(v) && std::abs(v) <= kMaxDrawnMm) continue;
      if (!worst || !std::isfinite(v) || (std::isfinite(*worst) && std::abs(v) > std::abs(*worst))) worst = v;
    }
    if (worst)
      return tr("The map cannot draw this grid: its %1 targets reach %2 mm, beyond the ±%3 mm it draws")
          .arg(QLatin1Char(names[k]))
          .arg(mm(*worst))
          .arg(mm(kMaxDrawnMm));
  }
  return {};
}

// One pixel per block of points: pixel column x stands for the columns [x * n / w,
// (x + 1) * n / w), and likewise for rows. A block is done when its last point in the
// worker's order is, pending when its first is not yet, red when one of the off-target
// cells under it is marked. The cost is the image's pixels plus the plane's cells.
const QImage& ScanMap::plane_image(const scanwatch::MapLayout& map, int plane, int width, int height) {
  MapView key = view_;
  key.stages = {0, 0, 0};  // the cross is drawn over the image
  key.current.reset();
  if (image_of_ && *image_of_ == key && image_size_ == QSize(width, height)) return image_;
  const int ni = map.columns(), nj = map.rows();
  const int ci = scanwatch::map_cells(ni), cj = scanwatch::map_cells(nj);
  const bool off_known = view_.off_cells.size() == static_cast<std::size_t>(ci) * cj;
  struct Span {
    int first, last;            // points
    int cell_first, cell_last;  // cells
  };
  auto spans = [](int n, int pixels) {
    std::vector<Span> out(static_cast<std::size_t>(pixels));
    for (int x = 0; x < pixels; x++) {
      const int first = static_cast<int>(static_cast<long long>(x) * n / pixels);
      const int last = std::max(first, static_cast<int>(static_cast<long long>(x + 1) * n / pixels) - 1);
      out[x] = {first, last, scanwatch::map_cell(first, n), scanwatch::map_cell(last, n)};
    }
    return out;
  };
  const std::vector<Span> cols = spans(ni, width), rows = spans(nj, height);
  const QRgb partial = qRgb((kDone.red() + kPending.red()) / 2, (kDone.green() + kPending.green()) / 2,
                            (kDone.blue() + kPending.blue()) / 2);
  image_ = QImage(width, height, QImage::Format_RGB32);
  for (int y = 0; y < height; y++) {
    auto* line = reinterpret_cast<QRgb*>(image_.scanLine(y));
    const Span& r = rows[y];
    for (int x = 0; x < width; x++) {
      const Span& c = cols[x];
      bool off = false;
      if (off_known)
        for (int cy = r.cell_first; cy <= r.cell_last && !off; cy++)
          for (int cx = c.cell_first; cx <= c.cell_last && !off; cx++)
            off = view_.off_cells[static_cast<std::size_t>(cy) * ci + cx];
      if (off) line[x] = kOff.rgb();
      else if (map.order(c.last, r.last, plane) < view_.done) line[x] = kDone.rgb();
      else if (map.order(c.first, r.first, plane) >= view_.done) line[x] = kPending.rgb();
      else line[x] = partial;
    }
  }
  image_of_ = std::move(key);
  image_size_ = QSize(width, height);
  return image_;
}

// Millimetres to pixels: the grid's targets and the stages' position, with a margin,
// fitted to the drawing area at one scale for both axes.
ScanMap::Frame::Frame(const MapView& v, const QRect& widget)
    : map(v.settings), plane(std::clamp(v.plane, 0, std::max(1, map.planes()) - 1)),
      area(QRectF(widget).adjusted(44, 10, v.heat ? -88 : -12, -40)), settings_(v.settings) {
  const int ni = map.columns(), nj = map.rows();
  auto range = [&](int k, int count) {
    const double a = settings_.target(k, 0), b = settings_.target(k, count - 1);
    return std::pair{std::min({a, b, v.stages[k]}), std::max({a, b, v.stages[k]})};
  };
  auto [x_lo, x_hi] = range(map.across, ni);
  auto [y_lo, y_hi] = map.strip ? std::pair{0.0, 0.0} : range(map.up, nj);
  const double span = std::max({x_hi - x_lo, y_hi - y_lo, 1e-6});
  const double pad = span * 0.06 + 1e-6;
  x_lo -= pad, x_hi += pad;
  if (!map.strip) y_lo -= pad, y_hi += pad;
  scale_ = area.width() / (x_hi - x_lo);
  if (!map.strip) scale_ = std::min(scale_, area.height() / (y_hi - y_lo));
  mx_ = (x_lo + x_hi) / 2, my_ = (y_lo + y_hi) / 2;
}

QPointF ScanMap::Frame::to_px(double x, double y) const {
  return {area.center().x() + (x - mx_) * scale_, area.center().y() - (y - my_) * scale_};
}

QPointF ScanMap::Frame::point(int column, int row) const {
  const auto idx = map.index(column, row, plane);
  return to_px(settings_.target(map.across, idx[map.across]), map.strip ? my_ : settings_.target(map.up, idx[map.up]));
}

QPointF ScanMap::Frame::stages(const std::array<double, 3>& at) const {
  return to_px(at[map.across], map.strip ? my_ : at[map.up]);
}

std::optional<QPointF> ScanMap::point_at(int column, int row) const {
  if (!message_.isEmpty()) return std::nullopt;
  return Frame(view_, rect()).point(column, row);
}

void ScanMap::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.fillRect(rect(), QColor(0xfb, 0xfc, 0xfd));
  p.setPen(QColor(0xa9, 0xb2, 0xbc));
  p.drawRect(rect().adjusted(0, 0, -1, -1));
  if (!message_.isEmpty()) {
    p.setPen(QColor(0x56, 0x60, 0x6b));
    p.drawText(rect().adjusted(12, 12, -12, -12), Qt::AlignCenter | Qt::TextWordWrap, message_);
    return;
  }
  const Frame f(view_, rect());
  draw_axes(p, f);
  const double ring = view_.heat ? draw_heat(p, f) : draw_points(p, f);
  draw_markers(p, f, ring);
}

// The axis captions: the grid's first and last targets, in mm.
void ScanMap::draw_axes(QPainter& p, const Frame& f) const {
  const scanwatch::MapLayout& map = f.map;
  const scanplan::Settings& settings = view_.settings;
  const int across = map.across, up = map.up;
  const int ni = map.columns(), nj = map.rows();
  const QRectF& area = f.area;
  p.setPen(QColor(0x56, 0x60, 0x6b));
  const char* names = "XYZ";
  const QPointF first_px = f.point(0, 0), last_px = f.point(ni - 1, nj - 1);
  p.drawLine(QPointF(area.left(), area.bottom() + 4), QPointF(area.right(), area.bottom() + 4));
  p.drawText(QRectF(first_px.x() - 40, area.bottom() + 6, 80, 14), Qt::AlignCenter, mm(settings.target(across, 0)));
  if (ni > 1)
    p.drawText(QRectF(last_px.x() - 40, area.bottom() + 6, 80, 14), Qt::AlignCenter,
               mm(settings.target(across, ni - 1)));
  p.drawText(QRectF(area.left(), area.bottom() + 20, area.width(), 14), Qt::AlignCenter,
             map.strip ? QStringLiteral("%1 (mm)").arg(QLatin1Char(names[across]))
                       : tr("X across, Y up (mm); plane z %1 of %2").arg(f.plane + 1).arg(map.planes()));
  if (map.strip) return;
  p.drawLine(QPointF(area.left() - 4, area.top()), QPointF(area.left() - 4, area.bottom()));
  p.drawText(QRectF(0, first_px.y() - 7, 38, 14), Qt::AlignRight | Qt::AlignVCenter, mm(settings.target(up, 0)));
  if (nj > 1)
    p.drawText(QRectF(0, last_px.y() - 7, 38, 14), Qt::AlignRight | Qt::AlignVCenter, mm(settings.target(up, nj - 1)));
  p.drawText(QRectF(0, area.top(), 38, 14), Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("Y"));
}

// The plane's points; returns the radius of the current point's ring, in px.
double ScanMap::draw_points(QPainter& p, const Frame& f) {
  const scanwatch::MapLayout& map = f.map;
  const int ni = map.columns(), nj = map.rows();
  const QPointF a = f.point(0, 0), b = f.point(ni - 1, nj - 1);
  const double pitch_i = ni > 1 ? std::abs(b.x() - a.x()) / (ni - 1) : 40;
  const double pitch_j = nj > 1 ? std::abs(b.y() - a.y()) / (nj - 1) : 40;
  if (ni <= scanwatch::kMapCells && nj <= scanwatch::kMapCells && std::min(pitch_i, pitch_j) >= 4) {
    // Few enough points to see one by one: a dot each (at most one per 16 pixels). The
    // off-target cells are the points themselves.
    const double r = std::clamp(std::min(pitch_i, pitch_j) * 0.32, 1.5, 7.0);
    const bool off_known = view_.off_cells.size() == static_cast<std::size_t>(ni) * nj;
    p.setPen(Qt::NoPen);
    for (int j = 0; j < nj; j++)
      for (int i = 0; i < ni; i++) {
        const bool off = off_known && view_.off_cells[static_cast<std::size_t>(j) * ni + i];
        p.setBrush(off ? kOff : map.order(i, j, f.plane) < view_.done ? kDone : kPending);
        p.drawEllipse(f.point(i, j), r, r);
      }
    return r + 3;
  }
  // At the screen's resolution: at most a pixel per point, stretched over the grid's
  // rectangle.
  QRectF r = QRectF(a, b).normalized();
  const int w = std::clamp(static_cast<int>(std::ceil(r.width())), 1, std::min(ni, kMaxImageSide));
  const int h = std::clamp(static_cast<int>(std::ceil(r.height())), 1, std::min(nj, kMaxImageSide));
  if (r.height() < 6) r.adjust(0, -3, 0, 3);
  if (r.width() < 6) r.adjust(-3, 0, 3, 0);
  const bool flip_x = a.x() > b.x(), flip_y = a.y() > b.y();
  p.drawImage(r, plane_image(map, f.plane, w, h).mirrored(flip_x, flip_y));
  return 5;
}

// The heat image of the plane's cells, stretched over the grid's rectangle widened by
// half a cell on each side so that each cell is centred on its points; its colour bar on
// the right; and the marks of the cells large enough to carry one: a white dot for a late
// reading, a cross for one without a value, a red frame for a point off target. Smaller
// cells show off target in red instead of their value. Returns the current point's ring.
double ScanMap::draw_heat(QPainter& p, const Frame& f) {
  const scanwatch::MapLayout& map = f.map;
  const int ni = map.columns(), nj = map.rows();
  const int ci = scanwatch::map_cells(ni), cj = scanwatch::map_cells(nj);
  const QPointF a = f.point(0, 0), b = f.point(ni - 1, nj - 1);
  QRectF r = QRectF(a, b).normalized();
  // A cell's size in pixels; a single row or column is as tall as the other side's cells.
  double cw = ni > 1 ? r.width() / (ni - 1) * ni / ci : 0, ch = nj > 1 ? r.height() / (nj - 1) * nj / cj : 0;
  if (cw <= 0) cw = ch > 0 ? ch : 12;
  if (ch <= 0) ch = std::min(cw, 24.0);
  r = QRectF(r.center().x() - cw * ci / 2, r.center().y() - ch * cj / 2, cw * ci, ch * cj);
  const auto span = heat_span(view_.values, view_.range);
  const bool marks = std::min(cw, ch) >= 4;
  const bool flip_x = a.x() > b.x(), flip_y = a.y() > b.y();
  p.save();
  p.setRenderHint(QPainter::SmoothPixmapTransform, false);
  p.drawImage(r, heat_plane(span, !marks).mirrored(flip_x, flip_y));
  p.restore();
  if (marks && view_.values.columns == ci && view_.values.rows == cj) {
    const bool off_known = view_.off_cells.size() == static_cast<std::size_t>(ci) * cj;
    auto centre = [&](int x, int y) {
      return QPointF(flip_x ? r.right() - (x + 0.5) * cw : r.left() + (x + 0.5) * cw,
                     flip_y ? r.bottom() - (y + 0.5) * ch : r.top() + (y + 0.5) * ch);
    };
    const double d = std::min(cw, ch);
    for (int y = 0; y < cj; y++)
      for (int x = 0; x < ci; x++) {
        const std::size_t c = static_cast<std::size_t>(y) * ci + x;
        const std::uint8_t flags = view_.values.flags[c];
        const QPointF at = centre(x, y);
        if (off_known && view_.off_cells[c]) {
          p.setPen(QPen(kOff, std::max(1.0, d / 8)));
          p.setBrush(Qt::NoBrush);
          p.drawRect(QRectF(at.x() - cw / 2 + 1, at.y() - ch / 2 + 1, cw - 2, ch - 2));
        }
        if (flags & scanwatch::MapValues::kMissing) {
          p.setPen(QPen(Qt::white, 1));
          p.drawLine(at + QPointF(-d / 4, -d / 4), at + QPointF(d / 4, d / 4));
          p.drawLine(at + QPointF(-d / 4, d / 4), at + QPointF(d / 4, -d / 4));
        } else if (flags & scanwatch::MapValues::kLate) {
          p.setPen(Qt::NoPen);
          p.setBrush(Qt::white);
          p.drawEllipse(at, std::max(1.0, d / 8), std::max(1.0, d / 8));
        }
      }
  }
  draw_colour_bar(p, QRectF(f.area.right() + 18, f.area.top(), 70, f.area.height()), span, view_.channel);
  return std::clamp(d_ring(cw, ch), 4.0, 10.0);
}

// The heat image of the view's values, the off-target cells red when `mark_off`; kept
// until either changes.
const QImage& ScanMap::heat_plane(std::pair<double, double> span, bool mark_off) {
  auto key = std::make_tuple(view_.values, view_.off_cells, span, mark_off);
  if (heat_of_ && *heat_of_ == key) return heat_;
  heat_ = heat_image(view_.values, span);
  const std::size_t cells = static_cast<std::size_t>(view_.values.columns) * view_.values.rows;
  if (mark_off && view_.off_cells.size() == cells)
    for (std::size_t c = 0; c < cells; c++)
      if (view_.off_cells[c])
        heat_.setPixel(static_cast<int>(c % view_.values.columns), static_cast<int>(c / view_.values.columns),
                       kOff.rgb());
  heat_of_ = std::move(key);
  return heat_;
}

// The current point's ring and the stages' cross.
void ScanMap::draw_markers(QPainter& p, const Frame& f, double ring) const {
  if (view_.current) {
    const auto at = f.map.place(*view_.current);
    if (at && (f.map.strip || (*at)[2] == f.plane)) {
      p.setPen(QPen(kCurrent, 2));
      p.setBrush(Qt::NoBrush);
      p.drawEllipse(f.point((*at)[0], (*at)[1]), ring, ring);
    }
  }
  const QPointF s = f.stages(view_.stages);
  p.setPen(QPen(kStage, 2));
  p.drawLine(s + QPointF(-7, 0), s + QPointF(7, 0));
  p.drawLine(s + QPointF(0, -7), s + QPointF(0, 7));
}

// ---- the pane -----------------------------------------------------------------------------

ScanPane::ScanPane(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("scanPane"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(6, 6, 6, 6);

  auto* plan = new QGroupBox(tr("Scan preview"), this);
  auto* pl = new QVBoxLayout(plan);
  preview_ = make_label(plan, "scanPreview");
  ranges_ = make_label(plan, "scanRanges");
  warnings_ = make_label(plan, "scanWarnings");
  warnings_->setStyleSheet(QStringLiteral("color: #b5400b;"));
  pl->addWidget(preview_);
  pl->addWidget(ranges_);
  pl->addWidget(warnings_);
  layout->addWidget(plan);

  auto* run = new QGroupBox(tr("Progress"), this);
  auto* rl = new QVBoxLayout(run);
  progress_ = make_label(run, "scanProgress");
  times_ = make_label(run, "scanTimes");
  phase_ = make_label(run, "scanPhase");
  end_ = make_label(run, "scanEnd");
  for (QLabel* l : {progress_, times_, phase_, end_}) rl->addWidget(l);
  layout->addWidget(run);

  auto* mapbox = new QGroupBox(tr("Map"), this);
  auto* ml = new QVBoxLayout(mapbox);
  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel(tr("Plane (z)"), mapbox));
  plane_ = new QSpinBox(mapbox);
  plane_->setObjectName(QStringLiteral("scanPlane"));
  plane_->setRange(0, 0);
  plane_->setSpecialValueText(tr("current"));
  plane_->setToolTip(tr("The z plane the map shows; \"current\" follows the scan"));
  row->addWidget(plane_);
  row->addStretch(1);
  legend_ = new QLabel(mapbox);
  legend_->setObjectName(QStringLiteral("scanLegend"));
  legend_->setText(legend(false));
  // Wrapped, so that the heat map's longer legend never widens the pane past the panel's side.
  legend_->setWordWrap(true);
  row->addWidget(legend_, 1);
  ml->addLayout(row);
  // The heat map's channel and its PNG; below, its range (automatic, or the
  // operator's): two rows, so that the pane stays narrow enough to stand beside the
  // panel on a laptop's screen.
  auto* heat = new QHBoxLayout;
  auto* range = new QHBoxLayout;
  heat->addWidget(new QLabel(tr("Channel"), mapbox));
  channel_ = new QComboBox(mapbox);
  channel_->setObjectName(QStringLiteral("scanChannel"));
  channel_->setToolTip(tr("The detector channel the map shows"));
  channel_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  heat->addWidget(channel_);
  auto_range_ = new QCheckBox(tr("auto range"), mapbox);
  auto_range_->setObjectName(QStringLiteral("scanRangeAuto"));
  auto_range_->setChecked(true);
  range->addWidget(auto_range_);
  low_ = new QDoubleSpinBox(mapbox);
  high_ = new QDoubleSpinBox(mapbox);
  low_->setObjectName(QStringLiteral("scanRangeLow"));
  high_->setObjectName(QStringLiteral("scanRangeHigh"));
  for (QDoubleSpinBox* b : {low_, high_}) {
    b->setRange(-1e9, 1e9);
    b->setDecimals(4);
    b->setEnabled(false);
    range->addWidget(b);
  }
  range->addStretch(1);
  high_->setValue(1);
  auto* save = new QPushButton(tr("Save PNG…"), mapbox);
  save->setObjectName(QStringLiteral("scanSavePng"));
  heat->addStretch(1);
  heat->addWidget(save);
  ml->addLayout(heat);
  ml->addLayout(range);
  map_ = new ScanMap(mapbox);
  ml->addWidget(map_, 1);
  layout->addWidget(mapbox, 1);
  connect(auto_range_, &QCheckBox::toggled, this, [this](bool on) {
    low_->setEnabled(!on);
    high_->setEnabled(!on);
    emit view_changed();
  });
  connect(channel_, &QComboBox::currentIndexChanged, this, &ScanPane::view_changed);
  connect(low_, &QDoubleSpinBox::valueChanged, this, &ScanPane::view_changed);
  connect(high_, &QDoubleSpinBox::valueChanged, this, &ScanPane::view_changed);
  connect(plane_, &QSpinBox::valueChanged, this, &ScanPane::view_changed);
  connect(save, &QPushButton::clicked, this, [this] {
    const QString path = QFileDialog::getSaveFileName(this, tr("Save the map"), QStringLiteral("map.png"),
                                                      tr("PNG images (*.png)"));
    if (!path.isEmpty() && !save_map(path)) set_text(detector_info_, tr("Could not write %1").arg(path));
  });

  auto* detbox = new QGroupBox(tr("Detector"), this);
  auto* dl = new QVBoxLayout(detbox);
  detector_ = new QLineEdit(detbox);
  detector_->setObjectName(QStringLiteral("scanDetector"));
  detector_->setToolTip(tr("What each scan point reads: sim, exec:COMMAND, lib:PATH or none (Enter applies it "
                           "to the next scan)"));
  detector_info_ = make_label(detbox, "scanDetectorInfo");
  dl->addWidget(detector_);
  dl->addWidget(detector_info_);
  layout->addWidget(detbox);
  connect(detector_, &QLineEdit::returnPressed, this, [this] { emit detector_chosen(detector_->text().trimmed()); });

  auto* recbox = new QGroupBox(tr("Record"), this);
  auto* cl = new QVBoxLayout(recbox);
  record_on_ = new QCheckBox(tr("Record every scan to a CSV file"), recbox);
  record_on_->setObjectName(QStringLiteral("scanRecordOn"));
  record_ = make_label(recbox, "scanRecord");
  cl->addWidget(record_on_);
  cl->addWidget(record_);
  layout->addWidget(recbox);
  connect(record_on_, &QCheckBox::toggled, this, &ScanPane::record_switched);

  set_text(preview_, tr("Waiting for the panel…"));
}

int ScanPane::chosen_plane() const { return plane_->value() - 1; }

void ScanPane::show_detector(const QString& source, const QString& info, bool error) {
  if (!detector_->hasFocus() || !error) detector_->setText(source);
  detector_info_->setStyleSheet(error ? QStringLiteral("color: #b5400b;") : QString());
  set_text(detector_info_, info);
}

bool ScanPane::save_map(const QString& path) const { return map_->grab().save(path, "PNG"); }

void ScanPane::show_preview(const scanplan::Preview& p) {
  QString text = tr("%1 points").arg(p.points);
  if (p.points != p.grid_points) text += tr(" (of %1 in the grid)").arg(p.grid_points);
  text += p.duration ? tr(", %1 (%2 s)").arg(span_text(*p.duration)).arg(to_seconds(*p.duration), 0, 'f', 3)
                     : tr(", too many to time");
  set_text(preview_, text);
  QStringList ranges;
  const char* names = "XYZ";
  for (int k = 0; k < 3; k++) {
    const auto& r = p.axes[k];
    QString line = QStringLiteral("%1: ").arg(QLatin1Char(names[k]));
    if (r.count <= 0) line += tr("no points");
    else if (r.count == 1) line += tr("%1 mm%2").arg(mm(r.first), r.scanned ? QString() : tr(" (not scanned)"));
    else line += tr("%1 → %2 mm, %3 points").arg(mm(r.first), mm(r.last)).arg(r.count);
    ranges << line;
  }
  set_text(ranges_, ranges.join(QLatin1Char('\n')));
  QStringList warnings;
  for (const std::string& w : p.warnings) warnings << QStringLiteral("⚠ ") + QString::fromStdString(w);
  set_text(warnings_, warnings.join(QLatin1Char('\n')));
  if (warnings_->isHidden() != warnings.isEmpty()) warnings_->setHidden(warnings.isEmpty());
}

void ScanPane::show_progress(const scanwatch::Snapshot& s, std::chrono::system_clock::time_point now, bool last) {
  using scanwatch::Phase;
  if (!s.seen) {
    set_text(progress_, tr("No scan yet"));
    set_text(times_, QString());
    set_text(phase_, QString());
    set_text(end_, QString());
    return;
  }
  set_text(progress_, (last ? tr("From the last scan: point %1 of %2") : tr("Point %1 of %2")).arg(s.done).arg(s.total));
  QString times = tr("Elapsed %1").arg(span_text(s.elapsed));
  if (s.remaining) {
    times += tr(" · remaining %1").arg(span_text(*s.remaining));
    // The plan's end on the wall clock: "now" plus what remains keeps it honest under a
    // virtual clock too.
    const auto end = now + std::chrono::duration_cast<std::chrono::system_clock::duration>(*s.remaining);
    const QDateTime at = QDateTime::fromMSecsSinceEpoch(
        std::chrono::duration_cast<std::chrono::milliseconds>(end.time_since_epoch()).count());
    times += tr(" · ends at %1").arg(at.toString(QStringLiteral("HH:mm:ss")));
  }
  set_text(times_, times);
  set_text(phase_, tr("Phase: %1").arg(QString::fromStdString(s.phase_text())));
  if (s.phase == Phase::Ended) {
    set_text(end_, tr("Ended: %1; %2 of %3 points off target")
                      .arg(QString::fromStdString(s.end_state))
                      .arg(s.off_target)
                      .arg(s.done));
    set_text(phase_, QString());
  } else {
    set_text(end_, s.off_target == 0 ? QString()
                   : s.off_target == 1 ? tr("1 point off target so far")
                                       : tr("%1 points off target so far").arg(s.off_target));
  }
  // A scan not recorded leaves no file of an earlier one on show.
  const QString file = QString::fromStdString(s.record_path);
  if (file != last_file_) {
    last_file_ = file;
    if (file.isEmpty()) show_record(folder_, record_on_->isChecked());
  }
  if (!s.record_error.empty()) set_text(record_, QString::fromStdString(s.record_error));
  else if (!last_file_.isEmpty())
    set_text(record_, (s.phase == Phase::Ended ? tr("Recorded to %1") : tr("Recording to %1")).arg(last_file_));
}

void ScanPane::show_map(const scanplan::Settings& settings, const scanwatch::Snapshot* scan,
                        const scanwatch::ScanWatch& watch, std::array<double, 3> stages) {
  MapView v;
  v.settings = scan ? scan->settings : settings;
  v.stages = stages;
  const scanwatch::MapLayout map(v.settings);
  const int planes = std::max(1, map.planes());
  if (plane_->maximum() != planes) plane_->setRange(0, planes);
  v.plane = chosen_plane();
  if (v.plane < 0) v.plane = scan && map.place(scan->index) ? (*map.place(scan->index))[2] : 0;
  if (scan) {
    v.done = scan->done;
    v.off_cells = watch.off_target_cells(v.plane);
    // The point under way is the first not done, in the worker's order: the indices as
    // last written lag behind it while a row's return stroke or a plane's move runs.
    if (scan->phase != scanwatch::Phase::Ended && !map.empty() && scan->done < scan->total) {
      const long long per_plane = static_cast<long long>(map.columns()) * map.rows();
      v.current = map.index(static_cast<int>(scan->done % map.columns()),
                            static_cast<int>(scan->done / map.columns() % map.rows()),
                            static_cast<int>(scan->done / per_plane));
    }
  }
  // The channels of the scan shown; the operator's choice is kept by name.
  const std::vector<std::string> none;
  const std::vector<std::string>& channels = scan ? scan->channels : none;
  QStringList names;
  for (const std::string& c : channels) names << QString::fromStdString(c);
  QStringList shown;
  for (int i = 0; i < channel_->count(); i++) shown << channel_->itemText(i);
  if (names != shown) {
    const QString chosen = channel_->currentText();
    const QSignalBlocker block(channel_);
    channel_->clear();
    channel_->addItems(names);
    channel_->setCurrentIndex(std::max(0, static_cast<int>(names.indexOf(chosen))));
  }
  channel_->setEnabled(!names.isEmpty());
  set_text(legend_, legend(scan && !names.isEmpty()));
  if (scan && !names.isEmpty()) {
    v.heat = true;
    v.channel = channel_->currentText();
    v.values = watch.map_values(v.plane, channel_->currentIndex());
    v.range.automatic = auto_range_->isChecked();
    v.range.low = low_->value();
    v.range.high = high_->value();
  }
  map_->show_grid(std::move(v));
}

void ScanPane::show_record(const QString& folder, bool on, const QString& problem) {
  folder_ = folder;
  if (!problem.isEmpty()) problem_ = problem;
  const QSignalBlocker block(record_on_);
  record_on_->setEnabled(!folder.isEmpty());
  record_on_->setChecked(on && !folder.isEmpty());
  if (folder.isEmpty())
    set_text(record_, problem_.isEmpty() ? tr("No record folder: scans are not recorded")
                                         : tr("No record folder: scans are not recorded (%1)").arg(problem_));
  else if (!on) set_text(record_, tr("Off: scans are not recorded"));
  else set_text(record_, tr("Into %1").arg(folder));
}

}  // namespace vx::win
