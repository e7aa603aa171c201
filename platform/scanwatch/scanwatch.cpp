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
#include <deque>
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

std::vector<std::string> detector_columns(const std::vector<std::string>& channels) {
  std::vector<std::string> out;
  if (channels.empty()) return out;
  for (const std::string& c : channels) out.push_back("det_" + c);
  out.push_back("det_late");
  out.push_back("det_error");
  return out;
}

namespace {

// A field as RFC 4180 carries it: quoted when it holds a comma or a quote; a line's end
// inside it becomes a space, so that every record line stays one line.
std::string csv_field(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  if (text.find_first_of(",\"") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

}  // namespace

std::string header_row(const std::vector<std::string>& channels) {
  std::string out;
  for (const Column& c : columns()) out += (out.empty() ? "" : ",") + std::string(c.name);
  for (const std::string& c : detector_columns(channels)) out += "," + c;
  return out;
}

std::string row_of(const PointRow& p, const std::vector<std::string>& channels) {
  std::string out;
  for (const Column& c : columns()) {
    if (!out.empty()) out += ',';
    out += c.format(p);
  }
  if (channels.empty()) return out;
  for (std::size_t c = 0; c < channels.size(); c++) out += "," + (c < p.values.size() ? num(p.values[c]) : "");
  out += p.late ? ",1," : ",0,";
  out += csv_field(p.detector_error);
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

namespace {

// A plane's cells, and the cell of a place {column, row, plane}, row by row.
std::size_t plane_cells(const MapLayout& map) {
  return static_cast<std::size_t>(map_cells(map.columns())) * map_cells(map.rows());
}
// A reading's value as the map keeps it: a float, a finite value beyond a float's range
// held at the range's end (the conversion itself would be undefined).
float map_value(double v) {
  constexpr double kMax = std::numeric_limits<float>::max();
  return static_cast<float>(std::isfinite(v) ? std::clamp(v, -kMax, kMax) : v);
}

std::size_t cell_of(const MapLayout& map, const std::array<int, 3>& place) {
  return static_cast<std::size_t>(map_cell(place[1], map.rows())) * map_cells(map.columns()) +
         map_cell(place[0], map.columns());
}

}  // namespace

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
  // The detector of the scan, and the map's values by plane: per cell a value per
  // channel (NaN: none) and its MapValues flags; only planes with a reading have one.
  std::optional<DetectorHook> detector;
  std::uint64_t scan_id = 0;
  struct PlaneValues {
    std::vector<float> values;
    std::vector<std::uint8_t> flags;
  };
  std::map<int, PlaneValues> values;
  long long moved_on = 0;  // points whose dwell has ended: a reading for one is late
  // Rows waiting for their readings, in order; with `read` once their reading is in.
  struct Pending {
    PointRow row;
    bool read = false;
  };
  std::deque<Pending> pending;
  bool end_pending = false;  // the scan ended with readings still to come
  long long read = 0, late = 0, missing = 0;
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
                      (plan_total ? ", planned duration " + seconds3(*plan_total) + " s" : std::string())},
                 "no point is recorded");
    if (rows && detector) rows = write({detector_line()}, "no point is recorded");
    if (rows) rows = write({header_row(detector ? detector->channels : std::vector<std::string>{})},
                 "no point is recorded");
  }

  // The record's line naming the detector, its settings and channels.
  std::string detector_line() const {
    std::string text = detector->text;
    for (char& c : text)
      if (c == '\r' || c == '\n') c = ' ';
    std::string names;
    for (const std::string& c : detector->channels) names += (names.empty() ? "" : " ") + c;
    return "# detector: " + text + "; channels: " + names;
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

  // Readings that will not come: their rows are kept, without values, saying `why`.
  void abandon_readings(const char* why) {
    for (Pending& p : pending)
      if (!p.read) {
        p.read = true;
        p.row.detector_error = why;
        read++;
        missing++;
      }
  }

  // The record's last line.
  std::string end_state_line() const {
    std::string l = "# end: " + end_state + "; " + std::to_string(off_target) + " off target; " +
                    seconds3(ended - start) + " s";
    if (detector)
      l += "; " + std::to_string(read) + " readings, " + std::to_string(late) + " late, " + std::to_string(missing) +
           " without values";
    return l;
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
  s_->abandon_readings("no reading: the program ended first");
  flush_locked();
  if (s_->end_pending) s_->end_line(s_->end_state_line());
  else if (s_->lit) s_->end_line("# end: not seen (the watcher ended first), after point " + std::to_string(s_->done) +
                            " of " + std::to_string(s_->total));
}

void ScanWatch::set_record_dir(std::string dir) {
  std::lock_guard lk(mu_);
  s_->options.record_dir = std::move(dir);
}

bool ScanWatch::set_detector(std::optional<DetectorHook> hook) {
  std::lock_guard lk(mu_);
  State& s = *s_;
  if (s.lit) return false;
  if (s.end_pending) {
    s.abandon_readings("no reading: the detector was changed first");
    flush_locked();
    finish_locked();
  }
  s.options.detector = std::move(hook);
  return true;
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
    // An index written after a point: the program has moved on from it.
    case PANEL_IX: s.index[0] = v.i; s.moved_on = s.done; return;
    case PANEL_IY: s.index[1] = v.i; s.moved_on = s.done; return;
    case PANEL_IZ: s.index[2] = v.i; s.moved_on = s.done; return;
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
  // A scan that ended with readings still to come is over for the record: its rows
  // are written without them.
  if (s.end_pending) {
    s.abandon_readings("no reading: the next scan began first");
    flush_locked();
    s.end_line(s.end_state_line());
    s.end_pending = false;
  }
  s.pending.clear();
  s.scan_id++;
  s.detector = s.options.detector;
  s.values.clear();
  s.moved_on = 0;
  s.read = s.late = s.missing = 0;
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
  if (!s.rows && !s.detector) return;
  PointRow p;
  p.point = s.done;
  p.index = s.index;
  p.target = target;
  p.read = s.position;
  p.status = s.status;
  p.t = now - s.start;
  p.wall = s.wall_start + std::chrono::duration_cast<std::chrono::system_clock::duration>(p.t);
  p.off_target = off;
  if (!s.detector) return s.row(row_of(p));
  // The dwell begins: the reading is asked for now, and the row waits for it.
  s.pending.push_back({p, false});
  s.detector->read(detector::Point{s.scan_id, p.point, p.index, p.target, p.read});
}

void ScanWatch::reading(const detector::Point& p, detector::Reading r) {
  std::lock_guard lk(mu_);
  State& s = *s_;
  if (p.scan != s.scan_id || !s.detector || s.pending.empty()) return;
  const long long at = p.point - s.pending.front().row.point;
  if (at < 0 || at >= static_cast<long long>(s.pending.size())) return;
  State::Pending& row = s.pending[static_cast<std::size_t>(at)];
  if (row.read) return;
  const std::size_t channels = s.detector->channels.size();
  if (r.ok() && r.values.size() != channels) {
    r.error = "the reading had " + std::to_string(r.values.size()) + " values for " + std::to_string(channels) +
              " channels";
    r.values.clear();
  }
  if (!r.ok()) r.values.clear();
  row.read = true;
  row.row.late = p.point <= s.moved_on;
  row.row.values = r.values;
  row.row.detector_error = r.error;
  s.read++;
  s.late += row.row.late;
  s.missing += !r.ok();
  // The map's cell.
  const MapLayout map(s.settings);
  if (const auto place = map.place(p.index)) {
    State::PlaneValues& plane = s.values[(*place)[2]];
    if (plane.flags.empty()) {
      plane.flags.assign(plane_cells(map), 0);
      plane.values.assign(plane_cells(map) * channels, std::numeric_limits<float>::quiet_NaN());
    }
    const std::size_t cell = cell_of(map, *place);
    plane.flags[cell] = MapValues::kRead | (row.row.late ? MapValues::kLate : 0) | (r.ok() ? 0 : MapValues::kMissing);
    for (std::size_t c = 0; c < channels; c++)
      plane.values[cell * channels + c] = r.ok() ? map_value(r.values[c]) : std::numeric_limits<float>::quiet_NaN();
  }
  const bool late = row.row.late;
  flush_locked();
  if (s.options.on_reading) s.options.on_reading(PointReading{p, std::move(r), late, s.detector->channels});
  if (s.end_pending && s.pending.empty()) finish_locked();
}

void ScanWatch::flush_locked() {
  State& s = *s_;
  while (!s.pending.empty() && s.pending.front().read) {
    // Rows from the points done so far: `done` names the first lost one when a write fails.
    const long long done = s.done;
    s.done = s.pending.front().row.point;
    s.row(row_of(s.pending.front().row, s.detector ? s.detector->channels : std::vector<std::string>{}));
    s.done = done;
    s.pending.pop_front();
  }
}

bool MapValues::operator==(const MapValues& o) const {
  return columns == o.columns && rows == o.rows && flags == o.flags && values.size() == o.values.size() &&
         (values.empty() || std::memcmp(values.data(), o.values.data(), values.size() * sizeof(float)) == 0) &&
         std::memcmp(&low, &o.low, sizeof low) == 0 && std::memcmp(&high, &o.high, sizeof high) == 0;
}

MapValues ScanWatch::map_values(int plane, int channel) const {
  std::lock_guard lk(mu_);
  const State& s = *s_;
  MapValues out;
  const auto it = s.values.find(plane);
  if (it == s.values.end() || !s.detector || channel < 0 ||
      channel >= static_cast<int>(s.detector->channels.size()))
    return out;
  const MapLayout map(s.settings);
  out.columns = map_cells(map.columns());
  out.rows = map_cells(map.rows());
  const std::size_t channels = s.detector->channels.size();
  out.flags = it->second.flags;
  out.values.resize(out.flags.size());
  out.low = std::numeric_limits<float>::infinity();
  out.high = -std::numeric_limits<float>::infinity();
  for (std::size_t c = 0; c < out.flags.size(); c++) {
    const float v = it->second.values[c * channels + static_cast<std::size_t>(channel)];
    out.values[c] = v;
    if (!std::isnan(v)) {
      out.low = std::min(out.low, v);
      out.high = std::max(out.high, v);
    }
  }
  return out;
}

void ScanWatch::mark_off_target_locked() {
  State& s = *s_;
  const MapLayout map(s.settings);
  const auto at = map.place(s.index);
  if (!at) return;
  std::vector<bool>& cells = s.off_cells[(*at)[2]];
  if (cells.empty()) cells.assign(plane_cells(map), false);
  cells[cell_of(map, *at)] = true;
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
  s.moved_on = s.done;
  s.end_state = s.done == s.total ? "completed"
                                  : "stopped after point " + std::to_string(s.done) + " of " + std::to_string(s.total);
  // The end line and the end's report wait for the readings still to come.
  if (!s.pending.empty()) {
    s.end_pending = true;
    return;
  }
  finish_locked();
}

void ScanWatch::finish_locked() {
  State& s = *s_;
  s.end_pending = false;
  s.end_line(s.end_state_line());
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
  if (s.detector) {
    out.detector = s.detector->text;
    out.channels = s.detector->channels;
  }
  out.read = s.read;
  out.late = s.late;
  out.missing = s.missing;
  if (!s.seen) return out;
  out.elapsed = (s.lit ? now : s.ended) - s.start;
  if (s.lit && s.plan_total && s.phase != Phase::Stopping)
    out.remaining = std::max(Duration{0}, *s.plan_total + s.drift - out.elapsed);
  return out;
}

}  // namespace vx::scanwatch
