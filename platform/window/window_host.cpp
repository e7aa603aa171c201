// The host's two sides. Program threads only store and post: a write goes into the map
// of pending values, a line into the list of pending lines, and the first of them since
// the last update posts one call to the GUI thread. Everything that touches a widget
// runs on the GUI thread. A popup's waiter blocks on the clock, so that a test's
// virtual time keeps moving while the dialog is open.
#include "platform/window/window_host.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QShortcut>
#include <QThread>

#include "panel/Varnix_ui.h"
#include "platform/estop/estop.h"
#include "platform/files/files.h"
#include "platform/files/printable.h"
#include "platform/observe/observe.h"
#include "platform/stagelib/stage_library.h"
#include "platform/window/live_view.h"
#include "platform/window/main_window.h"
#include "platform/window/panel_view.h"
#include "platform/window/preview_worker.h"
#include "platform/window/scan_pane.h"
#include "platform/host/stdout_capture.h"

namespace vx::win {

namespace {
// Lines waiting for the next update beyond this many can only scroll out of the pane.
constexpr int kMaxPendingLines = MainWindow::kConsoleLines;
}  // namespace

struct WindowHost::PopupWait {
  WaitChannel channel;
  bool dismissed = false;  // under the clock's mutex
  QPointer<QMessageBox> box;  // GUI thread only
};

std::string settle_record_folder(WindowOptions& options, bool named) {
  if (options.record_dir.empty()) return {};
  QDir().mkpath(QString::fromStdString(options.record_dir));
  const auto problem = files::folder_problem(options.record_dir);
  if (!problem) return {};
  if (named) return "--record " + files::printable(options.record_dir) + ": " + *problem;
  options.record_problem = "cannot keep scan records in " + files::printable(options.record_dir) + ": " + *problem;
  options.record_dir.clear();
  return {};
}

WindowHost::WindowHost(Clock& clock, WindowOptions options)
    : clock_(clock), options_(options), window_(std::make_unique<MainWindow>()) {
  window_->set_close_guard([this] { return allow_close(); });
  frame_timer_.setSingleShot(true);
  frame_timer_.setTimerType(Qt::PreciseTimer);
  connect(&frame_timer_, &QTimer::timeout, this, &WindowHost::flush);
  shutdown_timer_.setInterval(static_cast<int>(options_.shutdown_poll.count()));
  connect(&shutdown_timer_, &QTimer::timeout, this, &WindowHost::shutdown_step);
  // While a scan runs, elapsed, remaining and the stages' marker move on between the
  // program's writes; at rest the panel timer's refreshes bring the pane up to date.
  scan_timer_.setInterval(250);
  connect(&scan_timer_, &QTimer::timeout, this, &WindowHost::refresh_scan);
  preview_ = std::make_unique<PreviewWorker>([this](scanplan::Preview p) {
    QMetaObject::invokeMethod(
        this, [this, p = std::move(p)] { if (scan_pane_) scan_pane_->show_preview(p); }, Qt::QueuedConnection);
  });

  LiveView* live = window_->live();
  connect(live, &LiveView::stop_all_clicked, this, &WindowHost::stop_all);
  connect(live, &LiveView::release_clicked, this, &WindowHost::release_stop);
  // Esc and Alt+A stop everything wherever the focus is, a dialog of the window included
  // (where Esc would close the dialog): seen before any widget or shortcut sees them.
  qApp->installEventFilter(this);
  auto* quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), window_.get());
  connect(quit, &QShortcut::activated, window_.get(), [this] { window_->close(); });
  auto* find = new QShortcut(QKeySequence::Find, window_.get());
  connect(find, &QShortcut::activated, window_.get(), [this] {
    window_->find_box()->setFocus();
    window_->find_box()->selectAll();
  });
  // On a virtual clock an unenrolled reader could not wait; tests call refresh_live().
  if (options_.live.count() > 0 && !clock_.is_virtual()) live_thread_ = std::thread([this] { live_main(); });
}

namespace {

bool is_stop_key(const QKeyEvent& k) {
  const Qt::KeyboardModifiers mods = k.modifiers() & ~Qt::KeypadModifier;
  return (k.key() == Qt::Key_Escape && mods == Qt::NoModifier) || (k.key() == Qt::Key_A && mods == Qt::AltModifier);
}

}  // namespace

