// The session runner's engine, a front end of the headless host: it makes the clock and
// the stages, plays the statements through the host, prints what the host tells (watched
// writes, popups, refusals, records), and answers a shutdown signal (a watcher thread
// outside the clock raises a flag that every wait looks at).
//
// Serving remote clients, it is the control server's handler: a client's line is queued
// and played on the runner's thread as a script line would be, its lines collected into
// the client's reply. While one client's `wait` or `until` plays, the others' statements
// that take no time (an estop, a look) are played in between, so that anyone may stop
// everything. Between statements the runner's thread waits outside the clock, so
// virtual time stands still.
//
// The same engine serves the window's clients (Remote): attached to the host the
// window owns, it plays their statements on a thread of its own, with no script, and
// leaves the program's start and end to the window.
//
// Built against another stage library than the simulator (VARNIX_SIMULATED_STAGES 0),
// the runner drives that library's stages on the real clock, and refuses what only the
// simulator has: its faults and its call trace.
#include "platform/session/session.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "driver/axs.h"
#include "panel/Varnix_ui.h"
#include "platform/clock/clock.h"
#include "platform/host/host.h"
#include "platform/observe/observe.h"
#include "platform/runtime/runtime.h"
#include "platform/scanplan/scanplan.h"
#include "platform/signals/signals.h"
#if VARNIX_SIMULATED_STAGES
#include "platform/stagesim/simulator.h"
#endif

namespace vx::session {

namespace {

// How long the runner waits for the program to end after a quit: virtual seconds (a
// homing may take 180 s before the quit is served).
constexpr double kQuitBound = 3600;
// How long start-up may take before the program first waits for an event with none
// queued: it takes 6.6 s. A program busy for longer never comes to rest (a panel timer
// that ticks again before the program has served its last tick, say), and no statement
// after start could be played against it at a point of rest.
constexpr double kRestBound = 60;
// How often the shutdown after a signal looks at the panel.
constexpr double kShutdownPoll = 0.1;

std::string format_double(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::string format_value(const rt::Value& v) {
  if (v.type == rt::DataType::Int) return std::to_string(v.i);
  if (v.type == rt::DataType::Double) return format_double(v.d);
  return "(none)";
}

// A point's reading as "watch readings" prints it (after "@ TIME "):
//   reading POINT ix=I iy=J iz=K x=MM y=MM z=MM NAME=VALUE... late=0|1 [error=REASON]
// x, y and z are where the stages stood; the error, when there is one, is the rest of
// the line and the reading has no values.
std::string reading_line(const scanwatch::PointReading& r) {
  auto num = [](double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.9g", v);
    return std::string(b);
  };
  const detector::Point& p = r.point;
  std::string l = "reading " + std::to_string(p.point) + " ix=" + std::to_string(p.index[0]) +
                  " iy=" + std::to_string(p.index[1]) + " iz=" + std::to_string(p.index[2]) + " x=" + num(p.read[0]) +
                  " y=" + num(p.read[1]) + " z=" + num(p.read[2]);
  for (std::size_t c = 0; c < r.reading.values.size() && c < r.channels.size(); c++)
    l += " " + r.channels[c] + "=" + num(r.reading.values[c]);
  l += r.late ? " late=1" : " late=0";
  if (!r.reading.ok()) {
    std::string why = r.reading.error;
    for (char& ch : why)
      if (ch == '\n' || ch == '\r') ch = ' ';
    l += " error=" + why;
  }
  return l;
}

// Whole lines on standard output, in order with the program's printf lines.
void say(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
}

std::string serial_of(const std::string& axis) {
  if (axis == "X") return serialNumbers[0];
  if (axis == "Y") return serialNumbers[1];
  if (axis == "Z") return serialNumbers[2];
  return axis;
}

// The statements only the client holding control may play; estop is anyone's.
bool acts(Op op) {
  return op == Op::Set || op == Op::Press || op == Op::Release || op == Op::Quit || op == Op::Fault ||
         op == Op::Start;
}

// The statements that may wait on the clock: a client's waits one after another.
bool takes_time(Op op) { return op == Op::Wait || op == Op::Until || op == Op::Quit || op == Op::Start; }

const Script kNoScript{};

}  // namespace

class Session final : public host::Observer, public control::Handler {
 public:
  Session(const Script& script, const Options& options) : script_(script), options_(options) {}
  // Serving clients against a host another front end owns (Remote).
  Session(host::Host& host, Clock& clock, const Options& options, std::string program,
          std::function<void()> clients_changed)
      : script_(kNoScript), options_(options), clock_(&clock), host_(&host), attached_(true),
        clients_changed_(std::move(clients_changed)) {
    control::Options co;
    co.addresses = options_.listen;
    co.token = options_.token;
    co.program = std::move(program);
    server_.emplace(std::move(co), *this);
    host.subscribe(*this);
  }
  ~Session() override {
    if (attached_) stop_serving();
  }

