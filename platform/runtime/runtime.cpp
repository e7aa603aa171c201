// The panel run-time's headless core: live panels and controls, the user-event queue,
// timer controls and their ticks, the thread pool, popups and pauses, and the C-style
// operations that forward to the installed Runtime.
//
// Locks: control values and panel structure are guarded by `mu` (never held while a
// callback, a host method or the clock runs). The event queue, the timers and the pool's
// job queue are guarded by the clock's mutex, because the threads that wait for them
// wait on the clock. `mu` is never taken while the clock's mutex is held.
//
// Timer ticks, and the commits of controls that name a callback, are delivered only in
// the thread that created the control's panel, inside its GetUserEvent or
// ProcessSystemEvents; such a commit runs its callback and does not reach the event
// queue. Ticks that fall due while that thread is busy
// are merged: the next event processing delivers one tick, and the timer's next tick
// falls at the next multiple of its interval after that moment. A burst of stale ticks
// after a long busy spell would only repeat work that is already out of date.
#include "platform/runtime/runtime.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

namespace vx::rt {

namespace {

struct Control {
  int id = 0;
  std::string name;
  Kind kind = Kind::Command;
  Value value;
  int visible = 1;
  CtrlCallbackPtr callback = nullptr;  // commits run it instead of queueing an event
};

struct Panel {
  int handle = 0;
  std::thread::id owner;
  std::string file;  // panel file it came from; empty for NewPanel
  PanelSpec spec;
  std::map<int, Control> controls;
  bool displayed = false;
  int active = 0;
};

struct Timer {
  int panel = 0;
  int control = 0;
  std::thread::id owner;
  bool enabled = false;
  Duration interval = std::chrono::seconds(1);
  Time next_due{0};
  CtrlCallbackPtr callback = nullptr;
};

struct Event {
  int event, panel, control;
  std::uint64_t id;  // the operator's commits are numbered; the program's own events are 0
};

struct CallbackCall {
  std::thread::id owner;
  int panel, control;
  CtrlCallbackPtr callback;
};

struct Job {
  ThreadFunctionPtr fn;
  void* data;
  ThreadFunctionCallbackPtr cb;
  int mask;
  void* cb_data;
  CmtThreadFunctionID id;
};

struct Pool {
  CmtThreadPoolHandle handle = 0;
  int max_threads = 1;
  int idle = 0;
  std::deque<Job> jobs;
  std::vector<std::thread> threads;
  WaitChannel channel;
};

std::string describe(const Panel* p) {
  if (!p) return "?";
  if (!p->file.empty()) return std::filesystem::path(p->file).filename().string();
  return "panel \"" + p->spec.title + "\"";
}

const char* value_type_name(DataType t) { return type_name(t); }

}  // namespace

struct Runtime::State {
  Host* host;
  Options options;
  Clock& clock;

  mutable std::mutex mu;  // panels, controls, reports
  std::map<int, std::unique_ptr<Panel>> panels;
  int next_panel = 1;
  int main_panel = 0;
  const ProgramModule* module = nullptr;
  std::set<std::tuple<int, int, int>> reported;  // (panel, control, kind of fault)

  // Under clock.mutex():
  std::deque<Event> events;
  std::uint64_t next_commit = 1;
  std::deque<CallbackCall> calls;
  WaitChannel events_ch;
  std::vector<Timer> timers;
  std::map<int, std::unique_ptr<Pool>> pools;
  int next_pool = 1;
  int next_job = 1;
  bool stopping = false;
  int pool_threads = 0;  // started and not yet ended
  WaitChannel pool_exit;
  std::set<CmtThreadFunctionID> unfinished;  // scheduled, and their end not come yet
  std::shared_ptr<const EventGuard> guard;
  bool loop_started = false;
  std::optional<Event> serving;
  Time serving_since{0};

  State(Host* h, Options o, Clock& c) : host(h), options(o), clock(c) {}

  Panel* panel(int h) {
    auto it = panels.find(h);
    return it == panels.end() ? nullptr : it->second.get();
  }
  const Panel* panel(int h) const {
    auto it = panels.find(h);
    return it == panels.end() ? nullptr : it->second.get();
  }