bool WindowHost::eventFilter(QObject* watched, QEvent* e) {
  if (e->type() != QEvent::KeyPress && e->type() != QEvent::ShortcutOverride) return false;
  if (!is_stop_key(static_cast<const QKeyEvent&>(*e))) return false;
  bool ours = false;  // a widget of the window or of one of its dialogs
  for (auto* w = qobject_cast<QWidget*>(watched); w && !ours; w = w->parentWidget()) ours = w == window_.get();
  if (!ours) return false;
  // The override claims the key from every shortcut; the press then engages the stop.
  e->accept();
  if (e->type() == QEvent::KeyPress) stop_all();
  return true;
}

void WindowHost::attach(rt::Runtime& runtime) {
  runtime_ = &runtime;
  shutdown_.emplace(runtime);
  estop::guard(runtime);
  scanwatch::Options o;
  o.record_dir = options_.record_dir;
  o.on_end = [this](const scanwatch::Snapshot& s) {
    QString text = tr("Scan ended: %1.").arg(QString::fromStdString(s.end_state));
    if (!s.record_path.empty()) text += tr(" Recorded to %1").arg(QString::fromStdString(s.record_path));
    if (!s.record_error.empty()) text += QLatin1Char(' ') + QString::fromStdString(s.record_error);
    QMetaObject::invokeMethod(this, [this, text] { window_->say(text); }, Qt::QueuedConnection);
  };
  watch_ = std::make_unique<scanwatch::ScanWatch>(
      runtime, clock_, [] { return scanplan::stages_now(); }, std::move(o));
}

void WindowHost::poke_live() {
  std::lock_guard lk(clock_.mutex());
  live_poked_ = true;
  clock_.notify_all(live_channel_);
}

void WindowHost::stop_live() {
  if (!live_thread_.joinable()) return;
  {
    std::lock_guard lk(clock_.mutex());
    live_stop_ = true;
    clock_.notify_all(live_channel_);
  }
  live_thread_.join();
}

// The reader's reads show in a trace as the live view's. At rest (no stage busy, the
// program idle, nothing queued) it reads at 10 Hz, else at the live period: each wake
// costs the idle window more than the reading itself. The operator's commands wake it
// at once, so that the motion they start is followed from its first moment.
void WindowHost::live_main() {
  set_thread_name("live");
  constexpr std::chrono::milliseconds kAtRest{100};
  std::optional<Reading> last;
  bool active = true;
  for (;;) {
    {
      std::unique_lock lk(clock_.mutex());
      const Time deadline = clock_.now_locked() + (active ? Duration(options_.live) : std::max<Duration>(options_.live, kAtRest));
      while (!live_stop_ && !live_poked_ && clock_.now_locked() < deadline)
        clock_.wait_until(lk, live_channel_, deadline, "live view");
      if (live_stop_) return;
      live_poked_ = false;
    }
    Reading r = take_reading();
    active = r.engaged || r.activity.state != "idle" || !r.activity.queued.empty();
    for (const observe::AxisLive& a : r.live)
      active = active || (a.status & (sl::kMovingForward | sl::kMovingReverse | sl::kCommandActive)) != 0;
    if (last && last->same_as(r)) continue;
    last = r;
    QMetaObject::invokeMethod(this, [this, r = std::move(r)] { show_reading(r); }, Qt::QueuedConnection);
  }
}

WindowHost::~WindowHost() {
  stop_live();
  preview_.reset();
  {
    std::lock_guard lk(capture_mu_);
    capture_.reset();
  }
  // A program thread must never stay blocked on a dialog that is gone.
  for (const auto& w : std::vector(popups_)) release(w);
}

PanelView* WindowHost::panel_view() const { return window_->panel(); }

bool WindowHost::scanning() const { return runtime_ && observe::scanning(*runtime_); }

// ---- program threads --------------------------------------------------------------------

void WindowHost::panel_loaded(int panel, const rt::PanelSpec& description) {
  // Only the first panel from a file is the operator's; the run-time keeps what it was
  // made from for as long as it lives.
  int none = 0;
  if (!main_panel_.compare_exchange_strong(none, panel, std::memory_order_acq_rel)) return;
  const rt::PanelSpec* d = &description;
  QMetaObject::invokeMethod(this, [this, d] { build_panel(d); }, Qt::QueuedConnection);
}

