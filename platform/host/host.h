// The headless host: the one place below every front end (the window, the session
// runner, remote clients) where the running program is owned, watched and acted on.
// It owns the panel run-time and the program's thread, captures the program's standard
// output when asked, passes the program's popups on, follows scans (the scan watcher
// and its record, the preview of the panel's settings), engages the emergency stop, ends
// the program through its own quit path, reads the stages and the program's activity
// for display, and checks every value an operator types against its control. A front
// end translates and draws: it subscribes an Observer and calls the host.
//
// Threads: the host's methods may be called from any thread unless noted. Observers are
// called on whatever thread the change happens on (the program's, a scan's pool thread,
// the live reader, the caller of an action), never with a host lock held; an observer
// that draws posts to its own thread.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/clock/clock.h"
#include "platform/detector/detector.h"
#include "platform/observe/observe.h"
#include "platform/runtime/runtime.h"
#include "platform/scanplan/scanplan.h"
#include "platform/scanwatch/scanwatch.h"
#include "platform/shutdown/shutdown.h"

namespace vx::host {

class PreviewWorker;

// ---- operator input --------------------------------------------------------------------

// A value an operator gives a control: accepted as `value`, or refused with the reason
// in plain words ("above the most allowed, 50").
struct Checked {
  bool ok = false;
  double value = 0;
  std::string reason;
};

// Checks a number against its control: finite, a whole number for an int control, in
// the control's range.
Checked check_value(double value, const rt::ControlSpec& control);
// Reads typed text as a number and checks it. `decimal_point` is the locale's separator
// ('.' or ','); the other one is refused, and so is any text that is not one number as
// a whole (no partial reading: 1e9 is 1e9, never 19).
Checked check_text(std::string_view text, const rt::ControlSpec& control, char decimal_point);

// ---- the scan records' folder -------------------------------------------------------

// Why scan records cannot be kept in `dir` (made first, when `create` and it is missing),
// or nothing. Every front end asks it before the program starts, not at the first scan.
std::optional<std::string> record_folder_problem(const std::string& dir, bool create);
// How a front end refuses a folder the operator named: "--record DIR: why", the name
// escaped.
std::string record_folder_refusal(const std::string& dir, const std::string& why);

// ---- the session's log ---------------------------------------------------------------------

// The log's lines of a scan (Observer::note): its start, with what it scans, the points,
// the planned time and where it is recorded; its end, with how it ended, the points
// done and the record.
std::string scan_start_note(const scanwatch::Snapshot& s);
std::string scan_end_note(const scanwatch::Snapshot& s);

// ---- what the host tells -----------------------------------------------------------------

// The stages and the program at one reading.
struct Reading {
  observe::Live live{};
  observe::ActivityView activity;
  bool engaged = false;  // the emergency stop holds the stages
  bool ended = false;    // the program has returned
  // Something moves, the program serves a command or one waits: the live reader then
  // reads at its fast pace.
  bool active() const;
  // The same display: positions, status words, inhibits, activity and queue.
  bool same_as(const Reading& other) const;
};

// How the program's popups are answered.
enum class Popups {
  Answer,  // at once, once the observers were told (a script cannot click)
  Wait,    // the program waits until a front end dismisses the popup
};

class Observer {
 public:
  virtual ~Observer() = default;
  // The main panel was loaded; `spec` stays valid as long as the host.
  virtual void panel_loaded(int panel, const rt::PanelSpec& spec) {}
  // A panel was shown (`main`: the operator's; the driver's hidden panel is not).
  virtual void panel_displayed(int panel, bool main) {}
  // The program wrote a control of the main panel.
  virtual void written(int control, const rt::Value& v) {}
  // A whole line of the program's standard output (when the host captures it).
  virtual void console_line(const std::string& line) {}
  virtual void popup(std::uint64_t id, const std::string& title, const std::string& message) {}
  // A command was withheld from the program (Start scan under the emergency stop; a
  // command that reads a field holding no valid number).
  virtual void refused(const std::string& reason) {}
  // A line for the session's log, of what the operator did or the host decided that
  // the program itself does not print: a withdrawn command, Stop all and Release, a
  // motion asked for under the emergency stop, a scan's start and end (the end's with
  // the scan watcher's lock held, as scan_ended).
  virtual void note(const std::string& line) {}
  // The program is about to wait for an event with none queued.
  virtual void idle() {}
  // The live reader's reading, when it differs from the last one.
  virtual void reading(const Reading& r) {}
  // A scan's record failed (a full disk), as it happens; and a scan has ended. Both are
  // called with the scan watcher's lock held: do not call scan() from them.
  virtual void record_failed(const scanwatch::Snapshot& s) {}
  virtual void scan_ended(const scanwatch::Snapshot& s) {}
  // A point's reading, as the scan watcher took it (on the detector's thread, with the
  // scan watcher's lock held: do not call scan() from it).
  virtual void point_read(const scanwatch::PointReading& r) {}
  // A preview planned for the scan view (on the planner's thread).
  virtual void preview_ready(const scanplan::Preview& p) {}
  virtual void program_ended(int code) {}
};

struct Options {
  std::string record_dir;  // where scan records go; empty: none are kept
  // What the scans read at each point (detector::open); none: no readings.
  std::shared_ptr<detector::Detector> detector;
  rt::Options runtime;     // the run-time's injected faults
  bool capture_console = false;
  Popups popups = Popups::Answer;
  // The live reader's period while anything is active; at rest it reads every 500 ms
  // at the most. 0, or a virtual clock: no reader thread (call read()).
  std::chrono::milliseconds live{0};
};

// What the scan pane shows: the scan as followed, and the preview of the panel's
// settings as they stand.
struct ScanView {
  scanwatch::Snapshot scan;
  bool running = false;
  std::optional<scanplan::Settings> settings;  // the panel's now; none when unreadable
  std::array<double, 3> at{0, 0, 0};           // where the stages stand, mm
  // Whether the map shows `scan`: while it runs, and after it until the settings change.
  bool map_shows_scan = false;
};

// A click as the host took it: the command's operator name with the values it reads,
// and either why it was refused (it never reached the program) or, for a command that
// waits in the queue, the number it can be withdrawn by (0: it ran at once).
struct Pressed {
  std::string text;
  std::optional<std::string> refused;
  std::uint64_t commit = 0;
};

class Host final : public rt::Host {
 public:
  // Uses `clock` for every wait; the stages are the stage library's (the simulator in
  // force, for a simulated build).
  explicit Host(Clock& clock, Options options = {});
  // Ends the live reader, dismisses open popups, joins the program's thread (it must
  // have returned, or never started), then ends the run-time.
  ~Host() override;
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Observers are added before start() and live as long as the host.
  void subscribe(Observer& observer);

