// The watcher's bookkeeping and the record's format. The record is written straight to
// its file descriptor, a line at a time: a row is with the system before the next point
// begins, and a row the disk takes only in part is cut off again.
#include "platform/scanwatch/scanwatch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <map>

#include "driver/axs.h"
#include "panel/Varnix_ui.h"

#include "platform/version/version.h"

namespace vx::scanwatch {

namespace {

// A larger grid gets no point times from the plan (they would take too much memory):
// its remaining time is the plan's end less the time elapsed.
constexpr long long kMaxPointTimes = 10'000'000;

std::string num(double v) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::string seconds3(Duration d) {
  char buf[48];
  const long long ms = d.count() / 1000000;
  std::snprintf(buf, sizeof buf, "%lld.%03lld", ms / 1000, ms % 1000);
  return buf;
}

std::string status_text(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

}  // namespace

const std::vector<Column>& columns() {
  static const std::vector<Column> table = {
      {"point", [](const PointRow& p) { return std::to_string(p.point); }},
      {"ix", [](const PointRow& p) { return std::to_string(p.index[0]); }},
      {"iy", [](const PointRow& p) { return std::to_string(p.index[1]); }},
      {"iz", [](const PointRow& p) { return std::to_string(p.index[2]); }},
      {"target_x", [](const PointRow& p) { return num(p.target[0]); }},
      {"target_y", [](const PointRow& p) { return num(p.target[1]); }},
      {"target_z", [](const PointRow& p) { return num(p.target[2]); }},
      {"read_x", [](const PointRow& p) { return num(p.read[0]); }},
      {"read_y", [](const PointRow& p) { return num(p.read[1]); }},
      {"read_z", [](const PointRow& p) { return num(p.read[2]); }},
      {"status_x", [](const PointRow& p) { return status_text(p.status[0]); }},
      {"status_y", [](const PointRow& p) { return status_text(p.status[1]); }},
      {"status_z", [](const PointRow& p) { return status_text(p.status[2]); }},
      {"t_s", [](const PointRow& p) { return seconds3(p.t); }},
      {"wall_time", [](const PointRow& p) { return iso8601(p.wall); }},
      {"off_target", [](const PointRow& p) { return std::string(p.off_target ? "1" : "0"); }},
  };
  return table;
}

std::string header_row() {
  std::string out;
  for (const Column& c : columns()) out += (out.empty() ? "" : ",") + std::string(c.name);
  return out;
}

std::string row_of(const PointRow& p) {
  std::string out;
  for (const Column& c : columns()) {
    if (!out.empty()) out += ',';
    out += c.format(p);
  }
  return out;
}

int column_index(std::string_view name) {
  const auto& t = columns();
  for (std::size_t i = 0; i < t.size(); i++)
    if (name == t[i].name) return static_cast<int>(i);
  return -1;
}

namespace {

// The record's file, holding whole lines only: a line is written whole or not at all.
class RecordFile {
 public:
  RecordFile() = default;
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;
  ~RecordFile() { close(); }

  // Creates `path`, which must not exist; false with errno set when it cannot.
  bool create(const std::string& path) {
    close();
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    size_ = 0;
    return fd_ >= 0;
  }
  bool is_open() const { return fd_ >= 0; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // Appends `text`; 0, or the errno of the write that failed, after which the file is
  // cut back to its last whole line (or, should that fail too, closed: nothing may be
  // appended to a part of a line).
  int append(std::string_view text) {
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      const int error = n < 0 ? errno : ENOSPC;  // a write of nothing: no room
      if (done > 0 && (::ftruncate(fd_, size_) != 0 || ::lseek(fd_, size_, SEEK_SET) < 0)) close();
      return error;
    }
    size_ += static_cast<off_t>(done);
    return 0;
  }

 private:
  int fd_ = -1;
  off_t size_ = 0;  // up to the end of the last whole line
};

}  // namespace

namespace {

// `format` takes year, month, day, hour, minute, second and millisecond, in UTC.
std::string utc_text(std::chrono::system_clock::time_point t, const char* format) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  const std::time_t secs = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, format, tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                tm.tm_sec, static_cast<int>(ms % 1000));
  return buf;
}

}  // namespace

