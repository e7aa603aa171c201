// The pane's widgets and the map's painting. Large planes are painted as an image with
// one pixel per point, scaled up: a million ellipses a frame would stall the window.
#include "platform/window/scan_pane.h"

#include <QCheckBox>
#include <QDateTime>
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

QColor colour(scanwatch::PointState s) {
  switch (s) {
    case scanwatch::PointState::Pending: return kPending;
    case scanwatch::PointState::Done: return kDone;
    case scanwatch::PointState::OffTarget: return kOff;
  }
  return kPending;
}

QString mm(double v) { return QString::number(v, 'g', 5); }

// The pane is brought up to date twice a second at rest: a label is touched only when
// its text changes, so that nothing is laid out or painted again for nothing.
void set_text(QLabel* l, const QString& text) {
  if (l->text() != text) l->setText(text);
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

void ScanMap::show_grid(const scanplan::Settings& settings, std::vector<scanwatch::PointState> states,
                        std::optional<std::array<int, 3>> current, std::array<double, 3> stages, int plane) {
  // Painted again only when something it shows has changed: the pane is brought up to
  // date far more often than a scan moves on.
  if (settings == settings_ && states == states_ && current == current_ && stages == stages_ && plane == plane_)
    return;
  settings_ = settings;
  states_ = std::move(states);
  current_ = current;
  stages_ = stages;
  plane_ = plane;
  update();
}

void ScanMap::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.fillRect(rect(), QColor(0xfb, 0xfc, 0xfd));
  p.setPen(QColor(0xa9, 0xb2, 0xbc));
  p.drawRect(rect().adjusted(0, 0, -1, -1));

  const auto n = settings_.counts();
  if (n[0] <= 0 || n[1] <= 0 || n[2] <= 0) {
    p.setPen(QColor(0x56, 0x60, 0x6b));
    p.drawText(rect(), Qt::AlignCenter, tr("No points to scan"));
    return;
  }
  // A strip when only one axis has more than one point; else the x-y plane.
  int across = 0, up = 1;
  bool strip = false;
  const int many = (n[0] > 1) + (n[1] > 1) + (n[2] > 1);
  if (many <= 1) {
    strip = true;
    across = n[1] > 1 ? 1 : n[2] > 1 ? 2 : 0;
  }
  const int plane = std::clamp(plane_, 0, n[2] - 1);
  auto index = [&](int i, int j) -> std::array<int, 3> {
    if (!strip) return {i, j, plane};
    std::array<int, 3> idx{0, 0, 0};
    idx[across] = i;
    return idx;
  };
  const int ni = n[across];
  const int nj = strip ? 1 : n[up];

  // The extent in mm: the grid's targets and the stages' position, with a margin.
  auto range = [&](int k, int count) {
    const double a = settings_.target(k, 0), b = settings_.target(k, count - 1);
    return std::pair{std::min({a, b, stages_[k]}), std::max({a, b, stages_[k]})};
  };
  auto [x_lo, x_hi] = range(across, ni);
  auto [y_lo, y_hi] = strip ? std::pair{0.0, 0.0} : range(up, nj);
  const double span = std::max({x_hi - x_lo, y_hi - y_lo, 1e-6});
  const double pad = span * 0.06 + 1e-6;
  x_lo -= pad, x_hi += pad;
  if (!strip) y_lo -= pad, y_hi += pad;

  const QRectF area = QRectF(rect()).adjusted(44, 10, -12, -40);
  double scale = area.width() / (x_hi - x_lo);
  if (!strip) scale = std::min(scale, area.height() / (y_hi - y_lo));
  const double cx = area.center().x(), cy = area.center().y();
  const double mx = (x_lo + x_hi) / 2, my = (y_lo + y_hi) / 2;
  auto to_px = [&](double x, double y) { return QPointF(cx + (x - mx) * scale, cy - (y - my) * scale); };

  // Axis captions: the grid's first and last targets, in mm.
  p.setPen(QColor(0x56, 0x60, 0x6b));
  const char* names = "XYZ";
  const double x_first = settings_.target(across, 0), x_last = settings_.target(across, ni - 1);
  const double y_first = strip ? my : settings_.target(up, 0), y_last = strip ? my : settings_.target(up, nj - 1);
  const QPointF first_px = to_px(x_first, y_first), last_px = to_px(x_last, y_last);
  p.drawLine(QPointF(area.left(), area.bottom() + 4), QPointF(area.right(), area.bottom() + 4));
  p.drawText(QRectF(first_px.x() - 40, area.bottom() + 6, 80, 14), Qt::AlignCenter, mm(x_first));
  if (ni > 1) p.drawText(QRectF(last_px.x() - 40, area.bottom() + 6, 80, 14), Qt::AlignCenter, mm(x_last));
  p.drawText(QRectF(area.left(), area.bottom() + 20, area.width(), 14), Qt::AlignCenter,
             strip ? QStringLiteral("%1 (mm)").arg(QLatin1Char(names[across]))
                   : tr("X across, Y up (mm); plane z %1 of %2").arg(plane + 1).arg(n[2]));
  if (!strip) {
    p.drawLine(QPointF(area.left() - 4, area.top()), QPointF(area.left() - 4, area.bottom()));
    p.drawText(QRectF(0, first_px.y() - 7, 38, 14), Qt::AlignRight | Qt::AlignVCenter, mm(y_first));
    if (nj > 1) p.drawText(QRectF(0, last_px.y() - 7, 38, 14), Qt::AlignRight | Qt::AlignVCenter, mm(y_last));
    p.drawText(QRectF(0, area.top(), 38, 14), Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("Y"));
  }

  auto state_of = [&](const std::array<int, 3>& idx) {
    const std::size_t at =
        (static_cast<std::size_t>(idx[2]) * n[1] + static_cast<std::size_t>(idx[1])) * n[0] + idx[0];
    return at < states_.size() ? states_[at] : scanwatch::PointState::Pending;
  };
  const double y_strip = my;
  auto point_px = [&](int i, int j) {
    const auto idx = index(i, j);
    return to_px(settings_.target(across, idx[across]), strip ? y_strip : settings_.target(up, idx[up]));
  };

  const long long count = static_cast<long long>(ni) * nj;
  if (count > 20000) {
    // One pixel per point, stretched over the grid's rectangle.
    QImage img(ni, nj, QImage::Format_RGB32);
    for (int j = 0; j < nj; j++)
      for (int i = 0; i < ni; i++) img.setPixelColor(i, nj - 1 - j, colour(state_of(index(i, j))));
    const QPointF a = point_px(0, 0), b = point_px(ni - 1, nj - 1);
    QRectF r = QRectF(a, b).normalized();
    if (r.height() < 6) r.adjust(0, -3, 0, 3);
    const bool flip_x = a.x() > b.x(), flip_y = a.y() < b.y();
    p.drawImage(r, img.mirrored(flip_x, flip_y));
  } else {
    const double pitch_i = ni > 1 ? QLineF(point_px(0, 0), point_px(1, 0)).length() : 40;
    const double pitch_j = nj > 1 ? QLineF(point_px(0, 0), point_px(0, 1)).length() : 40;
    const double r = std::clamp(std::min(pitch_i, pitch_j) * 0.32, 1.5, 7.0);
    p.setPen(Qt::NoPen);
    for (int j = 0; j < nj; j++)
      for (int i = 0; i < ni; i++) {
        p.setBrush(colour(state_of(index(i, j))));
        p.drawEllipse(point_px(i, j), r, r);
      }
    if (current_) {
      const auto& c = *current_;
      const bool in_view = strip || c[2] == plane;
      if (in_view && c[across] >= 0 && c[across] < ni && (strip || (c[up] >= 0 && c[up] < nj))) {
        p.setPen(QPen(kCurrent, 2));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(point_px(c[across], strip ? 0 : c[up]), r + 3, r + 3);
      }
    }
  }
  // The stages' position.
  const QPointF s = to_px(stages_[across], strip ? y_strip : stages_[up]);
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
  auto* legend = new QLabel(QStringLiteral("<span style='color:#c3cad2'>●</span> pending "
                                           "<span style='color:#2f9e44'>●</span> done "
                                           "<span style='color:#0d6ed8'>○</span> current "
                                           "<span style='color:#d6332f'>●</span> off target "
                                           "<span style='color:#e06c00'>+</span> stages"),
                            mapbox);
  row->addWidget(legend);
  ml->addLayout(row);
  map_ = new ScanMap(mapbox);
  ml->addWidget(map_, 1);
  layout->addWidget(mapbox, 1);

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

void ScanPane::show_progress(const scanwatch::Snapshot& s, std::chrono::system_clock::time_point now) {
  using scanwatch::Phase;
  if (!s.seen) {
    set_text(progress_, tr("No scan yet"));
    set_text(times_, QString());
    set_text(phase_, QString());
    set_text(end_, QString());
    return;
  }
  set_text(progress_, tr("Point %1 of %2").arg(s.done).arg(s.total));
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
    set_text(end_, s.off_target ? tr("%1 points off target so far").arg(s.off_target) : QString());
  }
  if (!s.record_path.empty()) last_file_ = QString::fromStdString(s.record_path);
  if (!s.record_error.empty()) set_text(record_, QString::fromStdString(s.record_error));
  else if (!last_file_.isEmpty())
    set_text(record_, (s.phase == Phase::Ended ? tr("Recorded to %1") : tr("Recording to %1")).arg(last_file_));
}

void ScanPane::show_map(const scanplan::Settings& settings, const scanwatch::Snapshot* scan,
                        std::array<double, 3> stages) {
  const auto n = (scan ? scan->settings : settings).counts();
  if (plane_->maximum() != std::max(1, n[2])) plane_->setRange(0, std::max(1, n[2]));
  int plane = chosen_plane();
  std::optional<std::array<int, 3>> current;
  if (scan && scan->phase != scanwatch::Phase::Ended) current = scan->index;
  if (plane < 0) plane = scan ? scan->index[2] : 0;
  if (scan) map_->show_grid(scan->settings, scan->states, current, stages, plane);
  else map_->show_grid(settings, {}, std::nullopt, stages, plane);
}

void ScanPane::show_record(const QString& folder, bool on) {
  folder_ = folder;
  const QSignalBlocker block(record_on_);
  record_on_->setEnabled(!folder.isEmpty());
  record_on_->setChecked(on && !folder.isEmpty());
  if (folder.isEmpty()) set_text(record_, tr("No record folder: scans are not recorded"));
  else if (!on) set_text(record_, tr("Off: scans are not recorded"));
  else set_text(record_, tr("Into %1").arg(folder));
}

}  // namespace vx::win
