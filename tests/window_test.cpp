// The operator window end to end: the real program on the simulated stages, its window
// on the offscreen platform, driven with QTest. The test thread is the GUI thread and is
// enrolled with the virtual clock, so virtual time moves only while it sleeps on the
// clock: advance() lets the program run for a span of virtual time, waits until every
// program thread is blocked again, then lets the window catch up. Nothing here waits in
// real time.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QStatusBar>
#include <QTextBlock>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QMenu>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <optional>
#include <thread>
#include <tuple>

#include "driver/axs.h"
#include "panel/Varnix_ui.h"
#include "platform/clock/clock.h"
#include "platform/estop/estop.h"
#include "platform/stagesim/simulator.h"
#include "platform/window/led.h"
#include "platform/window/live_view.h"
#include "platform/window/main_window.h"
#include "platform/window/panel_view.h"
#include "platform/window/program.h"
#include "platform/window/scan_pane.h"
#include "platform/window/signal_bridge.h"
#include "tests/control_harness.h"
#include "tests/session_harness.h"

namespace {

using namespace std::chrono_literals;
using vx::win::Led;

// Whether the file at `path` begins as a PNG image does.
bool vxtest_png_signature(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char head[8] = {};
  in.read(head, 8);
  return in && std::string(head, 8) == std::string("\x89PNG\r\n\x1a\n", 8);
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The emergency stop is the process's: a test that quit through the window (which
    // engages it) may have left it engaged.
    vx::estop::release();
    me_.adopt("gui");
    // Updates at once, shutdown polls at every pass and the live view when refreshed:
    // the test's frames are its advance() steps, not real-time milliseconds.
    program_.emplace(clock_, vx::win::WindowOptions{0ms, 0ms, record_dir_, 0ms, {}, {}, {}});
    QObject::connect(&interrupts_, &vx::win::SignalBridge::requested, &host(),
                     &vx::win::WindowHost::request_shutdown);
    program_->start();
    advance(startup_);  // start-up: the three stages are opened, 6.6 s
    ASSERT_NE(view(), nullptr);
    ASSERT_TRUE(window().isVisible());
  }

  void TearDown() override {
    if (!ended()) vx::estop::release();  // closed stages take no call
    finish();
    program_.reset();
    EXPECT_EQ(sim_.closed_calls(), 0) << "a stage-library call on a stage the program had closed";
  }

  vx::win::WindowHost& host() { return program_->host(); }
  vx::win::MainWindow& window() { return host().window(); }
  vx::win::PanelView* view() { return host().panel_view(); }
  vx::rt::Runtime& runtime() { return program_->runtime(); }
  int panel() { return host().main_panel(); }
  double model(int id) { return runtime().value(panel(), id).value().number(); }

  template <class W>
  W* find(const char* name) {
    W* w = view()->findChild<W*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }

  void advance(double seconds) {
    clock_.sleep_for(vx::from_seconds(seconds));
    catch_up();
  }

  QString text_of(const char* name) {
    auto* l = window().findChild<QLabel*>(QString::fromLatin1(name));
    EXPECT_NE(l, nullptr) << name;
    return l ? l->text() : QString();
  }

  // Waits until every program thread is blocked on the clock again, then lets the
  // window take what they wrote and posted.
  void catch_up() {
    clock_.settle();
    host().drain_console();
    QCoreApplication::processEvents();
    host().wait_for_preview();
    QCoreApplication::processEvents();
    host().refresh_live();
  }

  // Advances in small steps until `done` holds; false when it did not within `limit`.
  // `done` is only looked at once the program and the window have caught up: a click
  // sets the program's thread running at once, in real time.
  bool advance_until(const std::function<bool()>& done, double limit, double step = 0.25) {
    catch_up();
    for (double t = 0; !done(); t += step) {
      if (t >= limit) return false;
      advance(step);
    }
    return true;
  }

  void click(const char* name) {
    auto* b = find<QPushButton>(name);
    ASSERT_NE(b, nullptr);
    QTest::mouseClick(b, Qt::LeftButton);
  }

  // Replaces what an input shows by typing, as an operator does.
  void type_into(QLineEdit* box, const QString& text) {
    box->setFocus();
    box->selectAll();
    QTest::keyClick(box, Qt::Key_Backspace);
    QTest::keyClicks(box, text);
  }

  // The console's lines without their time stamps ("HH:MM:SS.mmm ").
  QStringList console_lines() {
    QStringList out;
    for (const QString& l : window().console()->toPlainText().split(QLatin1Char('\n'))) out.append(l.mid(13));
    return out;
  }

  QMessageBox* popup() { return window().findChild<QMessageBox*>(QStringLiteral("popup")); }

  bool ended() { return program_->ended(); }

  int console_count(const QString& line) {
    return static_cast<int>(console_lines().count(line));
  }

  void screenshot(const char* file) {
    std::filesystem::create_directories(VARNIX_ARTIFACT_DIR);
    const QString path = QStringLiteral(VARNIX_ARTIFACT_DIR "/") + QLatin1String(file);
    EXPECT_TRUE(window().grab().save(path)) << path.toStdString();
  }

  // Ends the program the operator's way, whatever state a test left it in.
  void finish() {
    if (!program_ || ended()) return;
    if (auto* box = popup()) box->button(QMessageBox::Ok)->click();
    if (host().scanning()) runtime().commit(panel(), PANEL_STOPSCAN);
    advance_until([&] { return !host().scanning(); }, 120);
    runtime().commit(panel(), PANEL_QUIT);
    if (!advance_until([&] { return ended(); }, 400)) {
      ADD_FAILURE() << "the program did not end after quit";
      std::abort();  // its thread cannot be joined
    }
    QCoreApplication::processEvents();
  }

  // A plane of 100000 x 100000 points, a ten-thousandth of a millimetre apart: more
  // than the shipped panel lets an operator type, so written as a script or another
  // panel file could; the window must draw whatever the panel holds.
  void start_huge_scan(const char* x0 = "0") {
    for (int n : {PANEL_NX, PANEL_NY}) runtime().set_value(panel(), n, vx::rt::Value::of(100000));
    for (const char* d : {"PANEL_DX", "PANEL_DY"}) type_into(find<QLineEdit>(d), QStringLiteral("0.0001"));
    type_into(find<QLineEdit>("PANEL_X0"), QString::fromLatin1(x0));
    find<QCheckBox>("PANEL_SCAN_X")->setChecked(true);
    find<QCheckBox>("PANEL_SCAN_Y")->setChecked(true);
    find<QCheckBox>("PANEL_SCAN_Z")->setChecked(false);
    ASSERT_EQ(model(PANEL_NY), 100000);
    click("PANEL_STARTSCAN");
    advance(0.5);
  }

  void start_small_scan() {
    type_into(find<QLineEdit>("PANEL_NX"), QStringLiteral("4"));
    type_into(find<QLineEdit>("PANEL_NY"), QStringLiteral("3"));
    type_into(find<QLineEdit>("PANEL_NZ"), QStringLiteral("1"));
    for (const char* t : {"PANEL_SCAN_X", "PANEL_SCAN_Y", "PANEL_SCAN_Z"}) find<QCheckBox>(t)->setChecked(true);
    ASSERT_EQ(model(PANEL_NX), 4);
    ASSERT_EQ(model(PANEL_SCAN_Z), 1);
    click("PANEL_STARTSCAN");
    advance(0.5);
  }

  std::string record_dir_;  // none unless a test asks for records
  double startup_ = 7;
  vx::VirtualClock clock_;
  vx::ClockScope clock_scope_{clock_};
  // Enrolled before the simulator's bus thread exists, or the bus would find itself the
  // only participant and report a deadlock.
  vx::Participant me_ = clock_.enroll();
  vx::sim::Simulator sim_;
  vx::sim::SimulatorScope sim_scope_{sim_};
  std::optional<vx::win::WindowedProgram> program_;
  vx::win::SignalBridge interrupts_;
};

TEST_F(WindowTest, GoToMovesTheStageToTheTypedTargetAndTheDisplayShowsIt) {
  EXPECT_TRUE(find<Led>("PANEL_CONNECTED")->isOn());
  EXPECT_EQ(console_count(QStringLiteral("Device 0 (serial 45388004) Connected... ")), 1);

  auto* target = find<QLineEdit>("PANEL_TARGET_X");
  type_into(target, QStringLiteral("12.5"));
  EXPECT_DOUBLE_EQ(model(PANEL_TARGET_X), 12.5);  // the program reads what was typed
  click("PANEL_GOTO_X");
  advance(5);

  EXPECT_EQ(sim_.true_position(serialNumbers[0]), static_cast<int>(12.5 * StepsPerMm));
  EXPECT_NEAR(model(PANEL_POS_X), 12.5, 1e-9);
  EXPECT_EQ(find<QLineEdit>("PANEL_POS_X")->text(), QStringLiteral("12.5000"));
  // The status word shows as the 32-bit word in hexadecimal: enabled and homed bits.
  const auto status = static_cast<unsigned>(runtime().value(panel(), PANEL_STATUS_X)->i);
  const QString word = find<QLineEdit>("PANEL_STATUS_X")->text();
  EXPECT_EQ(word.size(), 10) << word.toStdString();
  EXPECT_TRUE(word.startsWith(QLatin1String("0x"))) << word.toStdString();
  EXPECT_EQ(word.mid(2).toUInt(nullptr, 16), status) << word.toStdString();
  EXPECT_TRUE(status & 0x80000000u);
  // The driver's time-out panel, made for the wait of the move, is never shown.
  int shown = 0;
  for (QWidget* w : QApplication::topLevelWidgets()) shown += w->isVisible();
  EXPECT_EQ(shown, 1);
  screenshot("window-rest.png");
}