  // Reports a fault of a control access once per (panel, control, fault).
  void report_once(int p, int c, int fault, const std::string& text) {
    if (!reported.insert({p, c, fault}).second) return;
    std::fprintf(stderr, "panel run-time: %s\n", text.c_str());
    std::fflush(stderr);
  }

  Timer* timer(int p, int c) {
    for (Timer& t : timers)
      if (t.panel == p && t.control == c) return &t;
    return nullptr;
  }

  // Runs the calling thread's pending control callbacks (commits first, in the order
  // they came) and the due ticks of its timers. Called and returns with the clock's
  // lock held; releases it around the callbacks. Returns whether any ran.
  bool fire_due(std::unique_lock<std::mutex>& lk) {
    const auto me = std::this_thread::get_id();
    const Time now = clock.now_locked();
    struct Due {
      int panel, control, event;
      CtrlCallbackPtr cb;
    };
    std::vector<Due> due;
    for (auto it = calls.begin(); it != calls.end();) {
      if (it->owner != me) {
        ++it;
        continue;
      }
      due.push_back({it->panel, it->control, EVENT_COMMIT, it->callback});
      it = calls.erase(it);
    }
    for (Timer& t : timers) {
      if (t.owner != me || !t.enabled || t.next_due > now) continue;
      const auto missed = (now - t.next_due) / t.interval;
      t.next_due += t.interval * (missed + 1);
      due.push_back({t.panel, t.control, EVENT_TIMER_TICK, t.callback});
    }
    if (due.empty()) return false;
    lk.unlock();
    for (const Due& d : due)
      if (d.cb) d.cb(d.panel, d.control, d.event, nullptr, 0, 0);
    lk.lock();
    return true;
  }

  Time next_due_of_this_thread() const {
    const auto me = std::this_thread::get_id();
    Time next = kForever;
    for (const Timer& t : timers)
      if (t.owner == me && t.enabled) next = std::min(next, t.next_due);
    return next;
  }
};

namespace {
std::atomic<Runtime*> g_runtime{nullptr};
}

Runtime& current() {
  Runtime* r = g_runtime.load(std::memory_order_acquire);
  if (r) return *r;
  static Runtime fallback;
  return fallback;
}

RuntimeScope::RuntimeScope(Runtime& r) : previous_(g_runtime.exchange(&r, std::memory_order_acq_rel)) {}
RuntimeScope::~RuntimeScope() { g_runtime.store(previous_, std::memory_order_release); }

std::string resolve_panel_path(const std::string& name) {
  namespace fs = std::filesystem;
  if (name.find('/') != std::string::npos) return name;
  std::error_code ec;
  if (fs::exists(name, ec)) return name;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const fs::path beside = exe.parent_path() / name;
    if (fs::exists(beside, ec)) return beside.string();
    // Installed: the data folder, found from the executable so that any prefix works.
    const fs::path installed = exe.parent_path() / VARNIX_DATA_FROM_BIN / name;
    if (fs::exists(installed, ec)) return installed.lexically_normal().string();
  }
  return name;
}

Runtime::Runtime(Host* host, Options options) : s_(std::make_unique<State>(host, options, vx::clock())) {}

Runtime::~Runtime() { join_pool(kForever); }

bool Runtime::join_pool(Time deadline) {
  std::vector<std::thread> threads;
  {
    std::unique_lock lk(s_->clock.mutex());
    s_->stopping = true;
    for (auto& [h, p] : s_->pools) s_->clock.notify_all(p->channel);
    // On the clock, not in join(): a joiner enrolled with a virtual clock would
    // otherwise hold time still under a function that waits for it.
    while (s_->pool_threads > 0) {
      if (s_->clock.now_locked() >= deadline) return false;
      s_->clock.wait_until(lk, s_->pool_exit, deadline, "thread pool (join)");
    }
    for (auto& [h, p] : s_->pools)
      for (auto& t : p->threads)
        if (t.joinable()) threads.push_back(std::move(t));
  }
  for (auto& t : threads) t.join();
  return true;
}

