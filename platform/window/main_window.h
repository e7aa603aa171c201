// The operator's window: the live view (what the program does, Stop all, the stages
// read live), the panel (in a scroll area, so that a window smaller than the panel stays
// usable) with the side pane beside it, the console pane, a log of the program's
// standard output and the operator's commands, and a status bar for what the window
// itself has to say (a refusal in red). As the window is resized it re-flows: the
// panel keeps its natural size, the console and the side pane take the rest, and a
// window too narrow for the panel and the side pane folds the side pane away. Whether
// the window may close is
// asked of a guard, because closing means quitting the program, which the program
// itself must do.
#pragma once

#include <QList>
#include <QMainWindow>
#include <QStringList>
#include <functional>

class QApplication;
class QCheckBox;
class QDialog;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QScrollArea;
class QSplitter;

namespace vx::win {

class LiveView;
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
  LiveView* live() const { return live_; }
  QPlainTextEdit* console() const { return console_; }
  // Each line begins with its time of day ("HH:MM:SS.mmm "), as the pane shows it.
  void append_console(const QStringList& lines);
  // One of the window's own lines: an operator's command, in a style of its own.
  void append_command(const QString& line);
  // Writes the pane's text to `path`; false (and the reason in the status bar) if it cannot.
  bool save_console(const QString& path);
  // Selects the next occurrence of the find box's text, from the top once at the end.
  bool find_next();
  QLineEdit* find_box() const { return find_; }
  // Clears the find box and takes the log back to its end, following new lines again.
  void close_find();
  // `refusal`: something the operator asked for was refused; it stands out.
  void say(const QString& message, bool refusal = false);
  // A message that lasts only while `still` holds; checked by expire_message().
  void say_while(const QString& message, std::function<bool()> still);
  void expire_message();

  // Shows `dialog` (the window's child, or a child of one of its dialogs) without Qt's
  // modality, which would block Stop all with the rest of the window: while a dialog is
  // open the panel, the scan pane and the console are disabled instead, and the live
  // view, with Stop all and Release, stays live. A dialog of the window shown any other
  // way (a question a dialog asks with exec()) is taken the same way as it shows.
  void show_dialog(QDialog* dialog);

  // The remote clients (one line: who is connected, who holds control) and the switch
  // with which the operator refuses remote control, at the right of the status bar;
  // shown from the first call on (a program that serves remote clients).
  void show_remote(const QString& clients, bool refused);

  // Asked on every close request; true lets the window close.
  void set_close_guard(std::function<bool()> guard) { close_guard_ = std::move(guard); }

 signals:
  // The operator flipped the "Refuse remote control" switch.
  void refuse_remote(bool refused);

 protected:
  void closeEvent(QCloseEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  void append_line(const QString& line, bool command);
  void show_message(const QString& message, bool alarm);
  // Gives the panel its natural height and the console the rest, the console keeping a
  // few lines; and the panel its natural width and the side pane the rest, folding the
  // pane away when the window cannot hold both.
  void fit_height();
  void fit_width();
  void resize_within_screen(QSize wanted);
  void adopt_dialog(QDialog* dialog);
  void dialog_closed(QDialog* dialog);

  LiveView* live_ = nullptr;
  PanelView* panel_ = nullptr;
  QLineEdit* find_ = nullptr;
  std::function<bool()> message_still_;
  QScrollArea* scroll_ = nullptr;
  QSplitter* splitter_ = nullptr;
  QSplitter* row_ = nullptr;       // the panel and the side pane
  QScrollArea* side_ = nullptr;
  int side_width_ = 0;             // the least the side pane is shown at
  QPlainTextEdit* console_ = nullptr;
  std::function<bool()> close_guard_;
  QList<QDialog*> dialogs_;  // open, shown or taken by the window
  QLabel* remote_ = nullptr;
  QCheckBox* refuse_ = nullptr;
};

}  // namespace vx::win
