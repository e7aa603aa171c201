// Lays out the window around the panel and keeps the console bounded. The panel keeps
// its natural height; the console pane takes whatever the window has beyond it. The look is one
// style sheet: a light instrument panel with dark read-outs, red halt buttons and a
// blue start button, so that the operator finds the controls that matter quickly.
#include "platform/window/main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDialog>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTextBlock>
#include <QTextCursor>
#include <QToolButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QStyleFactory>
#include <QVBoxLayout>
#include <QWindow>

#include "platform/window/live_view.h"
#include "platform/window/panel_view.h"

namespace vx::win {

namespace {

constexpr int kConsoleHeight = 150;
// The least the console keeps when the screen is short, a few lines of the log; on a
// taller screen, a share of the height below the live view.
constexpr int kConsoleLeast = 64;

const char* const kStyle = R"(
QMainWindow, QScrollArea, QScrollArea > QWidget > QWidget { background: #dfe3e8; }
QGroupBox {
  background: #f4f6f8; border: 1px solid #a9b2bc; border-radius: 6px;
  margin-top: 9px; font-weight: bold; color: #2b3440;
}
QGroupBox::title { subcontrol-origin: margin; left: 12px; padding: 0 5px; }
QLabel { color: #2b3440; }
QLabel[role="caption"] { color: #56606b; font-size: 8pt; }
QLineEdit[role="readout"] {
  background: #162026; color: #8ff0a4; border: 1px solid #0c1216; border-radius: 3px;
  padding: 0 5px; font-family: "DejaVu Sans Mono", monospace; font-size: 10pt;
}
QLineEdit[role="readout"][stale="true"] { color: #6f8a78; border: 1px dashed #8793a0; }
QLabel#age { color: #8a5a00; font-weight: bold; }
QSpinBox, QDoubleSpinBox { background: #ffffff; padding-right: 2px; }
QPushButton { padding: 2px 6px; }
QScrollArea QPushButton { padding: 2px 1px; }
QPushButton[role="halt"] { color: #a3161a; font-weight: bold; }
QPushButton[role="start"] { color: #0d4f9e; font-weight: bold; }
QPushButton[role="halt"]:disabled, QPushButton[role="start"]:disabled { color: #a0a7ae; }
QProgressBar {
  border: 1px solid #8793a0; border-radius: 3px; background: #ffffff; text-align: center;
  color: #1d2630; font-weight: bold;
}
QProgressBar::chunk { background: #5aa9e6; border-radius: 2px; }
QPlainTextEdit#console {
  background: #10171b; color: #d7e0e6; border: none; padding: 4px 6px;
  font-family: "DejaVu Sans Mono", monospace; font-size: 9pt;
}
QLabel#consoleTitle { color: #56606b; font-weight: bold; padding: 3px 6px 1px 6px; }
QLineEdit[role="input"] { background: #ffffff; padding: 0 4px; }
QLineEdit[role="input"][invalid="true"] { background: #fde8e8; border: 2px solid #c62828; color: #8b0000; }
QLabel[role="inputProblem"] {
  background: #c62828; color: #ffffff; font-size: 8pt; padding: 0 3px; border-radius: 2px;
}
QWidget#live { background: #e9edf1; border-bottom: 1px solid #a9b2bc; }
QLabel#activity { font-weight: bold; font-size: 11pt; color: #14202b; }
QLabel#queued { color: #56606b; }
QPushButton#stopAll {
  background: #c62828; color: #ffffff; font-weight: bold; font-size: 11pt;
  border: 2px solid #7f1010; border-radius: 5px; padding: 4px 18px;
}
QPushButton#stopAll:pressed { background: #8e1b1b; }
QWidget#estopBanner { background: #c62828; border-radius: 4px; }
QLabel#estopText { color: #ffffff; font-weight: bold; font-size: 10pt; }
QWidget#live_X, QWidget#live_Y, QWidget#live_Z {
  background: #f4f6f8; border: 1px solid #a9b2bc; border-radius: 4px;
}
QLabel[role="liveCaption"] { color: #7a4b00; font-weight: bold; }
QLabel[role="liveReadout"] {
  background: #1d1a12; color: #ffbf47; border-radius: 3px; padding: 1px 6px;
  font-family: "DejaVu Sans Mono", monospace; font-size: 10pt;
}
QLabel[role="reason"] { color: #b3261e; font-weight: bold; }
QStatusBar { color: #2b3440; }
QStatusBar[alarm="true"] { background: #c62828; color: #ffffff; font-weight: bold; }
)";

}  // namespace

}  // namespace vx::win

// Qt's switch for the buttons' Alt+letter keys ("&Quit"); some platforms (the offscreen
// one among them) leave it off.
Q_GUI_EXPORT void qt_set_sequence_auto_mnemonic(bool enabled);

namespace vx::win {

void install_look(QApplication& app) {
  qt_set_sequence_auto_mnemonic(true);
  if (QStyle* s = QStyleFactory::create(QStringLiteral("Fusion"))) app.setStyle(s);
  app.setStyleSheet(QString::fromLatin1(kStyle));
}

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
  setWindowTitle(QStringLiteral("Varnix"));
  auto* central = new QWidget(this);
  auto* column = new QVBoxLayout(central);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  live_ = new LiveView(central);
  column->addWidget(live_);
  splitter_ = new QSplitter(Qt::Vertical, central);
  column->addWidget(splitter_, 1);
  splitter_->setChildrenCollapsible(false);

  scroll_ = new QScrollArea(splitter_);
  scroll_->setFrameShape(QFrame::NoFrame);
  scroll_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  scroll_->setWidgetResizable(false);
  auto* waiting = new QLabel(tr("Starting the program…"));
  waiting->setAlignment(Qt::AlignCenter);
  waiting->resize(400, 120);
  scroll_->setWidget(waiting);

  auto* pane = new QWidget(splitter_);
  auto* layout = new QVBoxLayout(pane);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  auto* bar = new QHBoxLayout;
  bar->setContentsMargins(0, 0, 6, 0);
  auto* title = new QLabel(tr("Console"), pane);
  title->setObjectName(QStringLiteral("consoleTitle"));
  bar->addWidget(title);
  bar->addStretch(1);
  find_ = new QLineEdit(pane);
  find_->setObjectName(QStringLiteral("consoleFind"));
  find_->setPlaceholderText(tr("Find in the log (Ctrl+F, Enter for the next)"));
  find_->setClearButtonEnabled(true);
  find_->setMinimumWidth(260);
  auto* find_label = new QLabel(tr("&Find:"), pane);
  find_label->setBuddy(find_);
  bar->addWidget(find_label);
  bar->addWidget(find_);
  // Esc is Stop all here too: Find closes with its own button, which also takes the
  // log back to its end, where it follows new lines again.
  auto* find_close = new QToolButton(pane);
  find_close->setObjectName(QStringLiteral("consoleFindClose"));
  find_close->setText(tr("Done"));
  find_close->setToolTip(tr("Close Find and follow the log's new lines again"));
  bar->addWidget(find_close);
  connect(find_close, &QToolButton::clicked, this, &MainWindow::close_find);
  auto* save = new QPushButton(tr("Sa&ve log…"), pane);
  save->setObjectName(QStringLiteral("consoleSave"));
  save->setToolTip(tr("Write the whole log, with its times, to a text file"));
  bar->addWidget(save);
  layout->addLayout(bar);
  connect(find_, &QLineEdit::returnPressed, this, [this] { find_next(); });
  connect(save, &QPushButton::clicked, this, [this] {
    // The window's own dialog, not the desktop's: its keys must reach Stop all too.
    auto* dialog = new QFileDialog(this, tr("Save the log"), QString(), tr("Text files (*.txt);;All files (*)"));
    dialog->setObjectName(QStringLiteral("saveLogDialog"));
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->selectFile(QStringLiteral("varnix-log.txt"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QFileDialog::fileSelected, this, [this](const QString& path) {
      if (save_console(path)) say(tr("Log saved to %1").arg(path));
    });
    show_dialog(dialog);
  });
  console_ = new QPlainTextEdit(pane);
  console_->setObjectName(QStringLiteral("console"));
  console_->setReadOnly(true);
  console_->setMaximumBlockCount(kConsoleLines);
  console_->setLineWrapMode(QPlainTextEdit::NoWrap);
  console_->setFocusPolicy(Qt::ClickFocus);
  layout->addWidget(console_);

  splitter_->addWidget(scroll_);
  splitter_->addWidget(pane);
  splitter_->setStretchFactor(0, 0);
  splitter_->setStretchFactor(1, 1);
  setCentralWidget(central);
  statusBar()->setSizeGripEnabled(true);
  resize(800, 480);
  qApp->installEventFilter(this);
}

void MainWindow::set_panel(PanelView* view) {
  panel_ = view;
  scroll_->setWidget(view);  // deletes the placeholder
  setWindowTitle(view->description().title.empty() ? QStringLiteral("Varnix")
                                            : QString::fromStdString(view->description().title));
  const QSize natural = view->size();
  // Beyond its natural size the panel has nothing to show: the extra goes to the log.
  scroll_->setMaximumHeight(natural.height() + 2);
  const int bar = statusBar()->sizeHint().height();
  resize_within_screen({natural.width() + 2, live_->sizeHint().height() + natural.height() +
                                                 splitter_->handleWidth() + kConsoleHeight + bar + 20});
  const int room = height() - live_->sizeHint().height() - splitter_->handleWidth() - bar - 20;
  // The panel whole first, as far as the screen allows; the console the rest.
  const int panel = std::clamp(room - kConsoleLeast, 0, natural.height() + 2);
  splitter_->setSizes({panel, std::max(room - panel, kConsoleLeast)});
}

void MainWindow::set_side_pane(QWidget* pane) {
  auto* row = new QSplitter(Qt::Horizontal);
  row->setObjectName(QStringLiteral("paneRow"));
  row_ = row;
  splitter_->replaceWidget(0, row);  // takes the panel's scroll area out
  row->addWidget(scroll_);
  // Scrolled too, so that a screen shorter than the pane still holds the whole window.
  auto* side = new QScrollArea;
  side->setObjectName(QStringLiteral("sideScroll"));
  side->setFrameShape(QFrame::NoFrame);
  side->setWidgetResizable(true);
  side->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  side->setWidget(pane);
  side_width_ = pane->minimumSizeHint().width() + side->verticalScrollBar()->sizeHint().width();
  side->setMinimumWidth(side_width_);
  row->addWidget(side);
  side_ = side;
  // The panel keeps its natural width, the pane takes the rest; a window too narrow
  // for both folds the pane away (its divider, at the right edge, drags it back).
  row->setChildrenCollapsible(true);
  row->setCollapsible(0, false);
  row->setStretchFactor(0, 0);
  row->setStretchFactor(1, 1);
  const int extra = side_width_ + row->handleWidth();
  resize_within_screen({width() + extra, std::max(height(), pane->sizeHint().height())});
}

// On the resize of the splitters themselves, once their own sizes are known.
void MainWindow::fit_height() {
  if (!panel_) return;
  // The panel whole first, as far as the window allows; the console the rest.
  const QScrollBar* across = scroll_->horizontalScrollBar();
  const int total = splitter_->height() - splitter_->handleWidth();
  const int least = std::max(kConsoleLeast, total * 13 / 100);
  const int high = std::clamp(total - least, 0, panel_->height() + 2 + (across->isVisible() ? across->height() : 0));
  splitter_->setSizes({high, total - high});
}

void MainWindow::fit_width() {
  if (!panel_ || !row_ || !side_) return;
  const QScrollBar* down = scroll_->verticalScrollBar();
  const int panel = panel_->width() + 2 + (down->isVisible() ? down->width() : 0);
  const int room = row_->width() - row_->handleWidth();
  const bool both = room - panel >= side_width_;
  row_->setSizes({both ? panel : room, both ? room - panel : 0});
}

// The window never opens larger than the screen's free area (its frame included, once
// known): a larger panel scrolls, and Stop all, at the top right, stays in view.
void MainWindow::resize_within_screen(QSize wanted) {
  if (!windowHandle()) create();  // its frame is known once it exists, on most platforms
  if (const QScreen* s = screen()) {
    const QMargins frame = windowHandle()->frameMargins();
    wanted = wanted.boundedTo(s->availableGeometry().size() -
                              QSize(frame.left() + frame.right(), frame.top() + frame.bottom()));
  }
  resize(wanted);
}

void MainWindow::show_dialog(QDialog* dialog) {
  adopt_dialog(dialog);
  dialog->show();
  dialog->raise();
  dialog->activateWindow();
}

void MainWindow::adopt_dialog(QDialog* dialog) {
  dialog->setWindowModality(Qt::NonModal);
  if (dialogs_.contains(dialog)) return;
  dialogs_.append(dialog);
  splitter_->setEnabled(false);
  connect(dialog, &QDialog::finished, this, [this, dialog] { dialog_closed(dialog); });
  connect(dialog, &QObject::destroyed, this, [this, dialog] { dialog_closed(dialog); });
}

// A dialog's show event comes before its window is made visible, which is when Qt's
// modality takes hold: taken here, it never does.
bool MainWindow::eventFilter(QObject* watched, QEvent* e) {
  if (e->type() == QEvent::Resize) {
    // The window re-flows: the panel's share of each splitter is its natural size.
    if (watched == splitter_) fit_height();
    else if (watched == row_) fit_width();
    return false;
  }
  if (e->type() != QEvent::Show) return false;
  auto* dialog = qobject_cast<QDialog*>(watched);
  if (!dialog || !dialog->isWindow() || dialog->windowModality() == Qt::NonModal) return false;
  for (QWidget* w = dialog->parentWidget(); w; w = w->parentWidget())
    if (w == this) {
      adopt_dialog(dialog);
      break;
    }
  return false;
}

void MainWindow::dialog_closed(QDialog* dialog) {
  dialogs_.removeAll(dialog);
  if (dialogs_.isEmpty()) splitter_->setEnabled(true);
}

void MainWindow::append_console(const QStringList& lines) {
  if (lines.isEmpty()) return;
  QScrollBar* sb = console_->verticalScrollBar();
  const bool follow = sb->value() >= sb->maximum() - 2;
  for (const QString& l : lines) append_line(l, false);
  if (follow) sb->setValue(sb->maximum());
}

void MainWindow::append_command(const QString& line) {
  QScrollBar* sb = console_->verticalScrollBar();
  const bool follow = sb->value() >= sb->maximum() - 2;
  append_line(line, true);
  if (follow) sb->setValue(sb->maximum());
}

void MainWindow::append_line(const QString& line, bool command) {
  QTextCharFormat f;
  if (command) {
    f.setForeground(QColor(0x7f, 0xd0, 0xff));
    f.setFontWeight(QFont::Bold);
  }
  QTextCursor c(console_->document());
  c.movePosition(QTextCursor::End);
  const bool first = console_->document()->isEmpty();
  if (!first) c.insertBlock(QTextBlockFormat(), f);
  c.insertText(line, f);
}

bool MainWindow::save_console(const QString& path) {
  // QFile buffers: a full disk shows at the flush or the close, not at the write. The
  // log is said saved only once every byte has reached the file.
  QFile f(path);
  const QByteArray text = (console_->toPlainText() + QLatin1Char('\n')).toUtf8();
  bool ok = f.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text);
  ok = ok && f.write(text) == text.size() && f.flush();
  QString reason = f.errorString();
  if (f.isOpen()) {
    f.close();
    if (ok && f.error() != QFileDevice::NoError) {
      ok = false;
      reason = f.errorString();
    }
  }
  if (!ok) say(tr("Cannot save the log to %1: %2").arg(path, reason));
  return ok;
}

void MainWindow::close_find() {
  find_->clear();
  QTextCursor c = console_->textCursor();
  c.movePosition(QTextCursor::End);
  console_->setTextCursor(c);
  console_->verticalScrollBar()->setValue(console_->verticalScrollBar()->maximum());
  console_->setFocus();
}

bool MainWindow::find_next() {
  const QString text = find_->text();
  if (text.isEmpty()) return false;
  if (console_->find(text)) return true;
  QTextCursor c = console_->textCursor();
  c.movePosition(QTextCursor::Start);
  console_->setTextCursor(c);
  const bool found = console_->find(text);
  if (!found) say(tr("Not in the log: %1").arg(text));
  return found;
}

void MainWindow::say(const QString& message, bool refusal) {
  message_still_ = nullptr;
  show_message(message, refusal);
}

void MainWindow::say_while(const QString& message, std::function<bool()> still) {
  show_message(message, true);
  message_still_ = std::move(still);
}

void MainWindow::show_message(const QString& message, bool alarm) {
  QStatusBar* bar = statusBar();
  if (bar->property("alarm").toBool() != alarm) {
    bar->setProperty("alarm", alarm);
    bar->style()->unpolish(bar);
    bar->style()->polish(bar);
  }
  bar->showMessage(message);
}

void MainWindow::show_remote(const QString& clients, bool refused) {
  if (!remote_) {
    remote_ = new QLabel(this);
    remote_->setObjectName(QStringLiteral("remote_clients"));
    refuse_ = new QCheckBox(tr("Refuse remote control"), this);
    refuse_->setObjectName(QStringLiteral("refuse_remote"));
    refuse_->setToolTip(tr("Remote clients may still look and stop everything; none may act"));
    connect(refuse_, &QCheckBox::toggled, this, &MainWindow::refuse_remote);
    statusBar()->addPermanentWidget(remote_);
    statusBar()->addPermanentWidget(refuse_);
  }
  remote_->setText(clients);
  if (refuse_->isChecked() != refused) {
    const QSignalBlocker quiet(refuse_);
    refuse_->setChecked(refused);
  }
}

void MainWindow::expire_message() {
  if (message_still_ && !message_still_()) {
    message_still_ = nullptr;
    show_message(QString(), false);
  }
}

void MainWindow::closeEvent(QCloseEvent* e) {
  if (!close_guard_ || close_guard_()) {
    e->accept();
  } else {
    e->ignore();
  }
}

}  // namespace vx::win