std::string iso8601(std::chrono::system_clock::time_point t) {
  return utc_text(t, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ");
}

std::string record_name(std::chrono::system_clock::time_point start) {
  return utc_text(start, "scan-%04d%02d%02d-%02d%02d%02d.%03dZ");
}

MapLayout::MapLayout(const scanplan::Settings& s) : counts(s.counts()) {
  const int many = (counts[0] > 1) + (counts[1] > 1) + (counts[2] > 1);
  if (many <= 1) {
    strip = true;
    across = counts[1] > 1 ? 1 : counts[2] > 1 ? 2 : 0;
  }
}

std::array<int, 3> MapLayout::index(int column, int row, int plane) const {
  if (!strip) return {column, row, plane};
  std::array<int, 3> idx{0, 0, 0};
  idx[across] = column;
  return idx;
}

std::optional<std::array<int, 3>> MapLayout::place(const std::array<int, 3>& idx) const {
  for (int k = 0; k < 3; k++)
    if (idx[k] < 0 || idx[k] >= counts[k]) return std::nullopt;
  if (strip) return std::array<int, 3>{idx[across], 0, 0};
  return idx;
}

long long MapLayout::order(int column, int row, int plane) const {
  // A strip's other axes have one point each: its order is the column.
  if (strip) return column;
  long long at = 0;
  if (__builtin_mul_overflow(static_cast<long long>(plane), counts[1], &at) || __builtin_add_overflow(at, row, &at) ||
      __builtin_mul_overflow(at, static_cast<long long>(counts[0]), &at) || __builtin_add_overflow(at, column, &at))
    return std::numeric_limits<long long>::max();
  return at;
}

int map_cells(int points) { return std::clamp(points, 0, kMapCells); }

int map_cell(int point, int points) {
  return static_cast<int>(static_cast<long long>(point) * map_cells(points) / points);
}

std::string Snapshot::phase_text() const {
  switch (phase) {
    case Phase::Idle: return "idle";
    case Phase::Travelling: return "travelling to the start";
    case Phase::Point: return "point " + std::to_string(std::min(done + 1, total)) + " of " + std::to_string(total);
    case Phase::Stopping: return "stopping";
    case Phase::Ended: return "ended: " + end_state;
  }
  return "";
}

struct ScanWatch::State {
  Options options;
  bool lit = false;
  bool seen = false;
  Phase phase = Phase::Idle;
  scanplan::Settings settings;
  long long total = 0;
  long long done = 0;
  long long off_target = 0;
  std::array<int, 3> index{0, 0, 0};
  std::array<double, 3> position{0, 0, 0};
  std::array<std::uint32_t, 3> status{0, 0, 0};
  Time start{0};
  Time ended{0};
  std::chrono::system_clock::time_point wall_start;
  std::optional<Duration> plan_total;
  std::vector<Duration> plan_points;
  Duration drift{0};  // how far the scan runs behind its plan at its last point
  // The map's cells that hold a point ended off target, by plane (MapLayout); only
  // planes with such a point have an entry, so the watcher's size follows the points done.
  std::map<int, std::vector<bool>> off_cells;
  RecordFile file;
  bool rows = false;        // the file takes rows: its header is in, and no write has failed
  long long rows_done = 0;  // the last point whose row is in the file
  std::string write_failure;  // why the rows stopped, for the end line
  std::string path;
  std::string error;
  std::string end_state;

  // Reports the record's first failure at once.
  void failed(std::string what) {
    if (!error.empty()) return;
    error = std::move(what);
    if (options.on_error) options.on_error(snapshot());
  }

  // Writes whole lines (each given without its CRLF) as one piece; false when the file
  // could not take them, which then ends as before.
  bool write(std::initializer_list<std::string> lines, const char* lost) {
    std::string text;
    for (const std::string& l : lines) text += l + "\r\n";
    const int e = file.append(text);
    if (e == 0) return true;
    failed("writing " + path + ": " + std::strerror(e) + "; " + lost);
    if (write_failure.empty()) write_failure = std::strerror(e);
    rows = false;
    return false;
  }

  void open_record() {
    path.clear();
    error.clear();
    write_failure.clear();
    rows = false;
    rows_done = 0;
    file.close();
    if (options.record_dir.empty()) return;
    const std::string base = options.record_dir + "/" + record_name(wall_start);
    for (int k = 1; k < 1000 && !file.is_open(); k++) {
      const std::string p = base + (k == 1 ? "" : "-" + std::to_string(k)) + ".csv";
      if (file.create(p)) {
        path = p;
      } else if (errno != EEXIST) {
        failed("cannot create a record in " + options.record_dir + ": " + std::strerror(errno));
        return;
      }
    }
    if (!file.is_open()) return failed("cannot create a record in " + options.record_dir + ": every name is taken");
    const scanplan::Settings& s = settings;
    rows = write({"# Varnix scan record", "# version: " + vx::version(), "# start: " + iso8601(wall_start),
                  "# settings: nx=" + std::to_string(s.nx) + " ny=" + std::to_string(s.ny) +
                      " nz=" + std::to_string(s.nz) + " dx=" + num(s.dx) + " dy=" + num(s.dy) + " dz=" + num(s.dz) +
                      " x0=" + num(s.x0) + " y0=" + num(s.y0) + " z0=" + num(s.z0) +
                      " scan_x=" + std::to_string(s.cbx) + " scan_y=" + std::to_string(s.cby) +
                      " scan_z=" + std::to_string(s.cbz),
                  "# points: " + std::to_string(total) +
                      (plan_total ? ", planned duration " + seconds3(*plan_total) + " s" : std::string()),
                  header_row()},
                 "no point is recorded");
  }

  void row(const std::string& text) {
    if (!rows) return;
    if (write({text}, ("points from " + std::to_string(done) + " on are not recorded").c_str())) rows_done = done;
  }

  // The end line, when the file can still take it; the file is closed then.
  void end_line(const std::string& text) {
    if (file.is_open()) {
      std::string l = text;
      if (!write_failure.empty())
        l += "; points from " + std::to_string(rows_done + 1) + " on not recorded: " + write_failure;
      write({l}, "the end line is not recorded");
    }
    file.close();
    rows = false;
  }

  std::function<Snapshot()> snapshot;  // the watcher's snapshot, its lock held
};

ScanWatch::ScanWatch(const rt::Runtime& runtime, Clock& clock, std::function<std::array<motion::Stage, 3>()> stages,
                     Options options)
    : runtime_(runtime), clock_(clock), stages_(std::move(stages)), s_(std::make_unique<State>()) {
  s_->options = std::move(options);
  s_->snapshot = [this] { return snapshot_locked(clock_.now()); };
}

ScanWatch::~ScanWatch() {
  std::lock_guard lk(mu_);
  if (s_->lit) s_->end_line("# end: not seen (the watcher ended first), after point " + std::to_string(s_->done) +
                            " of " + std::to_string(s_->total));
}

void ScanWatch::set_record_dir(std::string dir) {
  std::lock_guard lk(mu_);
  s_->options.record_dir = std::move(dir);
}

void ScanWatch::stop_requested() {
  std::lock_guard lk(mu_);
  if (s_->lit) s_->phase = Phase::Stopping;
}

void ScanWatch::control_written(int panel, int control, const rt::Value& v) {
  if (panel != runtime_.main_panel()) return;
  std::lock_guard lk(mu_);
  State& s = *s_;
  switch (control) {
    case PANEL_SCANNING:
      if (v.number() != 0 && !s.lit) begin_locked();
      else if (v.number() == 0 && s.lit) end_locked();
      return;
    case PANEL_IX: s.index[0] = v.i; return;
    case PANEL_IY: s.index[1] = v.i; return;
    case PANEL_IZ: s.index[2] = v.i; return;
    case PANEL_POS_X: s.position[0] = v.number(); return;
    case PANEL_POS_Y: s.position[1] = v.number(); return;
    case PANEL_POS_Z: s.position[2] = v.number(); return;
    case PANEL_STATUS_X: s.status[0] = static_cast<std::uint32_t>(v.i); return;
    case PANEL_STATUS_Y: s.status[1] = static_cast<std::uint32_t>(v.i); return;
    case PANEL_STATUS_Z: s.status[2] = static_cast<std::uint32_t>(v.i); return;
    case PANEL_PROGRESS:
      if (s.lit) point_locked();
      return;
    default: return;
  }
}

void ScanWatch::begin_locked() {
  State& s = *s_;
  s.lit = true;
  s.seen = true;
  s.phase = Phase::Travelling;
  s.start = clock_.now();
  s.wall_start = wall_now();
  s.done = 0;
  s.off_target = 0;
  s.drift = Duration{0};
  s.end_state.clear();
  // The worker reads the settings once, at this moment: so does the watcher.
  s.settings = scanplan::read_settings(runtime_, runtime_.main_panel()).value_or(scanplan::Settings{});
  s.total = s.settings.grid_points();
  scanplan::Preview plan =
      scanplan::preview(s.settings, stages_(), {.point_times = s.total <= kMaxPointTimes, .moves = false});
  s.plan_total = plan.duration;
  s.plan_points = std::move(plan.point_times);
  s.off_cells.clear();
  s.open_record();
}

void ScanWatch::point_locked() {
  State& s = *s_;
  const Time now = clock_.now();
  s.done++;
  if (s.phase == Phase::Travelling) s.phase = Phase::Point;
  if (s.plan_points.size() >= static_cast<std::size_t>(s.done))
    s.drift = (now - s.start) - s.plan_points[static_cast<std::size_t>(s.done - 1)];
  std::array<double, 3> target{};
  bool off = false;
  for (int k = 0; k < 3; k++) {
    target[k] = s.settings.target(k, s.index[k]);
    off = off || std::abs(s.position[k] - target[k]) * StepsPerMm > 1.0;
  }
  s.off_target += off;
  if (off) mark_off_target_locked();
  if (!s.rows) return;
  PointRow p;
  p.point = s.done;
  p.index = s.index;
  p.target = target;
  p.read = s.position;
  p.status = s.status;
  p.t = now - s.start;
  p.wall = s.wall_start + std::chrono::duration_cast<std::chrono::system_clock::duration>(p.t);
  p.off_target = off;
  s.row(row_of(p));
}

void ScanWatch::mark_off_target_locked() {
  State& s = *s_;
  const MapLayout map(s.settings);
  const auto at = map.place(s.index);
  if (!at) return;
  const int columns = map_cells(map.columns());
  std::vector<bool>& cells = s.off_cells[(*at)[2]];
  if (cells.empty()) cells.assign(static_cast<std::size_t>(columns) * map_cells(map.rows()), false);
  cells[static_cast<std::size_t>(map_cell((*at)[1], map.rows())) * columns + map_cell((*at)[0], map.columns())] =
      true;
}

std::vector<bool> ScanWatch::off_target_cells(int plane) const {
  std::lock_guard lk(mu_);
  const auto it = s_->off_cells.find(plane);
  return it == s_->off_cells.end() ? std::vector<bool>{} : it->second;
}

void ScanWatch::end_locked() {
  State& s = *s_;
  s.lit = false;
  s.ended = clock_.now();
  s.phase = Phase::Ended;
  s.end_state = s.done == s.total ? "completed"
                                  : "stopped after point " + std::to_string(s.done) + " of " + std::to_string(s.total);
  s.end_line("# end: " + s.end_state + "; " + std::to_string(s.off_target) + " off target; " +
             seconds3(s.ended - s.start) + " s");
  if (s.options.on_end) s.options.on_end(snapshot_locked(s.ended));
}

Snapshot ScanWatch::snapshot() const {
  const Time now = clock_.now();
  std::lock_guard lk(mu_);
  return snapshot_locked(now);
}

Snapshot ScanWatch::snapshot_locked(Time now) const {
  const State& s = *s_;
  Snapshot out;
  out.seen = s.seen;
  out.phase = s.phase;
  out.settings = s.settings;
  out.total = s.total;
  out.done = s.done;
  out.off_target = s.off_target;
  out.index = s.index;
  out.position = s.position;
  out.end_state = s.end_state;
  out.record_path = s.path;
  out.record_error = s.error;
  if (!s.seen) return out;
  out.elapsed = (s.lit ? now : s.ended) - s.start;
  if (s.lit && s.plan_total && s.phase != Phase::Stopping)
    out.remaining = std::max(Duration{0}, *s.plan_total + s.drift - out.elapsed);
  return out;
}

}  // namespace vx::scanwatch
