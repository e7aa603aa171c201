// The run-time's host on a Qt window: it draws the main panel when the program loads
// it, shows the program's writes, hands the operator's clicks and typing to the
// run-time, shows popups while the program's thread waits for their dismissal, and
// shows the program's standard output in the console pane.
//
// Threads: the host lives on the GUI thread; the rt::Host methods are called on the
// program's threads. Program writes are coalesced: the latest value per control is kept
// in a guarded map and at most one update per frame is scheduled on the GUI thread, so a
// flood of writes never builds a backlog of events. Console lines take the same road.
//
// The live view is the host's own: a reader thread reads the stages and the run-time's
// activity (platform/observe) at the live period, whatever the program does, and posts
// a reading to the GUI thread only when it differs from the last one, so that a window
// at rest is not woken 25 times a second for nothing. Stop
// all (the button, Esc or Alt+A, from the window or any of its dialogs) engages the
// emergency stop from the GUI thread directly, not through the program's event queue,
// which a wait may be holding. Nothing the GUI thread does costs more with the size of a
// scan: the preview is planned on a thread of its own and the map draws at the screen's
// resolution.
#pragma once

#include <QObject>
#include <QStringList>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock/clock.h"
#include "platform/observe/observe.h"
#include "platform/runtime/runtime.h"
#include "platform/shutdown/shutdown.h"
#include "platform/scanplan/scanplan.h"
#include "platform/scanwatch/scanwatch.h"

namespace vx::host {
class StdoutCapture;
}

namespace vx::win {

class MainWindow;
class PanelView;
class PreviewWorker;
class ScanPane;

struct WindowOptions {
  // Shortest span between two updates of the window by program writes; 0 updates at
  // the next pass of the event loop (tests on virtual time, which cannot wait for a
  // real-time frame).
  std::chrono::milliseconds frame{16};
  // How often a signalled shutdown looks at the panel to see whether the scan ended.
  std::chrono::milliseconds shutdown_poll{100};
  // Where scan records go (empty: none are kept); the operator can switch them off. The
  // folder exists and takes files (files::folder_problem).
  std::string record_dir;
  // Period of the live readouts and the activity line; 0 (or a virtual clock): only
  // refresh_live() updates them (tests on virtual time).
  std::chrono::milliseconds live{40};
  // Why no records are kept, when that is not the operator's choice.
  std::string record_problem;
};

// Creates the record folder of `options` if need be and checks that it takes files, as
// the runner checks its own (files::folder_problem). A folder the operator `named` that
// cannot take records is refused: the refusal ("--record DIR: not a directory") is
// returned and nothing may start. The default folder that cannot is dropped instead, the
// reason in record_problem. Returns "" when the program may start.
std::string settle_record_folder(WindowOptions& options, bool named);

class WindowHost final : public QObject, public rt::Host {
  Q_OBJECT

 public:
  explicit WindowHost(Clock& clock, WindowOptions options = {});
  ~WindowHost() override;
  WindowHost(const WindowHost&) = delete;
  WindowHost& operator=(const WindowHost&) = delete;

  // The run-time the operator acts on; set before the program starts.
  void attach(rt::Runtime& runtime);

  MainWindow& window() { return *window_; }
  PanelView* panel_view() const;
  ScanPane* scan_pane() const { return scan_pane_; }
  const scanwatch::ScanWatch* scan_watch() const { return watch_.get(); }
  // Brings the scan pane up to date: the preview of the settings and stages now (when no
  // scan runs), the scan's progress and the map.
  void refresh_scan();
  // Returns once the preview of the settings last seen is planned and shown (tests).
  void wait_for_preview();
  int main_panel() const { return main_panel_.load(std::memory_order_acquire); }
  bool scanning() const;
  bool program_ended() const { return ended_; }

  // Delivers to the console pane, at the next pass of the event loop, everything the
  // program wrote to standard output so far.
  void drain_console();

  // Reads the stages and the program's activity now and shows them, with the title and
  // the emergency stop's banner; clears a message whose state has ended.
  void refresh_live();
  // Ends the live reader thread; before the run-time goes.
  void stop_live();

  // ---- rt::Host (program threads)
  void panel_loaded(int panel, const rt::PanelSpec& description) override;
  void panel_displayed(int panel) override;
  void control_written(int panel, int control, const rt::Value& v) override;
  void popup(const std::string& title, const std::string& message) override;
  void refused(int panel, int control, const std::string& reason) override;
  void stdio_port(int port) override;

 protected:
  // Esc and Alt+A: Stop all, from any of the window's widgets and dialogs.
  bool eventFilter(QObject* watched, QEvent* e) override;

 public slots:
  // A shutdown signal (SIGINT, SIGTERM, SIGHUP): dismiss an open popup, engage the
  // emergency stop (it cuts a wait short and asks a running scan to stop), wait for the
  // scan to end, then quit, so that the stages are closed by the program's own way out.
  void request_shutdown();
  void program_finished(int code);
  // The emergency stop, engaged and released by the operator.
  void stop_all();
  void release_stop();

 private:
  struct PopupWait;

  void build_panel(const rt::PanelSpec* description);
  void request_flush();
  void schedule_flush();
  void flush();
  void push_line(std::string line);
  void open_popup(const std::shared_ptr<PopupWait>& wait, const QString& title, const QString& text);
  void release(const std::shared_ptr<PopupWait>& wait);
  void dismiss_popups();
  bool allow_close();
  void shutdown_step();
  void operator_edit(int id, double value);
  void commit(int id);
  void log_command(const QString& text);

  struct Reading {
    observe::Live live{};
    observe::ActivityView activity;
    bool engaged = false;
    bool same_as(const Reading& o) const;
  };
  Reading take_reading();             // any thread
  void show_reading(const Reading& r);  // GUI thread
  void live_main();
  void poke_live();

  Clock& clock_;
  const WindowOptions options_;
  rt::Runtime* runtime_ = nullptr;
  std::unique_ptr<MainWindow> window_;
  std::atomic<int> main_panel_{0};

  std::mutex pending_mu_;  // pending_, lines_
  std::map<int, rt::Value> pending_;
  QStringList lines_;
  std::atomic<bool> flush_pending_{false};

  std::mutex capture_mu_;
  std::unique_ptr<host::StdoutCapture> capture_;

  // GUI thread only.
  QTimer frame_timer_;
  Time last_flush_{0};
  int echo_ = 0;  // the control whose operator edit is being handed to the run-time
  std::vector<std::shared_ptr<PopupWait>> popups_;
  bool ended_ = false;
  std::optional<shutdown::Shutdown> shutdown_;
  QTimer shutdown_timer_;

  // The scan pane's sources (the watcher is fed on the program's threads).
  std::unique_ptr<scanwatch::ScanWatch> watch_;
  ScanPane* scan_pane_ = nullptr;
  QTimer scan_timer_;
  std::unique_ptr<PreviewWorker> preview_;
  std::optional<scanplan::Settings> previewed_;
  std::array<double, 3> previewed_at_{0, 0, 0};
  std::optional<scanwatch::Snapshot> shown_scan_;
  QString title_;

  // The live reader.
  std::thread live_thread_;
  WaitChannel live_channel_;
  bool live_stop_ = false;   // under the clock's mutex
  bool live_poked_ = false;  // under the clock's mutex
};

}  // namespace vx::win