TEST_F(WindowTest, ScanRunsStopsAndTheWindowClosesOnlyAfterItEnded) {
  start_small_scan();
  auto* scanning = find<Led>("PANEL_SCANNING");
  auto* progress = find<QProgressBar>("PANEL_PROGRESS");
  EXPECT_TRUE(scanning->isOn());

  ASSERT_TRUE(advance_until([&] { return model(PANEL_PROGRESS) >= 25; }, 30));
  advance(0.3);
  EXPECT_GT(progress->value(), 0);
  EXPECT_TRUE(progress->text().endsWith(QLatin1String(" %"))) << progress->text().toStdString();
  EXPECT_EQ(progress->text(),
            QString::number(model(PANEL_PROGRESS), 'f', view()->control(PANEL_PROGRESS)->precision) + " %");
  screenshot("window-scan.png");

  // Closing is the quit command, which a running scan refuses: the window says so.
  EXPECT_FALSE(window().close());
  EXPECT_TRUE(window().statusBar()->currentMessage().contains(QLatin1String("A scan is running")));
  advance(1);
  EXPECT_FALSE(ended());
  EXPECT_TRUE(window().isVisible());

  click("PANEL_STOPSCAN");
  ASSERT_TRUE(advance_until([&] { return !host().scanning(); }, 10));
  advance(0.1);
  EXPECT_FALSE(scanning->isOn());
  EXPECT_LT(model(PANEL_PROGRESS), 100);  // stopped, not finished

  EXPECT_FALSE(window().close());  // asks the program to quit; the program ends the app
  ASSERT_TRUE(advance_until([&] { return ended(); }, 10));
  EXPECT_EQ(program_->exit_code(), 0);
  EXPECT_EQ(console_count(QStringLiteral("Device Disconnected...")), 3);
  for (const char* serial : serialNumbers) EXPECT_FALSE(sim_.is_open(serial)) << serial;

  // The stages are closed now: the live view, Stop all and Release touch none of them.
  window().findChild<QPushButton*>(QStringLiteral("stopAll"))->click();
  host().refresh_live();
  EXPECT_TRUE(window().findChild<QLabel*>(QStringLiteral("live_X_state"))->text().contains(QLatin1String("not-connected")))
      << window().findChild<QLabel*>(QStringLiteral("live_X_state"))->text().toStdString();
  EXPECT_EQ(sim_.closed_calls(), 0);
  EXPECT_TRUE(window().close());
}

TEST_F(WindowTest, PopupBlocksTheProgramUntilTheOperatorDismissesIt) {
  sim_.power_disable(serialNumbers[1]);
  advance(1);
  auto* y_enabled = qobject_cast<Led*>(view()->widget(lid[1][13]));  // bit 31 of Y
  ASSERT_NE(y_enabled, nullptr);
  EXPECT_FALSE(y_enabled->isOn());

  click("PANEL_STARTSCAN");
  advance(0.5);
  QMessageBox* box = popup();
  ASSERT_NE(box, nullptr);
  EXPECT_TRUE(box->isVisible());
  // Blocked by the window itself, not by Qt's modality, which would block Stop all too.
  EXPECT_EQ(box->windowModality(), Qt::NonModal);
  EXPECT_FALSE(view()->isEnabled());
  EXPECT_TRUE(window().live()->stop_all()->isEnabled());
  EXPECT_EQ(box->windowTitle(), QStringLiteral("Error"));
  EXPECT_EQ(box->text(), QStringLiteral("Enable AXS Stages First"));
  EXPECT_FALSE(host().scanning());

  // While the dialog is open the program's thread serves nothing.
  runtime().commit(panel(), PANEL_ENABLE_Y);
  advance(3);
  EXPECT_FALSE(sim_.true_status(serialNumbers[1]) & vx::sl::kEnabled);

  QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
  advance(1.5);
  EXPECT_EQ(popup(), nullptr);
  EXPECT_TRUE(view()->isEnabled());
  EXPECT_TRUE(sim_.true_status(serialNumbers[1]) & vx::sl::kEnabled);
  EXPECT_TRUE(y_enabled->isOn());
}

// The emergency stop whatever dialog is open: the program's popup (a scan refused for a
// disabled stage; X set moving behind the program's back, which waits on the popup) or
// the window's own Save log dialog (during a homing of X). The Stop all button, Alt+A
// and Esc (which would otherwise close the dialog) engage it: the stage stops, the
// dialog stays open.
enum class OpenDialog { Popup, SaveLog };
enum class StopInput { Click, AltA, Esc };

class StopWithADialogOpen : public WindowTest,
                            public ::testing::WithParamInterface<std::tuple<OpenDialog, StopInput>> {};

TEST_P(StopWithADialogOpen, StopsTheStagesAndLeavesTheDialogOpen) {
  const auto [which, input] = GetParam();
  QWidget* dialog = nullptr;
  if (which == OpenDialog::Popup) {
    sim_.power_disable(serialNumbers[1]);
    advance(1);
    click("PANEL_STARTSCAN");
    advance(0.5);
    dialog = popup();
    AXS_MoveAbsolute(0, 20.0, 0);  // the program's thread is in the popup
  } else {
    click("PANEL_HOME_X");
    advance(0.5);
    QTest::mouseClick(window().findChild<QPushButton*>(QStringLiteral("consoleSave")), Qt::LeftButton);
    dialog = window().findChild<QWidget*>(QStringLiteral("saveLogDialog"));
  }
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(dialog->isVisible());
  advance(0.5);
  const unsigned moving = vx::sim::kMovingForward | vx::sim::kMovingReverse;
  ASSERT_TRUE(sim_.true_status(serialNumbers[0]) & moving);

  QWidget* focus = dialog->focusWidget() ? dialog->focusWidget() : dialog;
  switch (input) {
    case StopInput::Click: {
      // Through the window system, as a real click comes: where modality would drop it.
      QWidget* stop = window().live()->stop_all();
      QTest::mouseClick(window().windowHandle(), Qt::LeftButton, {}, stop->mapTo(&window(), stop->rect().center()));
      break;
    }
    case StopInput::AltA: QTest::keyClick(focus, Qt::Key_A, Qt::AltModifier); break;
    case StopInput::Esc: QTest::keyClick(focus, Qt::Key_Escape); break;
  }
  EXPECT_TRUE(vx::estop::engaged());
  advance(0.5);
  EXPECT_FALSE(sim_.true_status(serialNumbers[0]) & moving);
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_EQ(console_count(QStringLiteral("» Stop all: the emergency stop is engaged")), 1);
  if (which == OpenDialog::SaveLog) qobject_cast<QDialog*>(dialog)->reject();
}

