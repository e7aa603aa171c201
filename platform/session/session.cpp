// The session runner's engine: the stages, the run-time host that prints popups and
// watched writes, the program's thread, the statements, and the answer to a shutdown
// signal (a watcher thread outside the clock raises a flag that every wait looks at).
//
// Built against another stage library than the simulator (VARNIX_SIMULATED_STAGES 0),
// the runner drives that library's stages on the real clock, and refuses what only the
// simulator has: its faults and its call trace.
#include "platform/session/session.h"

#include <atomic>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "driver/axs.h"
#include "panel/Varnix_ui.h"
#include "platform/clock/clock.h"
#include "platform/entry/entry.h"
#include "platform/estop/estop.h"
#include "platform/observe/observe.h"
#include "platform/runtime/runtime.h"
#include "platform/scanplan/scanplan.h"
#include "platform/scanwatch/scanwatch.h"
#include "platform/shutdown/shutdown.h"
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

class Session final : public rt::Host {
 public:
  Session(const Script& script, const Options& options)
      : script_(script), options_(options) {}

  int run();

  // ---- rt::Host
  void control_written(int panel, int control, const rt::Value& v) override {
    if (control == PANEL_SCANNING && v.number() != 0 && panel == main_panel()) {
      std::lock_guard lk(clock_->mutex());
      ++scans_lit_;
    }
    {
      std::lock_guard lk(watch_mu_);
      if (panel == main_panel() && watched_.count(control)) {
        char t[32];
        std::snprintf(t, sizeof t, "%.3f", to_seconds(clock_->now()));
        say(std::string("@ ") + t + " " + name_of(control) + " = " + format_value(v) + "\n");
      }
    }
    if (watch_) watch_->control_written(panel, control, v);
    poke();
  }
  void panel_displayed(int panel) override {
    if (options_.trace) trace_line("DisplayPanel(" + std::to_string(panel) + ")");
  }
  void popup(const std::string& title, const std::string& message) override {
    say("@ popup \"" + title + "\" \"" + message + "\"\n");
  }
  void refused(int, int, const std::string& reason) override { say("@ " + reason + "\n"); }
  void idle() override {
    std::lock_guard lk(clock_->mutex());
    idle_seen_ = true;
    clock_->notify_all(channel_);
  }

 private:
  int main_panel() const { return runtime_ ? runtime_->main_panel() : 0; }

  void trace_line(const std::string& call) {
    char t[32];
    std::snprintf(t, sizeof t, "%.3f", to_seconds(clock_->now()));
    say(std::string("@ trace ") + t + " " + thread_name() + " " + call + "\n");
  }

  std::string name_of(int id) const { return observe::control_name(*runtime_, main_panel(), id); }

  void poke() {
    std::lock_guard lk(clock_->mutex());
    clock_->notify_all(channel_);
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
    if (const rt::PanelSpec* sp = runtime_ ? runtime_->spec(main_panel()) : nullptr)
      for (const rt::ControlSpec& c : sp->controls)
        if (c.name == ref.name) return c.id;
    fail(st, "no control " + ref.name + " on the panel");
    return std::nullopt;
  }

