// The operator application end to end: start-up order, the event loop and its guard,
// the panel timer's refreshes, quit, failures at start-up, and the status display; and
// the millimetre rule and readouts of the driver.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <regex>

#include "driver/axs.h"
#include "platform/clock/clock.h"
#include "platform/stagesim/simulator.h"
#include "tests/panel_cases.h"
#include "tests/session_harness.h"
#include "tests/virtual_time.h"

using vxtest::run_session;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

int index_of(const Lines& trace, const std::string& call) {
  for (size_t i = 0; i < trace.size(); i++)
    if (trace[i].find(" " + call) != std::string::npos) return static_cast<int>(i);
  return -1;
}

std::string shipped_panel() { return vxtest::read_file(VARNIX_SOURCE_DIR "/panel/Varnix_ui.uir"); }

// A new directory holding `text` as its panel file.
std::string panel_dir_holding(const std::string& text) {
  char tmpl[] = "/tmp/vxpanelXXXXXX";
  const std::string dir = mkdtemp(tmpl);
  std::ofstream(dir + "/Varnix_ui.uir") << text;
  return dir;
}

// A directory holding a copy of the shipped panel file with the first `from` after
// `anchor` replaced by `to`.
std::string panel_dir_with(const char* anchor, const char* from, const char* to) {
  const vxtest::PanelMutation edit{"edit", {{anchor, from, to}}, vxtest::Refuser::Load, vxtest::Place::Panel, nullptr, nullptr};
  return panel_dir_holding(vxtest::mutated(shipped_panel(), edit));
}

TEST(StartUp, ShowsThePanelBeforeOpeningTheStagesThenLightsConnected) {
  auto r = run_session("start\nexpect PANEL_CONNECTED == 1\nquit\n");
  ASSERT_EQ(r.status, 0) << r.text();
  const Lines t = r.trace();
  ASSERT_GE(index_of(t, "DisplayPanel"), 0) << r.text();
  EXPECT_LT(index_of(t, "DisplayPanel"), index_of(t, "TLI_BuildDeviceList"));
}

TEST(StartUp, ConnectedLitInTheFileSkipsOpeningButStillClosesAtExit) {
  const std::string dir = panel_dir_with("\"PANEL_CONNECTED\"", "initial = 0", "initial = 1");
  auto r = run_session("start\nquit\n", "--trace", dir);
  ASSERT_EQ(r.status, 0) << r.text();
  EXPECT_TRUE(r.calls("ISC_Open").empty()) << r.text();
  EXPECT_TRUE(r.calls("ISC_RegisterMessageCallback").empty());
  EXPECT_EQ(r.calls("ISC_Close").size(), 3u);
  EXPECT_EQ(r.count("Device Disconnected..."), 3);
  EXPECT_EQ(r.count("The panel shows the stages connected: they are not opened again"), 1);
  fs::remove_all(dir);
}

