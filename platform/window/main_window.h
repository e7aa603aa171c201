// The operator's window: the panel (in a scroll area, so that a window smaller than the
// panel stays usable), the console pane with the program's standard output, and a
// status bar for what the window itself has to say. Whether the window may close is
// asked of a guard, because closing means quitting the program, which the program
// itself must do.
#pragma once

#include <QMainWindow>
#include <QStringList>
#include <functional>

class QApplication;
class QPlainTextEdit;
class QScrollArea;
class QSplitter;

namespace vx::win {

class PanelView;

// The application-wide style of the window (Fusion, the instrument-panel colours).
void install_look(QApplication& app);

class MainWindow final : public QMainWindow {
  Q_OBJECT

 public:
  // Lines kept in the console pane; older ones scroll away.
  static constexpr int kConsoleLines = 2000;

  explicit MainWindow(QWidget* parent = nullptr);

  // Shows `view` (the window takes it as a Qt child) and sizes the window to fit it.
  void set_panel(PanelView* view);
  // Shows `pane` (taken as a Qt child) beside the panel and widens the window for it.
  void set_side_pane(QWidget* pane);
  PanelView* panel() const { return panel_; }
  QPlainTextEdit* console() const { return console_; }
  void append_console(const QStringList& lines);
  void say(const QString& message);

  // Asked on every close request; true lets the window close.
  void set_close_guard(std::function<bool()> guard) { close_guard_ = std::move(guard); }

 protected:
  void closeEvent(QCloseEvent* e) override;

 private:
  PanelView* panel_ = nullptr;
  QScrollArea* scroll_ = nullptr;
  QSplitter* splitter_ = nullptr;
  QPlainTextEdit* console_ = nullptr;
  std::function<bool()> close_guard_;
};

}  // namespace vx::win