// ---- the operator's side ----------------------------------------------------------------

std::uint64_t Runtime::commit(int panel, int control) {
  CallbackCall call{};
  {
    std::lock_guard lk(s_->mu);
    if (const Panel* p = s_->panel(panel)) {
      auto it = p->controls.find(control);
      if (it != p->controls.end() && it->second.callback)
        call = {p->owner, panel, control, it->second.callback};
    }
  }
  std::unique_lock lk(s_->clock.mutex());
  if (!call.callback) {
    const std::uint64_t id = s_->next_commit++;
    s_->events.push_back({EVENT_COMMIT, panel, control, id});
    s_->clock.notify_all(s_->events_ch);
    return id;
  }
  s_->calls.push_back(call);
  s_->clock.notify_all(s_->events_ch);
  return 0;
}

bool Runtime::withdraw(std::uint64_t id) {
  if (id == 0) return false;
  std::lock_guard lk(s_->clock.mutex());
  auto it = std::find_if(s_->events.begin(), s_->events.end(), [&](const Event& e) { return e.id == id; });
  if (it == s_->events.end()) return false;
  s_->events.erase(it);
  return true;
}

std::vector<Activity::Event> Runtime::withdraw_commits() {
  std::lock_guard lk(s_->clock.mutex());
  std::vector<Activity::Event> out;
  std::deque<Event> kept;
  for (const Event& e : s_->events) {
    if (e.id) out.push_back({e.event, e.panel, e.control, e.id});
    else kept.push_back(e);
  }
  s_->events.swap(kept);
  return out;
}

int Runtime::set_value(int panel, int control, const Value& v) { return set(panel, control, v); }

std::optional<Value> Runtime::value(int panel, int control) const {
  std::lock_guard lk(s_->mu);
  const Panel* p = s_->panel(panel);
  if (!p) return std::nullopt;
  auto it = p->controls.find(control);
  if (it == p->controls.end()) return std::nullopt;
  return it->second.value;
}

const PanelSpec* Runtime::spec(int panel) const {
  std::lock_guard lk(s_->mu);
  const Panel* p = s_->panel(panel);
  return p ? &p->spec : nullptr;
}

int Runtime::main_panel() const {
  std::lock_guard lk(s_->mu);
  return s_->main_panel;
}

bool Runtime::displayed(int panel) const {
  std::lock_guard lk(s_->mu);
  const Panel* p = s_->panel(panel);
  return p && p->displayed;
}

std::vector<int> Runtime::panels() const {
  std::lock_guard lk(s_->mu);
  std::vector<int> out;
  for (auto& [h, p] : s_->panels) out.push_back(h);
  return out;
}

std::string Runtime::panel_file(int panel) const {
  std::lock_guard lk(s_->mu);
  const Panel* p = s_->panel(panel);
  return p ? p->file : std::string();
}

std::optional<Value> Runtime::timer_interval(int panel, int control) const {
  std::lock_guard lk(s_->clock.mutex());
  const Timer* t = s_->timer(panel, control);
  if (!t) return std::nullopt;
  return Value::of(to_seconds(t->interval));
}

std::optional<bool> Runtime::timer_enabled(int panel, int control) const {
  std::lock_guard lk(s_->clock.mutex());
  const Timer* t = s_->timer(panel, control);
  if (!t) return std::nullopt;
  return t->enabled;
}

Activity Runtime::activity() const {
  std::lock_guard lk(s_->clock.mutex());
  Activity a;
  a.loop_started = s_->loop_started;
  if (s_->serving)
    a.serving = Activity::Event{s_->serving->event, s_->serving->panel, s_->serving->control, s_->serving->id};
  a.serving_since = s_->serving_since;
  for (const Event& e : s_->events) a.queued.push_back({e.event, e.panel, e.control, e.id});
  for (const Timer& t : s_->timers)
    if (t.enabled) a.timers.push_back({t.panel, t.control, t.interval, t.next_due - t.interval});
  return a;
}

// ---- initialisation -------------------------------------------------------------------------