std::string dialog_and_input(const ::testing::TestParamInfo<std::tuple<OpenDialog, StopInput>>& info) {
  static const char* const dialogs[] = {"Popup", "SaveLog"};
  static const char* const inputs[] = {"Click", "AltA", "Esc"};
  return std::string(dialogs[static_cast<int>(std::get<0>(info.param))]) +
         inputs[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(DialogsAndInputs, StopWithADialogOpen,
                         ::testing::Combine(::testing::Values(OpenDialog::Popup, OpenDialog::SaveLog),
                                            ::testing::Values(StopInput::Click, StopInput::AltA, StopInput::Esc)),
                         dialog_and_input);

// A question a dialog asks with exec(), Qt-modal as it comes (Save log's "already exists:
// replace it?"), leaves Stop all live too. Replacing /dev/full then fails, and the window
// says why instead of "Log saved".
TEST_F(WindowTest, AQuestionInsideADialogLeavesStopAllLiveAndAFullDiskIsReported) {
  click("PANEL_HOME_X");
  advance(0.5);
  QTest::mouseClick(window().findChild<QPushButton*>(QStringLiteral("consoleSave")), Qt::LeftButton);
  auto* dialog = window().findChild<QFileDialog*>(QStringLiteral("saveLogDialog"));
  ASSERT_NE(dialog, nullptr);
  bool asked = false, engaged = false;
  QTimer::singleShot(0, [&] {
    auto* question = dialog->findChild<QMessageBox*>();
    asked = question && question->isVisible();
    QWidget* stop = window().live()->stop_all();
    QTest::mouseClick(window().windowHandle(), Qt::LeftButton, {}, stop->mapTo(&window(), stop->rect().center()));
    engaged = vx::estop::engaged();
    if (question) question->button(QMessageBox::Yes)->click();
  });
  dialog->selectFile(QStringLiteral("/dev/full"));
  static_cast<QDialog*>(dialog)->accept();  // asks, in a loop of its own, whether to replace /dev/full
  EXPECT_TRUE(asked);
  EXPECT_TRUE(engaged);
  EXPECT_EQ(window().statusBar()->currentMessage(),
            QStringLiteral("Cannot save the log to /dev/full: No space left on device"));
  advance(0.5);
  EXPECT_FALSE(sim_.true_status(serialNumbers[0]) & (vx::sim::kMovingForward | vx::sim::kMovingReverse));
}

// Save log writes every byte or says why not: a full disk (/dev/full takes the open and
// the buffered write and fails the flush), a folder, a folder that is not there.
TEST_F(WindowTest, SaveLogReportsWhatCannotBeWritten) {
  const struct {
    const char* path;
    const char* says;
  } cases[] = {
      {"/dev/full", "Cannot save the log to /dev/full: No space left on device"},
      {"/tmp", "Cannot save the log to /tmp: Is a directory"},
      {"/nonexistent-folder/log.txt", "Cannot save the log to /nonexistent-folder/log.txt: No such file or directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    window().say(QString());
    EXPECT_FALSE(window().save_console(QString::fromLatin1(c.path)));
    EXPECT_EQ(window().statusBar()->currentMessage(), QLatin1String(c.says));
  }
}

// A shutdown signal, or the window closed, in each state the program can be in: the
// program ends through its own way out within a second or two, the stages closed, with
// status 0. A popup open then is dismissed; a homing in progress is cut short by the
// emergency stop (it would hold the quit back for up to 180 s); a scan is stopped.
struct Ending {
  const char* name;
  int signal;  // 0: the window is closed
  enum { Rest, Homing, Popup, Scan, HugeScan } state;
};
void PrintTo(const Ending& e, std::ostream* os) { *os << e.name; }

class WindowEnding : public WindowTest, public ::testing::WithParamInterface<Ending> {};

TEST_P(WindowEnding, EndsWithinTwoSecondsClosingTheStages) {
  const Ending& e = GetParam();
  switch (e.state) {
    case Ending::Rest:
      break;
    case Ending::Homing:
      click("PANEL_HOME_X");
      advance(1);
      ASSERT_TRUE(sim_.true_status(serialNumbers[0]) & (1u << 9));  // homing under way
      break;
    case Ending::Popup:
      sim_.power_disable(serialNumbers[1]);
      advance(1);
      click("PANEL_STARTSCAN");
      advance(0.5);
      ASSERT_NE(popup(), nullptr);
      break;
    case Ending::Scan:
      start_small_scan();
      ASSERT_TRUE(host().scanning());
      advance(2);
      break;
    case Ending::HugeScan:
      start_huge_scan();
      ASSERT_TRUE(host().scanning());
      advance(2);
      break;
  }
  if (e.signal) std::raise(e.signal);
  else EXPECT_FALSE(window().close());  // the program ends the process, not the close
  ASSERT_TRUE(advance_until([&] { return ended(); }, 2.0));
  EXPECT_EQ(program_->exit_code(), 0);
  EXPECT_EQ(popup(), nullptr);
  EXPECT_EQ(console_count(QStringLiteral("Device Disconnected...")), 3);
  for (const char* serial : serialNumbers) EXPECT_FALSE(sim_.is_open(serial)) << serial;
  if (e.state == Ending::Homing) {
    EXPECT_FALSE(sim_.true_status(serialNumbers[0]) & (1u << 10));  // not homed: cut short
    EXPECT_EQ(window().console()->toPlainText().count(QStringLiteral("Stopped in axis [0]")), 1);
  }
  if (e.state == Ending::Scan || e.state == Ending::HugeScan) {
    EXPECT_LT(model(PANEL_PROGRESS), 100);  // stopped, not waited out
  }
}

INSTANTIATE_TEST_SUITE_P(SignalsAndClose, WindowEnding,
                         ::testing::Values(Ending{"SigtermDuringAScan", SIGTERM, Ending::Scan},
                                           Ending{"SighupDuringAScan", SIGHUP, Ending::Scan},
                                           Ending{"SigtermDuringAScanOf10To10Points", SIGTERM, Ending::HugeScan},
                                           Ending{"SighupAtRest", SIGHUP, Ending::Rest},
                                           Ending{"SigtermDuringAHoming", SIGTERM, Ending::Homing},
                                           Ending{"SigintWithAPopupOpen", SIGINT, Ending::Popup},
                                           Ending{"SigtermWithAPopupOpen", SIGTERM, Ending::Popup},
                                           Ending{"CloseDuringAHoming", 0, Ending::Homing},
                                           Ending{"CloseWithAPopupOpen", 0, Ending::Popup}),
                         [](const auto& info) { return std::string(info.param.name); });

// Standard output that went away (a closed pipe: `varnix | head -1`) ends nothing: the
// program runs on, the console pane keeps every line, and the quit closes the stages.
class WindowWithoutStdout : public WindowTest {
 protected:
  void SetUp() override {
    std::fflush(stdout);
    saved_stdout_ = dup(STDOUT_FILENO);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);  // no reader: every write fails with EPIPE, SIGPIPE being ignored
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);
    WindowTest::SetUp();
  }
  void TearDown() override {
    WindowTest::TearDown();
    std::fflush(stdout);
    dup2(saved_stdout_, STDOUT_FILENO);
    close(saved_stdout_);
    std::clearerr(stdout);
  }
  int saved_stdout_ = -1;
};

TEST_F(WindowWithoutStdout, TheProgramRunsOnAndTheConsoleKeepsItsLines) {
  EXPECT_EQ(console_count(QStringLiteral("Device 2 (serial 45388034) Connected... ")), 1);
  click("PANEL_GOTO_ALL");
  advance(10);
  EXPECT_FALSE(window().close());
  ASSERT_TRUE(advance_until([&] { return ended(); }, 2.0));
  EXPECT_EQ(program_->exit_code(), 0);
  EXPECT_EQ(console_count(QStringLiteral("Device Disconnected...")), 3);
  for (const char* serial : serialNumbers) EXPECT_FALSE(sim_.is_open(serial)) << serial;
}

TEST_F(WindowTest, AFloodOfWritesEndsInOneUpdateWithTheLatestValues) {
  // A program thread writing as fast as it can: the window keeps only the latest value.
  std::thread writer([&] {
    for (int i = 1; i <= 200000; i++) SetCtrlVal(panel(), PANEL_IX, i);
  });
  writer.join();
  QCoreApplication::processEvents();
  EXPECT_EQ(find<QLineEdit>("PANEL_IX")->text(), QStringLiteral("200000"));
}

// The most a panel file may hold draws and paints: the window paints sibling widgets
// recursively, so a file of tens of thousands of controls would exhaust its stack. A
// double control's initial value far outside int range shows as it is.
TEST(PanelViewBounds, APanelAtTheReadersBoundsDrawsAndPaints) {
  std::string text = "[[panel]]\nresource = 1\nname = \"P\"\ntitle = \"Full\"\nwidth = 800\nheight = 600\n";
  for (int k = 0; k < vx::rt::kMaxGroups; k++)
    text += "[[panel.group]]\nname = \"G" + std::to_string(k) + "\"\nlabel = \"G\"\ntop = " + std::to_string(k % 50) +
            "\nleft = 0\nwidth = 700\nheight = 500\n";
  text += "[[panel.control]]\nid = 1\nname = \"P_HUGE\"\nkind = \"numeric-input\"\ntype = \"double\"\n"
          "top = 20\nleft = 20\nwidth = 90\nheight = 20\ninitial = 1e300\n"
          "[[panel.control]]\nid = 2\nname = \"P_SHOWN\"\nkind = \"numeric-display\"\ntype = \"double\"\n"
          "top = 60\nleft = 20\nwidth = 90\nheight = 20\ninitial = -1e300\n";
  for (int k = 2; k < vx::rt::kMaxControls; k++)
    text += "[[panel.control]]\nid = " + std::to_string(k + 1) + "\nname = \"C" + std::to_string(k) +
            "\"\nkind = \"numeric-display\"\ntype = \"int\"\nlabel = \"L\"\ntop = " + std::to_string(100 + k % 400) +
            "\nleft = " + std::to_string(k % 700) + "\nwidth = 40\nheight = 20\n";
  std::string error;
  const auto file = vx::rt::parse_panel_file(text, "full.uir", error);
  ASSERT_TRUE(file) << error;
  vx::win::PanelView view(file->panels[0]);
  view.show();
  EXPECT_FALSE(view.grab().isNull());
  EXPECT_EQ(view.findChild<QLineEdit*>(QStringLiteral("P_SHOWN"))->text(), QStringLiteral("-1e+300"));
  EXPECT_TRUE(view.findChild<QLineEdit*>(QStringLiteral("P_HUGE")) != nullptr);
}

// However large the panel (the reader has allowed 32767 x 32767), the window opens no
// larger than the screen's free area: the panel scrolls, the log keeps its place and Stop
// all is in view.
TEST(WindowSize, AHugePanelScrollsInAWindowThatFitsTheScreen) {
  vx::rt::PanelSpec spec;
  spec.resource = 1;
  spec.name = "P";
  spec.title = "Huge";
  spec.width = spec.height = 32767;
  vx::rt::ControlSpec far;
  far.id = 1;
  far.name = "P_FAR";
  far.kind = vx::rt::Kind::Command;
  far.label = "Far";
  far.top = far.left = 32700;
  far.width = 60;
  far.height = 24;
  spec.controls.push_back(far);
  vx::win::MainWindow w;
  auto* view = new vx::win::PanelView(spec);
  w.set_panel(view);
  w.set_side_pane(new vx::win::ScanPane);
  w.show();
  QCoreApplication::processEvents();
  const QRect free = w.screen()->availableGeometry();
  EXPECT_LE(w.frameGeometry().width(), free.width());
  EXPECT_LE(w.frameGeometry().height(), free.height());
  QWidget* stop = w.live()->stop_all();
  EXPECT_TRUE(stop->isVisible());
  EXPECT_TRUE(w.rect().contains(QRect(stop->mapTo(&w, QPoint(0, 0)), stop->size())));
  QScrollArea* scroll = nullptr;
  for (auto* s : w.findChildren<QScrollArea*>())
    if (s->widget() == view) scroll = s;
  ASSERT_NE(scroll, nullptr);
  EXPECT_TRUE(scroll->verticalScrollBar()->isVisible());
  EXPECT_TRUE(scroll->horizontalScrollBar()->isVisible());
  EXPECT_GE(w.console()->height(), 100);
  EXPECT_EQ(w.grab().size(), w.size());
}

// The window at a laptop's sizes. At 1366 x 768 (less a title bar) the whole panel
// shows without scrolling, the scan pane beside it; at 1024 x 700 the scan pane folds
// away and every stop, Stop all, Start and Stop scan and Quit still show. A live box
// keeps its width when its reason appears.
TEST_F(WindowTest, ALaptopScreenHoldsTheStopsAndThePanelWithoutScrolling) {
  const std::vector<const char*> stops = {"PANEL_STOP_X", "PANEL_STOP_Y",    "PANEL_STOP_Z",
                                          "PANEL_QUIT",   "PANEL_STOPSCAN", "PANEL_STARTSCAN"};
  const struct {
    int width, height;
    bool whole_panel, side_pane;
  } sizes[] = {{1366, 738, true, true}, {1024, 700, false, false}, {1920, 1050, true, true}};
  for (const auto& size : sizes) {
    SCOPED_TRACE(std::to_string(size.width) + " x " + std::to_string(size.height));
    window().resize(size.width, size.height);
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    auto* scroll = qobject_cast<QScrollArea*>(view()->parentWidget()->parentWidget());
    ASSERT_NE(scroll, nullptr);
    const QRect seen = scroll->viewport()->rect();
    auto shown = [&](QWidget* w) {
      const QRect r(w->mapTo(scroll->viewport(), QPoint(0, 0)), w->size());
      return w->isVisible() && seen.contains(r);
    };
    for (const char* name : stops) EXPECT_TRUE(shown(find<QWidget>(name))) << name;
    QWidget* stop_all = window().live()->stop_all();
    EXPECT_TRUE(window().rect().contains(QRect(stop_all->mapTo(&window(), QPoint(0, 0)), stop_all->size())));
    if (size.whole_panel) {
      EXPECT_FALSE(scroll->verticalScrollBar()->isVisible());
      EXPECT_FALSE(scroll->horizontalScrollBar()->isVisible());
      for (const vx::rt::ControlSpec& c : view()->description().controls)
        if (QWidget* w = view()->widget(c.id)) EXPECT_TRUE(shown(w)) << c.name;
    }
    auto* row = window().findChild<QSplitter*>(QStringLiteral("paneRow"));
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->sizes().value(1) > 0, size.side_pane) << "the scan pane's width: " << row->sizes().value(1);
    EXPECT_GE(window().console()->height(), 30);
  }
  // A reason appears in Z's live box: the boxes keep their widths and heights.
  window().resize(1366, 738);
  QCoreApplication::processEvents();
  auto* box = window().findChild<QWidget*>(QStringLiteral("live_Z"));
  const QSize before = box->size();
  const int panel_top = view()->mapTo(&window(), QPoint(0, 0)).y();
  click("PANEL_DISABLE_Z");
  advance(1);
  QCoreApplication::processEvents();
  ASSERT_FALSE(text_of("live_Z_reason").isEmpty());
  EXPECT_EQ(box->size(), before);
  EXPECT_EQ(view()->mapTo(&window(), QPoint(0, 0)).y(), panel_top) << "the panel moved";
  screenshot("window-1366.png");
}

