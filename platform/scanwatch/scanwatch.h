// The scan watcher: follows a running scan from the program's panel writes and keeps
// its record. The host (the window, the session runner) hands it every write to the main
// panel; from PANEL_SCANNING, the indices, the positions, the status words and
// PANEL_PROGRESS it knows the phase, the points done and how many ended off target, the
// time left (from the scan planner's point times), the end state, and what the map
// draws. The worker writes an index before its move and the positions and the status
// after it; PANEL_PROGRESS ends each point.
//
// The record: one CSV file per scan (RFC 4180, CRLF lines), named by its start time,
// with '#' comment lines (settings, start time, version), a header row, one row per
// completed point written as it happens, and a last comment line with the end state. A
// process killed mid-scan leaves a valid file up to its last point. The file holds only
// whole lines: each is made in memory and written whole, and one the disk refuses in
// part (a full disk) is cut off again; no row is written after that, the failure is in
// the snapshot at once, and the end line says where the rows stop, when it still fits.
//
// With a detector, each point's progress update (the start of its dwell) asks for a
// reading, which comes back later on the detector's thread (reading()). A point's row
// waits for its reading, so rows stay in order; a reading that comes after the program
// has moved on to the next point (or ended the scan) is kept and marked late. The end
// line follows the last reading.
//
// Threads: writes come on the program's threads, readings on the detector's;
// snapshot() may be called from any thread. All state is guarded by one mutex.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock/clock.h"
#include "platform/detector/detector.h"
#include "platform/motion/motion.h"
#include "platform/runtime/runtime.h"
#include "platform/scanplan/scanplan.h"

namespace vx::scanwatch {

enum class Phase { Idle, Travelling, Point, Stopping, Ended };

struct Snapshot;

// How the map lays a grid out: planes of columns (across) by rows (up), one per z index,
// x across and y up; or, when at most one axis has more than one point, a single strip
// along that axis. The worker visits the points in order (x fastest, then y, then z), so
// a point is done exactly when its place in that order is below the points done: the map
// needs no per-point bookkeeping.
struct MapLayout {
  std::array<int, 3> counts{0, 0, 0};  // after the checkbox rule
  bool strip = false;
  int across = 0;  // the axis along the columns
  int up = 1;      // the axis along the rows (none for a strip)

  explicit MapLayout(const scanplan::Settings& s);
  bool empty() const { return counts[0] <= 0 || counts[1] <= 0 || counts[2] <= 0; }
  int columns() const { return counts[across]; }
  int rows() const { return strip ? 1 : counts[up]; }
  int planes() const { return strip ? 1 : counts[2]; }
  // The grid index of a place on the map.
  std::array<int, 3> index(int column, int row, int plane) const;
  // The map's place {column, row, plane} of a grid index; nothing outside the grid.
  std::optional<std::array<int, 3>> place(const std::array<int, 3>& index) const;
  // The place's position in the worker's order, from 0 (saturated at the largest value:
  // a grid of three huge counts has more points than a long long counts).
  long long order(int column, int row, int plane) const;
};

// The map's cells: each plane is cut into at most kMapCells x kMapCells cells of whole
// points (a cell per point when the plane is that small), so that what the watcher keeps
// and hands over for the map stays bounded whatever the grid.
inline constexpr int kMapCells = 512;
int map_cells(int points);                 // cells along an axis of `points` points
int map_cell(int point, int points);       // the cell that holds `point`

// The detector a scan reads, as the watcher sees it.
struct DetectorHook {
  std::string text;                   // the detector and its settings, for the record
  std::vector<std::string> channels;  // at least one
  // Asks for a reading at a point; must return at once. The reading comes back through
  // ScanWatch::reading().
  std::function<void(const detector::Point&)> read;
};

// One point's reading as the watcher took it.
struct PointReading {
  detector::Point point;
  detector::Reading reading;
  bool late = false;
  std::vector<std::string> channels;
};

// A plane of the map's values for one channel: cells as in off_target_cells(), row by
// row, with NaN where no value is.
struct MapValues {
  int columns = 0, rows = 0;  // cells
  std::vector<float> values;
  enum Flag : std::uint8_t { kRead = 1, kLate = 2, kMissing = 4 };
  std::vector<std::uint8_t> flags;
  float low = 0, high = 0;  // the values' range (low > high: none)
  bool operator==(const MapValues& o) const;  // bit for bit: NaN equals NaN
};

struct Options {
  std::string record_dir;  // empty: no record
  std::optional<DetectorHook> detector;  // none: no readings
  // Called for each reading as the watcher takes it (before a scan's end that waited for
  // it is reported), in the same way.
  std::function<void(const PointReading&)> on_reading;
  // Called once a scan has ended, with the watcher's lock held: it must not call the
  // watcher.
  std::function<void(const Snapshot&)> on_end;
  // Called as soon as the record cannot be made or written (record_error says why), in
  // the same way.
  std::function<void(const Snapshot&)> on_error;
};

struct Snapshot {  // what the watcher knows at one moment
  bool seen = false;  // a scan has started since the watcher was made
  Phase phase = Phase::Idle;
  scanplan::Settings settings;  // the scan's, read when it started
  long long total = 0;          // the grid's points
  long long done = 0;           // points completed
  long long off_target = 0;
  std::array<int, 3> index{0, 0, 0};        // ix, iy, iz as last written
  std::array<double, 3> position{0, 0, 0};  // mm, as last displayed
  Duration elapsed{0};                      // since PANEL_SCANNING lit (or to its end)
  // By the plan, corrected by how far the scan runs behind it at its last point; none
  // once a stop was asked for (the scan ends at its next stop test) or when unplanned.
  std::optional<Duration> remaining;
  std::string end_state;    // "completed" or "stopped after point n of N", once ended
  std::string record_path;  // the scan's record, when one is kept
  std::string record_error;
  // The scan's detector (empty: none), its channels, and its readings so far.
  std::string detector;
  std::vector<std::string> channels;
  long long read = 0;     // readings taken (with or without values)
  long long late = 0;     // of those, taken after the program moved on
  long long missing = 0;  // of those, without values