int Runtime::init(void* instance) {
  if (s_->options.fail_init) return 0;
  std::lock_guard lk(s_->mu);
  s_->module = static_cast<const ProgramModule*>(instance);
  return 1;
}

int Runtime::set_sleep_policy(int) { return 0; }

int Runtime::set_stdio_port(int port) {
  if (s_->host) s_->host->stdio_port(port);
  return 0;
}

// ---- panels ---------------------------------------------------------------------------------

namespace {

// The live controls and timers of a panel made from its description, each callback
// bound from the program's own table only: a name is never looked up among the
// process's other symbols, where "exit" would end the process with the stages open.
// Returns why a callback cannot be bound, or "".
std::string make_controls(Panel& panel, std::vector<Timer>& timers, const ProgramModule* module) {
  for (const ControlSpec& cs : panel.spec.controls) {
    Control c;
    c.id = cs.id;
    c.name = cs.name;
    c.kind = cs.kind;
    c.value.type = cs.type;
    if (cs.type == DataType::Int) c.value.i = static_cast<int>(cs.initial);
    if (cs.type == DataType::Double) c.value.d = cs.initial;
    CtrlCallbackPtr cb = nullptr;
    if (!cs.callback.empty()) {
      std::string names;
      for (int k = 0; module && k < module->callbackCount; k++) {
        const CallbackTableEntry& e = module->callbacks[k];
        if (e.name && cs.callback == e.name) cb = e.function;
        names += std::string(names.empty() ? "" : ", ") + (e.name ? e.name : "?");
      }
      if (!cb)
        return panel.file + ":" + std::to_string(cs.line) + ":" + std::to_string(cs.column) + ": control " + cs.name +
               " (id " + std::to_string(cs.id) + ") names the callback '" + cs.callback +
               "', which is not one of the program's callbacks (" + (names.empty() ? "none" : names) + ")";
    }
    if (cs.kind == Kind::Timer) {
      Timer t;
      t.control = cs.id;
      t.owner = panel.owner;
      t.enabled = cs.enabled;
      t.interval = from_seconds(cs.interval);
      if (t.interval <= Duration{0}) t.interval = std::chrono::milliseconds(1);
      t.callback = cb;
      timers.push_back(t);
    } else {
      c.callback = cb;
    }
    panel.controls[cs.id] = c;
  }
  return {};
}

}  // namespace

int Runtime::load_panel(int parent, const char* file, int resource) {
  const std::string name = file ? file : "";
  const std::string path = resolve_panel_path(name);
  auto refuse = [](const std::string& message) {
    std::fprintf(stderr, "LoadPanel: %s\n", message.c_str());
    std::fflush(stderr);
  };
  std::string error;
  auto pf = load_panel_file(path, error);
  if (!pf) {
    refuse(error);
    return access(path.c_str(), R_OK) == 0 ? UIEBadFile : UIEFileNotFound;
  }
  const PanelSpec* found = nullptr;
  for (const PanelSpec& ps : pf->panels)
    if (ps.resource == resource) found = &ps;
  if (!found) {
    refuse(path + ": no panel with resource id " + std::to_string(resource));
    return UIEBadFile;
  }

  const ProgramModule* module;
  {
    std::lock_guard lk(s_->mu);
    module = s_->module;
  }
  auto panel = std::make_unique<Panel>();
  panel->owner = std::this_thread::get_id();
  panel->file = path;
  panel->spec = *found;
  std::vector<Timer> timers;
  if (const std::string broken = make_controls(*panel, timers, module); !broken.empty()) {
    refuse(broken);
    return UIECallbackNotFound;
  }
  for (int k = 0; module && k < module->panelCount; k++) {
    if (module->panels[k].resource != resource) continue;
    if (auto broken = contract_violation(*found, module->panels[k], path)) {
      refuse(*broken);
      return UIEContractBroken;
    }
  }

  int handle;
  {
    std::lock_guard lk(s_->mu);
    handle = s_->next_panel++;
    panel->handle = handle;
    if (!s_->main_panel) s_->main_panel = handle;
    s_->panels[handle] = std::move(panel);
  }
  {
    std::unique_lock lk(s_->clock.mutex());
    const Time now = s_->clock.now_locked();
    for (Timer& t : timers) {
      t.panel = handle;
      t.next_due = now + t.interval;
      s_->timers.push_back(t);
    }
    s_->clock.notify_all(s_->events_ch);
  }
  if (s_->host) {
    const PanelSpec* sp = spec(handle);
    s_->host->panel_loaded(handle, *sp);
  }
  return handle;
}