// A record folder that cannot take records is refused when it is named, by the window
// as by the runner (one check): a device, a plain file, a folder the program may not
// write in, a path under a device. Nothing starts. The window's default folder, when it
// cannot take records, leaves the window without them, saying why.
struct WindowRun {
  int status = -1;
  std::string output;  // standard output and error
};

// The window's program with `args`, bounded in case it did start: it would run until
// told to quit.
WindowRun run_window(const std::string& args) {
  WindowRun r;
  const std::string cmd = "cd '" VARNIX_BIN_DIR "' && QT_QPA_PLATFORM=offscreen timeout 60 ./varnix " + args + " 2>&1";
  std::FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) r.output.append(buf, n);
  const int status = pclose(p);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

TEST(RecordFolder, BothProgramsRefuseAFolderThatCannotTakeRecordsAtStart) {
  char dir[] = "/tmp/vxrecfolderXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string plain = std::string(dir) + "/plain";
  std::ofstream(plain) << "x";
  const struct {
    std::string folder;
    const char* reason;
  } cases[] = {
      {"/dev/full", "not a directory"},
      {plain, "not a directory"},
      {"/proc/1", "cannot make a file there: "},  // EACCES, or EPERM for root
      {"/dev/full/scans", "not a directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    const WindowRun window = run_window("--record '" + c.folder + "'");
    EXPECT_EQ(window.status, 2) << window.output;
    EXPECT_NE(window.output.find("varnix: --record " + c.folder + ": " + c.reason), std::string::npos)
        << window.output;
    const auto runner = vxtest::run_session("quit\n", "--record '" + c.folder + "'");
    EXPECT_EQ(runner.status, 2) << runner.text();
    EXPECT_EQ(runner.err.rfind("varnix-session: --record " + c.folder + ": " + c.reason, 0), 0u) << runner.err;
  }
  std::filesystem::remove_all(dir);
}

TEST(RecordFolder, TheDefaultFolderThatCannotTakeRecordsLeavesTheWindowWithoutThem) {
  vx::win::WindowOptions options;
  options.record_dir = "/dev/full/varnix/scans";
  EXPECT_EQ(vx::win::settle_record_folder(options, false), "");
  EXPECT_EQ(options.record_dir, "");
  EXPECT_EQ(options.record_problem, "cannot keep scan records in /dev/full/varnix/scans: not a directory");
  vx::win::ScanPane pane;
  pane.show_record(QString(), false, QString::fromStdString(options.record_problem));
  EXPECT_EQ(pane.findChild<QLabel*>(QStringLiteral("scanRecord"))->text(),
            QStringLiteral("No record folder: scans are not recorded (cannot keep scan records in "
                           "/dev/full/varnix/scans: not a directory)"));
}

// The map of any grid, from a few points to 10^10: a dot a point while they can be told
// apart, else a pixel for each block of points, done (green), pending (grey) or red when
// a cell under it holds a point that ended off target. The off-target cells are the
// watcher's: at most kMapCells a side.
struct MapCase {
  const char* name;
  vx::scanplan::Settings settings;
  long long done;
  int plane;
  std::array<int, 2> off;  // column, row of a point of that plane that ended off target
  std::array<int, 2> done_at, pending_at;
};
void PrintTo(const MapCase& c, std::ostream* os) { *os << c.name; }

class ScanMapDrawing : public ::testing::TestWithParam<MapCase> {
 protected:
  static bool near(const QImage& img, QPointF at, const QColor& c, int reach) {
    for (int dy = -reach; dy <= reach; dy++)
      for (int dx = -reach; dx <= reach; dx++)
        if (img.pixelColor(at.toPoint() + QPoint(dx, dy)) == c) return true;
    return false;
  }
};

TEST_P(ScanMapDrawing, EachPixelShowsThePointsUnderIt) {
  const MapCase& c = GetParam();
  const QColor done(0x2f, 0x9e, 0x44), pending(0xc3, 0xca, 0xd2), off(0xd6, 0x33, 0x2f);
  const vx::scanwatch::MapLayout layout(c.settings);
  vx::win::MapView v;
  v.settings = c.settings;
  v.done = c.done;
  v.plane = c.plane;
  const int columns = vx::scanwatch::map_cells(layout.columns());
  v.off_cells.assign(static_cast<std::size_t>(columns) * vx::scanwatch::map_cells(layout.rows()), false);
  v.off_cells[static_cast<std::size_t>(vx::scanwatch::map_cell(c.off[1], layout.rows())) * columns +
              vx::scanwatch::map_cell(c.off[0], layout.columns())] = true;
  vx::win::ScanMap map;
  map.resize(420, 360);
  map.show_grid(v);
  ASSERT_TRUE(map.message().isEmpty()) << map.message().toStdString();
  const QImage img = map.grab().toImage();
  auto at = [&](std::array<int, 2> p) { return *map.point_at(p[0], p[1]); };
  EXPECT_EQ(img.pixelColor(at(c.done_at).toPoint()), done);
  EXPECT_EQ(img.pixelColor(at(c.pending_at).toPoint()), pending);
  EXPECT_TRUE(near(img, at(c.off), off, 1));
}

INSTANTIATE_TEST_SUITE_P(
    Grids, ScanMapDrawing,
    ::testing::Values(
        // 10^10 points, the lower half of the plane done.
        MapCase{"Plane100000x100000", {100000, 100000, 1, 0.0001, 0.0001, 0, 0, 0, 0, 1, 1, 0},
                50000LL * 100000, 0, {70000, 20000}, {10000, 10000}, {10000, 90000}},
        // The second of two planes of 10^8 points, a quarter done.
        MapCase{"SecondPlaneOf10000x10000x2", {10000, 10000, 2, 0.001, 0.001, 1, 0, 0, 0, 1, 1, 1},
                100000000LL + 2500LL * 10000, 1, {9000, 9000}, {5000, 1000}, {5000, 8000}},
        MapCase{"StripAlongZOf100000", {1, 1, 100000, 0, 0, 0.0001, 0, 0, 0, 0, 0, 1}, 30000, 0, {80000, 0},
                {10000, 0}, {90000, 0}},
        MapCase{"FourByThreeDots", {4, 3, 1, 1, 1, 0, 0, 0, 0, 1, 1, 0}, 6, 0, {2, 0}, {1, 1}, {3, 2}}),
    [](const auto& info) { return std::string(info.param.name); });

// A grid whose targets are not finite or lie beyond any stage (a step of 1e308 over
// 30000 points is infinite from the second point on) is not drawn: the map says why,
// and nothing it paints has an infinite coordinate. A tiny step draws.
TEST(ScanMapGeometry, TargetsThatCannotBeDrawnGiveAMessage) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* what;
    vx::scanplan::Settings settings;
    const char* says;  // "": drawn
  } cases[] = {
      {"a step of 1e308 over 30000 points", {30000, 1, 1, 1e308, 0, 0, 0, 0, 0, 1, 0, 0},
       "The map cannot draw this grid: its X targets reach inf mm, beyond the ±1e+09 mm it draws"},
      {"a start and a step of 1e308", {2, 5, 1, 1e308, 1, 0, 1e308, 0, 0, 1, 1, 0}, "its X targets reach inf mm"},
      {"a start that is not a number", {5, 5, 1, 0.5, 0.5, 0, nan, 0, 0, 1, 1, 0}, "its X targets reach nan mm"},
      {"Y beyond 1e9 mm", {5, 5, 1, 0.5, 1e300, 0, 0, 0, 0, 1, 1, 0}, "its Y targets reach 4e+300 mm"},
      {"a strip of Z reaching -1e12 mm", {1, 1, 3, 0, 0, -5e11, 0, 0, 0, 0, 0, 1}, "its Z targets reach -1e+12 mm"},
      {"a step of 1e-300", {100000, 1, 1, 1e-300, 0, 0, 0, 0, 0, 1, 0, 0}, ""},
      {"no points", {0, 1, 1, 1, 0, 0, 0, 0, 0, 1, 0, 0}, "No points to scan"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    vx::win::ScanMap map;
    map.resize(420, 360);
    vx::win::MapView v;
    v.settings = c.settings;
    v.done = 1;
    v.current = std::array<int, 3>{1, 0, 0};
    map.show_grid(v);
    EXPECT_TRUE(map.message().contains(QString::fromUtf8(c.says))) << map.message().toStdString();
    EXPECT_EQ(map.message().isEmpty(), *c.says == '\0');
    EXPECT_FALSE(map.grab().isNull());
  }
}

// The scan pane follows a scan the operator sets up and starts: the preview of the
// settings as typed, point n of N with the times and the phase while it runs, the end
// state and the record's path once it has ended, and the map.
class ScanPaneTest : public WindowTest {
 protected:
  ScanPaneTest() {
    char dir[] = "/tmp/vxwindowrecXXXXXX";
    record_dir_ = mkdtemp(dir);
  }
  ~ScanPaneTest() override { std::filesystem::remove_all(record_dir_); }

  QString text(const char* name) {
    auto* l = host().scan_pane()->findChild<QLabel*>(QLatin1String(name));
    EXPECT_NE(l, nullptr) << name;
    return l ? l->text() : QString();
  }
};