void WindowHost::panel_displayed(int panel) {
  // Panels made in code (the driver's hidden time-out panel) are never the main one.
  if (panel != main_panel()) return;
  QMetaObject::invokeMethod(
      this,
      [this] {
        window_->show();
        window_->raise();
      },
      Qt::QueuedConnection);
}

void WindowHost::control_written(int panel, int control, const rt::Value& v) {
  if (panel != main_panel()) return;
  if (watch_) watch_->control_written(panel, control, v);
  // echo_ belongs to the GUI thread: test the thread first.
  if (QThread::currentThread() == thread() && control == echo_) return;
  {
    std::lock_guard lk(pending_mu_);
    pending_[control] = v;
  }
  request_flush();
}

void WindowHost::popup(const std::string& title, const std::string& message) {
  auto wait = std::make_shared<PopupWait>();
  QMetaObject::invokeMethod(
      this,
      [this, wait, t = QString::fromStdString(title), m = QString::fromStdString(message)] {
        open_popup(wait, t, m);
      },
      Qt::QueuedConnection);
  std::unique_lock lk(clock_.mutex());
  while (!wait->dismissed) clock_.wait_until(lk, wait->channel, kForever, "MessagePopup");
}

// A command the run-time withheld from the program (Start scan under the emergency
// stop): the operator is told why, in the status bar and the log.
void WindowHost::refused(int, int, const std::string& reason) {
  QMetaObject::invokeMethod(
      this, [this, text = QString::fromStdString(reason)] { log_command(text); window_->say(text); },
      Qt::QueuedConnection);
}

void WindowHost::stdio_port(int port) {
  if (port != 0) return;
  std::lock_guard lk(capture_mu_);
  if (!capture_) capture_ = std::make_unique<host::StdoutCapture>([this](std::string l) { push_line(std::move(l)); });
}

void WindowHost::push_line(std::string line) {
  // Stamped as it arrives; standard output itself stays as the program wrote it.
  const QString stamp = QString::fromStdString(time_of_day(clock_)) + QLatin1Char(' ');
  {
    std::lock_guard lk(pending_mu_);
    lines_.append(stamp + QString::fromLocal8Bit(line.data(), static_cast<qsizetype>(line.size())));
    if (lines_.size() > kMaxPendingLines) lines_.erase(lines_.begin(), lines_.end() - kMaxPendingLines);
  }
  request_flush();
}

void WindowHost::request_flush() {
  if (flush_pending_.exchange(true, std::memory_order_acq_rel)) return;
  QMetaObject::invokeMethod(this, [this] { schedule_flush(); }, Qt::QueuedConnection);
}

void WindowHost::drain_console() {
  std::lock_guard lk(capture_mu_);
  if (capture_) capture_->drain();
}

// ---- GUI thread -----------------------------------------------------------------------------

void WindowHost::build_panel(const rt::PanelSpec* description) {
  auto* view = new PanelView(*description);
  connect(view, &PanelView::committed, this, &WindowHost::commit);
  connect(view, &PanelView::edited, this, &WindowHost::operator_edit);
  connect(view, &PanelView::refused, this, [this, view](int id, const QString& problem) {
    const rt::ControlSpec* c = view->control(id);
    const QString label = c ? QString::fromStdString(c->label) : QString::number(id);
    window_->say_while(label + QStringLiteral(": ") + problem, [view, id] { return view->invalid(id); });
  });
  connect(view, &PanelView::accepted, this, [this] { window_->expire_message(); });
  // What the controls hold now; writes since the load are also pending and follow.
  const int panel = main_panel();
  for (const rt::ControlSpec& c : description->controls)
    if (auto v = runtime_ ? runtime_->value(panel, c.id) : std::nullopt) view->show_value(c.id, *v);
  window_->set_panel(view);
  scan_pane_ = new ScanPane;
  scan_pane_->show_record(QString::fromStdString(options_.record_dir), !options_.record_dir.empty(),
                          QString::fromStdString(options_.record_problem));
  connect(scan_pane_, &ScanPane::record_switched, this, [this](bool on) {
    watch_->set_record_dir(on ? options_.record_dir : std::string());
    scan_pane_->show_record(QString::fromStdString(options_.record_dir), on);
  });
  window_->set_side_pane(scan_pane_);
  title_ = window_->windowTitle();
  flush();
  refresh_live();
}