  int run();
  bool start_serving(std::string& error);
  void stop_serving();
  control::Server& server() { return *server_; }

  // ---- host::Observer (the program's threads)
  void written(int control, const rt::Value& v) override {
    if (control == PANEL_SCANNING && v.number() != 0) {
      std::lock_guard lk(clock_->mutex());
      ++scans_lit_;
    }
    {
      std::lock_guard lk(watch_mu_);
      if (watched_.count(control)) say("@ " + stamp() + " " + name_of(control) + " = " + format_value(v) + "\n");
      for (const auto& [client, ids] : client_watch_)
        if (ids.count(control)) server_->event(client, "@ " + stamp() + " " + name_of(control) + " = " + format_value(v) + "\n");
    }
    poke();
  }
  void console_line(const std::string& line) override {
    if (line.rfind("@ ", 0) == 0) return;  // the runner's own
    std::lock_guard lk(watch_mu_);
    for (control::ClientId c : logging_) server_->event(c, "@ log " + stamp() + " " + line + "\n");
  }
  void panel_displayed(int panel, bool) override {
    if (options_.trace) say("@ trace " + stamp() + " " + thread_name() + " DisplayPanel(" + std::to_string(panel) + ")\n");
  }
  void popup(std::uint64_t, const std::string& title, const std::string& message) override {
    tell("@ popup \"" + title + "\" \"" + message + "\"\n");
  }
  void refused(const std::string& reason) override { tell("@ " + reason + "\n"); }
  void record_failed(const scanwatch::Snapshot& s) override { tell("@ record error: " + s.record_error + "\n"); }
  void point_read(const scanwatch::PointReading& r) override {
    const std::string line = "@ " + stamp() + " " + reading_line(r) + "\n";
    if (readings_.load(std::memory_order_acquire)) say(line);
    std::lock_guard lk(watch_mu_);
    for (control::ClientId c : client_readings_) server_->event(c, line);
  }
  void scan_ended(const scanwatch::Snapshot& s) override {
    if (!s.record_path.empty()) tell("@ record " + s.record_path + "\n");
  }
  void idle() override {
    std::lock_guard lk(clock_->mutex());
    idle_seen_ = true;
    wake_locked();
  }
  void program_ended(int) override {
    std::lock_guard lk(clock_->mutex());
    done_ = true;
    wake_locked();
    queued_cv_.notify_all();
  }

  // ---- control::Handler (the server's I/O thread)
  void statement(control::ClientId client, std::string line) override {
    std::lock_guard lk(clock_->mutex());
    queue_.push_back({client, std::move(line)});
    wake_locked();
    queued_cv_.notify_all();
  }
  void disconnected(control::ClientId client) override {
    {
      std::lock_guard lk(watch_mu_);
      client_watch_.erase(client);
      client_readings_.erase(client);
      logging_.erase(client);
    }
    std::lock_guard lk(clock_->mutex());
    // A statement it sent but that has not begun is dropped; one that plays runs on
    // (a move the client began goes on), but a wait of its own ends.
    std::erase_if(queue_, [&](const Queued& q) { return q.client == client; });
    if (client == playing_) gone_ = true;
    wake_locked();
  }
  void clients_changed() override {
    if (clients_changed_) clients_changed_();
  }

 private:
  int main_panel() const { return host_->main_panel(); }
  rt::Runtime& runtime() { return *host_->runtime(); }
  std::string stamp() const {
    char t[32];
    std::snprintf(t, sizeof t, "%.3f", to_seconds(clock_->now()));
    return t;
  }
  std::string name_of(int id) { return observe::control_name(runtime(), main_panel(), id); }

  void poke() {
    std::lock_guard lk(clock_->mutex());
    wake_locked();
  }
  // Every wake of the script's waits is counted, so that a wait that looked at its
  // condition before taking the clock's lock sees a wake it would otherwise miss.
  void wake_locked() {
    ++wakes_;
    clock_->notify_all(channel_);
  }
  std::uint64_t wakes() {
    std::lock_guard lk(clock_->mutex());
    return wakes_;
  }

  // Blocks until pred() holds (checked with the clock's lock held) or until the deadline.
  template <class Pred>
  bool wait_for(Pred pred, Time deadline, const char* what) {
    return wait_on(channel_, pred, deadline, what);
  }
  template <class Pred>
  bool wait_on(WaitChannel& ch, Pred pred, Time deadline, const char* what) {
    std::unique_lock lk(clock_->mutex());
    while (!pred()) {
      if (clock_->now_locked() >= deadline) return false;
      clock_->wait_until(lk, ch, deadline, what);
    }
    return true;
  }