TEST_F(ScanPaneTest, PreviewProgressMapAndRecord) {
  ASSERT_NE(host().scan_pane(), nullptr);
  type_into(find<QLineEdit>("PANEL_NX"), QStringLiteral("4"));
  type_into(find<QLineEdit>("PANEL_NY"), QStringLiteral("3"));
  type_into(find<QLineEdit>("PANEL_NZ"), QStringLiteral("2"));
  type_into(find<QLineEdit>("PANEL_X0"), QStringLiteral("1"));
  catch_up();
  // The pane's preview is the planner's for the settings on the panel and the stages now.
  const auto settings = vx::scanplan::read_settings(runtime(), panel());
  ASSERT_TRUE(settings);
  const auto plan = vx::scanplan::preview(*settings, vx::scanplan::stages_of(sim_));
  ASSERT_EQ(plan.points, 24);
  EXPECT_TRUE(text("scanPreview").startsWith(QStringLiteral("24 points, "))) << text("scanPreview").toStdString();
  EXPECT_TRUE(text("scanPreview").contains(QString::number(vx::to_seconds(*plan.duration), 'f', 3)));
  EXPECT_TRUE(text("scanRanges").contains(QStringLiteral("X: 1 → 2.5 mm, 4 points"))) << text("scanRanges").toStdString();
  EXPECT_TRUE(text("scanWarnings").isEmpty());

  click("PANEL_STARTSCAN");
  ASSERT_TRUE(advance_until([&] { return model(PANEL_PROGRESS) >= 20; }, 60));
  advance(0.05);
  EXPECT_TRUE(text("scanProgress").startsWith(QStringLiteral("Point 5 of 24"))) << text("scanProgress").toStdString();
  EXPECT_TRUE(text("scanTimes").contains(QStringLiteral("remaining"))) << text("scanTimes").toStdString();
  EXPECT_EQ(text("scanPhase"), QStringLiteral("Phase: point 6 of 24"));
  EXPECT_TRUE(text("scanRecord").startsWith(QStringLiteral("Recording to ") + QString::fromStdString(record_dir_)));
  screenshot("scan.png");
  // During a row's return stroke the indices still name the last row's end (x 3 with y
  // 2): the map's ring is on the point under way, the first of the new row.
  ASSERT_TRUE(advance_until([&] { return program_->core().scan().index == std::array<int, 3>{3, 2, 0}; }, 30, 0.05));
  auto* map = host().scan_pane()->findChild<vx::win::ScanMap*>();
  ASSERT_NE(map, nullptr);
  host().refresh_scan();
  EXPECT_EQ(map->current(), (std::array<int, 3>{0, 2, 0}));

  ASSERT_TRUE(advance_until([&] { return !host().scanning(); }, 120));
  advance(0.1);
  // The scan took what the preview said.
  const auto s = program_->core().scan();
  EXPECT_EQ(s.elapsed, *plan.duration);
  EXPECT_EQ(text("scanEnd"), QStringLiteral("Ended: completed; 0 of 24 points off target"));
  ASSERT_FALSE(s.record_path.empty());
  EXPECT_EQ(text("scanRecord"), QStringLiteral("Recorded to ") + QString::fromStdString(s.record_path));
  // The log holds the scan: its start, with what it scans, and its end, with the record.
  const QStringList started = console_lines().filter(QStringLiteral("» Scan started: "));
  ASSERT_EQ(started.size(), 1) << window().console()->toPlainText().toStdString();
  EXPECT_TRUE(started[0].startsWith(QStringLiteral("» Scan started: 24 points (X 4 from 1 mm by 0.5 mm; Y 3 from 10 mm "
                                                   "by 0.5 mm; Z 2 from 10 mm by 0.5 mm), planned ")))
      << started[0].toStdString();
  EXPECT_TRUE(started[0].endsWith(QStringLiteral(" s, recording to ") + QString::fromStdString(s.record_path)))
      << started[0].toStdString();
  EXPECT_EQ(console_count(QStringLiteral("» Scan ended: completed, 24 of 24 points; recorded to ") +
                          QString::fromStdString(s.record_path)),
            1);
  EXPECT_TRUE(window().statusBar()->currentMessage().contains(QString::fromStdString(s.record_path)));
  EXPECT_TRUE(std::filesystem::exists(s.record_path));
  EXPECT_EQ(s.done, 24);
  for (int z : {0, 1}) EXPECT_TRUE(program_->core().scan_watch()->off_target_cells(z).empty());

  // Switched off, the next scan keeps no record; stopped, it says where it stopped.
  host().scan_pane()->findChild<QCheckBox*>(QStringLiteral("scanRecordOn"))->click();
  click("PANEL_STARTSCAN");
  ASSERT_TRUE(advance_until([&] { return program_->core().scan().done == 2; }, 30));
  click("PANEL_STOPSCAN");
  catch_up();
  EXPECT_EQ(text("scanPhase"), QStringLiteral("Phase: stopping"));
  EXPECT_FALSE(text("scanTimes").contains(QStringLiteral("remaining"))) << text("scanTimes").toStdString();
  ASSERT_TRUE(advance_until([&] { return !host().scanning(); }, 120));
  advance(0.1);
  EXPECT_TRUE(text("scanEnd").startsWith(QStringLiteral("Ended: stopped after point 3 of 24")))
      << text("scanEnd").toStdString();
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(record_dir_), std::filesystem::directory_iterator()), 1);
  // Not recorded: the pane no longer names the last scan's file.
  EXPECT_EQ(text("scanRecord"), QStringLiteral("Off: scans are not recorded"));
  // The settings change: what the pane shows is the last scan's.
  EXPECT_TRUE(text("scanProgress").startsWith(QStringLiteral("Point 3 of 24"))) << text("scanProgress").toStdString();
  type_into(find<QLineEdit>("PANEL_NX"), QStringLiteral("5"));
  catch_up();
  EXPECT_TRUE(text("scanProgress").startsWith(QStringLiteral("From the last scan: point 3 of 24")))
      << text("scanProgress").toStdString();
}

// A scan of 10^10 points: the pane counts them, the map draws the plane at its own
// resolution (the points that ended off target beyond the forward limit in red), and
// Stop all acts at once: the emergency stop is engaged by the click itself and the scan
// ends at its next point.
TEST_F(ScanPaneTest, AScanOf10To10PointsIsDrawnAndStopAllEndsIt) {
  start_huge_scan("24.9998");  // the fourth point is beyond the forward limit, 25 mm
  ASSERT_TRUE(host().scanning());
  ASSERT_TRUE(advance_until([&] { return program_->core().scan().done >= 6; }, 120));
  catch_up();
  EXPECT_TRUE(text("scanProgress").contains(QStringLiteral(" of 10000000000"))) << text("scanProgress").toStdString();
  vx::win::ScanMap* map = host().scan_pane()->map();
  EXPECT_TRUE(map->message().isEmpty()) << map->message().toStdString();
  // The off-target points fill the plane's first cell, of 512 x 512.
  const std::vector<bool> cells = program_->core().scan_watch()->off_target_cells(0);
  ASSERT_EQ(cells.size(), 512u * 512u);
  EXPECT_TRUE(cells[0]);
  EXPECT_EQ(std::count(cells.begin(), cells.end(), true), 1);
  screenshot("scan-huge.png");

  QTest::mouseClick(window().live()->stop_all(), Qt::LeftButton);
  EXPECT_TRUE(vx::estop::engaged());
  ASSERT_TRUE(advance_until([&] { return !host().scanning(); }, 1));
  advance(0.1);
  EXPECT_TRUE(text("scanEnd").startsWith(QStringLiteral("Ended: stopped after point "))) << text("scanEnd").toStdString();
}

// A detector chosen in the pane makes the map a heat map of its readings: a 40 x 40 scan
// of the simulated sample fills it in point by point, each channel can be shown, and the
// map is saved as a PNG. A source that cannot open is refused in the pane.
TEST_F(ScanPaneTest, ADetectorsReadingsFillTheMapAsAHeatMap) {
  auto* box = host().scan_pane()->findChild<QLineEdit*>(QStringLiteral("scanDetector"));
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->text(), QStringLiteral("none"));
  box->setText(QStringLiteral("exec:"));
  QTest::keyClick(box, Qt::Key_Return);
  EXPECT_EQ(text("scanDetectorInfo"), QStringLiteral("--detector exec:: exec needs a command (exec:COMMAND)"));
  EXPECT_EQ(program_->core().detector(), nullptr);
  box->setText(QStringLiteral("sim"));
  QTest::keyClick(box, Qt::Key_Return);
  EXPECT_EQ(text("scanDetectorInfo"), QStringLiteral("Reads signal, height; exposure 0.05 s"));

  for (const char* n : {"PANEL_NX", "PANEL_NY"}) type_into(find<QLineEdit>(n), QStringLiteral("40"));
  for (const char* d : {"PANEL_DX", "PANEL_DY"}) type_into(find<QLineEdit>(d), QStringLiteral("0.5"));
  for (const char* o : {"PANEL_X0", "PANEL_Y0", "PANEL_Z0"}) type_into(find<QLineEdit>(o), QStringLiteral("0"));
  find<QCheckBox>("PANEL_SCAN_X")->setChecked(true);
  find<QCheckBox>("PANEL_SCAN_Y")->setChecked(true);
  find<QCheckBox>("PANEL_SCAN_Z")->setChecked(false);
  click("PANEL_STARTSCAN");
  ASSERT_TRUE(advance_until([&] { return program_->core().scan().done >= 700; }, 3000, 5));
  catch_up();
  vx::win::ScanMap* map = host().scan_pane()->map();
  ASSERT_TRUE(map->view().heat);
  EXPECT_EQ(map->view().channel, QStringLiteral("signal"));
  const vx::scanwatch::MapValues& during = map->view().values;
  ASSERT_EQ(during.columns, 40);
  ASSERT_EQ(during.rows, 40);
  const auto read = std::count_if(during.flags.begin(), during.flags.end(), [](auto f) { return f != 0; });
  EXPECT_GE(read, 700);
  EXPECT_LT(read, 1600);
  EXPECT_LT(during.low, during.high);
  screenshot("heat-map-during.png");
  // The detector stays as it is until the scan ends.
  box->setText(QStringLiteral("none"));
  QTest::keyClick(box, Qt::Key_Return);
  EXPECT_EQ(text("scanDetectorInfo"), QStringLiteral("The detector cannot change during a scan"));
  EXPECT_NE(program_->core().detector(), nullptr);

  ASSERT_TRUE(advance_until([&] { return !host().scanning(); }, 3000, 5));
  advance(0.5);
  // Chosen again once the scan has ended: for the next scan; the map keeps this one's.
  box->setText(QStringLiteral("sim"));
  QTest::keyClick(box, Qt::Key_Return);
  EXPECT_EQ(text("scanDetectorInfo"), QStringLiteral("Reads signal, height; exposure 0.05 s"));
  catch_up();
  const auto s = program_->core().scan();
  EXPECT_EQ(s.read, 1600);
  EXPECT_EQ(s.late, 0);
  EXPECT_EQ(s.missing, 0);
  const vx::scanwatch::MapValues after = map->view().values;
  EXPECT_EQ(std::count(after.flags.begin(), after.flags.end(), vx::scanwatch::MapValues::kRead), 1600);
  screenshot("heat-map.png");
  const std::string png = record_dir_ + "/map.png";
  ASSERT_TRUE(host().scan_pane()->save_map(QString::fromStdString(png)));
  std::filesystem::copy_file(png, VARNIX_ARTIFACT_DIR "/heat-map-saved.png",
                             std::filesystem::copy_options::overwrite_existing);
  EXPECT_EQ(vxtest_png_signature(png), true);

  // The other channel, on a fixed range.
  auto* channel = host().scan_pane()->findChild<QComboBox*>(QStringLiteral("scanChannel"));
  ASSERT_EQ(channel->count(), 2);
  channel->setCurrentIndex(1);
  host().scan_pane()->findChild<QCheckBox*>(QStringLiteral("scanRangeAuto"))->setChecked(false);
  catch_up();
  EXPECT_EQ(map->view().channel, QStringLiteral("height"));
  EXPECT_FALSE(map->view().range.automatic);
  EXPECT_FALSE(map->view().values == after);

  // A detector slower than the dwell: every point's cell marked late, and the preview
  // warns of it.
  box->setText(QStringLiteral("sim,exposure=0.3"));
  QTest::keyClick(box, Qt::Key_Return);
  type_into(find<QLineEdit>("PANEL_NX"), QStringLiteral("6"));
  type_into(find<QLineEdit>("PANEL_NY"), QStringLiteral("5"));
  catch_up();
  EXPECT_TRUE(text("scanWarnings").contains(QStringLiteral("its readings will come late")))
      << text("scanWarnings").toStdString();
  click("PANEL_STARTSCAN");
  ASSERT_TRUE(advance_until([&] { return program_->core().scan().total == 30; }, 10));
  ASSERT_TRUE(advance_until([&] { return program_->core().scan().phase == vx::scanwatch::Phase::Ended; }, 600, 1));
  advance(1);
  EXPECT_EQ(program_->core().scan().late, 30);
  const auto& late = map->view().values.flags;
  EXPECT_EQ(std::count(late.begin(), late.end(), vx::scanwatch::MapValues::kRead | vx::scanwatch::MapValues::kLate),
            30);
  screenshot("heat-map-late.png");
}