int Runtime::new_panel(int parent, const char* title, int top, int left, int height, int width) {
  auto panel = std::make_unique<Panel>();
  panel->owner = std::this_thread::get_id();
  panel->spec.title = title ? title : "";
  panel->spec.width = width;
  panel->spec.height = height;
  std::lock_guard lk(s_->mu);
  const int handle = s_->next_panel++;
  panel->handle = handle;
  s_->panels[handle] = std::move(panel);
  return handle;
}

int Runtime::new_ctrl(int panel, int style, const char* label, int top, int left) {
  if (style != CTRL_TIMER) return UIEInvalidControl;
  int id;
  std::thread::id owner;
  {
    std::lock_guard lk(s_->mu);
    Panel* p = s_->panel(panel);
    if (!p) return UIEInvalidPanel;
    id = p->controls.empty() ? 2 : p->controls.rbegin()->first + 1;
    Control c;
    c.id = id;
    c.name = label ? label : "";
    c.kind = Kind::Timer;
    p->controls[id] = c;
    ControlSpec cs;
    cs.id = id;
    cs.kind = Kind::Timer;
    cs.label = c.name;
    cs.top = top;
    cs.left = left;
    p->spec.controls.push_back(cs);
    owner = p->owner;
  }
  std::unique_lock lk(s_->clock.mutex());
  const Time now = s_->clock.now_locked();
  Timer t;
  t.panel = panel;
  t.control = id;
  t.owner = owner;
  t.enabled = true;
  t.next_due = now + t.interval;
  s_->timers.push_back(t);
  s_->clock.notify_all(s_->events_ch);
  return id;
}

int Runtime::display_panel(int panel) {
  {
    std::lock_guard lk(s_->mu);
    Panel* p = s_->panel(panel);
    if (!p) return UIEInvalidPanel;
    p->displayed = true;
  }
  if (s_->host) s_->host->panel_displayed(panel);
  return 0;
}

int Runtime::set_active_ctrl(int panel, int control) {
  std::lock_guard lk(s_->mu);
  Panel* p = s_->panel(panel);
  if (!p) return UIEInvalidPanel;
  if (!p->controls.count(control)) return UIEInvalidControl;
  p->active = control;
  return 0;
}

// ---- control values -------------------------------------------------------------------------

// Finds the control a value access names, checking its type; reports (once per
// control and fault) why the access cannot be made. `op` is "GetCtrlVal" or
// "SetCtrlVal". Called with `mu` held. Returns 0 or the negative result for the caller.
static int lookup(Runtime::State& s, const char* op, int panel, int control, DataType type, Control** out) {
  const bool read = op[0] == 'G';
  const int fault = read ? 0 : 3;
  Panel* p = s.panel(panel);
  if (!p) {
    s.report_once(panel, control, fault,
                  std::string(op) + ": no panel with handle " + std::to_string(panel) + " (control " +
                      std::to_string(control) + ")");
    return UIEInvalidPanel;
  }
  auto it = p->controls.find(control);
  if (it == p->controls.end()) {
    s.report_once(panel, control, fault + 1, std::string(op) + ": " + describe(p) + " has no control " + std::to_string(control));
    return UIEInvalidControl;
  }
  Control& c = it->second;
  if (c.value.type != type) {
    s.report_once(panel, control, fault + 2,
                  std::string(op) + ": control " + c.name + " (id " + std::to_string(control) + ") of " +
                      describe(p) + " holds " + value_type_name(c.value.type) + ", but was " +
                      (read ? "read" : "written") + " as " + value_type_name(type));
    return UIETypeMismatch;
  }
  *out = &c;
  return 0;
}