void WindowHost::schedule_flush() {
  const Duration frame = options_.frame;
  const Duration since = clock_.now() - last_flush_;
  if (frame <= Duration{0} || since >= frame) {
    flush();
  } else if (!frame_timer_.isActive()) {
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(frame - since);
    frame_timer_.start(static_cast<int>(wait.count()));
  }
}

void WindowHost::flush() {
  PanelView* view = window_->panel();
  if (!view) return;  // build_panel flushes once the panel is there
  frame_timer_.stop();
  // Cleared before the take: a write after it schedules the next update.
  flush_pending_.store(false, std::memory_order_release);
  std::map<int, rt::Value> values;
  QStringList lines;
  {
    std::lock_guard lk(pending_mu_);
    values.swap(pending_);
    lines.swap(lines_);
  }
  for (const auto& [id, v] : values) view->show_value(id, v);
  window_->append_console(lines);
  last_flush_ = clock_.now();
  refresh_scan();
}

void WindowHost::refresh_scan() {
  if (!scan_pane_ || !runtime_ || !watch_) return;
  const scanwatch::Snapshot scan = watch_->snapshot();
  const bool running = scan.seen && scan.phase != scanwatch::Phase::Ended;
  if (running && !scan_timer_.isActive()) scan_timer_.start();
  if (!running) scan_timer_.stop();
  const auto settings = scanplan::read_settings(*runtime_, main_panel());
  // Where the stages are now, in the counters' millimetres: the map's marker moves with
  // them even while the scan's displays wait for the next point.
  const auto stages = scanplan::stages_now();
  std::array<double, 3> at{};
  for (int k = 0; k < 3; k++) at[k] = (stages[k].position - stages[k].zero) / stages[k].units_per_mm;
  if (!running && settings && (!previewed_ || *previewed_ != *settings || at != previewed_at_)) {
    // Planned again only when the settings or the stages changed, and on the preview's
    // own thread: a large grid takes the planner up to tenths of a second.
    preview_->request(*settings, stages);
    previewed_ = settings;
    previewed_at_ = at;
  }
  scan_pane_->show_progress(scan, wall_now());
  // The map shows the scan while it runs, and after it until the settings change.
  const bool keep = scan.seen && (running || settings == scan.settings);
  scan_pane_->show_map(settings.value_or(scan.settings), keep ? &scan : nullptr, *watch_, at);
}