  Time deadline_after(double seconds) {
    const Time now = clock_->now();
    const Duration d = from_seconds(seconds);
    return d >= kForever - now ? kForever : now + d;
  }

  bool program_done() {
    std::lock_guard lk(clock_->mutex());
    return done_;
  }

  std::optional<int> resolve(const ControlRef& ref, const Statement& st) {
    if (ref.name.empty()) return ref.id;
    if (const rt::PanelSpec* sp = runtime().spec(main_panel()))
      for (const rt::ControlSpec& c : sp->controls)
        if (c.name == ref.name) return c.id;
    fail(st, "no control " + ref.name + " on the panel");
    return std::nullopt;
  }

  void fail(const Statement& st, const std::string& msg) { fail_at(&st, msg); }
  // Who acts, as the log names a client's commands ("remote client 2"); "" for the script.
  std::string client_name() const { return reply_ ? "remote client " + std::to_string(reply_->client) : ""; }
  void fail_at(const Statement* st, const std::string& msg) {
    if (reply_) {  // a client's statement: its closing line says why
      if (!reply_->error) reply_->error = msg;
      return;
    }
    say("@ FAIL " + std::to_string(st ? st->line : 0) + ": " + msg + "\n");
    failed_ = true;
  }

  // A line the statement shows: into the client's reply, or on standard output.
  void out(const std::string& line) {
    if (reply_) reply_->lines += line;
    else say(line);
  }
  // A line of what happens (a popup, a refusal, a record): on standard output, and to
  // every client that follows the log.
  void tell(const std::string& line) {
    if (!attached_) say(line);  // the window shows these itself
    if (!server_) return;
    std::lock_guard lk(watch_mu_);
    for (control::ClientId c : logging_) server_->event(c, line);
  }

  bool need_panel(const Statement& st) {
    if (main_panel()) return true;
    fail(st, "the program has no panel (start it first)");
    return false;
  }

  void show_live();
  void show_activity();
  void apply_fault(const Statement& st);
  void start(const Statement& st);
  void execute(const Statement& st);
  void set(const Statement& st);
  void press(const Statement& st);
  void check(const Statement& st);
  void show(const Statement& st);
  void watch(const Statement& st);
  void preview(const Statement& st);
  void finish_program(const Statement* st);
  bool shut_down(const std::string& why);
  void join_workers(const Statement* st);
  void watch_signals();

  // ---- serving remote clients
  struct Queued {
    control::ClientId client = 0;
    std::string line;
  };
  struct Reply {
    control::ClientId client = 0;
    std::string lines;
    std::optional<std::string> error;
  };
  void serve();
  void play(const Queued& q);
  void play_line(const Queued& q);
  bool pause(WaitChannel& ch, Time deadline, const char* what, std::uint64_t seen);
  bool play_other();
  std::deque<Queued>::iterator other_ready_locked();
  bool client_gone();

  // A shutdown signal came (the watcher thread sets it, under the clock's lock), or the
  // front end that serves stops serving.
  bool signalled() const {
    return signal_.load(std::memory_order_acquire) != 0 || stopping_.load(std::memory_order_acquire);
  }
  std::string rest_hint();