// Geometry that no map can draw, typed with wide limits during a homing (a step of 1e308
// over 30000 points): the pane says so instead of drawing, the preview names the ranges,
// and the window goes on serving the operator.
TEST_F(ScanPaneTest, TargetsBeyondAnyStageAreNotDrawn) {
  click("PANEL_HOME_X");
  advance(1);
  runtime().set_value(panel(), PANEL_NX, vx::rt::Value::of(30000));
  runtime().set_value(panel(), PANEL_DX, vx::rt::Value::of(1e308));
  catch_up();
  vx::win::ScanMap* map = host().scan_pane()->map();
  EXPECT_EQ(map->message(),
            QStringLiteral("The map cannot draw this grid: its X targets reach inf mm, beyond the ±1e+09 mm it draws"));
  EXPECT_TRUE(text("scanRanges").contains(QStringLiteral(" → inf mm, 30000 points"))) << text("scanRanges").toStdString();
  EXPECT_FALSE(window().grab().isNull());
  screenshot("scan-undrawable.png");
  QTest::keyClick(&window(), Qt::Key_Escape);
  EXPECT_TRUE(vx::estop::engaged());
  ASSERT_TRUE(advance_until([&] { return text_of("activity") == QLatin1String("Idle"); }, 2));
}

TEST_F(WindowTest, HomingShowsTheStageLiveTheActivityAndTheQueuedCommands) {
  click("PANEL_HOME_X");
  advance(3);
  click("PANEL_JOG_Y_PLUS");
  click("PANEL_DISABLE_Z");
  catch_up();
  const QString first = text_of("live_X_position");
  EXPECT_EQ(text_of("live_X_state"), QStringLiteral("moving-reverse homing"));
  advance(0.5);
  const QString second = text_of("live_X_position");
  EXPECT_NE(first, second);
  EXPECT_TRUE(second.startsWith(QLatin1Char('-'))) << second.toStdString();
  // The program's display shows what the program last wrote: it has not refreshed, and
  // says so, with the age of what it shows.
  EXPECT_EQ(find<QLineEdit>("PANEL_POS_X")->text(), QStringLiteral("0.0000"));
  EXPECT_TRUE(view()->stale());
  EXPECT_TRUE(find<QLineEdit>("PANEL_POS_X")->property("stale").toBool());
  EXPECT_TRUE(qobject_cast<Led*>(view()->widget(lid[0][13]))->isStale());
  EXPECT_TRUE(text_of("age").startsWith(QLatin1String("Panel displays as of 3."))) << text_of("age").toStdString();

  // What runs next stands on the activity line: a Stop of X would start it at once.
  EXPECT_EQ(text_of("activity"), QStringLiteral("Homing X: 3 s, gives up at 180 s  ·  next: Jog +1 mm Y"));
  // Only the operator's clicks: the timer's refresh requests are the program's own.
  EXPECT_EQ(text_of("queued"), QStringLiteral("queued 2: Jog +1 mm Y, Disable Z"));
  EXPECT_TRUE(window().windowTitle().contains(QLatin1String("Homing X"))) << window().windowTitle().toStdString();
  EXPECT_EQ(console_count(QStringLiteral("» Home X")), 1);
  EXPECT_EQ(console_count(QStringLiteral("» Jog +1 mm Y")), 1);
  screenshot("window-homing.png");

  ASSERT_TRUE(advance_until([&] { return text_of("activity") == QLatin1String("Idle"); }, 15));
  EXPECT_EQ(text_of("queued"), QStringLiteral("queued: nothing"));
  advance(1);  // the panel timer's next refresh
  EXPECT_FALSE(view()->stale());
  EXPECT_EQ(text_of("age"), QString());
  EXPECT_EQ(text_of("live_Z_state"), QStringLiteral("disabled"));
  EXPECT_EQ(text_of("live_Z_reason"), QStringLiteral("Cannot move: disabled (Enable it first)"));
}

// Clicks queued behind a homing are the operator's to take back, one from the Withdraw
// menu or all at once; a Stop of the homing axis then runs nothing hidden.
TEST_F(WindowTest, QueuedClicksAreWithdrawnAndAStopRunsNothingHidden) {
  click("PANEL_HOME_X");
  advance(1);
  click("PANEL_JOG_Y_PLUS");
  click("PANEL_DISABLE_Z");
  click("PANEL_JOG_X_PLUS");
  catch_up();
  QToolButton* withdraw = window().live()->withdraw();
  ASSERT_TRUE(withdraw->isEnabled());
  QList<QAction*> actions = withdraw->menu()->actions();
  ASSERT_EQ(actions.size(), 5);  // three commands, a separator, Withdraw all
  EXPECT_EQ(actions[1]->text(), QStringLiteral("Withdraw Disable Z"));
  actions[1]->trigger();
  catch_up();
  EXPECT_EQ(text_of("queued"), QStringLiteral("queued 2: Jog +1 mm Y, Jog +1 mm X"));
  EXPECT_EQ(console_count(QStringLiteral("» Withdrawn from the queue: Disable Z")), 1);

  // Stop X with the jogs still queued: the window says what runs next.
  click("PANEL_STOP_X");
  EXPECT_EQ(window().statusBar()->currentMessage(),
            QStringLiteral("Still queued, runs next: Jog +1 mm Y, Jog +1 mm X (Withdraw… takes it back)"));
  QAction* all = withdraw->menu()->findChild<QAction*>(QStringLiteral("withdrawAll"));
  ASSERT_NE(all, nullptr);
  const int y = sim_.true_position(serialNumbers[1]);
  all->trigger();
  ASSERT_TRUE(advance_until([&] { return text_of("activity") == QLatin1String("Idle"); }, 5));
  EXPECT_EQ(text_of("queued"), QStringLiteral("queued: nothing"));
  EXPECT_FALSE(withdraw->isEnabled());
  advance(2);
  EXPECT_EQ(sim_.true_position(serialNumbers[1]), y) << "the withdrawn jog ran";
  EXPECT_TRUE(sim_.true_status(serialNumbers[2]) & vx::sl::kEnabled) << "the withdrawn disable ran";
  EXPECT_EQ(console_count(QStringLiteral("» Withdrawn from the queue: Jog +1 mm Y, Jog +1 mm X")), 1);
}

// The Quit button during a wait does what Ctrl+Q does: the shutdown sequence, ending
// the homing, not a click queued behind it.
TEST_F(WindowTest, QuitDuringAHomingEndsTheProgramAsCtrlQDoes) {
  click("PANEL_HOME_X");
  advance(2);
  ASSERT_TRUE(text_of("activity").startsWith(QLatin1String("Homing X")));
  click("PANEL_QUIT");
  EXPECT_EQ(text_of("queued"), QStringLiteral("queued: nothing"));
  ASSERT_TRUE(advance_until([&] { return ended(); }, 3)) << "Quit waited behind the homing";
  EXPECT_EQ(program_->exit_code(), 0);
}

