// Stopping, end to end on virtual time: a per-axis Stop reaches its stage at once when
// the program is idle or scanning and within one poll while it waits; a wait ends when
// its stage stops (a Stop, a limit); the emergency stop halts every stage from outside
// the program, refuses motion until it is released, and leaves the program serving.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/session_harness.h"

using vxtest::run_session;
using vxtest::SessionResult;
using Lines = std::vector<std::string>;

namespace {

const std::string X = "45388004";
const std::string Y = "45387934";
const std::string Z = "45388034";

// A watched input written just before a press prints the virtual time of the press.
const char* const kMark = "set PANEL_DZ 0.25\n";

double time_of_mark(const SessionResult& r) {
  for (const std::string& l : r.at(""))
    if (l.find(" PANEL_DZ = ") != std::string::npos) return std::atof(l.c_str());
  ADD_FAILURE() << "no mark\n" << r.text();
  return -1;
}

// Times of the trace calls that start with `call`, with the thread that made them.
std::vector<std::pair<double, std::string>> calls_at(const SessionResult& r, const std::string& call) {
  std::vector<std::pair<double, std::string>> out;
  for (const std::string& t : r.trace()) {
    const auto a = t.find(' ');
    const auto b = t.find(' ', a + 1);
    if (t.compare(b + 1, call.size(), call) == 0) out.push_back({std::atof(t.c_str()), t.substr(a + 1, b - a - 1)});
  }
  return out;
}

bool has_line_starting(const SessionResult& r, const std::string& prefix) {
  for (const std::string& l : r.program())
    if (l.rfind(prefix, 0) == 0) return true;
  return false;
}

const char* const kScan =
    "set PANEL_NX 5\nset PANEL_NY 3\nset PANEL_NZ 1\nset PANEL_DX 0.5\nset PANEL_DY 0.5\n"
    "set PANEL_SCAN_X 1\nset PANEL_SCAN_Y 1\nset PANEL_SCAN_Z 0\npress PANEL_STARTSCAN\n";

TEST(Stop, AnAxisStopReachesItsStageAtOnceOrWithinOnePollOfAWait) {
  struct Case {
    const char* what;
    std::string before;  // what runs when Stop X is pressed
    bool waiting;        // the program is inside a completion wait
  } cases[] = {
      {"idle after a jog", "press PANEL_JOG_X_PLUS\nwait 0.1\n", false},
      {"homing", "press PANEL_HOME_X\nwait 2.1\n", true},
      {"go-to", "set PANEL_TARGET_X 20\npress PANEL_GOTO_X\nwait 1.3\n", true},
      {"go-to-all", "set PANEL_TARGET_X 20\nset PANEL_TARGET_Y 2\nset PANEL_TARGET_Z 2\npress PANEL_GOTO_ALL\nwait 1.6\n",
       true},
      {"scan", std::string(kScan) + "until PANEL_IX == 2\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto r = run_session("start\nwatch PANEL_DZ\n" + c.before + kMark +
                         "press PANEL_STOP_X\nwait 12\nuntil PANEL_SCANNING == 0 within 30\nquit\n");
    ASSERT_EQ(r.status, 0) << r.text();
    const double pressed = time_of_mark(r);
    const auto stops = calls_at(r, "ISC_StopProfiled(" + X + ")");
    ASSERT_EQ(stops.size(), 1u) << "one press sends one stop\n" << r.text();
    EXPECT_EQ(stops[0].second, "main");
    EXPECT_GE(stops[0].first, pressed);
    EXPECT_LE(stops[0].first - pressed, c.waiting ? 0.25 : 0.0) << r.text();
    EXPECT_TRUE(calls_at(r, "ISC_StopProfiled(" + Y).empty());
    if (c.waiting) {
      EXPECT_TRUE(has_line_starting(r, "Stopped in axis [0] pos:")) << r.text();
      EXPECT_FALSE(has_line_starting(r, "Timeout in axis")) << r.text();
    }
    EXPECT_EQ(r.count("Homed..."), 0) << "a stopped homing is not homed\n" << r.text();
    EXPECT_EQ(r.count("Device Disconnected..."), 3);
  }
}

TEST(Stop, GotoAllStopsOnlyTheStoppedAxisAndTheNextAxesStillMove) {
  auto r = run_session(
      "start\nset PANEL_TARGET_X 20\nset PANEL_TARGET_Y 2\nset PANEL_TARGET_Z -2\npress PANEL_GOTO_ALL\nwait 1\n"
      "press PANEL_STOP_X\nwait 10\npress PANEL_READ\nwait 0.1\n"
      "expect PANEL_POS_X < 10\nexpect PANEL_POS_Y == 2\nexpect PANEL_POS_Z == -2\nquit\n");
  EXPECT_EQ(r.status, 0) << r.text();
  EXPECT_EQ(calls_at(r, "ISC_MoveAbsolute(").size(), 3u) << r.text();
}

TEST(Stop, AScanEndsAtItsNextStopTestWhenAnAxisIsStopped) {
  auto r = run_session(std::string("start\n") + kScan +
                       "until PANEL_IX == 2\npress PANEL_STOP_Y\nuntil PANEL_SCANNING == 0 within 5\n"
                       "show PANEL_PROGRESS\nquit\n");
  EXPECT_EQ(r.status, 0) << r.text();
  // Point 3 of 15 completes (its move was under way), then the scan ends.
  EXPECT_EQ(r.at("PANEL_PROGRESS"), Lines{"PANEL_PROGRESS = 20"}) << r.text();
  EXPECT_EQ(calls_at(r, "ISC_StopProfiled(" + Y + ")").size(), 1u);
}

// A target beyond the travel: the stage meets its limit and stops; the wait ends then,
// not 10 s after the command.
TEST(Stop, AGotoBeyondTheTravelEndsAtTheLimitAtOnce) {
  auto r = run_session("start\nset PANEL_TARGET_X 40\npress PANEL_GOTO_X\nuntil PANEL_POS_X > 24.9 within 7\nquit\n");
  EXPECT_EQ(r.status, 0) << r.text();
  EXPECT_TRUE(has_line_starting(r, "Stopped in axis [0] pos: 25.0")) << r.text();
  EXPECT_EQ(r.count("AXS timeout"), 0) << r.text();
}

// The emergency stop in each state: all three stages get a stop at once from the
// estop's thread, nothing moves while it is engaged (commands are answered at once with
// the stopped message), and after release the program serves as before.
TEST(EmergencyStop, HaltsEveryStageInEveryStateAndReleaseRestoresService) {
  struct Case {
    const char* what;
    std::string before;
  } cases[] = {
      {"idle", ""},
      {"jog", "press PANEL_JOG_Y_MINUS\nwait 0.1\n"},
      {"go-to", "set PANEL_TARGET_X 20\npress PANEL_GOTO_X\nwait 1\n"},
      {"go-to-all", "set PANEL_TARGET_X 20\nset PANEL_TARGET_Y 20\nset PANEL_TARGET_Z 20\npress PANEL_GOTO_ALL\nwait 1\n"},
      {"homing", "press PANEL_HOME_Z\nwait 3\n"},
      // A stalled stage never answers a stop, but the interlock answers for it.
      {"stalled homing", "fault stall Y\npress PANEL_HOME_Y\nwait 3\n"},
      {"scan", std::string(kScan) + "until PANEL_IX == 1\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto r = run_session("start\nwatch PANEL_DZ\n" + c.before + kMark +
                         "estop\nuntil PANEL_SCANNING == 0 within 5\nwait 2\npress PANEL_READ\nwait 0.1\n"
                         "show PANEL_POS_X PANEL_POS_Y PANEL_POS_Z\n"
                         "set PANEL_TARGET_X 3\npress PANEL_GOTO_X\npress PANEL_HOME_Y\nwait 2\npress PANEL_READ\n"
                         "wait 0.1\nshow PANEL_POS_X PANEL_POS_Y PANEL_POS_Z\n"
                         "release\nset PANEL_TARGET_X 3\npress PANEL_GOTO_X\nwait 2\npress PANEL_READ\nwait 0.1\n"
                         "expect PANEL_POS_X == 3\nquit\n");
    ASSERT_EQ(r.status, 0) << r.text();
    const double engaged = time_of_mark(r);
    for (const std::string& s : {X, Y, Z}) {
      const auto stops = calls_at(r, "ISC_StopProfiled(" + s + ")");
      ASSERT_FALSE(stops.empty()) << s;
      EXPECT_EQ(stops.back().first, engaged) << s;
      EXPECT_EQ(stops.back().second, "estop");
    }
    // At rest within the deceleration (0.5 s from full speed) and not moved by the
    // go-to and the homing sent while engaged.
    const Lines at_rest = r.at("PANEL_POS_");
    ASSERT_EQ(at_rest.size(), 6u) << r.text();
    for (int k = 0; k < 3; k++) EXPECT_EQ(at_rest[k], at_rest[k + 3]);
    EXPECT_EQ(r.count("Homed..."), 0) << r.text();
    EXPECT_EQ(r.count("AXS timeout"), 0) << r.text();
    EXPECT_EQ(r.count("Device Disconnected..."), 3);
  }
}

// Start scan while the emergency stop holds: withheld from the program with the reason,
// whether pressed under it or queued before it (behind a homing the stop cuts short);
// no scan runs, nothing moves. After release a scan starts as ever.
TEST(EmergencyStop, StartScanIsRefusedWhileItHolds) {
  const std::string refusal = "Start scan refused: the emergency stop holds the stages (Release first)";
  struct Case {
    const char* what;
    std::string script;
  } cases[] = {
      {"pressed under it", "estop\n" + std::string(kScan) + "wait 2\n"},
      {"queued before it", "press PANEL_HOME_X\nwait 1\n" + std::string(kScan) + "estop\nwait 2\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto r = run_session("start\nwatch PANEL_SCANNING\n" + c.script +
                         "show PANEL_PROGRESS\nrelease\npress PANEL_STARTSCAN\nuntil PANEL_SCANNING == 0 within 60\n"
                         "expect PANEL_PROGRESS == 100\nquit\n");
    ASSERT_EQ(r.status, 0) << r.text();
    EXPECT_EQ(r.at("Start scan"), Lines{refusal}) << r.text();
    EXPECT_EQ(r.at("PANEL_PROGRESS"), Lines{"PANEL_PROGRESS = 0"}) << r.text();
    // The one scan that ran is the one after the release.
    std::vector<double> lit;
    for (const std::string& l : r.at(""))
      if (l.find(" PANEL_SCANNING = 1") != std::string::npos) lit.push_back(std::atof(l.c_str()));
    const auto released = calls_at(r, "SL_SetMotionInhibit(" + X + ", 0)");
    ASSERT_EQ(released.size(), 1u);
    ASSERT_FALSE(lit.empty());
    EXPECT_GE(lit.front(), released.front().first) << r.text();
    EXPECT_EQ(r.count("Device Disconnected..."), 3);
  }
}

}  // namespace