void WindowHost::wait_for_preview() {
  preview_->wait_idle();
  QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

void WindowHost::commit(int id) {
  if (!runtime_) return;
  log_command(QString::fromStdString(observe::command_text(*runtime_, main_panel(), id)));
  runtime_->commit(main_panel(), id);
  if (watch_ && id == PANEL_STOPSCAN) {
    watch_->stop_requested();
    refresh_scan();  // the phase says "stopping" at once
  }
  poke_live();
}

// The operator's own line in the log, after what the program wrote before it.
void WindowHost::log_command(const QString& text) {
  QStringList lines;
  {
    std::lock_guard lk(pending_mu_);
    lines.swap(lines_);
  }
  window_->append_console(lines);
  window_->append_command(QString::fromStdString(time_of_day(clock_)) + QStringLiteral(" » ") + text);
}

void WindowHost::stop_all() {
  const bool was = estop::engaged();
  estop::engage(runtime_);
  poke_live();
  if (!was) log_command(QStringLiteral("Stop all: the emergency stop is engaged"));
  refresh_live();
}

void WindowHost::release_stop() {
  if (!estop::engaged()) return;
  estop::release();
  poke_live();
  log_command(QStringLiteral("Release: the emergency stop is lifted"));
  refresh_live();
}

bool WindowHost::Reading::same_as(const Reading& o) const {
  if (engaged != o.engaged || activity.what != o.activity.what || activity.queued != o.activity.queued) return false;
  for (int axis = 0; axis < observe::kAxes; axis++)
    if (live[axis].units != o.live[axis].units || live[axis].status != o.live[axis].status ||
        live[axis].inhibited != o.live[axis].inhibited)
      return false;
  return true;
}

WindowHost::Reading WindowHost::take_reading() {
  Reading r;
  r.live = observe::read_live();
  r.engaged = estop::engaged();
  if (runtime_) r.activity = observe::describe_activity(*runtime_, clock_.now(), &r.live);
  if (r.activity.connecting >= 0) observe::mark_not_connected(r.live, r.activity.connecting);
  return r;
}

void WindowHost::refresh_live() { show_reading(take_reading()); }

void WindowHost::show_reading(const Reading& r) {
  LiveView* live = window_->live();
  live->show_live(r.live);
  live->show_estop(r.engaged);
  QString state;
  if (ended_) {
    state = tr("ended");
  } else if (runtime_) {
    live->show_activity(r.activity);
    state = QString::fromStdString(r.activity.headline);
  }
  window_->expire_message();
  QString title = title_.isEmpty() ? QStringLiteral("Varnix") : title_;
  if (r.engaged) title += tr(" — EMERGENCY STOP");
  if (!state.isEmpty()) title += QStringLiteral(" — ") + state;
  if (window_->windowTitle() != title) window_->setWindowTitle(title);
}

void WindowHost::operator_edit(int id, double value) {
  const rt::ControlSpec* c = window_->panel() ? window_->panel()->control(id) : nullptr;
  if (!c || !runtime_) return;
  const rt::Value v = c->type == rt::DataType::Int ? rt::Value::of(static_cast<int>(value)) : rt::Value::of(value);
  {
    // The operator's value is newer than any program write still waiting to be shown.
    std::lock_guard lk(pending_mu_);
    pending_.erase(id);
  }
  echo_ = id;
  runtime_->set_value(main_panel(), id, v);
  echo_ = 0;
  refresh_scan();
}

void WindowHost::open_popup(const std::shared_ptr<PopupWait>& wait, const QString& title, const QString& text) {
  // Posted just before a shutdown began: answered at once like those it dismissed.
  if (shutdown_ && shutdown_->begun()) {
    release(wait);
    return;
  }
  auto* box = new QMessageBox(QMessageBox::Warning, title, text, QMessageBox::Ok, window_.get());
  box->setObjectName(QStringLiteral("popup"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  connect(box, &QMessageBox::finished, this, [this, wait] { release(wait); });
  wait->box = box;
  popups_.push_back(wait);
  window_->show_dialog(box);
}

void WindowHost::release(const std::shared_ptr<PopupWait>& wait) {
  std::erase(popups_, wait);
  std::lock_guard lk(clock_.mutex());
  wait->dismissed = true;
  clock_.notify_all(wait->channel);
}

// A program that waits on a popup serves nothing, the quit included: ending it means
// answering the popup for the operator.
void WindowHost::dismiss_popups() {
  for (const auto& w : std::vector(popups_)) {
    if (w->box) w->box->close();
    release(w);
  }
}

bool WindowHost::allow_close() {
  if (ended_) return true;
  if (scanning()) {
    window_->say_while(tr("A scan is running: stop it before quitting"), [this] { return scanning(); });
    return false;
  }
  request_shutdown();
  return false;
}

void WindowHost::request_shutdown() {
  if (ended_ || !shutdown_) return;
  dismiss_popups();
  shutdown_->begin();
  shutdown_step();
  if (!ended_) shutdown_timer_.start();
}

// One look at the panel per poll until the program has ended.
void WindowHost::shutdown_step() {
  if (ended_ || !shutdown_) {
    shutdown_timer_.stop();
    return;
  }
  switch (shutdown_->step()) {
    case shutdown::Shutdown::Sent::StopScan:
      window_->say(tr("Stopping the scan before quitting…"));
      break;
    case shutdown::Shutdown::Sent::Quit:
      window_->say(tr("Quitting: the program closes the stages…"));
      break;
    case shutdown::Shutdown::Sent::Nothing:
      break;
  }
}

void WindowHost::program_finished(int code) {
  ended_ = true;
  shutdown_timer_.stop();
  drain_console();
  flush();
  window_->say(tr("The program has ended (exit code %1).").arg(code));
  stop_live();
  refresh_live();
}

}  // namespace vx::win