TEST_F(WindowTest, InvalidInputIsRefusedVisiblyAndNeverReachesTheProgram) {
  struct Case {
    const char* control;
    int id;
    const char* text;
    const char* reason;
  } cases[] = {
      {"PANEL_TARGET_X", PANEL_TARGET_X, "1e9", "above the most allowed, 50"},
      {"PANEL_TARGET_X", PANEL_TARGET_X, "12,5", "',' is not the decimal point here (it is '.')"},
      {"PANEL_NX", PANEL_NX, "-3", "below the least allowed, 1"},
      {"PANEL_NX", PANEL_NX, "2.5", "a count takes whole numbers only"},
      {"PANEL_DX", PANEL_DX, "1e3", "above the most allowed, 5"},
      {"PANEL_X0", PANEL_X0, "abc", "not a number"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto* box = find<QLineEdit>(c.control);
    const double before = model(c.id);
    type_into(box, QString::fromLatin1(c.text));
    catch_up();
    EXPECT_EQ(box->text(), QString::fromLatin1(c.text));  // exactly what was typed
    EXPECT_DOUBLE_EQ(model(c.id), before);                // the program reads the last valid value
    EXPECT_TRUE(view()->invalid(c.id));
    EXPECT_TRUE(box->property("invalid").toBool());
    EXPECT_TRUE(view()->problem_text(c.id).startsWith(QLatin1String(c.reason))) << view()->problem_text(c.id).toStdString();
    EXPECT_TRUE(window().statusBar()->currentMessage().contains(QLatin1String(c.reason)));
    if (std::string(c.text) == "2.5") screenshot("window-invalid-input.png");
  }
  // Every command that reads a field holding no valid number is refused and moves
  // nothing; the refusal names the field, stands in the status bar and the log.
  const struct {
    const char* command;
    const char* refusal;
  } refusals[] = {
      {"PANEL_GOTO_X", "Go to X refused, nothing moves: X Target (mm): above the most allowed, 50"},
      {"PANEL_GOTO_ALL", "Go to all refused, nothing moves: X Target (mm): above the most allowed, 50"},
      {"PANEL_STARTSCAN", "Start scan refused, nothing moves: X points: a count takes whole numbers only; "
                          "X step (mm): above the most allowed, 5; X start (mm): not a number"},
  };
  type_into(find<QLineEdit>("PANEL_TARGET_X"), QStringLiteral("1e9"));
  type_into(find<QLineEdit>("PANEL_NX"), QStringLiteral("2.5"));
  for (const auto& r : refusals) {
    SCOPED_TRACE(r.command);
    const QString refusal = QString::fromLatin1(r.refusal) + QStringLiteral(" (type a valid number first)");
    click(r.command);
    advance(1);
    EXPECT_EQ(sim_.true_position(serialNumbers[0]), 0);
    EXPECT_EQ(model(PANEL_SCANNING), 0);
    EXPECT_EQ(window().statusBar()->currentMessage(), refusal);
    EXPECT_TRUE(window().statusBar()->property("alarm").toBool());
    EXPECT_EQ(console_count(QStringLiteral("» ") + refusal), 1);
  }
  EXPECT_EQ(console_count(QStringLiteral("» Go to X: 0 mm")), 0) << "a refused command is not logged as run";
  EXPECT_EQ(QApplication::focusWidget(), find<QLineEdit>("PANEL_NX")) << "the field to mend has the focus";

  // A valid value clears the mark and the message, and reaches the program.
  type_into(find<QLineEdit>("PANEL_NX"), QStringLiteral("7"));
  catch_up();
  EXPECT_EQ(model(PANEL_NX), 7);
  EXPECT_FALSE(view()->invalid(PANEL_NX));
  EXPECT_EQ(find<QLineEdit>("PANEL_NX")->toolTip(), QString::fromStdString(view()->control(PANEL_NX)->tooltip));
  // Where the comma is the decimal point, 12,5 is 12.5.
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  type_into(find<QLineEdit>("PANEL_TARGET_X"), QStringLiteral("12,5"));
  QLocale::setDefault(QLocale::c());
  EXPECT_DOUBLE_EQ(model(PANEL_TARGET_X), 12.5);
  EXPECT_FALSE(view()->invalid(PANEL_TARGET_X));
  EXPECT_TRUE(window().statusBar()->currentMessage().isEmpty());
}

TEST_F(WindowTest, EscStopsAllAtOnceAndTheBannerStaysUntilReleased) {
  click("PANEL_HOME_X");
  advance(2);
  ASSERT_TRUE(text_of("activity").startsWith(QLatin1String("Homing X")));
  QTest::keyClick(&window(), Qt::Key_Escape);
  EXPECT_TRUE(vx::estop::engaged());
  auto* banner = window().findChild<QWidget*>(QStringLiteral("estopBanner"));
  ASSERT_NE(banner, nullptr);
  EXPECT_TRUE(banner->isVisible());
  EXPECT_TRUE(window().windowTitle().contains(QLatin1String("EMERGENCY STOP")));
  // Served at once, not after the homing: the homing wait ends on the stop.
  ASSERT_TRUE(advance_until([&] { return text_of("activity") == QLatin1String("Idle"); }, 2));
  EXPECT_EQ(text_of("live_X_state"), QStringLiteral("stopped estop"));
  EXPECT_TRUE(text_of("live_Y_reason").contains(QLatin1String("emergency stop is engaged")));
  EXPECT_EQ(console_count(QStringLiteral("» Stop all: the emergency stop is engaged")), 1);
  screenshot("window-estop.png");

  // Held: a jog moves nothing, and Start scan is refused with the reason before the
  // program sees it.
  const int x = sim_.true_position(serialNumbers[0]);
  click("PANEL_JOG_X_PLUS");
  advance(1);
  EXPECT_EQ(sim_.true_position(serialNumbers[0]), x);
  EXPECT_EQ(console_count(QStringLiteral("» Jog +1 mm X: the emergency stop holds the stages, nothing moves (Release first)")), 1);
  const QString refusal = QStringLiteral("Start scan refused: the emergency stop holds the stages (Release first)");
  click("PANEL_STARTSCAN");
  advance(1);
  EXPECT_EQ(model(PANEL_SCANNING), 0);
  EXPECT_EQ(window().statusBar()->currentMessage(), refusal);
  EXPECT_EQ(console_count(QStringLiteral("» ") + refusal), 1);

  QTest::mouseClick(window().live()->release(), Qt::LeftButton);
  catch_up();
  EXPECT_FALSE(vx::estop::engaged());
  EXPECT_FALSE(banner->isVisible());
  EXPECT_FALSE(window().windowTitle().contains(QLatin1String("EMERGENCY")));
  EXPECT_EQ(text_of("live_X_reason"), QString());
}

TEST_F(WindowTest, TheConsoleIsATimeStampedLogToFindInSaveAndGrow) {
  type_into(find<QLineEdit>("PANEL_TARGET_X"), QStringLiteral("12.5"));
  click("PANEL_GOTO_X");
  advance(5);
  const QStringList lines = window().console()->toPlainText().split(QLatin1Char('\n'));
  // "HH:MM:SS.mmm " in front of every line.
  auto stamped = [](const QString& l) {
    if (l.size() < 14 || l[2] != QLatin1Char(':') || l[5] != QLatin1Char(':') || l[8] != QLatin1Char('.') ||
        l[12] != QLatin1Char(' '))
      return false;
    for (int k : {0, 1, 3, 4, 6, 7, 9, 10, 11})
      if (!l[k].isDigit()) return false;
    return true;
  };
  for (const QString& l : lines) EXPECT_TRUE(stamped(l)) << l.toStdString();
  EXPECT_EQ(console_count(QStringLiteral("» Go to X: 12.5 mm")), 1);
  // The operator's lines look unlike the program's.
  QTextBlock command = window().console()->document()->findBlock(0);
  QTextBlock program = command;
  for (QTextBlock b = command; b.isValid(); b = b.next())
    (b.text().contains(QLatin1String("» Go to X")) ? command : program) = b;
  EXPECT_NE(command.charFormat().foreground(), program.charFormat().foreground());

  window().find_box()->setText(QStringLiteral("serial 45387934"));
  EXPECT_TRUE(window().find_next());
  EXPECT_EQ(window().console()->textCursor().selectedText(), QStringLiteral("serial 45387934"));
  window().find_box()->setText(QStringLiteral("no such text"));
  EXPECT_FALSE(window().find_next());
  // Esc in the find box is Stop all, as everywhere; Find stays open. Its Done button
  // closes it, and the log follows new lines again.
  window().find_box()->setText(QStringLiteral("serial 45388004"));
  EXPECT_TRUE(window().find_next());
  QTest::keyClick(window().find_box(), Qt::Key_Escape);
  EXPECT_TRUE(vx::estop::engaged());
  EXPECT_EQ(window().find_box()->text(), QStringLiteral("serial 45388004"));
  QTest::mouseClick(window().findChild<QToolButton*>(QStringLiteral("consoleFindClose")), Qt::LeftButton);
  EXPECT_TRUE(window().find_box()->text().isEmpty());
  for (int k = 0; k < 60; k++) click("PANEL_READ");
  advance(1);
  QScrollBar* bar = window().console()->verticalScrollBar();
  EXPECT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum()) << "the log stopped following after Find";
  // Scrolled up by the operator, it stays where it was.
  bar->setValue(0);
  click("PANEL_READ");
  advance(1);
  EXPECT_EQ(bar->value(), 0);

  std::filesystem::create_directories(VARNIX_ARTIFACT_DIR);
  const QString path = QStringLiteral(VARNIX_ARTIFACT_DIR "/console-log.txt");
  ASSERT_TRUE(window().save_console(path));
  std::ifstream in(path.toStdString());
  std::stringstream saved;
  saved << in.rdbuf();
  EXPECT_EQ(QString::fromStdString(saved.str()), window().console()->toPlainText() + QLatin1Char('\n'));

  // A taller window gives its extra height to the log, not to blank panel.
  const int before = window().console()->height();
  window().resize(window().width(), window().height() + 400);
  QCoreApplication::processEvents();
  EXPECT_GE(window().console()->height(), before + 350);
  EXPECT_LE(window().findChild<QScrollArea*>()->height(), view()->height() + 2);
}

TEST_F(WindowTest, CtrlQQuitsAndAClosingMessageClearsWhenTheScanEnds) {
  window().activateWindow();  // mnemonics act in the active window
  QCoreApplication::processEvents();
  // The mnemonic of Read all presses the button (which then clicks after Qt's short
  // animation, in real time: the press is what the key does).
  QTest::keyClick(&window(), Qt::Key_R, Qt::AltModifier);
  EXPECT_TRUE(find<QPushButton>("PANEL_READ")->isDown());
  start_small_scan();
  QTest::keyClick(&window(), Qt::Key_Q, Qt::ControlModifier);  // refused while scanning
  EXPECT_TRUE(window().statusBar()->currentMessage().contains(QLatin1String("A scan is running")));
  click("PANEL_STOPSCAN");
  ASSERT_TRUE(advance_until([&] { return !host().scanning(); }, 10));
  advance(0.1);
  // The refusal is gone; what the status bar says now is how the scan ended.
  EXPECT_FALSE(window().statusBar()->currentMessage().contains(QLatin1String("A scan is running")));
  EXPECT_TRUE(window().statusBar()->currentMessage().startsWith(QLatin1String("Scan ended: stopped")))
      << window().statusBar()->currentMessage().toStdString();
  QTest::keyClick(&window(), Qt::Key_Q, Qt::ControlModifier);
  ASSERT_TRUE(advance_until([&] { return ended(); }, 10));
  EXPECT_EQ(program_->exit_code(), 0);
}

