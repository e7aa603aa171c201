// The host's program side (the run-time, the program's thread, popups, the console),
// its operator side (checked values, clicks, the emergency stop, the shutdown) and its
// display side (readings, the live reader, the scan view).
#include "platform/host/host.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <utility>

#include "panel/Varnix_ui.h"
#include "platform/entry/entry.h"
#include "platform/estop/estop.h"
#include "platform/host/preview_worker.h"
#include "platform/host/stdout_capture.h"
#include "platform/stagelib/stage_library.h"

namespace vx::host {

// ---- readings ---------------------------------------------------------------------------

bool Reading::active() const {
  if (engaged || activity.state != "idle" || !activity.queued.empty()) return true;
  for (const observe::AxisLive& a : live)
    if (a.status & (sl::kMovingForward | sl::kMovingReverse | sl::kCommandActive)) return true;
  return false;
}

bool Reading::same_as(const Reading& o) const {
  if (engaged != o.engaged || ended != o.ended || activity.what != o.activity.what ||
      activity.queued != o.activity.queued || activity.commands != o.activity.commands)
    return false;
  for (int axis = 0; axis < observe::kAxes; axis++)
    if (live[axis].units != o.live[axis].units || live[axis].status != o.live[axis].status ||
        live[axis].inhibited != o.live[axis].inhibited)
      return false;
  return true;
}

// ---- the session's log -------------------------------------------------------------------

using observe::plain;

std::string scan_start_note(const scanwatch::Snapshot& s) {
  const scanplan::Settings& st = s.settings;
  const auto counts = st.counts();
  const auto scanned = st.scanned();
  std::string axes;
  for (int k = 0; k < 3; k++) {
    axes += std::string(k ? "; " : "") + observe::axis_name(k) + " ";
    axes += scanned[k] ? std::to_string(counts[k]) + " from " + plain(st.starts()[k]) + " mm by " +
                             plain(st.steps()[k]) + " mm"
                       : "not scanned";
  }
  std::string line = "Scan started: " + std::to_string(s.total) + " points (" + axes + ")";
  if (s.remaining) line += ", planned " + plain(std::round(to_seconds(*s.remaining) * 1000) / 1000) + " s";
  line += s.record_path.empty() ? ", not recorded" : ", recording to " + s.record_path;
  return line;
}

std::string scan_end_note(const scanwatch::Snapshot& s) {
  std::string line = "Scan ended: " + s.end_state + ", " + std::to_string(s.done) + " of " + std::to_string(s.total) +
                     " points";
  if (s.off_target) line += ", " + std::to_string(s.off_target) + " off target";
  if (!s.record_error.empty()) line += "; " + s.record_error;
  else line += s.record_path.empty() ? "; not recorded" : "; recorded to " + s.record_path;
  return line;
}

// ---- the program's side -------------------------------------------------------------------

struct Host::Popup {
  std::uint64_t id = 0;
  WaitChannel channel;
  bool dismissed = false;  // under the clock's mutex
};

// Standard output's lines, handed to the observers as they arrive.
class Host::Console {
 public:
  explicit Console(Host& host)
      : capture_([&host](std::string line) { host.tell([&](Observer& o) { o.console_line(line); }); }) {}
  void drain() { capture_.drain(); }

