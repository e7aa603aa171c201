// Motion: the completion waits and their time-out timer (on the virtual clock, in
// process), the motion commands' library calls, and the axis command controls end to
// end through the session runner.
#include <gtest/gtest.h>

#include <thread>

#include "driver/axs.h"
#include "platform/clock/clock.h"
#include "platform/runtime/runtime.h"
#include "platform/stagesim/simulator.h"
#include "tests/session_harness.h"
#include "tests/virtual_time.h"

using namespace std::chrono_literals;
using vxtest::run_session;
using Lines = std::vector<std::string>;

namespace {

const char* const X = "45388004";

// X opened and polling, on a virtual clock with a run-time and the simulator.
struct Waits : vxtest::OnVirtualTime {
  vx::sim::Simulator sim;
  vx::sim::SimulatorScope ss{sim};
  vx::rt::Runtime rt;
  vx::rt::RuntimeScope rs{rt};

  void SetUp() override {
    // The timeout panel of an earlier test's run-time is gone with it.
    pth = 0;
    tctrl = 0;
    TLI_BuildDeviceList();
    ASSERT_EQ(ISC_Open(X), 0);
    ISC_StartPolling(X, 50);
    clk.sleep_for(100ms);
  }
  void TearDown() override { ISC_Close(X); }

  Lines output(const std::function<void()>& fn) {
    testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    std::istringstream in(testing::internal::GetCapturedStdout());
    Lines out;
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
  }
  void expect_disarmed() {
    EXPECT_EQ(rt.timer_enabled(pth, tctrl), std::optional<bool>(false));
    EXPECT_EQ(AXSTimerOut.load(), 0);
  }
};

TEST_F(Waits, ACompletionAlreadyQueuedIsTakenWithoutSleeping) {
  ISC_MoveAbsolute(X);  // a null move: completes after the bus latency
  clk.sleep_for(20ms);
  const vx::Time before = clk.now();
  EXPECT_EQ(AXS_waitMove(0, 10000), 1);
  EXPECT_EQ(clk.now(), before);
  EXPECT_EQ(ISC_MessageQueueSize(X), 0);
  expect_disarmed();
}

TEST_F(Waits, EachWaitEndsOnlyOnItsOwnCompletionAndConsumesTheOther) {
  sim.inject_message(X, 2, 1);
  ISC_Home(X);
  const Lines home = output([&] { EXPECT_EQ(AXS_waitHome(0, 180000), 1); });
  ASSERT_EQ(home.size(), 2u);
  EXPECT_EQ(home[0].substr(0, 11), "axis [0] po");
  EXPECT_NE(home[0].find("messageType 2, messageId 1"), std::string::npos);
  EXPECT_EQ(home[1], "axis [0] pos: 0.000000 messageType 2, messageId 0");
  EXPECT_EQ(ISC_MessageQueueSize(X), 0);

  sim.inject_message(X, 2, 0);
  ISC_MoveAbsolute(X);
  const Lines move = output([&] { EXPECT_EQ(AXS_waitMove(0, 10000), 1); });
  EXPECT_TRUE(move.empty());
  EXPECT_EQ(ISC_MessageQueueSize(X), 0);
  expect_disarmed();
}

TEST_F(Waits, TimeOutsReportTheLastMessageTakenAndFireOnTime) {
  sim.stall(X);
  struct Case {
    std::function<void()> before;
    const char* type_id;
  } cases[] = {
      {[] {}, "messageType 0, messageId 0"},
      {[&] { sim.inject_message(X, 3, 7); }, "messageType 3, messageId 7"},
  };
  for (const Case& c : cases) {
    c.before();
    const vx::Time start = clk.now();
    const Lines out = output([&] { EXPECT_EQ(AXS_waitMove(0, 10000), 0); });
    EXPECT_EQ(clk.now() - start, vx::Time(10s));
    EXPECT_EQ(out, (Lines{"AXS timeout", std::string("Timeout in axis [0] pos: 0.000000 ") + c.type_id}));
    expect_disarmed();
  }
}

TEST_F(Waits, ATimeOutWinsOverAMessageThatIsWaiting) {
  sim.delay_completions(X, 9.9);
  ISC_MoveAbsolute(X);
  const Lines out = output([&] { EXPECT_EQ(AXS_waitMove(0, 10000), 0); });
  EXPECT_EQ(out.back(), "Timeout in axis [0] pos: 0.000000 messageType 0, messageId 0");
  EXPECT_EQ(ISC_MessageQueueSize(X), 1);
  expect_disarmed();
}

TEST_F(Waits, ArmingSetsTheIntervalAndLaterWaitsReuseTheTimer) {
  AXS_Tmlnk(10000);
  const int panel = pth, timer = tctrl;
  const size_t panels = rt.panels().size();
  EXPECT_EQ(rt.timer_interval(pth, tctrl)->d, 10.0);
  EXPECT_EQ(rt.timer_enabled(pth, tctrl), std::optional<bool>(true));
  AXS_Tmulk();
  AXS_Tmlnk(180000);
  EXPECT_EQ(rt.timer_interval(pth, tctrl)->d, 180.0);
  AXS_Tmulk();
  EXPECT_EQ(pth, panel);
  EXPECT_EQ(tctrl, timer);
  EXPECT_EQ(rt.panels().size(), panels);
  expect_disarmed();
}

TEST_F(Waits, AWaitTimesOutOnWhicheverThreadItRuns) {
  sim.stall(X);
  // The first wait of the run happens on another thread.
  std::thread other = spawn("other", [&] { EXPECT_EQ(AXS_waitMove(0, 10000), 0); });
  clk.sleep_for(11s);
  other.join();
  const vx::Time start = clk.now();
  EXPECT_EQ(AXS_waitMove(0, 10000), 0);
  EXPECT_EQ(clk.now() - start, vx::Time(10s));
}

TEST_F(Waits, EnableHandsOnTheLibrarysCode) {
  EXPECT_EQ(AXS_Enable(0), 0);
  sim.channel_return(X, -1);
  EXPECT_EQ(AXS_Enable(0), -1);
  EXPECT_EQ(AXS_Disable(0), -1);
}

// ---- commands end to end ----------------------------------------------------------------

TEST(Commands, GotoSendsTruncatedDeviceUnits) {
  struct Case {
    const char* mm;
    const char* units;
  } cases[] = {{"5.1", "2088959"}, {"19.99", "8187903"}, {"-5.1", "-2088959"}, {"12.5", "5120000"}};
  for (const Case& c : cases) {
    auto r = run_session(std::string("start\nset PANEL_TARGET_X ") + c.mm + "\npress PANEL_GOTO_X\nwait 15\nquit\n");
    EXPECT_EQ(r.calls("ISC_SetMoveAbsolutePosition"),
              Lines{std::string("ISC_SetMoveAbsolutePosition(45388004, ") + c.units + ") = 0"})
        << r.text();
  }
}

TEST(Commands, AJogIssuesTargetMoveAndClearWithoutWaiting) {
  auto r = run_session("start\npress PANEL_JOG_X_PLUS\npress PANEL_JOG_X_PLUS\nwait 1\nquit\n");
  const Lines moves = r.calls("ISC_SetMoveRelativeDistance");
  EXPECT_EQ(moves, (Lines{"ISC_SetMoveRelativeDistance(45388004, 409600) = 0",
                          "ISC_SetMoveRelativeDistance(45388004, 409600) = 0"}));
  // The second move goes out 1 ms after the first: nothing waited in between.
  Lines order;
  for (const auto& t : r.trace()) {
    if (t.find("Relative") != std::string::npos || t.find("ClearMessageQueue") != std::string::npos ||
        t.find("MessageQueueSize") != std::string::npos)
      order.push_back(t);
  }
  ASSERT_EQ(order.size(), 6u) << r.text();
  EXPECT_EQ(order[0].substr(0, 5), "6.601");
  EXPECT_NE(order[1].find("ISC_MoveRelativeDistance(45388004)"), std::string::npos);
  EXPECT_NE(order[2].find("ISC_ClearMessageQueue(45388004)"), std::string::npos);
  EXPECT_EQ(order[3].substr(0, 5), "6.602");
}

TEST(Commands, HomingWritesReverseEveryTimeAndReportsEachMessage) {
  auto r = run_session("start\npress PANEL_HOME_X\nwait 30\npress PANEL_HOME_X\nwait 30\nquit\n");
  ASSERT_EQ(r.status, 0) << r.text();
  const Lines sets = r.calls("ISC_SetHomingParamsBlock");
  ASSERT_EQ(sets.size(), 2u);
  for (const auto& s : sets) EXPECT_NE(s.find("direction=2"), std::string::npos) << s;
  Lines order;
  for (const auto& c : r.calls("")) {
    for (const char* name : {"ISC_GetHomingParamsBlock", "ISC_SetHomingParamsBlock", "ISC_ClearMessageQueue", "ISC_Home("})
      if (c.rfind(name, 0) == 0) order.push_back(name);
  }
  EXPECT_EQ(Lines(order.begin(), order.begin() + 4),
            (Lines{"ISC_GetHomingParamsBlock", "ISC_SetHomingParamsBlock", "ISC_ClearMessageQueue", "ISC_Home("}));
  EXPECT_EQ(r.count("Start Homing..."), 2);
  EXPECT_EQ(r.count("axis [0] pos: 0.000000 messageType 2, messageId 0"), 2);
  EXPECT_EQ(r.count("Homed..."), 2);
}

TEST(Commands, AHomingThatTimesOutIsNotReportedHomed) {
  auto r = run_session("fault stall X\nstart\npress PANEL_HOME_X\nwait 200\nquit\n", "");
  ASSERT_EQ(r.status, 0) << r.text();
  const Lines p = r.program();
  const Lines want = {"Start Homing...", "AXS timeout", "Timeout in axis [0] pos: 0.000000 messageType 0, messageId 0"};
  EXPECT_EQ(Lines(p.begin() + 6, p.begin() + 9), want) << r.text();
  EXPECT_EQ(r.count("Homed..."), 0);
}

TEST(Commands, ATargetWithoutDeviceUnitsIsRefused) {
  for (const char* target : {"6000", "-1e300", "inf", "nan"}) {
    auto r = run_session(std::string("start\nset PANEL_TARGET_Y ") + target + "\npress PANEL_GOTO_Y\nwait 1\nquit\n");
    EXPECT_TRUE(r.calls("ISC_SetMoveAbsolutePosition").empty()) << r.text();
    EXPECT_TRUE(r.calls("ISC_MoveAbsolute").empty());
    EXPECT_TRUE(r.calls("ISC_MessageQueueSize").empty());
    int refused = 0;
    for (const auto& l : r.program())
      refused += l.rfind("Move refused: axis [1] target ", 0) == 0;
    EXPECT_EQ(refused, 1) << r.text();
  }
}

TEST(Commands, GotoAllGoesOnAfterAStalledAxisReadingEachTargetLate) {
  auto r = run_session(
      "fault stall X\nstart\nset PANEL_TARGET_X 1\nset PANEL_TARGET_Y 2\nset PANEL_TARGET_Z 3\n"
      "press PANEL_GOTO_ALL\nwait 5\nset PANEL_TARGET_Y 4\nwait 20\nquit\n");
  ASSERT_EQ(r.status, 0) << r.text();
  EXPECT_EQ(r.calls("ISC_SetMoveAbsolutePosition"),
            (Lines{"ISC_SetMoveAbsolutePosition(45388004, 409600) = 0",
                   "ISC_SetMoveAbsolutePosition(45387934, 1638400) = 0",
                   "ISC_SetMoveAbsolutePosition(45388034, 1228800) = 0"}))
      << r.text();
  EXPECT_EQ(r.count("Timeout in axis [0] pos: 0.000000 messageType 0, messageId 0"), 1);
}

TEST(Commands, ResetSaysNotImplementedAndDoesNothingElse) {
  auto r = run_session("start\nwait 0.1\npress PANEL_RESET_1\npress PANEL_RESET_2\npress PANEL_RESET_3\nwait 0.1\nquit\n");
  EXPECT_EQ(r.count("RST Not yet implemented"), 3);
  for (const auto& c : r.calls(""))
    EXPECT_TRUE(c.find("GetPosition") != std::string::npos || c.find("GetStatusBits") != std::string::npos ||
                c.find("Open") != std::string::npos || c.find("Close") != std::string::npos ||
                c.find("Polling") != std::string::npos || c.find("TLI_") == 0 || c.find("LED") != std::string::npos ||
                c.find("Callback") != std::string::npos || c.find("DisplayPanel") == 0)
        << c;
}

TEST(Commands, TicksDuringALongHomeAreServedAfterItOneRefreshEach) {
  auto r = run_session("start\nwait 0.1\npress PANEL_HOME_X\nwait 30\nquit\n");
  ASSERT_EQ(r.count("Homed..."), 1) << r.text();
  double homed_at = 0;
  std::vector<double> refreshes;
  for (const auto& t : r.trace()) {
    const double time = std::stod(t.substr(0, t.find(' ')));
    if (t.find("ISC_GetNextMessage(45388004)") != std::string::npos) homed_at = time;
    if (t.find("ISC_GetPosition(45388004)") != std::string::npos) refreshes.push_back(time);
  }
  // The panel timer ticks at every multiple of 0.5 s; those that fell due between the
  // press (6.7 s) and the end of the homing each queued one refresh, served 1 ms apart.
  const int ticks = static_cast<int>(homed_at * 2) - 13;
  int served = 0;
  for (double t : refreshes) served += t > homed_at && t < homed_at + 0.001 * (ticks + 1);
  EXPECT_GT(ticks, 20);
  EXPECT_EQ(served, ticks) << r.text();
}

}  // namespace