int Runtime::get(int panel, int control, DataType want, int* iv, double* dv) {
  std::lock_guard lk(s_->mu);
  Control* c = nullptr;
  if (const int rc = lookup(*s_, "GetCtrlVal", panel, control, want, &c)) return rc;
  if (want == DataType::Int && iv) *iv = c->value.i;
  if (want == DataType::Double && dv) *dv = c->value.d;
  return 0;
}

int Runtime::set(int panel, int control, const Value& v) {
  {
    std::lock_guard lk(s_->mu);
    Control* c = nullptr;
    if (const int rc = lookup(*s_, "SetCtrlVal", panel, control, v.type, &c)) return rc;
    c->value = v;
  }
  if (s_->host) s_->host->control_written(panel, control, v);
  return 0;
}

// ---- attributes -----------------------------------------------------------------------------

int Runtime::set_attribute(int panel, int control, int attribute, const Value& v) {
  {
    std::lock_guard lk(s_->mu);
    Panel* p = s_->panel(panel);
    if (!p) return UIEInvalidPanel;
    auto it = p->controls.find(control);
    if (it == p->controls.end()) return UIEInvalidControl;
    if (attribute == ATTR_VISIBLE) {
      if (v.type != DataType::Int) return UIETypeMismatch;
      it->second.visible = v.i;
      return 0;
    }
  }
  if (attribute != ATTR_ENABLED && attribute != ATTR_INTERVAL) return UIEInvalidControl;
  std::unique_lock lk(s_->clock.mutex());
  const Time now = s_->clock.now_locked();
  Timer* t = s_->timer(panel, control);
  if (!t) return attribute == ATTR_ENABLED ? 0 : UIEInvalidControl;
  if (attribute == ATTR_ENABLED) {
    if (v.type != DataType::Int) return UIETypeMismatch;
    const bool on = v.i != 0;
    if (on && !t->enabled) t->next_due = now + t->interval;
    t->enabled = on;
  } else {
    const double s = v.number();
    if (!std::isfinite(s) || s <= 0) return UIETypeMismatch;
    t->interval = from_seconds(s);
    if (t->interval <= Duration{0}) t->interval = Duration{1};
    t->next_due = now + t->interval;
  }
  s_->clock.notify_all(s_->events_ch);
  return 0;
}

int Runtime::set_callback(int panel, int control, CtrlCallbackPtr cb) {
  {
    std::lock_guard lk(s_->mu);
    Panel* p = s_->panel(panel);
    if (!p) return UIEInvalidPanel;
    if (!p->controls.count(control)) return UIEInvalidControl;
  }
  std::unique_lock lk(s_->clock.mutex());
  if (Timer* t = s_->timer(panel, control)) t->callback = cb;
  return 0;
}

// ---- events ---------------------------------------------------------------------------------

int Runtime::queue_user_event(int event, int panel, int control) {
  std::unique_lock lk(s_->clock.mutex());
  s_->events.push_back({event, panel, control, 0});
  s_->clock.notify_all(s_->events_ch);
  return 0;
}

int Runtime::get_user_event(int wait, int* panel, int* control) {
  bool told_idle = false;
  {
    std::lock_guard lk(s_->clock.mutex());
    s_->loop_started = true;
    s_->serving.reset();
  }
  for (;;) {
    std::unique_lock lk(s_->clock.mutex());
    if (s_->fire_due(lk)) continue;
    if (!s_->events.empty()) {
      const Event e = s_->events.front();
      s_->events.pop_front();
      if (const auto guard = s_->guard) {
        lk.unlock();
        if (const auto why = (*guard)(e.panel, e.control)) {
          if (s_->host) s_->host->refused(e.panel, e.control, *why);
          continue;
        }
        lk.lock();
      }
      s_->serving = e;
      s_->serving_since = s_->clock.now_locked();
      if (panel) *panel = e.panel;
      if (control) *control = e.control;
      return e.event;
    }
    if (!wait) return 0;
    if (!told_idle && s_->host) {
      told_idle = true;
      lk.unlock();
      s_->host->idle();
      continue;
    }
    told_idle = false;
    s_->clock.wait_until(lk, s_->events_ch, s_->next_due_of_this_thread(), "GetUserEvent");
  }
}

