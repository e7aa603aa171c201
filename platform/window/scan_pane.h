// The scan pane beside the panel: the preview of the scan the settings describe (points,
// duration, the range of each axis, warnings), the progress of the scan under way
// (point n of N, elapsed, remaining, the expected end, the phase) and its end state, the
// live map of the grid, and the record (on or off, and the file of the last scan).
//
// It only shows: the host computes the preview (scanplan) and follows the scan
// (scanwatch) and hands both over on the GUI thread.
#pragma once

#include <QWidget>
#include <array>
#include <chrono>
#include <optional>

#include "platform/scanplan/scanplan.h"
#include "platform/scanwatch/scanwatch.h"

class QCheckBox;
class QLabel;
class QSpinBox;

namespace vx::win {

// The map: one plane of the grid, x across and y up, scaled in mm (the same scale on both
// axes); every point pending, done, current or off target, and the stages' position as a
// cross. A grid with one scanned axis draws as a strip along it.
class ScanMap final : public QWidget {
  Q_OBJECT

 public:
  explicit ScanMap(QWidget* parent = nullptr);

  // `states` may be empty (every point pending). `current` is the point under way, if any.
  void show_grid(const scanplan::Settings& settings, std::vector<scanwatch::PointState> states,
                 std::optional<std::array<int, 3>> current, std::array<double, 3> stages, int plane);
  int plane() const { return plane_; }
  QSize sizeHint() const override { return {320, 260}; }

 protected:
  void paintEvent(QPaintEvent* e) override;

 private:
  scanplan::Settings settings_;
  std::vector<scanwatch::PointState> states_;
  std::optional<std::array<int, 3>> current_;
  std::array<double, 3> stages_{0, 0, 0};
  int plane_ = 0;
};

class ScanPane final : public QWidget {
  Q_OBJECT

 public:
  explicit ScanPane(QWidget* parent = nullptr);

  void show_preview(const scanplan::Preview& p);
  void show_progress(const scanwatch::Snapshot& s, std::chrono::system_clock::time_point now);
  // What the map draws: the scan under way or just ended, else the grid of the settings.
  void show_map(const scanplan::Settings& settings, const scanwatch::Snapshot* scan, std::array<double, 3> stages);
  // The folder records go to (empty: none can be kept) and whether recording is on.
  void show_record(const QString& folder, bool on);
  // The plane the operator picked for the map; -1: the plane under way.
  int chosen_plane() const;

 signals:
  void record_switched(bool on);

 private:
  QLabel* preview_;
  QLabel* ranges_;
  QLabel* warnings_;
  QLabel* progress_;
  QLabel* times_;
  QLabel* phase_;
  QLabel* end_;
  QSpinBox* plane_;
  ScanMap* map_;
  QCheckBox* record_on_;
  QLabel* record_;
  QString folder_;
  QString last_file_;
};

// "1:02:03.4" or "2:03.4": a span for the operator.
QString span_text(Duration d);

}  // namespace vx::win
