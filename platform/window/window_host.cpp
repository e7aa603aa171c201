// The host's two sides. Program threads only store and post: a write goes into the map
// of pending values, a line into the list of pending lines, and the first of them since
// the last update posts one call to the GUI thread. Everything that touches a widget
// runs on the GUI thread. A popup's waiter blocks on the clock, so that a test's
// virtual time keeps moving while the dialog is open.
#include "platform/window/window_host.h"

#include <QMessageBox>
#include <QPointer>
#include <QThread>

#include "panel/Varnix_ui.h"
#include "platform/window/main_window.h"
#include "platform/window/panel_view.h"
#include "platform/window/stdout_capture.h"

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

WindowHost::WindowHost(Clock& clock, WindowOptions options)
    : clock_(clock), options_(options), window_(std::make_unique<MainWindow>()) {
  window_->set_close_guard([this] { return allow_close(); });
  frame_timer_.setSingleShot(true);
  frame_timer_.setTimerType(Qt::PreciseTimer);
  connect(&frame_timer_, &QTimer::timeout, this, &WindowHost::flush);
  shutdown_timer_.setInterval(static_cast<int>(options_.shutdown_poll.count()));
  connect(&shutdown_timer_, &QTimer::timeout, this, &WindowHost::shutdown_step);
}

WindowHost::~WindowHost() {
  {
    std::lock_guard lk(capture_mu_);
    capture_.reset();
  }
  // A program thread must never stay blocked on a dialog that is gone.
  for (const auto& w : std::vector(popups_)) release(w);
}

PanelView* WindowHost::panel_view() const { return window_->panel(); }

bool WindowHost::scanning() const {
  const int panel = main_panel();
  if (!panel || !runtime_) return false;
  const auto v = runtime_->value(panel, PANEL_SCANNING);
  return v && v->number() != 0;
}

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

void WindowHost::stdio_port(int port) {
  if (port != 0) return;
  std::lock_guard lk(capture_mu_);
  if (!capture_) capture_ = std::make_unique<StdoutCapture>([this](std::string l) { push_line(std::move(l)); });
}

void WindowHost::push_line(std::string line) {
  {
    std::lock_guard lk(pending_mu_);
    lines_.append(QString::fromLocal8Bit(line.data(), static_cast<qsizetype>(line.size())));
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
  // What the controls hold now; writes since the load are also pending and follow.
  const int panel = main_panel();
  for (const rt::ControlSpec& c : description->controls)
    if (auto v = runtime_ ? runtime_->value(panel, c.id) : std::nullopt) view->show_value(c.id, *v);
  window_->set_panel(view);
  flush();
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
}

void WindowHost::commit(int id) {
  if (runtime_) runtime_->commit(main_panel(), id);
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
  box->setWindowModality(window_->isVisible() ? Qt::WindowModal : Qt::ApplicationModal);
  connect(box, &QMessageBox::finished, this, [this, wait] { release(wait); });
  wait->box = box;
  popups_.push_back(wait);
  box->open();
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
    window_->say(tr("A scan is running: stop it before quitting"));
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
}

}  // namespace vx::win
