// The scan pane beside the panel: the preview of the scan the settings describe (points,
// duration, the range of each axis, warnings), the progress of the scan under way
// (point n of N, elapsed, remaining, the expected end, the phase) and its end state, the
// live map of the grid, and the record (on or off, and the file of the last scan).
//
// It only shows: the host computes the preview (scanplan) and follows the scan
// (scanwatch) and hands both over on the GUI thread.
#pragma once

#include <QImage>
#include <QWidget>
#include <array>
#include <chrono>
#include <optional>
#include <tuple>
#include <vector>

#include "platform/scanplan/scanplan.h"
#include "platform/scanwatch/scanwatch.h"
#include "platform/window/heat_map.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QSpinBox;

class QPainter;

namespace vx::win {

// What the map draws: the grid of `settings`, its first `done` points done (the worker's
// order), the cells of the plane that hold a point ended off target (ScanWatch's), the
// point under way, the stages' position (mm) and the plane shown.
struct MapView {
  scanplan::Settings settings;
  long long done = 0;
  std::vector<bool> off_cells;
  std::optional<std::array<int, 3>> current;
  std::array<double, 3> stages{0, 0, 0};
  int plane = 0;
  // With a detector's readings: the plane's values of the channel shown, as a heat map.
  bool heat = false;
  scanwatch::MapValues values;
  HeatRange range;
  QString channel;

  bool operator==(const MapView&) const = default;
};

// The map: one plane of the grid, x across and y up, scaled in mm (the same scale on both
// axes); every point pending, done, current or off target, and the stages' position as a
// cross. With readings it is a heat map of a channel with its colour bar, the late,
// missing and off-target points marked where their cells are large enough to mark (else
// the off-target ones red). A grid with one scanned axis draws as a strip along it. Its cost is bounded
// whatever the grid: a plane of many points is drawn at the screen's resolution, each
// pixel standing for the block of points under it, and nothing walks the points. A grid
// whose targets are not finite, or lie beyond what any stage could reach, is not drawn:
// the map says why.
class ScanMap final : public QWidget {
  Q_OBJECT

 public:
  explicit ScanMap(QWidget* parent = nullptr);

  void show_grid(MapView view);
  const MapView& view() const { return view_; }
  int plane() const { return view_.plane; }
  // The grid index of the point shown as under way.
  std::optional<std::array<int, 3>> current() const { return view_.current; }
  // Why the grid is not drawn (empty when it is).
  QString message() const { return message_; }
  // Where the map draws a point of the plane shown, in its own pixels; nothing when it
  // draws no grid.
  std::optional<QPointF> point_at(int column, int row) const;
  QSize sizeHint() const override { return {320, 260}; }

  // Targets beyond this many mm from zero are not drawn.
  static constexpr double kMaxDrawnMm = 1e9;
  // The largest image of a plane, in pixels a side: larger grids share pixels.
  static constexpr int kMaxImageSide = 512;

 protected:
  void paintEvent(QPaintEvent* e) override;

 private:
  // Where things go: millimetres to the widget's pixels.
  struct Frame {
    Frame(const MapView& v, const QRect& widget);
    QPointF to_px(double x, double y) const;
    QPointF point(int column, int row) const;  // of the plane shown
    QPointF stages(const std::array<double, 3>& at) const;

    scanwatch::MapLayout map;
    int plane;
    QRectF area;

   private:
    const scanplan::Settings& settings_;
    double scale_ = 1, mx_ = 0, my_ = 0;
  };

  QString check_geometry() const;
  const QImage& plane_image(const scanwatch::MapLayout& map, int plane, int width, int height);
  void draw_axes(QPainter& p, const Frame& f) const;
  double draw_points(QPainter& p, const Frame& f);
  double draw_heat(QPainter& p, const Frame& f);
  const QImage& heat_plane(std::pair<double, double> span, bool mark_off);
  void draw_markers(QPainter& p, const Frame& f, double ring) const;

  MapView view_;
  QString message_;
  // The last plane image and what it was made of: the stages' cross moves far more often
  // than a point completes.
  QImage image_;
  std::optional<MapView> image_of_;
  QSize image_size_;
  QImage heat_;
  std::optional<std::tuple<scanwatch::MapValues, std::vector<bool>, std::pair<double, double>, bool>> heat_of_;
};

class ScanPane final : public QWidget {
  Q_OBJECT

 public:
  explicit ScanPane(QWidget* parent = nullptr);

  void show_preview(const scanplan::Preview& p);
  // `last`: the scan has ended and the settings changed since; what it shows is said to
  // be from the last scan.
  void show_progress(const scanwatch::Snapshot& s, std::chrono::system_clock::time_point now, bool last = false);
  // What the map draws: the scan under way or just ended (its off-target cells from
  // `watch`), else the grid of the settings.
  void show_map(const scanplan::Settings& settings, const scanwatch::Snapshot* scan,
                const scanwatch::ScanWatch& watch, std::array<double, 3> stages);
  ScanMap* map() const { return map_; }
  // The folder records go to (empty: none can be kept, for the reason `problem` when
  // one is given) and whether recording is on.
  void show_record(const QString& folder, bool on, const QString& problem = {});
  // The plane the operator picked for the map; -1: the plane under way.
  int chosen_plane() const;
  // The detector chosen (its source as the operator typed it) and what it reads, or why
  // it could not be opened (`error`).
  void show_detector(const QString& source, const QString& info, bool error);
  // Writes the map as it is drawn to a PNG file; false when it cannot.
  bool save_map(const QString& path) const;

 signals:
  void record_switched(bool on);
  void detector_chosen(const QString& source);
  // The operator changed what the map shows (plane, channel, range).
  void view_changed();

 private:
  QLabel* preview_;
  QLabel* ranges_;
  QLabel* warnings_;
  QLabel* progress_;
  QLabel* times_;
  QLabel* phase_;
  QLabel* end_;
  QSpinBox* plane_;
  QComboBox* channel_;
  QCheckBox* auto_range_;
  QDoubleSpinBox* low_;
  QDoubleSpinBox* high_;
  QLineEdit* detector_;
  QLabel* detector_info_;
  QLabel* legend_;
  ScanMap* map_;
  QCheckBox* record_on_;
  QLabel* record_;
  QString folder_;
  QString problem_;
  QString last_file_;
};

// "1:02:03.4" or "2:03.4": a span for the operator.
QString span_text(Duration d);

}  // namespace vx::win
