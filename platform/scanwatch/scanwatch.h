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
// Threads: writes come on the program's threads; snapshot() may be called from any
// thread. All state is guarded by one mutex.
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
#include <vector>

#include "platform/clock/clock.h"
#include "platform/motion/motion.h"
#include "platform/runtime/runtime.h"
#include "platform/scanplan/scanplan.h"

namespace vx::scanwatch {

enum class Phase { Idle, Travelling, Point, Stopping, Ended };

// A grid point as the map shows it.
enum class PointState : std::uint8_t { Pending, Done, OffTarget };

struct Snapshot;

struct Options {
  std::string record_dir;  // empty: no record
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
  // Every point of the grid, x fastest, then y, then z (empty when the grid is larger
  // than kMaxMapPoints).
  std::vector<PointState> states;

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

  // The state now.
  Snapshot snapshot() const;

  // The largest grid whose points the map keeps.
  static constexpr long long kMaxMapPoints = 1'000'000;

 private:
  struct State;
  void begin_locked();
  void point_locked();
  void end_locked();
  Snapshot snapshot_locked(Time now) const;

  const rt::Runtime& runtime_;
  Clock& clock_;
  std::function<std::array<motion::Stage, 3>()> stages_;
  mutable std::mutex mu_;
  std::unique_ptr<State> s_;
};

// The record's header row.
extern const char* const kColumns;

// The record file for a scan that started at `start` in `dir`: "scan-YYYYMMDD-HHMMSS.mmm.csv"
// (UTC), with "-2", "-3"... when that name is taken. Creates nothing.
std::string record_name(std::chrono::system_clock::time_point start);

// ISO 8601, UTC, to the millisecond: "2026-12-10T15:58:00.123Z".
std::string iso8601(std::chrono::system_clock::time_point t);

// Why records cannot be kept in `dir`, or nothing: it must be a directory in which a
// file can be made now ("no such directory", "not a directory", "cannot make a file
// there: Permission denied"). A host asks before it takes the folder.
std::optional<std::string> check_record_dir(const std::string& dir);

}  // namespace vx::scanwatch
