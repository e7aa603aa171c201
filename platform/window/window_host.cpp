// The adapter's two sides. Observer calls only store and post: a write goes into the
// map of pending values, a line into the list of pending lines, and the first of them
// since the last update posts one call to the GUI thread. Everything that touches a
// widget runs on the GUI thread.
#include "platform/window/window_host.h"

#include <QApplication>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLineEdit>
#include <QSettings>
#include <QShortcut>
#include <QThread>

#include "panel/Varnix_ui.h"
#include "platform/files/printable.h"
#include "platform/window/live_view.h"
#include "platform/window/main_window.h"
#include "platform/window/panel_view.h"
#include "platform/window/scan_pane.h"

namespace vx::win {

namespace {
// Lines waiting for the next update beyond this many can only scroll out of the pane.
constexpr int kMaxPendingLines = MainWindow::kConsoleLines;
}  // namespace

std::string settle_record_folder(WindowOptions& options, bool named) {
  if (options.record_dir.empty()) return {};
  const auto problem = host::record_folder_problem(options.record_dir, true);
  if (!problem) return {};
  if (named) return host::record_folder_refusal(options.record_dir, *problem);
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

  LiveView* live = window_->live();
  connect(live, &LiveView::stop_all_clicked, this, &WindowHost::stop_all);
  connect(live, &LiveView::release_clicked, this, &WindowHost::release_stop);
  connect(live, &LiveView::withdraw_clicked, this, [this](std::uint64_t commit) {
    if (core_ && !core_->withdraw(commit)) window_->say(tr("Too late to withdraw: the program has taken it"));
    refresh_live();
  });
  connect(live, &LiveView::withdraw_all_clicked, this, [this] {
    if (core_) core_->withdraw_all();
    refresh_live();
  });
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

void WindowHost::attach(host::Host& core) {
  core_ = &core;
  core.subscribe(*this);
}

void WindowHost::attach_remote(control::Server& server) {
  remote_ = &server;
  connect(window_.get(), &MainWindow::refuse_remote, this, [this](bool refused) {
    remote_->set_refused(refused);
    window_->say(refused ? tr("Remote control refused: remote clients may look and stop everything, not act")
                         : tr("Remote control allowed again"));
    show_remote();
  });
  show_remote();
}

void WindowHost::remote_changed() {
  QMetaObject::invokeMethod(this, [this] { show_remote(); }, Qt::QueuedConnection);
}

// One line: how many clients, each by number and peer, and who holds control.
void WindowHost::show_remote() {
  if (!remote_) return;
  const std::vector<control::ClientInfo> clients = remote_->clients();
  QString text = clients.empty()       ? tr("Remote: no clients")
                 : clients.size() == 1 ? tr("Remote: 1 client")
                                       : tr("Remote: %1 clients").arg(clients.size());
  QString holder;
  for (const control::ClientInfo& c : clients) {
    text += QStringLiteral(" · %1 (%2)").arg(c.id).arg(QString::fromStdString(c.peer));
    if (c.holds_control) holder = QString::number(c.id);
  }
  if (!holder.isEmpty()) text += tr(" · client %1 holds control").arg(holder);
  window_->show_remote(text, remote_->refused());
}

WindowHost::~WindowHost() { qApp->removeEventFilter(this); }

PanelView* WindowHost::panel_view() const { return window_->panel(); }

// ---- the host's threads ------------------------------------------------------------------

void WindowHost::panel_loaded(int panel, const rt::PanelSpec& source) {
  main_panel_.store(panel, std::memory_order_release);
  const rt::PanelSpec* d = &source;
  QMetaObject::invokeMethod(this, [this, d] { build_panel(d); }, Qt::QueuedConnection);
}

void WindowHost::panel_displayed(int, bool main) {
  if (!main) return;
  QMetaObject::invokeMethod(
      this,
      [this] {
        window_->show();
        window_->raise();
      },
      Qt::QueuedConnection);
}

void WindowHost::written(int control, const rt::Value& v) {
  // echo_ belongs to the GUI thread: test the thread first.
  if (QThread::currentThread() == thread() && control == echo_) return;
  {
    std::lock_guard lk(pending_mu_);
    pending_[control] = v;
  }
  request_flush();
}

void WindowHost::console_line(const std::string& line) {
  // Stamped as it arrives; standard output itself stays as the program wrote it.
  const QString stamp = QString::fromStdString(time_of_day(clock_)) + QLatin1Char(' ');
  {
    std::lock_guard lk(pending_mu_);
    lines_.append({stamp + QString::fromLocal8Bit(line.data(), static_cast<qsizetype>(line.size()))});
    if (lines_.size() > kMaxPendingLines) lines_.erase(lines_.begin(), lines_.end() - kMaxPendingLines);
  }
  request_flush();
}

void WindowHost::popup(std::uint64_t id, const std::string& title, const std::string& message) {
  QMetaObject::invokeMethod(
      this,
      [this, id, t = QString::fromStdString(title), m = QString::fromStdString(message)] { open_popup(id, t, m); },
      Qt::QueuedConnection);
}

// A command the host withheld from the program (Start scan under the emergency stop, a
// Go to whose target holds no valid number): the operator is told why, in the status
// bar, marked as a refusal, and in the log.
void WindowHost::refused(const std::string& reason) {
  QMetaObject::invokeMethod(
      this,
      [this, text = QString::fromStdString(reason)] {
        log_command(text);
        window_->say(text, true);
      },
      Qt::QueuedConnection);
}

// Queued with the program's lines as it comes: a remote client's command, told before
// it reaches the program, stands before what the program prints for it.
void WindowHost::note(const std::string& line) {
  {
    std::lock_guard lk(pending_mu_);
    lines_.append({QString::fromStdString(time_of_day(clock_)) + QStringLiteral(" » ") + QString::fromStdString(line),
                   true});
  }
  request_flush();
}

void WindowHost::reading(const host::Reading& r) {
  QMetaObject::invokeMethod(this, [this, r] { show_reading(r); }, Qt::QueuedConnection);
}

void WindowHost::scan_ended(const scanwatch::Snapshot& s) {
  QString text = tr("Scan ended: %1.").arg(QString::fromStdString(s.end_state));
  if (!s.record_path.empty()) text += tr(" Recorded to %1").arg(QString::fromStdString(s.record_path));
  if (!s.record_error.empty()) text += QLatin1Char(' ') + QString::fromStdString(s.record_error);
  QMetaObject::invokeMethod(this, [this, text] { window_->say(text); }, Qt::QueuedConnection);
}

void WindowHost::preview_ready(const scanplan::Preview& p) {
  QMetaObject::invokeMethod(
      this, [this, p] { if (scan_pane_) scan_pane_->show_preview(p); }, Qt::QueuedConnection);
}

void WindowHost::program_ended(int code) {
  QMetaObject::invokeMethod(this, [this, code] { program_finished(code); }, Qt::QueuedConnection);
}

void WindowHost::request_flush() {
  if (flush_pending_.exchange(true, std::memory_order_acq_rel)) return;
  QMetaObject::invokeMethod(this, [this] { schedule_flush(); }, Qt::QueuedConnection);
}

void WindowHost::drain_console() {
  if (core_) core_->drain_console();
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
  connect(view, &PanelView::marked, this, [this](int id, const QString& reason) {
    if (core_) core_->mark_input(id, reason.toStdString());
  });
  // What the controls hold now; writes since the load are also pending and follow.
  const int panel = main_panel();
  for (const rt::ControlSpec& c : description->controls)
    if (auto v = core_->runtime()->value(panel, c.id)) view->show_value(c.id, *v);
  window_->set_panel(view);
  scan_pane_ = new ScanPane;
  const QString folder = QString::fromStdString(core_->record_dir());
  scan_pane_->show_record(folder, core_->recording(), QString::fromStdString(options_.record_problem));
  connect(scan_pane_, &ScanPane::record_switched, this, [this, folder](bool on) {
    core_->set_recording(on);
    scan_pane_->show_record(folder, core_->recording());
  });
  connect(scan_pane_, &ScanPane::detector_chosen, this, &WindowHost::choose_detector);
  connect(scan_pane_, &ScanPane::view_changed, this, &WindowHost::refresh_scan);
  show_detector(detector_source_);
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
  QList<LogLine> lines;
  {
    std::lock_guard lk(pending_mu_);
    values.swap(pending_);
    lines.swap(lines_);
  }
  for (const auto& [id, v] : values) view->show_value(id, v);
  // The program's refresh (Read all) writes every stage's displays; its time is theirs.
  if (values.count(PANEL_POS_X)) displays_at_ = clock_.now();
  show_lines(lines);
  last_flush_ = clock_.now();
  refresh_scan();
}

void WindowHost::refresh_scan() {
  if (!scan_pane_ || !core_ || !core_->scan_watch()) return;
  const host::ScanView v = core_->scan_view();
  if (v.running && !scan_timer_.isActive()) scan_timer_.start();
  if (!v.running) scan_timer_.stop();
  scan_pane_->show_progress(v.scan, wall_now(), !v.running && !v.map_shows_scan);
  scan_pane_->show_map(v.settings.value_or(v.scan.settings), v.map_shows_scan ? &v.scan : nullptr,
                       *core_->scan_watch(), v.at);
}

void WindowHost::use_detector_source(const std::string& source, bool remember) {
  detector_source_ = QString::fromStdString(source);
  remember_detector_ = remember;
}

// What the detector in force reads, in the pane.
void WindowHost::show_detector(const QString& source) {
  const auto d = core_->detector();
  QString info = tr("No readings: the map shows where the stages went");
  if (d) {
    QStringList names;
    for (const std::string& c : d->channels()) names << QString::fromStdString(c);
    info = tr("Reads %1").arg(names.join(QStringLiteral(", ")));
    if (d->exposure() > Duration{0}) info += tr("; exposure %1 s").arg(to_seconds(d->exposure()));
  }
  scan_pane_->show_detector(source, info, false);
}

// A detector typed into the pane: opened now (a command's first run, a library's load)
// and read from the next scan on; during a scan it is refused.
void WindowHost::choose_detector(const QString& source) {
  if (core_->scanning()) {
    scan_pane_->show_detector(source, tr("The detector cannot change during a scan"), true);
    return;
  }
  auto choice = detector::open(source.toStdString());
  if (!choice.error.empty()) {
    scan_pane_->show_detector(source, QString::fromStdString(choice.error), true);
    return;
  }
  if (!core_->set_detector(std::move(choice.detector))) {
    scan_pane_->show_detector(source, tr("The detector cannot change during a scan"), true);
    return;
  }
  if (remember_detector_) QSettings().setValue(QLatin1String(kDetectorSetting), source);
  detector_source_ = source;
  show_detector(source);
  refresh_scan();
}

void WindowHost::wait_for_preview() {
  if (core_) core_->wait_for_preview();
  QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

void WindowHost::commit(int id) {
  if (!core_) return;
  // Quit is one thing: the button does what Ctrl+Q and closing the window do, also
  // while the program waits (where its click would wait behind the command).
  if (id == PANEL_QUIT) {
    window_->close();
    return;
  }
  // The operator's line goes in before anything the command makes the program print;
  // a refused command has only its refusal logged (Observer::refused).
  if (!core_->refusal(id)) log_command(QString::fromStdString(core_->describe(id)));
  const host::Pressed p = core_->press(id);
  if (p.refused) {
    if (PanelView* view = window_->panel())
      for (int input : observe::inputs_read(id))
        if (view->invalid(input)) {
          if (QWidget* w = view->widget(input)) w->setFocus();
          break;
        }
    return;
  }
  if (id == PANEL_STOPSCAN) refresh_scan();  // the phase says "stopping" at once
  // A stop ends the wait under way, and the program takes what is queued next at once:
  // the operator is told what that is while it can still be withdrawn.
  if (id == PANEL_STOP_X || id == PANEL_STOP_Y || id == PANEL_STOP_Z) {
    const observe::ActivityView a = core_->activity();
    if (!a.commands.empty()) {
      QString next;
      for (const observe::QueuedCommand& c : a.commands)
        next += (next.isEmpty() ? QString() : QStringLiteral(", ")) + QString::fromStdString(c.text);
      window_->say(tr("Still queued, runs next: %1 (Withdraw… takes it back)").arg(next));
    }
  }
}

// The operator's own line in the log, after what the program wrote before it.
void WindowHost::log_command(const QString& text) {
  QList<LogLine> lines;
  {
    std::lock_guard lk(pending_mu_);
    lines.swap(lines_);
  }
  show_lines(lines);
  window_->append_command(QString::fromStdString(time_of_day(clock_)) + QStringLiteral(" » ") + text);
}

void WindowHost::show_lines(const QList<LogLine>& lines) {
  QStringList run;  // the program's lines, shown together
  for (const LogLine& l : lines) {
    if (!l.command) {
      run.append(l.text);
      continue;
    }
    window_->append_console(run);
    run.clear();
    window_->append_command(l.text);
  }
  window_->append_console(run);
}

void WindowHost::stop_all() {
  if (!core_) return;
  core_->stop_all();  // the host tells its line for the log (note)
  refresh_live();
}

void WindowHost::release_stop() {
  if (!core_) return;
  core_->release();
  refresh_live();
}

void WindowHost::refresh_live() {
  if (core_) show_reading(core_->read());
}

void WindowHost::show_reading(const host::Reading& r) {
  LiveView* live = window_->live();
  live->show_live(r.live);
  live->show_estop(r.engaged);
  QString state;
  if (ended_) {
    state = tr("ended");
  } else if (core_ && core_->started()) {
    live->show_activity(r.activity);
    state = QString::fromStdString(r.activity.headline);
  }
  show_age(r);
  window_->expire_message();
  QString title = title_.isEmpty() ? QStringLiteral("Varnix") : title_;
  if (r.engaged) title += tr(" — EMERGENCY STOP");
  if (!state.isEmpty()) title += QStringLiteral(" — ") + state;
  if (window_->windowTitle() != title) window_->setWindowTitle(title);
}

// The program refreshes its displays only between commands (its panel timer asks for
// it twice a second at rest): while it serves a command they keep the last values.
// Past a second of that they are marked, with their age.
void WindowHost::show_age(const host::Reading& r) {
  PanelView* view = window_->panel();
  if (!view) return;
  constexpr Duration kFresh = std::chrono::seconds(1);
  const Duration age = clock_.now() - displays_at_;
  // Before the stages are open the displays hold the panel file's values, not a reading.
  const bool unread = !ended_ && (r.activity.state == "connecting" || r.activity.state == "starting");
  const bool stale = unread || (!ended_ && r.activity.state == "busy" && age > kFresh);
  view->set_stale(stale);
  window_->live()->show_age(unread  ? tr("Panel displays not read yet")
                            : stale ? tr("Panel displays as of %1 s ago").arg(to_seconds(age), 0, 'f', 1)
                                    : QString());
}

void WindowHost::operator_edit(int id, double value) {
  if (!core_) return;
  {
    // The operator's value is newer than any program write still waiting to be shown.
    std::lock_guard lk(pending_mu_);
    pending_.erase(id);
  }
  echo_ = id;
  core_->set(id, value);
  echo_ = 0;
  refresh_scan();
}

void WindowHost::open_popup(std::uint64_t id, const QString& title, const QString& text) {
  // Posted just before a shutdown began: the host has answered it already.
  if (core_->shutting_down()) return;
  auto* box = new QMessageBox(QMessageBox::Warning, title, text, QMessageBox::Ok, window_.get());
  box->setObjectName(QStringLiteral("popup"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  connect(box, &QMessageBox::finished, this, [this, id] {
    popups_.erase(id);
    core_->dismiss_popup(id);
  });
  popups_[id] = box;
  window_->show_dialog(box);
}

// The host answers the program's popups when it ends it; their dialogs go with them.
void WindowHost::close_popups() {
  for (const auto& [id, box] : std::map(popups_))
    if (box) box->close();
  popups_.clear();
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
  if (ended_ || !core_ || !core_->started()) return;
  core_->begin_shutdown();
  close_popups();
  shutdown_step();
  if (!ended_) shutdown_timer_.start();
}

// One look at the panel per poll until the program has ended.
void WindowHost::shutdown_step() {
  if (ended_ || !core_) {
    shutdown_timer_.stop();
    return;
  }
  switch (core_->shutdown_step()) {
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
  core_->stop_live();
  refresh_live();
  emit ended(code);
}

// ---- the program in a window -------------------------------------------------------------

namespace {

host::Options host_options(const WindowOptions& w) {
  host::Options o;
  o.record_dir = w.record_dir;
  o.capture_console = true;
  o.popups = host::Popups::Wait;
  o.live = w.live;
  return o;
}

}  // namespace

WindowedProgram::WindowedProgram(Clock& clock, WindowOptions options) : host_(clock, options) {
  core_.emplace(clock, host_options(options));
  host_.attach(*core_);
  if (!options.listen.empty()) {
    session::Remote::Options ro;
    ro.listen = options.listen;
    ro.token = options.token;
    ro.clients_changed = [this] { host_.remote_changed(); };
    remote_ = std::make_unique<session::Remote>(*core_, clock, std::move(ro));
    host_.attach_remote(remote_->server());
  }
}

WindowedProgram::~WindowedProgram() {
  if (remote_) remote_->stop();
  core_.reset();
}

bool WindowedProgram::listen(std::string& error) { return !remote_ || remote_->start(error); }

std::vector<std::string> WindowedProgram::bound() const {
  return remote_ ? remote_->server().bound() : std::vector<std::string>{};
}

}  // namespace vx::win