  // "point n of N", "travelling to the start", ... : the phase in words.
  std::string phase_text() const;
};

class ScanWatch {
 public:
  // `stages` tells where the stages stand when a scan starts, for its plan.
  ScanWatch(const rt::Runtime& runtime, Clock& clock, std::function<std::array<motion::Stage, 3>()> stages,
            Options options = {});
  ~ScanWatch();
  ScanWatch(const ScanWatch&) = delete;
  ScanWatch& operator=(const ScanWatch&) = delete;

  // Every write to the main panel, as the host sees it.
  void control_written(int panel, int control, const rt::Value& v);
  // The operator asked the scan to stop.
  void stop_requested();
  void set_record_dir(std::string dir);  // takes effect at the next scan; empty: none
  // The detector of the next scan; refused (false) while a scan runs. Readings the last
  // scan still waits for are given up: their rows are written without values and the
  // record ends, so that the reader behind them may go.
  bool set_detector(std::optional<DetectorHook> hook);
  // A reading asked for by the hook, from the detector's thread. One that belongs to no
  // scan the watcher still follows is dropped.
  void reading(const detector::Point& p, detector::Reading r);

  // The state now.
  Snapshot snapshot() const;
  // The cells of `plane` of the scan's map (MapLayout of its settings) that hold a point
  // that ended off target, row by row: map_cells(columns) x map_cells(rows) flags, or
  // none when no point of the plane ended off target.
  std::vector<bool> off_target_cells(int plane) const;
  // The values of `channel` on `plane` of the scan's map; empty when none was read.
  MapValues map_values(int plane, int channel) const;

 private:
  struct State;
  void begin_locked();
  void point_locked();
  void mark_off_target_locked();
  void end_locked();
  void finish_locked();
  void flush_locked();
  Snapshot snapshot_locked(Time now) const;

  const rt::Runtime& runtime_;
  Clock& clock_;
  std::function<std::array<motion::Stage, 3>()> stages_;
  mutable std::mutex mu_;
  std::unique_ptr<State> s_;
};

// One completed point as the record holds it.
struct PointRow {
  long long point = 0;                   // 1 for the first
  std::array<int, 3> index{0, 0, 0};     // ix, iy, iz
  std::array<double, 3> target{0, 0, 0};  // mm
  std::array<double, 3> read{0, 0, 0};    // mm, as the program displayed them
  std::array<std::uint32_t, 3> status{0, 0, 0};
  Duration t{0};                         // since the scan started
  std::chrono::system_clock::time_point wall;
  bool off_target = false;
  // With a detector: the point's reading.
  std::vector<double> values;  // empty: none
  bool late = false;
  std::string detector_error;
};

// The record's columns, in order: each its name in the header row and how it writes a
// point. Writers and readers (the tests, a user's analysis) go by the names.
struct Column {
  const char* name;
  std::string (*format)(const PointRow& p);
};
const std::vector<Column>& columns();
// With a detector, the columns after those: one per channel ("det_" and its name), then
// "det_late" and "det_error".
std::vector<std::string> detector_columns(const std::vector<std::string>& channels);
// The header row ("point,ix,...") and a point's row, both without the line's end; with
// `channels`, the detector's columns too.
std::string header_row(const std::vector<std::string>& channels = {});
std::string row_of(const PointRow& p, const std::vector<std::string>& channels = {});
// The position of the column named `name` (as in columns()), or -1.
int column_index(std::string_view name);

// The record file for a scan that started at `start` in `dir`: "scan-YYYYMMDD-HHMMSS.mmm.csv"
// (UTC), with "-2", "-3"... when that name is taken. Creates nothing.
std::string record_name(std::chrono::system_clock::time_point start);

// ISO 8601, UTC, to the millisecond: "2026-12-10T15:58:00.123Z".
std::string iso8601(std::chrono::system_clock::time_point t);

}  // namespace vx::scanwatch