  void fail(const Statement& st, const std::string& msg) { fail_at(&st, msg); }
  void fail_at(const Statement* st, const std::string& msg) {
    say("@ FAIL " + std::to_string(st ? st->line : 0) + ": " + msg + "\n");
    failed_ = true;
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
  void finish_program(const Statement* st);
  bool scanning() const;
  bool shut_down(const std::string& why);
  void join_workers(const Statement* st);
  void watch_signals();

  // A shutdown signal came (the watcher thread sets it, under the clock's lock).
  bool signalled() const { return signal_.load(std::memory_order_acquire) != 0; }
  std::string rest_hint();

  const Script& script_;
  Options options_;
  std::unique_ptr<Clock> owned_clock_;
  Clock* clock_ = nullptr;
#if VARNIX_SIMULATED_STAGES
  std::unique_ptr<sim::Simulator> sim_;
#endif
  std::unique_ptr<scanwatch::ScanWatch> watch_;  // outlives the run-time that feeds it
  std::unique_ptr<rt::Runtime> runtime_;
  std::optional<rt::RuntimeScope> runtime_scope_;
  rt::Options rt_options_;
  std::thread program_;
  WaitChannel channel_;
  WaitChannel signal_ch_;  // only a signal wakes it
  bool done_ = false;       // under the clock's mutex
  bool idle_seen_ = false;  // under the clock's mutex
  std::uint64_t scans_lit_ = 0;  // writes that lit the Scanning lamp; under the clock's mutex
  int exit_code_ = 0;
  bool failed_ = false;
  bool exited_ = false;
  std::mutex watch_mu_;
  std::set<int> watched_;
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

// The stages are read here and only here, under the thread name "live", so that the
// reads show in a trace as the observer's and nothing else of the trace changes.
void Session::show_live() {
  observe::Live live = [] {
    const ThreadNameScope as("live");
    return observe::read_live();
  }();
  // Before start, and after the program has closed them, no stage is open.
  if (!runtime_ || exited_) observe::mark_not_connected(live, 0);
  for (const observe::AxisLive& a : live) {
    char pos[64];
    std::snprintf(pos, sizeof pos, "%.4f", a.position_mm);
    std::string line = std::string("@ live ") + observe::axis_name(a.axis) + " " + pos + " " + observe::words_text(a);
    if (!a.reason.empty()) line += " \"" + a.reason + "\"";
    say(line + "\n");
  }
}

void Session::show_activity() {
  if (!runtime_) {
    say("@ activity \"Not started\" queued 0:\n");
    return;
  }
  const observe::ActivityView v = observe::describe_activity(*runtime_, clock_->now());
  std::string line = "@ activity \"" + v.what + "\" queued " + std::to_string(v.queued.size()) + ":";
  for (const std::string& n : v.queued_names) line += " " + n;
  say(line + "\n");
}

void Session::start(const Statement& st) {
  runtime_ = std::make_unique<rt::Runtime>(this, rt_options_);
  runtime_scope_.emplace(*runtime_);
  estop::guard(*runtime_);
  if (!options_.record_dir.empty()) {
    scanwatch::Options wo;
    wo.record_dir = options_.record_dir;
    wo.on_error = [](const scanwatch::Snapshot& s) { say("@ record error: " + s.record_error + "\n"); };
    wo.on_end = [](const scanwatch::Snapshot& s) {
      if (!s.record_path.empty()) say("@ record " + s.record_path + "\n");
    };
    watch_ = std::make_unique<scanwatch::ScanWatch>(
        *runtime_, *clock_, [] { return scanplan::stages_now(); }, std::move(wo));
  }
  Participant token = clock_->enroll();
  program_ = std::thread([this, token = std::move(token)]() mutable {
    token.adopt("main");
    const int code = run_program_entry();
    {
      std::lock_guard lk(clock_->mutex());
      exit_code_ = code;
      done_ = true;
      clock_->notify_all(channel_);
    }
    token.retire();
  });
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
  const rt::PanelSpec* sp = panel ? runtime_->spec(panel) : nullptr;
  if (!sp) return "";
  for (const rt::ControlSpec& c : sp->controls)
    if (c.kind == rt::Kind::Timer)
      if (auto v = runtime_->timer_interval(panel, c.id); v && runtime_->timer_enabled(panel, c.id).value_or(false))
        return " (its panel timer " + c.name + " ticks every " + format_double(v->number()) +
               " s, sooner than the program serves a tick and pauses 0.001 s after it)";
  return "";
}

void Session::execute(const Statement& st) {
  switch (st.op) {
    case Op::Fault:
      if (runtime_fault(st) && runtime_) {
        fail(st, "fault " + st.fault + " must come before start");
        return;
      }
      apply_fault(st);
      return;
    case Op::Start:
      if (runtime_) {
        fail(st, "the program was started already");
        return;
      }
      start(st);
      return;
    case Op::Set: {
      if (!need_panel(st)) return;
      auto id = resolve(st.controls[0], st);
      if (!id) return;
      auto current = runtime_->value(main_panel(), *id);
      if (!current) return fail(st, "no control " + st.controls[0].text() + " on the panel");
      rt::Value v;
      if (current->type == rt::DataType::Int) {
        if (!(std::isfinite(st.value) && st.value == std::trunc(st.value) && st.value >= -2147483648.0 &&
              st.value <= 2147483647.0))
          return fail(st, st.controls[0].text() + " holds an int; " + format_double(st.value) + " is not one");
        v = rt::Value::of(static_cast<int>(st.value));
      } else if (current->type == rt::DataType::Double) {
        v = rt::Value::of(st.value);
      } else {
        return fail(st, st.controls[0].text() + " holds no value");
      }
      runtime_->set_value(main_panel(), *id, v);
      return;
    }
    case Op::Press: {
      if (!need_panel(st)) return;
      auto id = resolve(st.controls[0], st);
      if (id && watch_ && *id == PANEL_STOPSCAN) watch_->stop_requested();
      if (id) runtime_->commit(main_panel(), *id);
      return;
    }
    case Op::Wait:
      // A wait on a channel rather than a sleep, so that a signal cuts it short.
      wait_on(signal_ch_, [this] { return signalled(); }, deadline_after(st.seconds), "session: wait");
      return;
    case Op::Until:
    case Op::Expect: {
      if (!need_panel(st)) return;
      auto id = resolve(st.controls[0], st);
      if (!id) return;
      const int panel = main_panel();
      std::optional<rt::Value> seen;
      auto holds = [&] {
        seen = runtime_->value(panel, *id);
        return seen && compare(seen->number(), st.cmp, st.value);
      };
      bool ok;
      if (st.op == Op::Expect) {
        ok = holds();
      } else {
        const double bound = st.within.value_or(kUntilDefault);
        const Time deadline = deadline_after(bound);
        // The value is read outside the clock's lock: the run-time takes its own.
        ok = false;
        for (;;) {
          if (holds()) {
            ok = true;
            break;
          }
          if (signalled()) return;
          std::unique_lock lk(clock_->mutex());
          if (clock_->now_locked() >= deadline) break;
          clock_->wait_until(lk, channel_, deadline, "session: until");
        }
      }
      if (!ok) {
        std::string msg = st.controls[0].text() + " " + cmp_text(st.cmp) + " " + format_double(st.value);
        msg += st.op == Op::Until ? " did not hold within " + format_double(st.within.value_or(kUntilDefault)) + " s"
                                  : " does not hold";
        msg += seen ? " (it reads " + format_value(*seen) + ")" : " (no such control)";
        fail(st, msg);
      }
      return;
    }
    case Op::Show:
      if (!need_panel(st)) return;
      for (const ControlRef& c : st.controls) {
        auto id = resolve(c, st);
        if (!id) return;
        auto v = runtime_->value(main_panel(), *id);
        say("@ " + name_of(*id) + " = " + (v ? format_value(*v) : "(no such control)") + "\n");
      }
      return;
    case Op::Watch:
      if (!need_panel(st)) return;
      for (const ControlRef& c : st.controls) {
        auto id = resolve(c, st);
        if (!id) return;
        std::lock_guard lk(watch_mu_);
        watched_.insert(*id);
      }
      return;
    case Op::Quit:
      finish_program(&st);
      return;
    case Op::Estop:
      estop::engage(runtime_.get());
      return;
    case Op::Release:
      estop::release();
      return;
    case Op::Preview: {
      if (!need_panel(st)) return;
      const auto settings = scanplan::read_settings(*runtime_, main_panel());
      if (!settings) return fail(st, "the scan settings cannot be read from the panel");
      const scanplan::Preview p = scanplan::preview(*settings, scanplan::stages_now());
      say("@ preview " + scanplan::summary(p) + "\n");
      for (const std::string& w : p.warnings) say("@ preview warning: " + w + "\n");
      return;
    }
    case Op::Live:
      show_live();
      return;
    case Op::Activity:
      show_activity();
      return;
  }
}

// Presses quit and waits for the program to return; reports a program that does not.
// A scan holds a quit back (the program drops it while its Scanning lamp is lit), so
// during a scan, and after a shutdown signal, the program is ended through the shutdown
// sequence instead, as the window ends it: the scan is stopped, then quit is pressed.
void Session::finish_program(const Statement* st) {
  if (!runtime_ || exited_) return;
  if (!program_done()) {
    bool ended = false;
    bool scan = false;  // a scan held the quit back
    if (!signalled()) {
      scan = scanning();
      if (!scan) {
        const std::uint64_t lit = [this] {
          std::lock_guard lk(clock_->mutex());
          return scans_lit_;
        }();
        if (const int panel = main_panel()) runtime_->commit(panel, PANEL_QUIT);
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
  program_.join();
  join_workers(st);
#if VARNIX_SIMULATED_STAGES
  if (const long long n = sim_->closed_calls())
    fail_at(st, "the program made " + std::to_string(n) +
                    " stage-library call(s) on stages it had closed (the stages refused them)");
#endif
  exited_ = true;
  say("@ exit " + std::to_string(exit_code_) + "\n");
}

bool Session::scanning() const {
  const int panel = main_panel();
  const auto v = panel ? runtime_->value(panel, PANEL_SCANNING) : std::nullopt;
  return v && v->number() != 0;
}

// The program's own quit path, entered from outside: the emergency stop cuts a wait
// short and asks a scan to stop, then the quit command is sent (platform/shutdown).
bool Session::shut_down(const std::string& why) {
  shut_down_ = true;
  say("@ " + why + ": ending the program\n");
  shutdown::Shutdown sequence(*runtime_);
  sequence.begin();
  const Time deadline = deadline_after(kQuitBound);
  for (;;) {
    sequence.step();
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
  if (runtime_->unfinished_functions() > 0) say("@ the program returned while its scan still ran\n");
  if (runtime_->join_pool(deadline_after(kQuitBound))) return;
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
    clock_->notify_all(channel_);
    clock_->notify_all(signal_ch_);
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

  if (options_.answer_signals) {
    signals_.emplace();
    signal_watcher_ = std::thread([this] { watch_signals(); });
  }

  for (const Statement& st : script_.statements) {
    execute(st);
    clock_->settle();
    if (runtime_ && !exited_ && program_done()) finish_program(&st);
    if (failed_ || exited_ || signalled()) break;
  }
  if (!exited_) finish_program(nullptr);
  if (signalled() && !shut_down_)  // it came before start or after the program's return
    say(std::string("@ ") + sig::name(signal_.load()) + ": the script ends here\n");
  if (signals_) {
    signals_->interrupt();
    signal_watcher_.join();
    signals_.reset();
  }
  runtime_scope_.reset();
  runtime_.reset();
  // The stages' bus thread ends before this thread leaves the clock: an idle bus alone
  // on the clock would look like a deadlock.
#if VARNIX_SIMULATED_STAGES
  sim_scope.reset();
  sim_.reset();
#endif
  if (failed_) return 1;
  return exit_code_;
}

}  // namespace

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