 private:
  StdoutCapture capture_;
};

Host::Host(Clock& clock, Options options) : clock_(clock), options_(std::move(options)) {
  recording_.store(!options_.record_dir.empty(), std::memory_order_release);
  planner_ = std::make_unique<PreviewWorker>(
      [this](scanplan::Preview p) {
        warn_of_detector(p);
        tell([&](Observer& o) { o.preview_ready(p); });
      });
}

Host::~Host() {
  stop_live();
  planner_.reset();
  reader_.reset();
  dismiss_popups();
  if (program_.joinable()) program_.join();
  scope_.reset();
  runtime_.reset();
  console_.reset();
}

void Host::subscribe(Observer& observer) { observers_.push_back(&observer); }

const rt::ControlSpec* Host::control(int id) const {
  const int panel = main_panel();
  const rt::PanelSpec* spec = panel ? runtime_->spec(panel) : nullptr;
  return spec ? rt::find_control(*spec, id) : nullptr;
}

void Host::start(const rt::Options& faults) {
  if (runtime_) return;
  runtime_ = std::make_unique<rt::Runtime>(this, faults);
  scope_.emplace(*runtime_);
  estop::guard(*runtime_);
  scanwatch::Options wo;
  wo.record_dir = recording() ? options_.record_dir : std::string();
  wo.on_error = [this](const scanwatch::Snapshot& s) { tell([&](Observer& o) { o.record_failed(s); }); };
  wo.on_end = [this](const scanwatch::Snapshot& s) {
    tell([&](Observer& o) { o.note(scan_end_note(s)); });
    tell([&](Observer& o) { o.scan_ended(s); });
  };
  wo.on_reading = [this](const scanwatch::PointReading& r) { tell([&](Observer& o) { o.point_read(r); }); };
  watch_ = std::make_unique<scanwatch::ScanWatch>(*runtime_, clock_, [] { return scanplan::stages_now(); },
                                                  std::move(wo));
  {
    std::lock_guard lk(mu_);
    shutdown_.emplace(*runtime_);
    install_detector_locked();
  }
  // Enrolled here, so that the program counts as running from the moment it exists.
  Participant token = clock_.enroll();
  program_ = std::thread([this, token = std::move(token)]() mutable {
    token.adopt("main");
    const int code = run_program_entry();
    exit_code_.store(code, std::memory_order_release);
    ended_.store(true, std::memory_order_release);
    tell([&](Observer& o) { o.program_ended(code); });
    token.retire();
  });
  if (options_.live.count() > 0 && !clock_.is_virtual()) live_thread_ = std::thread([this] { live_main(); });
}

// A reader for `options_.detector` handed to the watcher; the one it replaces goes once
// the watcher has let go of it. False, changing nothing, while a scan runs.
bool Host::install_detector_locked() {
  const std::shared_ptr<detector::Detector>& d = options_.detector;
  std::unique_ptr<detector::Reader> reader;
  std::optional<scanwatch::DetectorHook> hook;
  if (d && !d->channels().empty()) {
    reader = std::make_unique<detector::Reader>(
        clock_, d, [this](const detector::Point& p, detector::Reading r) { watch_->reading(p, std::move(r)); });
    hook = scanwatch::DetectorHook{d->describe(), d->channels(),
                                   [r = reader.get()](const detector::Point& p) { r->read(p); }};
  }
  if (!watch_->set_detector(std::move(hook))) return false;
  reader_.swap(reader);
  return true;  // the old reader ends here, its thread joined
}

bool Host::set_detector(std::shared_ptr<detector::Detector> d) {
  std::lock_guard lk(mu_);
  if (!watch_) {
    options_.detector = std::move(d);
    return true;
  }
  std::shared_ptr<detector::Detector> old = std::exchange(options_.detector, std::move(d));
  if (!install_detector_locked()) {
    options_.detector = std::move(old);
    return false;
  }
  previewed_.reset();  // the preview's warnings follow the detector
  return true;
}

std::shared_ptr<detector::Detector> Host::detector() const {
  std::lock_guard lk(mu_);
  return options_.detector;
}

void Host::join_program() {
  if (program_.joinable()) program_.join();
}

void Host::panel_loaded(int panel, const rt::PanelSpec& spec) {
  // Only the first panel from a file is the operator's.
  if (panel != main_panel()) return;
  tell([&](Observer& o) { o.panel_loaded(panel, spec); });
}

void Host::panel_displayed(int panel) {
  // Panels made in code (the driver's hidden time-out panel) are never the main one.
  const bool main = panel == main_panel();
  tell([&](Observer& o) { o.panel_displayed(panel, main); });
}

void Host::refused(int, int, const std::string& reason) {
  tell([&](Observer& o) { o.refused(reason); });
}

void Host::control_written(int panel, int control, const rt::Value& v) {
  if (panel != main_panel()) return;
  // Told first, then followed: what the scan watcher reports of a write (a record that
  // failed as the scan began) comes after the write itself.
  tell([&](Observer& o) { o.written(control, v); });
  if (watch_) watch_->control_written(panel, control, v);
  // The scan's start, for the session's log: what it scans, by the plan of its start.
  if (control == PANEL_SCANNING && v.number() == 0) scan_lit_.store(false, std::memory_order_relaxed);
  if (watch_ && control == PANEL_SCANNING && v.number() != 0 && !scan_lit_.exchange(true, std::memory_order_relaxed)) {
    const std::string line = scan_start_note(watch_->snapshot());
    tell([&](Observer& o) { o.note(line); });
  }
}

void Host::popup(const std::string& title, const std::string& message) {
  auto p = std::make_shared<Popup>();
  {
    std::lock_guard lk(mu_);
    p->id = next_popup_++;
    // Ending the program means answering its popups: one that comes during the
    // shutdown is answered at once.
    if (options_.popups == Popups::Wait && !(shutdown_ && shutdown_->begun())) popups_.push_back(p);
    else p->dismissed = true;
  }
  tell([&](Observer& o) { o.popup(p->id, title, message); });
  std::unique_lock lk(clock_.mutex());
  while (!p->dismissed) clock_.wait_until(lk, p->channel, kForever, "MessagePopup");
}

void Host::dismiss_popup(std::uint64_t id) {
  std::shared_ptr<Popup> p;
  {
    std::lock_guard lk(mu_);
    auto it = std::find_if(popups_.begin(), popups_.end(), [&](const auto& q) { return q->id == id; });
    if (it == popups_.end()) return;
    p = *it;
    popups_.erase(it);
  }
  std::lock_guard lk(clock_.mutex());
  p->dismissed = true;
  clock_.notify_all(p->channel);
}

void Host::dismiss_popups() {
  std::vector<std::shared_ptr<Popup>> open;
  {
    std::lock_guard lk(mu_);
    open.swap(popups_);
  }
  std::lock_guard lk(clock_.mutex());
  for (const auto& p : open) {
    p->dismissed = true;
    clock_.notify_all(p->channel);
  }
}

void Host::idle() { tell([](Observer& o) { o.idle(); }); }

void Host::stdio_port(int port) {
  if (port != 0 || !options_.capture_console || console_) return;
  console_ = std::make_unique<Console>(*this);
}

void Host::drain_console() {
  if (console_) console_->drain();
}

// ---- the operator's side ------------------------------------------------------------------

Checked Host::set(int id, double value) {
  const rt::ControlSpec* c = control(id);
  if (!c) return {false, 0, "no such control on the panel"};
  Checked r = check_value(value, *c);
  mark_input(id, r.ok ? std::string() : r.reason);
  if (!r.ok) return r;
  runtime_->set_value(main_panel(), id, c->type == rt::DataType::Int ? rt::Value::of(static_cast<int>(r.value))
                                                                      : rt::Value::of(r.value));
  return r;
}

Checked Host::set_exact(int id, double value) {
  const auto current = runtime_ ? runtime_->value(main_panel(), id) : std::nullopt;
  if (!current) return {false, 0, "no such control on the panel"};
  rt::Value v;
  if (current->type == rt::DataType::Int) {
    if (!(std::isfinite(value) && value == std::trunc(value) && value >= -2147483648.0 && value <= 2147483647.0)) {
      char buf[64];
      const auto r = std::to_chars(buf, buf + sizeof buf, value);
      return {false, 0, "holds an int; " + std::string(buf, r.ptr) + " is not one"};
    }
    v = rt::Value::of(static_cast<int>(value));
  } else if (current->type == rt::DataType::Double) {
    v = rt::Value::of(value);
  } else {
    return {false, 0, "holds no value"};
  }
  mark_input(id, {});
  runtime_->set_value(main_panel(), id, v);
  return {true, value, {}};
}

void Host::mark_input(int id, std::string problem) {
  std::lock_guard lk(mu_);
  if (problem.empty()) invalid_.erase(id);
  else invalid_[id] = std::move(problem);
}

std::optional<std::string> Host::refusal(int command) const {
  const int panel = main_panel();
  if (!panel) return std::nullopt;
  std::vector<std::pair<int, std::string>> bad;
  {
    std::lock_guard lk(mu_);
    for (int input : observe::inputs_read(command))
      if (auto it = invalid_.find(input); it != invalid_.end()) bad.emplace_back(input, it->second);
  }
  if (bad.empty()) return std::nullopt;
  std::string name = describe(command);
  name = name.substr(0, name.find(": "));  // without the values it would read
  std::string fields;
  for (std::size_t k = 0; k < bad.size(); k++)
    fields += (k ? "; " : "") + observe::field_name(*runtime_, panel, bad[k].first) + ": " + bad[k].second;
  return name + " refused, nothing moves: " + fields + " (type a valid number first)";
}

std::string Host::describe(int id) const {
  const int panel = main_panel();
  return panel ? observe::command_text(*runtime_, panel, id) : std::string();
}

Pressed Host::press(int id, const std::string& by) {
  const int panel = main_panel();
  if (!panel) return {};
  Pressed p;
  p.text = describe(id);
  p.refused = refusal(id);
  if (p.refused) {
    tell([&](Observer& o) { o.refused(*p.refused); });
    return p;
  }
  // The stage refuses the motion in silence while the emergency stop holds it.
  if (estop::engaged() && observe::moves(id) && !estop::refusal(id))
    tell([&](Observer& o) { o.note(p.text + ": the emergency stop holds the stages, nothing moves (Release first)"); });
  if (!by.empty()) tell([&](Observer& o) { o.note(by + ": " + p.text); });
  p.commit = runtime_->commit(panel, id);
  if (!by.empty() && p.commit) {
    std::lock_guard lk(mu_);
    whose_[p.commit] = by;
  }
  if (id == PANEL_STOPSCAN && watch_) watch_->stop_requested();
  poke_live();
  return p;
}

bool Host::withdraw(std::uint64_t commit) {
  if (!runtime_) return false;
  std::string text;
  for (const observe::QueuedCommand& c : activity().commands)
    if (c.commit == commit) text = c.text;
  if (!runtime_->withdraw(commit)) return false;
  tell([&](Observer& o) { o.note("Withdrawn from the queue: " + text); });
  poke_live();
  return true;
}

int Host::withdraw_all() {
  if (!runtime_) return 0;
  const int panel = main_panel();
  const std::vector<rt::Activity::Event> gone = runtime_->withdraw_commits();
  if (gone.empty()) return 0;
  std::string text;
  for (const rt::Activity::Event& e : gone)
    text += (text.empty() ? "" : ", ") + observe::command_text(*runtime_, panel, e.control);
  tell([&](Observer& o) { o.note("Withdrawn from the queue: " + text); });
  poke_live();
  return static_cast<int>(gone.size());
}

bool Host::stop_all() {
  const bool was = estop::engaged();
  if (ended()) return false;
  estop::engage(runtime_.get());
  if (watch_ && scanning()) watch_->stop_requested();
  if (!was) tell([](Observer& o) { o.note("Stop all: the emergency stop is engaged"); });
  poke_live();
  return !was;
}

bool Host::release() {
  if (!estop::engaged() || ended()) return false;
  estop::release();
  tell([](Observer& o) { o.note("Release: the emergency stop is lifted"); });
  poke_live();
  return true;
}

bool Host::engaged() { return estop::engaged(); }

void Host::begin_shutdown() {
  dismiss_popups();
  std::lock_guard lk(mu_);
  if (shutdown_) shutdown_->begin();
}

bool Host::shutting_down() const {
  std::lock_guard lk(mu_);
  return shutdown_ && shutdown_->begun();
}

shutdown::Shutdown::Sent Host::shutdown_step() {
  if (ended()) return shutdown::Shutdown::Sent::Nothing;
  std::lock_guard lk(mu_);
  return shutdown_ ? shutdown_->step() : shutdown::Shutdown::Sent::Nothing;
}

// ---- the display side ----------------------------------------------------------------------

Reading Host::read() {
  Reading r;
  r.ended = ended();
  if (!r.ended) {
    const ThreadNameScope as("live");
    r.live = observe::read_live();
  }
  r.engaged = estop::engaged();
  if (runtime_) r.activity = observe::describe_activity(*runtime_, clock_.now(), &r.live);
  mark_whose(r.activity);
  if (!runtime_ || r.ended) observe::mark_not_connected(r.live, 0);  // no stage is open
  else if (r.activity.connecting >= 0) observe::mark_not_connected(r.live, r.activity.connecting);
  return r;
}

observe::ActivityView Host::activity() const {
  observe::ActivityView v = runtime_ ? observe::describe_activity(*runtime_, clock_.now()) : observe::ActivityView{};
  mark_whose(v);
  return v;
}

// A command leaves the queue once and never comes back: what is no longer queued is
// forgotten here.
void Host::mark_whose(observe::ActivityView& v) const {
  std::lock_guard lk(mu_);
  if (whose_.empty()) return;
  std::map<std::uint64_t, std::string> still;
  for (observe::QueuedCommand& c : v.commands)
    if (const auto it = whose_.find(c.commit); it != whose_.end()) {
      c.text += " (" + it->second + ")";
      still.insert(*it);
    }
  whose_.swap(still);
}

bool Host::scanning() const { return runtime_ && observe::scanning(*runtime_); }

scanwatch::Snapshot Host::scan() const { return watch_ ? watch_->snapshot() : scanwatch::Snapshot{}; }

ScanView Host::scan_view() {
  ScanView v;
  v.scan = scan();
  v.running = v.scan.seen && v.scan.phase != scanwatch::Phase::Ended;
  if (!runtime_ || !main_panel()) return v;
  v.settings = scanplan::read_settings(*runtime_, main_panel());
  // Where the stages are now, in the counters' millimetres: the map's marker moves with
  // them even while the scan's displays wait for the next point.
  const auto stages = scanplan::stages_now();
  for (int k = 0; k < 3; k++) v.at[k] = (stages[k].position - stages[k].zero) / stages[k].units_per_mm;
  {
    std::lock_guard lk(mu_);
    // Planned again only when the settings or the stages changed, on the planner's own
    // thread: a large grid takes it up to tenths of a second. A running scan keeps the
    // preview it started with.
    if (!v.running && v.settings && (!previewed_ || *previewed_ != *v.settings || v.at != previewed_at_)) {
      planner_->request(*v.settings, stages);
      previewed_ = v.settings;
      previewed_at_ = v.at;
    }
  }
  v.map_shows_scan = v.scan.seen && (v.running || v.settings == v.scan.settings);
  return v;
}

void Host::wait_for_preview() { planner_->wait_idle(); }

std::optional<scanplan::Preview> Host::preview_now() {
  const auto settings = runtime_ && main_panel() ? scanplan::read_settings(*runtime_, main_panel()) : std::nullopt;
  if (!settings) return std::nullopt;
  scanplan::Preview p = scanplan::preview(*settings, scanplan::stages_now());
  warn_of_detector(p);
  return p;
}

void Host::warn_of_detector(scanplan::Preview& p) const {
  const auto d = detector();
  if (!d || d->exposure() <= scanplan::kDwell) return;
  char text[160];
  std::snprintf(text, sizeof text,
                "the detector's exposure (%g s) is longer than the %g s dwell at each point: its readings will "
                "come late",
                to_seconds(d->exposure()), to_seconds(scanplan::kDwell));
  p.warnings.push_back(text);
}

void Host::set_recording(bool on) {
  recording_.store(on && !options_.record_dir.empty(), std::memory_order_release);
  if (watch_) watch_->set_record_dir(recording() ? options_.record_dir : std::string());
}

void Host::poke_live() {
  std::lock_guard lk(clock_.mutex());
  live_poked_ = true;
  clock_.notify_all(live_channel_);
}

void Host::stop_live() {
  if (!live_thread_.joinable()) return;
  {
    std::lock_guard lk(clock_.mutex());
    live_stop_ = true;
    clock_.notify_all(live_channel_);
  }
  live_thread_.join();
}

// At rest (no stage busy, the program idle, nothing queued) it reads twice a second, as
// often as the program's own panel timer refreshes its displays, else at the live
// period: at rest nothing moves unless an action starts it, and each wake costs an idle
// window more than the reading itself. An action wakes it at once, so that the motion
// it starts is followed from its first moment. Only a reading that differs from the
// last is told.
void Host::live_main() {
  set_thread_name("live");
  constexpr std::chrono::milliseconds kAtRest{500};
  std::optional<Reading> last;
  bool active = true;
  for (;;) {
    {
      std::unique_lock lk(clock_.mutex());
      const Duration period = active ? Duration(options_.live) : std::max<Duration>(options_.live, kAtRest);
      const Time deadline = clock_.now_locked() + period;
      while (!live_stop_ && !live_poked_ && clock_.now_locked() < deadline)
        clock_.wait_until(lk, live_channel_, deadline, "live view");
      if (live_stop_) return;
      live_poked_ = false;
    }
    Reading r = read();
    active = r.active();
    if (last && last->same_as(r)) continue;
    last = r;
    tell([&](Observer& o) { o.reading(r); });
  }
}

}  // namespace vx::host