class ConnectingWindowTest : public WindowTest {
 protected:
  ConnectingWindowTest() { startup_ = 3; }  // X is open, Y opening
};

TEST_F(ConnectingWindowTest, TheActivityLineSaysWhichStageIsBeingConnected) {
  EXPECT_EQ(text_of("activity"), QStringLiteral("Connecting to stage Y (45387934)"));
  EXPECT_TRUE(window().windowTitle().contains(QLatin1String("Connecting")));
  EXPECT_EQ(text_of("live_X_state"), QStringLiteral("idle"));
  EXPECT_EQ(text_of("live_Z_state"), QStringLiteral("not-connected"));
  EXPECT_EQ(text_of("live_Z_reason"), QStringLiteral("Cannot move: not connected yet"));
  EXPECT_EQ(text_of("live_Z_position"), QStringLiteral("—")) << "a stage not opened has no position";
  EXPECT_NE(text_of("live_X_position"), QStringLiteral("—"));
  EXPECT_TRUE(view()->stale()) << "the panel's displays hold no reading yet";
  EXPECT_EQ(text_of("age"), QStringLiteral("Panel displays not read yet"));
  screenshot("window-connecting.png");
  ASSERT_TRUE(advance_until([&] { return text_of("activity") == QLatin1String("Idle"); }, 5));
}

// Runs the Qt event loop until `done` holds or `limit` seconds of the real clock have
// passed; false then.
bool wait_real(vx::Clock& clock, const std::function<bool()>& done, double limit) {
  const vx::Time deadline = clock.now() + vx::from_seconds(limit);
  while (!done()) {
    if (clock.now() >= deadline) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  }
  return true;
}

// On the real clock, as the operator has it: the live readouts follow a go-to while the
// program's own display waits for its next refresh. Waits are bounded waits for a
// condition, with the Qt event loop running; nothing sleeps.
TEST(RealClockWindow, LiveReadoutsFollowAGoToAsItRuns) {
  vx::win::RealStages stages;
  stages.simulator.set_trace_limit(0);
  vx::win::WindowedProgram program(stages.clock);  // the live view at its own period
  auto wait_for = [&](const std::function<bool()>& done, double limit) { return wait_real(stages.clock, done, limit); };
  program.start();
  auto& window = program.host().window();
  auto widget = [&](const char* name) { return window.findChild<QWidget*>(QString::fromLatin1(name)); };
  auto label = [&](const char* name) { return qobject_cast<QLabel*>(widget(name)); };
  ASSERT_TRUE(wait_for([&] { return label("activity")->text() == QLatin1String("Idle"); }, 30));

  auto* target = qobject_cast<QLineEdit*>(widget("PANEL_TARGET_X"));
  ASSERT_NE(target, nullptr);
  target->setFocus();
  target->selectAll();
  QTest::keyClick(target, Qt::Key_Backspace);
  QTest::keyClicks(target, QStringLiteral("5"));
  QTest::mouseClick(qobject_cast<QPushButton*>(widget("PANEL_GOTO_X")), Qt::LeftButton);

  QStringList seen;
  bool ahead_of_display = false;
  const auto* display = qobject_cast<QLineEdit*>(widget("PANEL_POS_X"));
  ASSERT_TRUE(wait_for(
      [&] {
        const QString now = label("live_X_position")->text();
        if (seen.isEmpty() || seen.back() != now) seen.append(now);
        if (label("activity")->text().startsWith(QLatin1String("Go to X")) &&
            now != display->text() + QStringLiteral(" mm"))
          ahead_of_display = true;
        return now == QLatin1String("5.0000 mm");
      },
      10));
  EXPECT_GE(seen.size(), 10) << seen.join(QLatin1Char('|')).toStdString();  // 1.5 s of motion
  EXPECT_TRUE(ahead_of_display);

  QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
  ASSERT_TRUE(wait_for([&] { return program.ended(); }, 20));
  EXPECT_EQ(program.exit_code(), 0);
  QCoreApplication::processEvents();
}

// A remote client at the window, on the real clock: it takes control and homes X, which
// the log shows as the client's command, before what the program prints for it; the
// display lists it and who holds control; the operator's switch refuses its acting
// while a look still answers and Stop all stays open to it. Waits are bounded waits for
// a condition, with the Qt event loop running; nothing sleeps.
TEST(RealClockWindow, ARemoteClientActsUntilTheOperatorRefusesRemoteControl) {
  char dir[] = "/tmp/vxwinremoteXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string address = std::string("unix:") + dir + "/s";
  vx::win::RealStages stages;
  vx::win::WindowOptions options;
  std::string error;
  options.listen.push_back(*vx::control::parse_address(address, error));
  vx::win::WindowedProgram program(stages.clock, options);
  ASSERT_TRUE(program.listen(error)) << error;
  EXPECT_EQ(program.bound(), std::vector<std::string>{address});
  auto wait_for = [&](const std::function<bool()>& done, double limit) { return wait_real(stages.clock, done, limit); };
  program.start();
  auto& window = program.host().window();
  auto label = [&](const char* name) { return window.findChild<QLabel*>(QString::fromLatin1(name)); };
  ASSERT_TRUE(wait_for([&] { return label("activity")->text() == QLatin1String("Idle"); }, 30));
  ASSERT_NE(label("remote_clients"), nullptr);
  EXPECT_EQ(label("remote_clients")->text(), QStringLiteral("Remote: no clients"));
  auto* refuse = window.findChild<QCheckBox*>(QStringLiteral("refuse_remote"));
  ASSERT_NE(refuse, nullptr);
  EXPECT_FALSE(refuse->isChecked());

  vxtest::Client client(address);
  ASSERT_TRUE(client.connected());
  EXPECT_EQ(client.status("press PANEL_HOME_X"), "error: take control first (control take)");
  EXPECT_EQ(client.status("control take"), "ok");
  EXPECT_TRUE(wait_for(
      [&] { return label("remote_clients")->text() == QStringLiteral("Remote: 1 client · 1 (unix) · client 1 holds control"); },
      10))
      << label("remote_clients")->text().toStdString();
  EXPECT_EQ(client.status("press PANEL_HOME_X"), "ok");
  const QString log_line = QStringLiteral("» remote client 1: Home X");
  auto log = [&] { return window.console()->toPlainText(); };
  ASSERT_TRUE(wait_for([&] { return log().contains(log_line) && log().contains(QLatin1String("Start Homing")); }, 10))
      << log().toStdString();
  EXPECT_LT(log().indexOf(log_line), log().indexOf(QLatin1String("Start Homing"))) << log().toStdString();
  // Behind the homing, a client's click waits in the queue, named as the client's.
  EXPECT_EQ(client.status("press PANEL_DISABLE_Z"), "ok");
  EXPECT_TRUE(wait_for([&] { return label("queued")->text() == QLatin1String("queued 1: Disable Z (remote client 1)"); }, 10))
      << label("queued")->text().toStdString();

  // The operator refuses remote control: acting is refused with the reason, looking is not.
  refuse->click();
  EXPECT_EQ(client.status("press PANEL_STOP_X"), "error: remote control is off at the window");
  EXPECT_EQ(client.status("set PANEL_TARGET_X 3"), "error: remote control is off at the window");
  const std::vector<std::string> shown = client.ask("show PANEL_TARGET_X");
  EXPECT_EQ(shown, (std::vector<std::string>{"@ PANEL_TARGET_X = 0", "ok"}));
  EXPECT_EQ(client.status("estop"), "ok");
  EXPECT_TRUE(vx::host::Host::engaged());
  program.host().release_stop();

  refuse->click();
  EXPECT_EQ(client.status("press PANEL_STOP_X"), "ok");
  EXPECT_TRUE(wait_for([&] { return label("queued")->text() == QLatin1String("queued: nothing"); }, 10))
      << label("queued")->text().toStdString();
  client.close_now();
  EXPECT_TRUE(wait_for([&] { return label("remote_clients")->text() == QLatin1String("Remote: no clients"); }, 10))
      << label("remote_clients")->text().toStdString();

  QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
  ASSERT_TRUE(wait_for([&] { return program.ended(); }, 30));
  EXPECT_EQ(program.exit_code(), 0);
  QCoreApplication::processEvents();
  std::filesystem::remove_all(dir);
}

// The window's address errors are the runner's: a bad address and one in use end it
// with status 2 before the program starts.
TEST(RemoteAtTheWindow, ABadOrBusyAddressEndsItAtStart) {
  char dir[] = "/tmp/vxwinlistenXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const WindowRun bad = run_window("--no-record --listen nowhere:1");
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.output.find("varnix: --listen "), std::string::npos) << bad.output;
  vxtest::Server busy({"--listen", std::string("unix:") + dir + "/s"});
  ASSERT_EQ(busy.addresses().size(), 1u);
  const WindowRun taken = run_window("--no-record --listen " + busy.addresses()[0]);
  EXPECT_EQ(taken.status, 2);
  EXPECT_NE(taken.output.find("varnix: cannot listen on " + busy.addresses()[0]), std::string::npos) << taken.output;
  EXPECT_EQ(taken.output.find("Connected"), std::string::npos) << taken.output;  // no stage opened
  std::filesystem::remove_all(dir);
}

}  // namespace

int main(int argc, char** argv) {
  const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
  if (platform.isEmpty() || platform == "offscreen")
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" VARNIX_SCREEN_CONFIG);
  // The offscreen platform says on every window that it cannot place it; nothing to see.
  static QtMessageHandler previous = nullptr;
  previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg && message.startsWith(QLatin1String("This plugin does not support"))) return;
    previous(type, context, message);
  });
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  vx::win::install_look(app);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
