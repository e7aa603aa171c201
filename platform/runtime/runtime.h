// The panel run-time's headless core as a class: panels and their controls, the
// user-event queue, timer controls, event processing, popups and the thread pool. The
// C-style operations of panel_runtime.h forward to the installed Runtime.
//
// Whoever hosts the run-time (the process entry, the session runner, a window, a test)
// installs one with RuntimeScope and may attach a Host to see what the program does and
// to act for the operator: commit a control, type a value, dismiss a popup.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock/clock.h"
#include "platform/panelfile/panel_file.h"
#include "platform/runtime/panel_runtime.h"

namespace vx::rt {

struct Value {
  DataType type = DataType::None;
  int i = 0;
  double d = 0;
  static Value of(int v) { return {DataType::Int, v, 0}; }
  static Value of(double v) { return {DataType::Double, 0, v}; }
  double number() const { return type == DataType::Double ? d : static_cast<double>(i); }
};

// What a host is told. Every method may be called from any thread of the program, with
// no run-time lock held.
class Host {
 public:
  virtual ~Host() = default;
  virtual void panel_loaded(int panel, const PanelSpec& spec) {}
  virtual void panel_displayed(int panel) {}
  virtual void control_written(int panel, int control, const Value& v) {}
  // The program's thread blocks until this returns: the popup's dismissal.
  virtual void popup(const std::string& title, const std::string& message) {}
  // The calling thread is about to block in GetUserEvent with nothing to do.
  virtual void idle() {}
  // The event guard withheld an event from the program, for this reason.
  virtual void refused(int panel, int control, const std::string& reason) {}
  virtual void stdio_port(int port) {}
};

// What the program's event loop is doing, as an observer (the window, the session
// runner) may show it: the event the loop took last while its action still runs, the
// events waiting behind it, and the timers armed now (a completion wait's time-out is
// one of them).
struct Activity {
  struct Event {
    int event, panel, control;
    std::uint64_t commit = 0;  // an operator's commit (Runtime::commit): its number; 0 the program's own
  };
  struct Armed {
    int panel, control;
    Duration interval;
    Time since;  // when it was armed; it falls due at since + interval
  };
  bool loop_started = false;     // GetUserEvent has been called
  std::optional<Event> serving;  // taken by GetUserEvent, and no GetUserEvent since
  Time serving_since{0};
  std::vector<Event> queued;     // in the order they will be taken
  std::vector<Armed> timers;     // the enabled timers
};

struct Options {
  bool fail_init = false;   // InitCVIRTEEx returns 0
  bool fail_pool = false;   // CmtNewThreadPool fails
  bool fail_schedule = false;  // CmtScheduleThreadPoolFunctionAdv refuses every function
};

class Runtime {
 public:
  // Uses the clock in force at construction for every wait.
  explicit Runtime(Host* host = nullptr, Options options = {});
  ~Runtime();  // ends the pool's threads once their functions have returned: join_pool(kForever)
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  // ---- the operator's side
  // As a click on a command. A commit that queues an event returns its number, by
  // which it can be withdrawn until the program takes it; one that runs its callback
  // at once returns 0.
  std::uint64_t commit(int panel, int control);
  // Takes the operator's queued commit `id` out of the queue: false when the program
  // has taken it already (or it never was).
  bool withdraw(std::uint64_t id);
  // Takes every operator's commit out of the queue; the program's own events stay.
  std::vector<Activity::Event> withdraw_commits();
  int set_value(int panel, int control, const Value& v);  // as typing in an input
  std::optional<Value> value(int panel, int control) const;
  const PanelSpec* spec(int panel) const;  // what the panel was made from; stays valid
  int main_panel() const;  // the first panel loaded from a file, 0 before
  bool displayed(int panel) const;
  std::optional<Value> timer_interval(int panel, int control) const;
  std::optional<bool> timer_enabled(int panel, int control) const;
  std::vector<int> panels() const;
  std::string panel_file(int panel) const;
  Activity activity() const;

  // Takes no more functions and ends the pool's threads once their functions have
  // returned, waiting for them on the clock (so that virtual time moves on for a
  // function still running) until `deadline`. False when one still ran then.
  bool join_pool(Time deadline);
  // The functions scheduled on a pool whose end (function and end callback) has not
  // come yet.
  int unfinished_functions() const;

  // Consulted for every event GetUserEvent is about to hand the program, on the
  // program's thread with no run-time lock held: a reason withholds the event, and the
  // host is told it (Host::refused). Set before the program runs; empty: none.
  using EventGuard = std::function<std::optional<std::string>(int panel, int control)>;
  void set_event_guard(EventGuard guard);

  // ---- the operations of panel_runtime.h
  int init(void* instance);
  int set_sleep_policy(int policy);
  int set_stdio_port(int port);
  int new_pool(int max_threads, CmtThreadPoolHandle* handle);
  int schedule(CmtThreadPoolHandle pool, ThreadFunctionPtr fn, void* data, int priority,
               ThreadFunctionCallbackPtr cb, int mask, void* cb_data, int cb_thread,
               CmtThreadFunctionID* id);
  int wait_for_function(CmtThreadPoolHandle pool, CmtThreadFunctionID id, int options);
  int load_panel(int parent, const char* file, int resource);
  int display_panel(int panel);
  int set_active_ctrl(int panel, int control);
  int get_user_event(int wait, int* panel, int* control);
  int queue_user_event(int event, int panel, int control);
  int process_system_events();
  int get(int panel, int control, DataType want, int* iv, double* dv);
  int set(int panel, int control, const Value& v);
  int new_panel(int parent, const char* title, int top, int left, int height, int width);
  int new_ctrl(int panel, int style, const char* label, int top, int left);
  int set_attribute(int panel, int control, int attribute, const Value& v);
  int set_callback(int panel, int control, CtrlCallbackPtr cb);
  int message_popup(const char* title, const char* message);
  int delay(double seconds);

  struct State;

 private:
  std::unique_ptr<State> s_;
};

// The run-time the operations use: the innermost installed one, else a process-wide
// default without a host.
Runtime& current();

class RuntimeScope {
 public:
  explicit RuntimeScope(Runtime& r);
  ~RuntimeScope();
  RuntimeScope(const RuntimeScope&) = delete;
  RuntimeScope& operator=(const RuntimeScope&) = delete;

 private:
  Runtime* previous_;
};

// Checks `panel` against the program's contract for it: "PATH:LINE:COLUMN: what is
// wrong" for the first breach (a missing control: the panel's own position), or nothing.
std::optional<std::string> contract_violation(const PanelSpec& panel, const PanelContract& contract,
                                              const std::string& path);

// Where a bare panel-file name is found: the working directory, then the directory of
// the executable, then the installed data folder (share/varnix beside the executable's
// bin/). A name with a directory is taken as it is.
std::string resolve_panel_path(const std::string& name);

}  // namespace vx::rt