int Runtime::process_system_events() {
  std::unique_lock lk(s_->clock.mutex());
  s_->fire_due(lk);
  return 0;
}

// ---- popups and pauses ----------------------------------------------------------------------

int Runtime::message_popup(const char* title, const char* message) {
  const std::string t = title ? title : "";
  const std::string m = message ? message : "";
  if (s_->host) {
    s_->host->popup(t, m);
  } else {
    std::fprintf(stderr, "popup \"%s\": %s\n", t.c_str(), m.c_str());
    std::fflush(stderr);
  }
  return 1;
}

int Runtime::delay(double seconds) {
  s_->clock.sleep_for(from_seconds(seconds));
  return 0;
}

// ---- thread pool ----------------------------------------------------------------------------

int Runtime::new_pool(int max_threads, CmtThreadPoolHandle* handle) {
  if (s_->options.fail_pool || max_threads < 1) {
    if (handle) *handle = 0;
    return -1;
  }
  std::unique_lock lk(s_->clock.mutex());
  auto pool = std::make_unique<Pool>();
  pool->handle = s_->next_pool++;
  pool->max_threads = max_threads;
  if (handle) *handle = pool->handle;
  s_->pools[pool->handle] = std::move(pool);
  return 0;
}

int Runtime::schedule(CmtThreadPoolHandle pool_handle, ThreadFunctionPtr fn, void* data, int,
                      ThreadFunctionCallbackPtr cb, int mask, void* cb_data, int cb_thread,
                      CmtThreadFunctionID* id) {
  // End callbacks run on the thread that ran the function; no other thread is offered.
  if (!fn || cb_thread != 0 || s_->options.fail_schedule) return -1;
  // Enrolled before the lock (enrolment takes the clock's lock); dropped unused if no
  // thread is started.
  Participant token = s_->clock.enroll();
  std::unique_lock lk(s_->clock.mutex());
  auto it = s_->pools.find(pool_handle);
  if (it == s_->pools.end() || s_->stopping) return -1;
  Pool& pool = *it->second;
  const CmtThreadFunctionID job_id = s_->next_job++;
  pool.jobs.push_back({fn, data, cb, mask, cb_data, job_id});
  s_->unfinished.insert(job_id);
  if (id) *id = job_id;
  if (pool.idle >= static_cast<int>(pool.jobs.size())) {
    s_->clock.notify_all(pool.channel);
    return 0;
  }
  if (static_cast<int>(pool.threads.size()) < pool.max_threads) {
    const std::string name = "pool-" + std::to_string(pool.threads.size() + 1);
    State* s = s_.get();
    Pool* pp = &pool;
    ++s_->pool_threads;
    pool.threads.emplace_back([s, pp, name, token = std::move(token)]() mutable {
      token.adopt(name);
      std::unique_lock lk(s->clock.mutex());
      for (;;) {
        while (pp->jobs.empty() && !s->stopping) {
          ++pp->idle;
          s->clock.wait_until(lk, pp->channel, kForever, "thread pool (idle)");
          --pp->idle;
        }
        if (pp->jobs.empty()) break;
        const Job job = pp->jobs.front();
        pp->jobs.pop_front();
        lk.unlock();
        if (job.cb && (job.mask & EVENT_TP_THREAD_FUNCTION_BEGIN))
          job.cb(pp->handle, job.id, EVENT_TP_THREAD_FUNCTION_BEGIN, 0, job.cb_data);
        const int value = job.fn(job.data);
        if (job.cb && (job.mask & EVENT_TP_THREAD_FUNCTION_END))
          job.cb(pp->handle, job.id, EVENT_TP_THREAD_FUNCTION_END, value, job.cb_data);
        lk.lock();
        s->unfinished.erase(job.id);
        s->clock.notify_all(s->events_ch);  // a thread may wait for this function
      }
      --s->pool_threads;
      s->clock.notify_all(s->pool_exit);
      lk.unlock();
      token.retire();
    });
  }
  s_->clock.notify_all(pool.channel);
  return 0;
}