  // ---- the program
  // Makes the run-time (with `faults`, a test's or a script's), installs it and starts
  // the program's entry point on a thread of its own, enrolled with the clock as "main".
  // Commands the emergency stop forbids are withheld from the program from the start.
  void start(const rt::Options& faults = {});
  bool started() const { return runtime_ != nullptr; }
  bool ended() const { return ended_.load(std::memory_order_acquire); }
  int exit_code() const { return exit_code_.load(std::memory_order_acquire); }
  rt::Runtime* runtime() { return runtime_.get(); }
  const rt::Runtime* runtime() const { return runtime_.get(); }
  int main_panel() const { return runtime_ ? runtime_->main_panel() : 0; }
  const rt::ControlSpec* control(int id) const;
  // Joins the program's thread once it has returned.
  void join_program();

  // ---- the operator's actions
  // Types a value into an input, checked against its control. A refused value leaves
  // the input marked as holding no valid number (mark_input); an accepted one clears it.
  Checked set(int control, double value);
  // A front end's input holds text the program does not read, for `problem` ("above
  // the most allowed, 50"); empty: it holds a valid value again. Every command that
  // reads a marked input is refused (refusal()) until the mark is cleared.
  void mark_input(int control, std::string problem);
  // Why pressing `command` now is refused, naming each marked input it reads; nothing
  // when it may go.
  std::optional<std::string> refusal(int command) const;
  // Writes exactly `value` (a session script tests how the program takes any value):
  // only its type is checked, an int control taking whole numbers in the int range
  // ("holds an int; 2.5 is not one").
  Checked set_exact(int control, double value);
  // The operator's name of a command, with the values it will read now ("Go to X:
  // 12.5 mm"); for a control that is no command, its constant's name.
  std::string describe(int control) const;
  // Clicks a command control, unless refusal() refuses it: then the observers are told
  // (Observer::refused) and nothing reaches the program. A click `by` someone other
  // than the operator at hand ("remote client 2") is told to the observers as a note
  // ("remote client 2: Home X") before it reaches the program, and while it waits in
  // the queue its text there says whose it is ("Home X (remote client 2)").
  Pressed press(int control, const std::string& by = {});
  // Takes the operator's queued command `commit` back before the program runs it; false
  // when it runs or ran already. withdraw_all() takes every queued command of the
  // operator's (the program's own refresh requests stay) and returns how many. Both
  // tell the observers a note of what was withdrawn.
  bool withdraw(std::uint64_t commit);
  int withdraw_all();
  // The emergency stop; false when it held already (release: when it did not hold).
  // Once the program has returned its stages are closed: neither touches them then.
  bool stop_all();
  bool release();
  static bool engaged();
  // Answers every open popup, as its OK would (Popups::Wait).
  void dismiss_popups();
  void dismiss_popup(std::uint64_t id);