  const Script& script_;
  Options options_;
  std::atomic<bool> readings_{false};  // watch readings
  std::unique_ptr<Clock> owned_clock_;
  Clock* clock_ = nullptr;
#if VARNIX_SIMULATED_STAGES
  std::unique_ptr<sim::Simulator> sim_;
#endif
  std::optional<host::Host> owned_host_;
  host::Host* host_ = nullptr;
  // Serving for another front end, on its host (Remote): no script, no process to end.
  const bool attached_ = false;
  std::function<void()> clients_changed_;
  std::atomic<bool> stopping_{false};
  std::thread server_thread_;
  rt::Options rt_options_;
  WaitChannel channel_;
  WaitChannel signal_ch_;  // only a signal wakes it
  bool done_ = false;       // under the clock's mutex
  bool idle_seen_ = false;  // under the clock's mutex
  std::uint64_t scans_lit_ = 0;  // writes that lit the Scanning lamp; under the clock's mutex
  bool failed_ = false;
  bool exited_ = false;
  std::mutex watch_mu_;  // watched_, client_watch_, client_readings_, logging_
  std::set<int> watched_;
  std::map<control::ClientId, std::set<int>> client_watch_;
  std::set<control::ClientId> client_readings_;  // clients that watch readings
  std::set<control::ClientId> logging_;
  std::optional<control::Server> server_;
  std::deque<Queued> queue_;              // under the clock's mutex
  control::ClientId playing_ = 0;         // whose statement plays; under the clock's mutex
  bool gone_ = false;                     // that client has gone; under the clock's mutex
  std::uint64_t wakes_ = 0;               // wake_locked() calls; under the clock's mutex
  std::condition_variable queued_cv_;     // with the clock's mutex: a line, a signal, the end
  std::atomic<bool> awaiting_{false};     // waiting for a line, outside the clock
  Reply* reply_ = nullptr;                // the client statement playing (runner's thread)
  bool serving_ = false;
  std::atomic<int> signal_{0};
  bool shut_down_ = false;  // the program was ended through the shutdown sequence
  std::optional<sig::ShutdownSignals> signals_;
  std::thread signal_watcher_;
};

void Session::apply_fault(const Statement& st) {
  const std::string serial = serial_of(st.axis);
  const auto& a = st.args;
  auto arg = [&](size_t k, double dflt) { return k < a.size() ? a[k] : dflt; };
  auto as_int = [](double v) -> long long {
    if (!std::isfinite(v)) return 0;
    return static_cast<long long>(std::fmax(-9.2e18, std::fmin(9.2e18, v)));
  };
  if (st.fault == "init") rt_options_.fail_init = true;
  else if (st.fault == "pool") rt_options_.fail_pool = true;
  else if (st.fault == "schedule") rt_options_.fail_schedule = true;
#if VARNIX_SIMULATED_STAGES
  else if (st.fault == "open") sim_->fail_open(serial, static_cast<short>(as_int(a[0])));
  else if (st.fault == "info") sim_->fail_info(serial);
  else if (st.fault == "stall") sim_->stall(serial, arg(0, 1) != 0);
  else if (st.fault == "message")
    sim_->inject_message(serial, static_cast<WORD>(as_int(a[0])), static_cast<WORD>(as_int(a[1])),
                         static_cast<DWORD>(as_int(arg(2, 0))));
  else if (st.fault == "status")
    sim_->force_status(serial, static_cast<DWORD>(as_int(a[0])), static_cast<DWORD>(as_int(arg(1, 0))));
  else if (st.fault == "drop") sim_->drop_completions(serial, static_cast<int>(as_int(arg(0, -1))));
  else if (st.fault == "delay") sim_->delay_completions(serial, a[0]);
  else if (st.fault == "channel") sim_->channel_return(serial, static_cast<short>(as_int(a[0])));
  else if (st.fault == "position") sim_->set_position(serial, static_cast<int>(as_int(a[0])));
  else if (st.fault == "disable") sim_->power_disable(serial);
#else
  (void)serial, (void)arg, (void)as_int;
#endif
}

// The stages are read by the host under the thread name "live", so that the reads show
// in a trace as the observer's and nothing else of the trace changes.
void Session::show_live() {
  for (const observe::AxisLive& a : host_->read().live) {
    char pos[64];
    std::snprintf(pos, sizeof pos, "%.4f", a.position_mm);
    std::string line = std::string("@ live ") + observe::axis_name(a.axis) + " " + pos + " " + observe::words_text(a);
    if (!a.reason.empty()) line += " \"" + a.reason + "\"";
    out(line + "\n");
  }
}

void Session::show_activity() {
  if (!host_->started()) {
    out("@ activity \"Not started\" queued 0:\n");
    return;
  }
  const observe::ActivityView v = host_->activity();
  std::string line = "@ activity \"" + v.what + "\" queued " + std::to_string(v.queued.size()) + ":";
  for (const std::string& n : v.queued_names) line += " " + n;
  out(line + "\n");
}

void Session::start(const Statement& st) {
  host_->start(rt_options_);
  // Start-up ends when the program first waits for an event (or returns).
  const bool rested =
      wait_for([this] { return idle_seen_ || done_ || signalled(); }, deadline_after(kRestBound), "session: start");
  clock_->settle();
  if (!rested)
    fail(st, "the program did not come to rest within " + format_double(kRestBound) +
                 " s of start: it never waited for an event with none queued" + rest_hint());
}

// Why a program may never rest: its panel timer ticking again before each tick's
// refresh and the loop's pause are done.
std::string Session::rest_hint() {
  const int panel = main_panel();
  const rt::PanelSpec* sp = panel ? runtime().spec(panel) : nullptr;
  if (!sp) return "";
  for (const rt::ControlSpec& c : sp->controls)
    if (c.kind == rt::Kind::Timer)
      if (auto v = runtime().timer_interval(panel, c.id); v && runtime().timer_enabled(panel, c.id).value_or(false))
        return " (its panel timer " + c.name + " ticks every " + format_double(v->number()) +
               " s, sooner than the program serves a tick and pauses 0.001 s after it)";
  return "";
}

void Session::execute(const Statement& st) {
  switch (st.op) {
    case Op::Fault:
      if (attached_) return fail(st, "faults are varnix-session's, played before its program starts");
      if (runtime_fault(st) && host_->started()) return fail(st, "fault " + st.fault + " must come before start");
      return apply_fault(st);
    case Op::Start:
      if (host_->started()) return fail(st, "the program was started already");
      return start(st);
    case Op::Set:
      return set(st);
    case Op::Press:
      return press(st);
    case Op::Wait: {
      // A wait on a channel rather than a sleep, so that a signal cuts it short.
      const Time deadline = deadline_after(st.seconds);
      // Serving, other clients' statements wake it too.
      WaitChannel& ch = serving_ ? channel_ : signal_ch_;
      for (;;) {
        const std::uint64_t seen = wakes();
        if (signalled() || client_gone() || !pause(ch, deadline, "session: wait", seen)) break;
      }
      return;
    }
    case Op::Until:
    case Op::Expect:
      return check(st);
    case Op::Show:
      return show(st);
    case Op::Watch:
      return watch(st);
    case Op::Readings:
      if (reply_) {
        std::lock_guard lk(watch_mu_);
        client_readings_.insert(reply_->client);
      } else {
        readings_.store(true, std::memory_order_release);
      }
      return;
    case Op::Quit:
      // At a front end's program, quit is its Quit button: the front end ends it.
      if (attached_) {
        host_->press(PANEL_QUIT, client_name());
        return;
      }
      return finish_program(&st);
    case Op::Estop:
      host_->stop_all();
      return;
    case Op::Release:
      host_->release();
      return;
    case Op::Preview:
      return preview(st);
    case Op::Live:
      return show_live();
    case Op::Activity:
      return show_activity();
  }
}

// Writes exactly the script's value: a script tests how the program takes any value,
// out of range included; only an int control's whole numbers are insisted on.
// A remote client types its value as the operator would: checked against the control.
void Session::set(const Statement& st) {
  if (!need_panel(st)) return;
  auto id = resolve(st.controls[0], st);
  if (!id) return;
  if (!runtime().value(main_panel(), *id)) return fail(st, "no control " + st.controls[0].text() + " on the panel");
  const host::Checked r = reply_ ? host_->set(*id, st.value) : host_->set_exact(*id, st.value);
  if (!r.ok) fail(st, st.controls[0].text() + " " + r.reason);
}

void Session::press(const Statement& st) {
  if (!need_panel(st)) return;
  if (auto id = resolve(st.controls[0], st)) host_->press(*id, client_name());
}

// `expect` looks once; `until` waits for the condition, within its bound.
void Session::check(const Statement& st) {
  if (!need_panel(st)) return;
  auto id = resolve(st.controls[0], st);
  if (!id) return;
  const int panel = main_panel();
  std::optional<rt::Value> seen;
  auto holds = [&] {
    seen = runtime().value(panel, *id);
    return seen && compare(seen->number(), st.cmp, st.value);
  };
  bool ok = false;
  if (st.op == Op::Expect) {
    ok = holds();
  } else {
    const Time deadline = deadline_after(st.within.value_or(kUntilDefault));
    // The value is read outside the clock's lock: the run-time takes its own.
    for (;;) {
      const std::uint64_t seen = wakes();
      if (holds()) {
        ok = true;
        break;
      }
      if (signalled() || client_gone()) return;
      if (!pause(channel_, deadline, "session: until", seen)) break;
    }
  }
  if (ok) return;
  std::string msg = st.controls[0].text() + " " + cmp_text(st.cmp) + " " + format_double(st.value);
  msg += st.op == Op::Until ? " did not hold within " + format_double(st.within.value_or(kUntilDefault)) + " s"
                            : " does not hold";
  msg += seen ? " (it reads " + format_value(*seen) + ")" : " (no such control)";
  fail(st, msg);
}

void Session::show(const Statement& st) {
  if (!need_panel(st)) return;
  for (const ControlRef& c : st.controls) {
    auto id = resolve(c, st);
    if (!id) return;
    auto v = runtime().value(main_panel(), *id);
    out("@ " + name_of(*id) + " = " + (v ? format_value(*v) : "(no such control)") + "\n");
  }
}

void Session::watch(const Statement& st) {
  if (!need_panel(st)) return;
  for (const ControlRef& c : st.controls) {
    auto id = resolve(c, st);
    if (!id) return;
    std::lock_guard lk(watch_mu_);
    if (reply_) client_watch_[reply_->client].insert(*id);
    else watched_.insert(*id);
  }
}

void Session::preview(const Statement& st) {
  if (!need_panel(st)) return;
  const auto p = host_->preview_now();
  if (!p) return fail(st, "the scan settings cannot be read from the panel");
  out("@ preview " + scanplan::summary(*p) + "\n");
  for (const std::string& w : p->warnings) out("@ preview warning: " + w + "\n");
}

// Presses quit and waits for the program to return; reports a program that does not.
// A scan holds a quit back (the program drops it while its Scanning lamp is lit), so
// during a scan, and after a shutdown signal, the program is ended through the shutdown
// sequence instead, as the window ends it: the scan is stopped, then quit is pressed.
void Session::finish_program(const Statement* st) {
  if (!host_->started() || exited_) return;
  if (!program_done()) {
    bool ended = false;
    bool scan = false;  // a scan held the quit back
    if (!signalled()) {
      scan = host_->scanning();
      if (!scan) {
        const std::uint64_t lit = [this] {
          std::lock_guard lk(clock_->mutex());
          return scans_lit_;
        }();
        host_->press(PANEL_QUIT);
        // A scan that starts now was taken before the quit, which it drops.
        ended = wait_for([&] { return done_ || signalled() || scans_lit_ != lit; }, deadline_after(kQuitBound),
                         "session: quit") &&
                program_done();
        std::lock_guard lk(clock_->mutex());
        scan = !done_ && scans_lit_ != lit;
      }
    }
    if (!ended && signalled()) ended = shut_down(sig::name(signal_.load()));
    else if (!ended && scan) ended = shut_down("quit during a scan");
    if (!ended) {
      say("@ FAIL " + std::to_string(st ? st->line : 0) + ": the program did not end within " +
          format_double(kQuitBound) + " s of the quit\n");
      std::fflush(stdout);
      std::_Exit(1);
    }
  }
  host_->join_program();
  join_workers(st);
#if VARNIX_SIMULATED_STAGES
  if (const long long n = sim_->closed_calls())
    fail_at(st, "the program made " + std::to_string(n) +
                    " stage-library call(s) on stages it had closed (the stages refused them)");
#endif
  exited_ = true;
  out("@ exit " + std::to_string(host_->exit_code()) + "\n");
}

// The program's own quit path, entered from outside: the emergency stop cuts a wait
// short and asks a scan to stop, then the quit command is sent (the host's shutdown).
bool Session::shut_down(const std::string& why) {
  shut_down_ = true;
  say("@ " + why + ": ending the program\n");
  host_->begin_shutdown();
  const Time deadline = deadline_after(kQuitBound);
  for (;;) {
    host_->shutdown_step();
    const Time poll = deadline_after(kShutdownPoll);
    if (wait_for([this] { return done_; }, std::min(poll, deadline), "session: shutdown")) return true;
    if (clock_->now() >= deadline) return false;
  }
}

// A scan worker may outlive the program's return (a program that quit under a running
// scan): it is waited for on the clock, where its moves and pauses still take their
// time, and reported when it does not end.
void Session::join_workers(const Statement* st) {
  // Told by the pool, not by the Scanning lamp, which other hands may have put out.
  if (runtime().unfinished_functions() > 0) say("@ the program returned while its scan still ran\n");
  if (runtime().join_pool(deadline_after(kQuitBound))) return;
  say("@ FAIL " + std::to_string(st ? st->line : 0) + ": a thread of the program still ran " +
      format_double(kQuitBound) + " s after the program returned\n");
  std::fflush(stdout);
  std::_Exit(1);
}

// The watcher blocks outside the clock; it only raises the flag and wakes the script.
void Session::watch_signals() {
  while (const int sig = signals_->wait()) {
    std::lock_guard lk(clock_->mutex());
    signal_.store(sig, std::memory_order_release);
    wake_locked();
    clock_->notify_all(signal_ch_);
    queued_cv_.notify_all();
  }
}

int Session::run() {
#if !VARNIX_SIMULATED_STAGES
  // Real stages move in real time; faults and the trace are the simulator's.
  const char* why = "needs the simulated stages; this varnix-session drives another stage library";
  if (options_.trace) {
    std::fprintf(stderr, "varnix-session: --trace %s\n", why);
    return 2;
  }
  for (const Statement& st : script_.statements)
    if (st.op == Op::Fault && !runtime_fault(st)) {
      std::fprintf(stderr, "%s:%d: fault %s %s\n", script_.file.c_str(), st.line, st.fault.c_str(), why);
      return 2;
    }
  options_.realtime = true;
#endif
  if (options_.realtime) {
    owned_clock_ = std::make_unique<RealClock>();
  } else {
    owned_clock_ = std::make_unique<VirtualClock>();
  }
  clock_ = owned_clock_.get();
  ClockScope clock_scope(*clock_);
  Participant me = clock_->enroll();
  me.adopt("session");
#if VARNIX_SIMULATED_STAGES
  sim_ = std::make_unique<sim::Simulator>();
  std::optional<sim::SimulatorScope> sim_scope(std::in_place, *sim_);
  sim_->set_trace_limit(0);  // --trace prints through the sink; nothing reads the store
  if (options_.trace) {
    sim_->set_trace_sink([](const sim::TraceEntry& e) {
      char t[32];
      std::snprintf(t, sizeof t, "%.3f", to_seconds(e.time));
      say(std::string("@ trace ") + t + " " + e.thread + " " + e.call + "\n");
    });
  }
#endif
  // The host, then the stages' simulation. The stages' bus thread ends before this
  // thread leaves the clock: an idle bus alone on the clock would look like a deadlock.
  auto end_program = [&] {
    host_ = nullptr;
    owned_host_.reset();
#if VARNIX_SIMULATED_STAGES
    sim_scope.reset();
    sim_.reset();
#endif
  };

  // Popups are answered at once: a script cannot click them away.
  host::Options ho;
  ho.record_dir = options_.record_dir;
  ho.detector = options_.detector;
  // A client that follows the log reads the program's standard output.
  ho.capture_console = !options_.listen.empty();
  owned_host_.emplace(*clock_, std::move(ho));
  host_ = &*owned_host_;
  host_->subscribe(*this);

  if (!options_.listen.empty()) {
    control::Options co;
    co.addresses = options_.listen;
    co.token = options_.token;
    co.program = "varnix-session";
    server_.emplace(std::move(co), *this);
    std::string error;
    if (!server_->start(error)) {
      std::fprintf(stderr, "varnix-session: cannot listen on %s\n", error.c_str());
      server_.reset();
      end_program();
      return 2;
    }
    for (const std::string& a : server_->bound()) std::fprintf(stderr, "listening on %s\n", a.c_str());
    std::fflush(stderr);
    // Waiting for a client's next line, the runner's thread is outside the clock on
    // purpose (virtual time stands still); only a hang elsewhere is the watchdog's.
    if (auto* vc = dynamic_cast<VirtualClock*>(clock_))
      vc->set_watchdog_handler([this](const std::string& report) {
        if (awaiting_.load(std::memory_order_acquire)) return;
        std::fputs(report.c_str(), stderr);
        std::fflush(stderr);
        std::abort();
      });
  }

  if (options_.answer_signals) {
    signals_.emplace();
    signal_watcher_ = std::thread([this] { watch_signals(); });
  }

  for (const Statement& st : script_.statements) {
    execute(st);
    clock_->settle();
    if (host_->started() && !exited_ && program_done()) finish_program(&st);
    if (failed_ || exited_ || signalled()) break;
  }
  if (server_ && !failed_ && !exited_ && !signalled()) serve();
  if (!exited_) finish_program(nullptr);
  if (server_) server_->stop();
  if (signalled() && !shut_down_)  // it came before start or after the program's return
    say(std::string("@ ") + sig::name(signal_.load()) + ": the script ends here\n");
  if (signals_) {
    signals_->interrupt();
    signal_watcher_.join();
    signals_.reset();
  }
  const int code = host_->exit_code();
  end_program();
  if (failed_) return 1;
  return code;
}

// Plays the clients' lines, one at a time, until a client quits, the program ends or a
// signal comes.
void Session::serve() {
  serving_ = true;
  for (;;) {
    Queued q;
    {
      std::unique_lock lk(clock_->mutex());
      awaiting_.store(true, std::memory_order_release);
      queued_cv_.wait(lk, [this] { return !queue_.empty() || done_ || signalled(); });
      awaiting_.store(false, std::memory_order_release);
      if (queue_.empty()) break;
      q = std::move(queue_.front());
      queue_.pop_front();
      playing_ = q.client;  // taken with the line: a disconnection from now on ends its waits
      gone_ = false;
    }
    play(q);
    if (attached_) {
      if (program_done() || signalled()) break;  // the front end ends the program
      continue;
    }
    if (host_->started() && !exited_ && program_done()) finish_program(nullptr);
    if (exited_ || signalled()) break;
  }
}

// Plays one client's line and sends its reply: its lines, then ok or error.
void Session::play(const Queued& q) {
  Reply r{q.client, {}, {}};
  Reply* outer = reply_;
  reply_ = &r;
  play_line(q);
  // What the statement set off at this instant (a command the program serves at once)
  // has happened before the reply says ok.
  if (!outer) clock_->settle();
  reply_ = outer;
  if (!outer) {
    std::lock_guard lk(clock_->mutex());
    playing_ = 0;
  }
  // What the program printed while the statement played comes before its reply.
  bool logging;
  {
    std::lock_guard lk(watch_mu_);
    logging = !logging_.empty();
  }
  if (logging) host_->drain_console();
  server_->reply(q.client, r.lines + (r.error ? "error: " + *r.error : std::string("ok")) + "\n");
}

void Session::play_line(const Queued& q) {
  std::string error;
  // `log on|off` is the connection's, not the script language's: the program's standard
  // output as events. Spaces and a comment around it are the language's.
  std::string_view line = q.line;
  line = line.substr(0, line.find('#'));
  line.remove_prefix(std::min(line.size(), line.find_first_not_of(" \t")));
  line = line.substr(0, line.find_last_not_of(" \t") + 1);
  if (line == "log on" || line == "log off") {
    std::lock_guard lk(watch_mu_);
    if (line == "log on") logging_.insert(q.client);
    else logging_.erase(q.client);
    return;
  }
  const auto st = parse_statement(q.line, error);
  if (!st) {
    if (!error.empty()) reply_->error = error;
    return;
  }
  if (acts(st->op))
    if (auto why = server_->may_act(q.client)) {
      reply_->error = *why;
      return;
    }
  execute(*st);
}

// Waits on `ch` until `deadline` or a wake-up; while a client's statement plays,
// another client's statement that takes no time is played instead of waiting. False
// once the deadline has passed.
bool Session::pause(WaitChannel& ch, Time deadline, const char* what, std::uint64_t seen) {
  if (play_other()) return true;
  std::unique_lock lk(clock_->mutex());
  if (clock_->now_locked() >= deadline) return false;
  if (wakes_ != seen) return true;  // woken since the caller looked
  if (other_ready_locked() != queue_.end()) return true;  // came since play_other looked
  clock_->wait_until(lk, ch, deadline, what);
  return true;
}

// Another client's queued statement that takes no time, if one waits.
std::deque<Session::Queued>::iterator Session::other_ready_locked() {
  if (!reply_) return queue_.end();
  return std::find_if(queue_.begin(), queue_.end(), [this](const Queued& e) {
    std::string error;
    const auto st = parse_statement(e.line, error);
    return e.client != reply_->client && !(st && takes_time(st->op));
  });
}

bool Session::play_other() {
  if (!reply_) return false;
  Queued q;
  {
    std::lock_guard lk(clock_->mutex());
    const auto it = other_ready_locked();
    if (it == queue_.end()) return false;
    q = std::move(*it);
    queue_.erase(it);
  }
  play(q);
  return true;
}

// The client whose statement plays has gone: its wait or until ends early.
bool Session::client_gone() {
  if (!reply_) return false;
  std::lock_guard lk(clock_->mutex());
  return gone_;
}

bool Session::start_serving(std::string& error) {
  if (!server_->start(error)) return false;
  Participant me = clock_->enroll();
  server_thread_ = std::thread([this, me = std::move(me)]() mutable {
    me.adopt("remote");
    serve();
  });
  return true;
}

void Session::stop_serving() {
  if (!server_) return;
  {
    std::lock_guard lk(clock_->mutex());
    stopping_.store(true, std::memory_order_release);
    wake_locked();
    clock_->notify_all(signal_ch_);
    queued_cv_.notify_all();
  }
  if (server_thread_.joinable()) server_thread_.join();
  server_->stop();
}

Remote::Remote(host::Host& host, Clock& clock, Options options) {
  session::Options so;
  so.listen = std::move(options.listen);
  so.token = std::move(options.token);
  session_ = std::make_unique<Session>(host, clock, so, std::move(options.program), std::move(options.clients_changed));
}

Remote::~Remote() = default;

bool Remote::start(std::string& error) { return session_->start_serving(error); }
std::vector<std::string> Remote::bound() const { return session_->server().bound(); }
control::Server& Remote::server() { return session_->server(); }
void Remote::stop() { session_->stop_serving(); }

int run(const Script& script, const Options& options) {
  Session s(script, options);
  return s.run();
}

bool check_controls(const Script& script, std::string& error) {
  std::string load_error;
  auto pf = rt::load_panel_file(rt::resolve_panel_path("Varnix_ui.uir"), load_error);
  if (!pf) return true;  // the program will say why it cannot load it
  const rt::PanelSpec* main = nullptr;
  for (const rt::PanelSpec& p : pf->panels)
    if (p.resource == 1) main = &p;
  if (!main) return true;
  for (const Statement& st : script.statements)
    for (const ControlRef& c : st.controls) {
      bool found = false;
      for (const rt::ControlSpec& cs : main->controls)
        if (c.name.empty() ? cs.id == c.id : cs.name == c.name) found = true;
      if (!found) {
        error = script.file + ":" + std::to_string(st.line) + ": no control " + c.text() + " on the panel of " +
                pf->path;
        return false;
      }
    }
  return true;
}

}  // namespace vx::session
