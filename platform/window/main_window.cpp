// Lays out the window around the panel and keeps the console bounded. The look is one
// style sheet: a light instrument panel with dark read-outs, red halt buttons and a
// blue start button, so that the operator finds the controls that matter quickly.
#include "platform/window/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QStatusBar>
#include <QStyleFactory>
#include <QVBoxLayout>

#include "platform/window/panel_view.h"

namespace vx::win {

namespace {

constexpr int kConsoleHeight = 150;

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
QSpinBox, QDoubleSpinBox { background: #ffffff; padding-right: 2px; }
QPushButton { padding: 2px 6px; }
QPushButton[role="halt"] { color: #a3161a; font-weight: bold; }
QPushButton[role="start"] { color: #0d4f9e; font-weight: bold; }
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
QStatusBar { color: #2b3440; }
)";

}  // namespace

void install_look(QApplication& app) {
  if (QStyle* s = QStyleFactory::create(QStringLiteral("Fusion"))) app.setStyle(s);
  app.setStyleSheet(QString::fromLatin1(kStyle));
}

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
  setWindowTitle(QStringLiteral("Varnix"));
  splitter_ = new QSplitter(Qt::Vertical, this);
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
  auto* title = new QLabel(tr("Console"), pane);
  title->setObjectName(QStringLiteral("consoleTitle"));
  layout->addWidget(title);
  console_ = new QPlainTextEdit(pane);
  console_->setObjectName(QStringLiteral("console"));
  console_->setReadOnly(true);
  console_->setMaximumBlockCount(kConsoleLines);
  console_->setLineWrapMode(QPlainTextEdit::NoWrap);
  console_->setFocusPolicy(Qt::ClickFocus);
  layout->addWidget(console_);

  splitter_->addWidget(scroll_);
  splitter_->addWidget(pane);
  splitter_->setStretchFactor(0, 1);
  splitter_->setStretchFactor(1, 0);
  setCentralWidget(splitter_);
  statusBar()->setSizeGripEnabled(true);
  resize(800, 480);
}

void MainWindow::set_panel(PanelView* view) {
  panel_ = view;
  scroll_->setWidget(view);  // deletes the placeholder
  setWindowTitle(view->description().title.empty() ? QStringLiteral("Varnix")
                                            : QString::fromStdString(view->description().title));
  const QSize natural = view->size();
  const int bar = statusBar()->sizeHint().height();
  resize(natural.width() + 2, natural.height() + splitter_->handleWidth() + kConsoleHeight + bar + 20);
  splitter_->setSizes({natural.height(), kConsoleHeight});
}

void MainWindow::set_side_pane(QWidget* pane) {
  auto* row = new QSplitter(Qt::Horizontal);
  row->setChildrenCollapsible(false);
  splitter_->replaceWidget(0, row);  // takes the panel's scroll area out
  row->addWidget(scroll_);
  row->addWidget(pane);
  row->setStretchFactor(0, 1);
  row->setStretchFactor(1, 0);
  const int extra = pane->sizeHint().width() + row->handleWidth();
  resize(width() + extra, std::max(height(), pane->sizeHint().height()));
}

void MainWindow::append_console(const QStringList& lines) {
  if (lines.isEmpty()) return;
  QScrollBar* sb = console_->verticalScrollBar();
  const bool follow = sb->value() >= sb->maximum() - 2;
  for (const QString& l : lines) console_->appendPlainText(l);
  if (follow) sb->setValue(sb->maximum());
}

void MainWindow::say(const QString& message) { statusBar()->showMessage(message); }

void MainWindow::closeEvent(QCloseEvent* e) {
  if (!close_guard_ || close_guard_()) {
    e->accept();
  } else {
    e->ignore();
  }
}

}  // namespace vx::win