TEST(StartUp, APanelFileThatDoesNotLoadEndsTheProgramBeforeAnyStage) {
  const std::string dir = panel_dir_with("", "[[panel]]", "[[panel]\n");
  auto r = run_session("start\npress PANEL_HOME_X\nquit\n", "--trace", dir);
  EXPECT_EQ(r.status, 1) << r.text();
  EXPECT_TRUE(r.calls("").empty()) << r.text();
  EXPECT_NE(r.err.find("Varnix_ui.uir:"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("cannot load the panel file"), std::string::npos) << r.err;
  EXPECT_EQ(r.at("exit"), Lines{"exit 1"});
  fs::remove_all(dir);

  char tmpl[] = "/tmp/vxnopanelXXXXXX";
  const std::string empty = mkdtemp(tmpl);
  fs::copy_file(VARNIX_BIN_DIR "/varnix-session", empty + "/varnix-session");
  auto missing = run_session("start\nquit\n", "--trace", empty, empty + "/varnix-session");
  EXPECT_EQ(missing.status, 1) << missing.text();
  EXPECT_NE(missing.err.find("Varnix_ui.uir"), std::string::npos) << missing.err;
  fs::remove_all(empty);
}

// A panel file that breaks a rule or the program's contract would load and lose the
// program its guards (a scan guard missing or lit for ever, stages opened and never
// closed, a callback that ends the process) or let it compute targets it cannot send:
// it is refused at load, naming what is wrong and where, and no stage is touched. The
// cases: every refused mutation of the shipped file (tests/panel_cases.h), and a
// callback name outside the program's table, which LoadPanel refuses as it binds it.
TEST(StartUp, APanelFileThatBreaksTheContractIsRefusedBeforeAnyStage) {
  std::vector<vxtest::PanelMutation> cases = vxtest::panel_mutations();
  cases.push_back({"timer_calls_exit", {{"\"PANEL_TIMER\"", "callback = \"TimerCB\"", "callback = \"exit\""}},
                   vxtest::Refuser::Load, vxtest::Place::Control, nullptr,
                   "control PANEL_TIMER (id 108) names the callback 'exit', which is not one of the program's "
                   "callbacks (TimerCB, StopCB)"});
  for (const vxtest::PanelMutation& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = vxtest::mutated(shipped_panel(), c);
    const auto refusal = vxtest::expected_refusal(text, c);
    if (!refusal) continue;
    const std::string dir = panel_dir_holding(text);
    auto r = run_session("start\nquit\n", "--trace", dir);
    EXPECT_EQ(r.status, 1) << r.text();
    EXPECT_TRUE(r.calls("").empty()) << r.text();
    EXPECT_NE(r.err.find("LoadPanel: Varnix_ui.uir:" + *refusal + "\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("no stage was touched"), std::string::npos) << r.err;
    fs::remove_all(dir);
  }
}

TEST(StartUp, RunTimeAndPoolFailuresTouchNoStage) {
  auto init = run_session("fault init\nstart\n");
  EXPECT_EQ(init.status, 255) << init.text();  // WinMain returned -1
  EXPECT_TRUE(init.calls("").empty());
  auto pool = run_session("fault pool\nstart\n");
  EXPECT_EQ(pool.status, 2) << pool.text();
  EXPECT_TRUE(pool.calls("").empty());
  EXPECT_NE(pool.err.find("thread pool"), std::string::npos) << pool.err;
}

int refreshes(const vxtest::SessionResult& r) {
  return static_cast<int>(r.calls("ISC_GetPosition(45388004").size());
}

TEST(EventLoop, TimerQueuesARefreshPerTickOnlyWhileNoScanRuns) {
  // The timer ticks every 0.5 s; the first tick after start-up fell due during it.
  auto idle = run_session("start\nwait 5\nquit\n");
  EXPECT_EQ(refreshes(idle), 11) << idle.text();
  auto guarded = run_session("start\nset PANEL_SCANNING 1\nwait 5\nset PANEL_SCANNING 0\nquit\n");
  EXPECT_EQ(refreshes(guarded), 1) << guarded.text();
}

TEST(EventLoop, WhileScanningEveryCommandIsDroppedQuitIncluded) {
  auto r = run_session(
      "start\nset PANEL_SCANNING 1\n"
      "press PANEL_HOME_X\npress PANEL_JOG_X_PLUS\npress PANEL_READ\npress PANEL_STARTSCAN\n"
      "press PANEL_RESET_1\npress PANEL_QUIT\nwait 1\nexpect PANEL_CONNECTED == 1\n"
      "set PANEL_SCANNING 0\nquit\n");
  ASSERT_EQ(r.status, 0) << r.text();
  EXPECT_TRUE(r.calls("ISC_Home").empty());
  EXPECT_TRUE(r.calls("ISC_MoveRelativeDistance").empty());
  EXPECT_EQ(r.count("RST Not yet implemented"), 0);
  EXPECT_TRUE(r.at("popup").empty());
  EXPECT_EQ(refreshes(r), 1);  // the one from start-up
  EXPECT_EQ(r.at("exit"), Lines{"exit 0"});
}

TEST(EventLoop, AnEventWithoutARowDoesNothingButPauses) {
  // 69 is a numeric input: no row. The refresh queued behind it runs 1 ms later. (The
  // start-up refresh at 6.6 s is followed by its own pause: the script goes on at 6.601.)
  auto r = run_session("start\nwait 0.1\npress 69\npress PANEL_READ\nwait 0.1\nquit\n");
  ASSERT_EQ(r.status, 0) << r.text();
  std::vector<std::string> times;
  for (const auto& t : r.trace())
    if (t.find("ISC_GetPosition(45388004") != std::string::npos) times.push_back(t.substr(0, t.find(' ')));
  EXPECT_EQ(times, (Lines{"6.600", "6.702"})) << r.text();
}

TEST(StatusDisplay, ShowsTheWordAndFourteenLeds) {
  // X: only bits 0 and 10; Y: only bit 31 (enabled, idle); Z: bits 12 to 28 and 30,
  // which reach the number only.
  std::string script =
      "fault status X 0x401 0x80000000\nfault status Z 0x5ffff000 0x80000000\nstart\n"
      "press PANEL_READ\nwait 0.1\n"
      "expect PANEL_STATUS_X == 1025\nexpect PANEL_STATUS_Y == 0x80000000\n"
      "expect PANEL_STATUS_Z == 0x5ffff000\n";
  for (int id = 21; id <= 62; id++) {
    const bool on = id == 62 || id == 52 || id == 35;
    script += "expect " + std::to_string(id) + " == " + (on ? "1" : "0") + "\n";
  }
  script += "quit\n";
  auto r = run_session(script, "");
  EXPECT_EQ(r.status, 0) << r.text();
  EXPECT_TRUE(r.at("FAIL").empty()) << r.text();
}

TEST(StatusDisplay, WritesInItsOrderAndNeverSkipsARepeat) {
  // Two refreshes with nothing changed: the same writes twice, in the same order
  // (status word, bit 29, bit 31, then bits 0 up to 11).
  auto r = run_session("start\nwatch PANEL_STATUS_X 62 61 51 50 49\nwait 0.3\npress PANEL_READ\nwait 0.01\n"
                       "press PANEL_READ\nwait 0.01\nquit\n");
  Lines names;
  for (const auto& l : r.at("")) {
    std::smatch m;
    static const std::regex watch(R"(^\d+\.\d+ (\S+) = )");
    if (std::regex_search(l, m, watch)) names.push_back(m[1]);
  }
  const Lines one = {"PANEL_STATUS_X", "PANEL_LED_X_29", "PANEL_LED_X_31", "PANEL_LED_X_0", "PANEL_LED_X_1",
                     "PANEL_LED_X_11"};
  Lines two = one;
  two.insert(two.end(), one.begin(), one.end());
  EXPECT_EQ(names, two) << r.text();
}

// ---- the driver's millimetre rule and readouts -------------------------------------------

TEST(Units, MillimetresToDeviceUnitsTruncateTowardZero) {
  struct Case {
    double mm;
    int units;
  } cases[] = {{5.1, 2088959}, {19.99, 8187903}, {1.0, 409600}, {-1.0, -409600}, {0.001, 409},
               {-5.1, -2088959}, {12.5, 5120000}, {0.0, 0}, {5242.879, 2147483238},
               {-5242.88, -2147483648}};
  for (const Case& c : cases) {
    int units = 7;
    EXPECT_EQ(AXS_MmToDeviceUnits(c.mm, &units), 1) << c.mm;
    EXPECT_EQ(units, c.units) << c.mm;
  }
}

TEST(Units, ValuesWithoutDeviceUnitsAreRefused) {
  for (double mm : {5242.88, 5242.881, -5242.8801, 1e300, -1e300, HUGE_VAL, -HUGE_VAL, double(NAN)}) {
    int units = 7;
    EXPECT_EQ(AXS_MmToDeviceUnits(mm, &units), 0) << mm;
    EXPECT_EQ(units, 7) << mm;
  }
}

using Readouts = vxtest::OnVirtualTime;

TEST_F(Readouts, PositionInMillimetresAndTheRawStatusWord) {
  vx::sim::Simulator sim;
  vx::sim::SimulatorScope ss(sim);
  TLI_BuildDeviceList();
  ASSERT_EQ(ISC_Open(serialNumbers[0]), 0);
  ISC_StartPolling(serialNumbers[0], 50);
  struct Case {
    int units;
    double mm;
  } cases[] = {{409600, 1.0}, {-614400, -1.5}, {2088959, 5.09999755859375}};
  for (const Case& c : cases) {
    sim.set_position(serialNumbers[0], c.units);
    clk.sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(AXS_GetPosition(0), c.mm) << c.units;
  }
  sim.set_position(serialNumbers[0], 409600);
  clk.sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(AXS_GetStatus(0), 0x80000000u);
  ISC_Close(serialNumbers[0]);
}

}  // namespace
