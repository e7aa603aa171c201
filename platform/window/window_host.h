// The window's adapter over the headless host: it draws the main panel when the program
// loads it, shows the program's writes and console lines, shows the program's popups as
// dialogs, draws the live readings, the activity, the title and the scan pane as the
// host tells them, and turns the operator's clicks, typing and keys into host calls. It
// decides nothing about the stages or the program: that is the host's.
//
// Threads: the adapter lives on the GUI thread; the host's observer calls come on the
// program's threads, the live reader's and the planner's, and only store and post.
// Program writes are coalesced: the latest value per control is kept in a guarded map
// and at most one update per frame is scheduled on the GUI thread, so a flood of writes
// never builds a backlog of events. Console lines take the same road.
#pragma once

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/clock/clock.h"
#include "platform/control/control.h"
#include "platform/host/host.h"
#include "platform/session/session.h"

namespace vx::win {

class MainWindow;
class PanelView;
class ScanPane;

struct WindowOptions {
  // Shortest span between two updates of the window by program writes; 0 updates at
  // the next pass of the event loop (tests on virtual time, which cannot wait for a
  // real-time frame).
  std::chrono::milliseconds frame{16};
  // How often a signalled shutdown looks at the panel to see whether the scan ended.
  std::chrono::milliseconds shutdown_poll{100};
  // Where scan records go (empty: none are kept); the operator can switch them off. The
  // folder exists and takes files (host::record_folder_problem).
  std::string record_dir;
  // Period of the live readouts and the activity line; 0 (or a virtual clock): only
  // refresh_live() updates them (tests on virtual time).
  std::chrono::milliseconds live{40};
  // Why no records are kept, when that is not the operator's choice.
  std::string record_problem;
  // Serve remote clients there (docs/control-protocol.md); empty: no socket.
  std::vector<control::Address> listen;
  std::string token;  // clients send `auth TOKEN` first (empty: none needed)
};

// The window's settings key of the detector chosen last.
inline constexpr const char* kDetectorSetting = "scan/detector";

// Creates the record folder of `options` if need be and checks that it takes files, as
// the runner checks its own (host::record_folder_problem). A folder the operator `named` that
// cannot take records is refused: the refusal ("--record DIR: not a directory") is
// returned and nothing may start. The default folder that cannot is dropped instead, the
// reason in record_problem. Returns "" when the program may start.
std::string settle_record_folder(WindowOptions& options, bool named);

class WindowHost final : public QObject, public host::Observer {
  Q_OBJECT

 public:
  explicit WindowHost(Clock& clock, WindowOptions options = {});
  ~WindowHost() override;
  WindowHost(const WindowHost&) = delete;
  WindowHost& operator=(const WindowHost&) = delete;

  // The host the operator acts on; set before the program starts.
  void attach(host::Host& core);
  // Shows the clients of `server` and who holds control, with the operator's switch
  // that refuses remote control (control::Server::set_refused).
  void attach_remote(control::Server& server);
  // The clients or who holds control changed (any thread).
  void remote_changed();

  MainWindow& window() { return *window_; }
  PanelView* panel_view() const;
  ScanPane* scan_pane() const { return scan_pane_; }
  // Brings the scan pane up to date: the scan's progress and the map, and a new
  // preview asked for when the settings or the stages changed.
  void refresh_scan();
  // Returns once the preview of the settings last seen is planned and shown (tests).
  void wait_for_preview();
  // The source of the detector the host was given (host::Host::set_detector), shown in the
  // scan pane; with `remember`, one the operator chooses there is kept in the window's
  // settings (kDetectorSetting) for the next start. Before the panel is built.
  void use_detector_source(const std::string& source, bool remember);
  int main_panel() const { return main_panel_.load(std::memory_order_acquire); }
  bool scanning() const { return core_ && core_->scanning(); }
  bool program_ended() const { return ended_; }

  // Delivers to the console pane, at the next pass of the event loop, everything the
  // program wrote to standard output so far.
  void drain_console();

  // Reads the stages and the program's activity now and shows them, with the title and
  // the emergency stop's banner; clears a message whose state has ended.
  void refresh_live();