  // Ends the program through its own quit path (shutdown::Shutdown): begin once, then
  // step on each poll until the program has ended.
  void begin_shutdown();
  bool shutting_down() const;
  shutdown::Shutdown::Sent shutdown_step();

  // ---- what the front ends show
  // Reads the stages and the program now, the stages under the thread name "live". Once
  // the program has returned no stage is read: they are closed.
  Reading read();
  // What the program does now, without reading the stages.
  observe::ActivityView activity() const;
  bool scanning() const;
  scanwatch::Snapshot scan() const;
  const scanwatch::ScanWatch* scan_watch() const { return watch_.get(); }
  // The scan pane's view. When the settings or the stages changed since the last view
  // (and no scan runs), a new preview is planned on the planner's thread and told to
  // the observers (preview_ready).
  ScanView scan_view();
  // Returns once every preview asked for so far has been planned and told.
  void wait_for_preview();
  // The preview of the panel's settings now, planned on the calling thread; nothing when
  // the settings cannot be read.
  std::optional<scanplan::Preview> preview_now();
  const std::string& record_dir() const { return options_.record_dir; }
  // The detector the next scan reads (none: no readings); refused (false) while a scan
  // runs. Before start() it is only kept.
  bool set_detector(std::shared_ptr<detector::Detector> d);
  std::shared_ptr<detector::Detector> detector() const;
  bool recording() const { return recording_.load(std::memory_order_acquire); }
  void set_recording(bool on);

  // Delivers to observers every line the program wrote to standard output so far
  // (capture_console).
  void drain_console();
  // Wakes the live reader now (an action may have started motion).
  void poke_live();
  // Ends the live reader; before an observer that it tells goes away.
  void stop_live();

  // ---- rt::Host (the program's threads)
  void panel_loaded(int panel, const rt::PanelSpec& spec) override;
  void panel_displayed(int panel) override;
  void control_written(int panel, int control, const rt::Value& v) override;
  void popup(const std::string& title, const std::string& message) override;
  void idle() override;
  void stdio_port(int port) override;
  void refused(int panel, int control, const std::string& reason) override;

 private:
  struct Popup;
  class Console;
  template <class F>
  void tell(F&& f) {
    for (Observer* o : observers_) f(*o);
  }
  void live_main();
  bool install_detector_locked();
  void warn_of_detector(scanplan::Preview& p) const;
  // Names the queued commands pressed by someone other than the operator at hand.
  void mark_whose(observe::ActivityView& v) const;

  Clock& clock_;
  Options options_;
  std::vector<Observer*> observers_;
  std::unique_ptr<scanwatch::ScanWatch> watch_;  // outlives the run-time that feeds it
  std::unique_ptr<rt::Runtime> runtime_;
  std::optional<rt::RuntimeScope> scope_;
  // The detector's reader: made after the watcher and ended before it, which it feeds.
  std::unique_ptr<detector::Reader> reader_;
  std::thread program_;
  std::atomic<bool> ended_{false};
  std::atomic<int> exit_code_{0};
  std::atomic<bool> recording_{false};
  std::atomic<bool> scan_lit_{false};  // the Scanning lamp, as the program last wrote it

  mutable std::mutex mu_;  // popups_, next_popup_, shutdown_, the preview cache, the detector
  std::vector<std::shared_ptr<Popup>> popups_;
  std::uint64_t next_popup_ = 1;
  std::optional<shutdown::Shutdown> shutdown_;
  std::optional<scanplan::Settings> previewed_;
  std::array<double, 3> previewed_at_{0, 0, 0};
  std::unique_ptr<PreviewWorker> planner_;
  std::map<int, std::string> invalid_;  // inputs marked as holding no valid number
  mutable std::map<std::uint64_t, std::string> whose_;  // queued commits pressed `by` someone

  std::unique_ptr<Console> console_;

  std::thread live_thread_;
  WaitChannel live_channel_;
  bool live_stop_ = false;   // under the clock's mutex
  bool live_poked_ = false;  // under the clock's mutex
};

}  // namespace vx::host