int Runtime::wait_for_function(CmtThreadPoolHandle pool, CmtThreadFunctionID id, int options) {
  const bool process = options == OPT_TP_PROCESS_EVENTS_WHILE_WAITING;
  std::unique_lock lk(s_->clock.mutex());
  if (!s_->pools.count(pool)) return -1;
  while (s_->unfinished.count(id)) {
    if (process && s_->fire_due(lk)) continue;
    s_->clock.wait_until(lk, s_->events_ch, process ? s_->next_due_of_this_thread() : kForever,
                         "thread pool (wait for a function)");
  }
  return 0;
}

int Runtime::unfinished_functions() const {
  std::lock_guard lk(s_->clock.mutex());
  return static_cast<int>(s_->unfinished.size());
}

void Runtime::set_event_guard(EventGuard guard) {
  auto g = guard ? std::make_shared<const EventGuard>(std::move(guard)) : nullptr;
  std::lock_guard lk(s_->clock.mutex());
  s_->guard = std::move(g);
}

}  // namespace vx::rt

// ---- the operations of panel_runtime.h ------------------------------------------------------

using vx::rt::current;
using vx::rt::DataType;
using vx::rt::Value;

int InitCVIRTEEx(void* hInstance, char**, void*) { return current().init(hInstance); }
int SetSleepPolicy(int policy) { return current().set_sleep_policy(policy); }
int SetStdioPort(int port) { return current().set_stdio_port(port); }
int CmtNewThreadPool(int n, CmtThreadPoolHandle* pool) { return current().new_pool(n, pool); }
int CmtScheduleThreadPoolFunctionAdv(CmtThreadPoolHandle pool, ThreadFunctionPtr fn, void* data,
                                     int priority, ThreadFunctionCallbackPtr cb, int mask,
                                     void* cb_data, int cb_thread, CmtThreadFunctionID* id) {
  return current().schedule(pool, fn, data, priority, cb, mask, cb_data, cb_thread, id);
}
int CmtWaitForThreadPoolFunctionCompletion(CmtThreadPoolHandle pool, CmtThreadFunctionID id, int options) {
  return current().wait_for_function(pool, id, options);
}
int LoadPanel(int parent, const char* file, int resource) {
  return current().load_panel(parent, file, resource);
}
int DisplayPanel(int panel) { return current().display_panel(panel); }
int SetActiveCtrl(int panel, int control) { return current().set_active_ctrl(panel, control); }
int GetUserEvent(int wait, int* panel, int* control) {
  return current().get_user_event(wait, panel, control);
}
int QueueUserEvent(int event, int panel, int control) {
  return current().queue_user_event(event, panel, control);
}
int ProcessSystemEvents() { return current().process_system_events(); }
int GetCtrlVal(int panel, int control, int* value) {
  return current().get(panel, control, DataType::Int, value, nullptr);
}
int GetCtrlVal(int panel, int control, double* value) {
  return current().get(panel, control, DataType::Double, nullptr, value);
}
int SetCtrlVal(int panel, int control, int value) { return current().set(panel, control, Value::of(value)); }
int SetCtrlVal(int panel, int control, double value) {
  return current().set(panel, control, Value::of(value));
}
int NewPanel(int parent, const char* title, int top, int left, int height, int width) {
  return current().new_panel(parent, title, top, left, height, width);
}
int NewCtrl(int panel, int style, const char* label, int top, int left) {
  return current().new_ctrl(panel, style, label, top, left);
}
int SetCtrlAttribute(int panel, int control, int attribute, int value) {
  return current().set_attribute(panel, control, attribute, Value::of(value));
}
int SetCtrlAttribute(int panel, int control, int attribute, double value) {
  return current().set_attribute(panel, control, attribute, Value::of(value));
}
int SetCtrlAttribute(int panel, int control, int attribute, CtrlCallbackPtr value) {
  if (attribute != ATTR_CALLBACK_FUNCTION_POINTER) return UIETypeMismatch;
  return current().set_callback(panel, control, value);
}
int MessagePopup(const char* title, const char* message) {
  return current().message_popup(title, message);
}
int Delay(double seconds) { return current().delay(seconds); }