  // ---- host::Observer (any thread)
  void panel_loaded(int panel, const rt::PanelSpec& source) override;
  void panel_displayed(int panel, bool main) override;
  void written(int control, const rt::Value& v) override;
  void console_line(const std::string& line) override;
  void popup(std::uint64_t id, const std::string& title, const std::string& message) override;
  void refused(const std::string& reason) override;
  void note(const std::string& line) override;
  void reading(const host::Reading& r) override;
  void scan_ended(const scanwatch::Snapshot& s) override;
  void preview_ready(const scanplan::Preview& p) override;
  void program_ended(int code) override;

 protected:
  // Esc and Alt+A: Stop all, from any of the window's widgets and dialogs.
  bool eventFilter(QObject* watched, QEvent* e) override;

 signals:
  // The program has returned with `code`, and the window shows it.
  void ended(int code);

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
  void build_panel(const rt::PanelSpec* description);
  void request_flush();
  void schedule_flush();
  void flush();
  void open_popup(std::uint64_t id, const QString& title, const QString& text);
  void close_popups();
  bool allow_close();
  void shutdown_step();
  void operator_edit(int id, double value);
  void commit(int id);
  void log_command(const QString& text);
  void show_reading(const host::Reading& r);  // GUI thread
  void show_age(const host::Reading& r);
  void choose_detector(const QString& source);   // GUI thread
  void show_detector(const QString& source);
  void show_remote();  // GUI thread

  Clock& clock_;
  const WindowOptions options_;
  host::Host* core_ = nullptr;
  std::unique_ptr<MainWindow> window_;
  std::atomic<int> main_panel_{0};

  // A line for the log as it came: the program's, or one of the window's own (a note),
  // kept in the order they came in so that a note stands among the program's lines
  // where it happened.
  struct LogLine {
    QString text;
    bool command = false;
  };
  void show_lines(const QList<LogLine>& lines);  // GUI thread
  std::mutex pending_mu_;  // pending_, lines_
  std::map<int, rt::Value> pending_;
  QList<LogLine> lines_;
  std::atomic<bool> flush_pending_{false};

  // GUI thread only.
  QTimer frame_timer_;
  Time last_flush_{0};
  Time displays_at_{0};  // when the program last refreshed the stages' displays
  int echo_ = 0;  // the control whose operator edit is being handed to the run-time
  std::map<std::uint64_t, QPointer<QMessageBox>> popups_;  // open, by the host's popup id
  bool ended_ = false;
  QTimer shutdown_timer_;
  ScanPane* scan_pane_ = nullptr;
  QTimer scan_timer_;
  QString detector_source_ = QStringLiteral("none");
  bool remember_detector_ = false;
  QString title_;
  control::Server* remote_ = nullptr;
};

// The program in a window: the host (which owns the run-time and the program's thread)
// and the window's adapter over it, put together in the order they depend on each other.
// Uses the clock in force (ClockScope) and the simulator in force when constructed.
class WindowedProgram {
 public:
  explicit WindowedProgram(Clock& clock, WindowOptions options = {});
  // The host goes first: it ends its live reader and planner, answers open popups,
  // joins the program (which must have returned, or never started) and ends the
  // run-time, while the adapter it tells still exists.
  ~WindowedProgram();
  WindowedProgram(const WindowedProgram&) = delete;
  WindowedProgram& operator=(const WindowedProgram&) = delete;

  // Listens on the addresses of the options; false with the reason (nothing listens
  // then). Before start().
  bool listen(std::string& error);
  std::vector<std::string> bound() const;
  session::Remote* remote() { return remote_.get(); }
  void start() { core_->start(); }
  WindowHost& host() { return host_; }
  host::Host& core() { return *core_; }
  rt::Runtime& runtime() { return *core_->runtime(); }  // once started
  bool ended() const { return core_->ended(); }
  int exit_code() const { return core_->exit_code(); }

 private:
  WindowHost host_;
  // Serves remote clients against core_: it is told by the host until the host's end,
  // so it goes after it, having stopped serving before.
  std::unique_ptr<session::Remote> remote_;
  std::optional<host::Host> core_;
};

}  // namespace vx::win
