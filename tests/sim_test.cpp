// Tests of the simulated stage library, through its C functions as the driver calls
// them, with the simulator's control interface for faults and for the truth behind
// the polled readouts. Every test runs on a virtual clock: the simulator's bus thread
// is a participant, so virtual seconds pass as soon as the test thread sleeps.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock/clock.h"
#include "platform/stagelib/stage_library.h"
#include "platform/stagesim/simulator.h"

namespace {

using namespace vx::sim;

constexpr const char* kX = "45388004";
constexpr const char* kY = "45387934";
constexpr const char* kZ = "45388034";
constexpr int kUnitsPerMm = 409600;
constexpr double kLatency = 0.005;

int mm(double v) { return static_cast<int>(std::llround(v * kUnitsPerMm)); }

struct Msg {
  WORD type, id;
  DWORD data;
  bool operator==(const Msg&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Msg& m) {
  return os << "[" << m.type << " " << m.id << " " << m.data << "]";
}

vx::Participant adopt_test_thread(vx::Clock& c) {
  vx::Participant p = c.enroll();
  p.adopt("test");
  return p;
}

class SimTest : public ::testing::Test {
 protected:
  // In this order: the clock and this thread's place in it exist before the
  // simulator enrols its bus thread, and outlive it.
  vx::VirtualClock clk;
  vx::ClockScope clock_scope{clk};
  vx::Participant me = adopt_test_thread(clk);
  Simulator sim;
  SimulatorScope sim_scope{sim};

  void at(double s) { clk.sleep_until(vx::from_seconds(s)); }
  double now() { return vx::to_seconds(clk.now()); }

  void open_polled(const char* s = kX) {
    ASSERT_EQ(ISC_Open(s), kOk);
    ASSERT_TRUE(ISC_StartPolling(s, 50));
  }
  void move_by(double d, const char* s = kX) {
    ASSERT_EQ(ISC_SetMoveRelativeDistance(s, mm(d)), kOk);
    ASSERT_EQ(ISC_MoveRelativeDistance(s), kOk);
  }
  void move_to(double p, const char* s = kX) {
    ASSERT_EQ(ISC_SetMoveAbsolutePosition(s, mm(p)), kOk);
    ASSERT_EQ(ISC_MoveAbsolute(s), kOk);
  }
  std::vector<Msg> take_all(const char* s = kX) {
    std::vector<Msg> v;
    Msg m{};
    while (ISC_GetNextMessage(s, &m.type, &m.id, &m.data)) v.push_back(m);
    return v;
  }
};

// The duration of a rest-to-rest move at 5 mm/s and 10 mm/s^2.
double move_time(double dist_mm) {
  const double d = std::abs(dist_mm);
  return d >= 2.5 ? 1.0 + (d - 2.5) / 5.0 : 2 * std::sqrt(d / 10.0);
}

TEST_F(SimTest, OpensKnownSerialsAndRefusesOthers) {
  EXPECT_EQ(ISC_Open(kX), kOk);
  EXPECT_TRUE(sim.is_open(kX));
  EXPECT_EQ(ISC_Open("12345678"), kErrNotFound);
  EXPECT_EQ(ISC_Open(nullptr), kErrNotFound);
  sim.fail_open(kY, 7);
  EXPECT_EQ(ISC_Open(kY), 7);
  EXPECT_FALSE(sim.is_open(kY));
  sim.fail_open(kY, 0);
  EXPECT_EQ(ISC_Open(kY), kOk);
  ISC_Close(kX);
  EXPECT_FALSE(sim.is_open(kX));
  EXPECT_TRUE(sim.is_open(kY));
  EXPECT_FALSE(sim.known("12345678"));
}

TEST_F(SimTest, CommandsToAStageThatIsNotOpenReturn3AndDoNothing) {
  ASSERT_EQ(ISC_Open(kX), kOk);
  ISC_Close(kX);  // kX: closed again; kY: never opened
  MOT_HomingParameters hp{MOT_Reverse, MOT_ReverseLimitSwitch, 1, 0};
  double real = 0;
  int units = 0;
  const std::vector<std::pair<const char*, std::function<short(const char*)>>> calls = {
      {"Home", ISC_Home},
      {"MoveAbsolute", ISC_MoveAbsolute},
      {"MoveRelativeDistance", ISC_MoveRelativeDistance},
      {"StopProfiled", ISC_StopProfiled},
      {"EnableChannel", ISC_EnableChannel},
      {"DisableChannel", ISC_DisableChannel},
      {"SetMoveAbsolutePosition", [](const char* s) { return ISC_SetMoveAbsolutePosition(s, 1000); }},
      {"SetMoveRelativeDistance", [](const char* s) { return ISC_SetMoveRelativeDistance(s, 1000); }},
      {"GetHomingParamsBlock", [&](const char* s) { return ISC_GetHomingParamsBlock(s, &hp); }},
      {"SetHomingParamsBlock", [&](const char* s) { return ISC_SetHomingParamsBlock(s, &hp); }},
      {"GetRealValueFromDeviceUnit", [&](const char* s) { return ISC_GetRealValueFromDeviceUnit(s, 1, &real, 0); }},
      {"GetDeviceUnitFromRealValue", [&](const char* s) { return ISC_GetDeviceUnitFromRealValue(s, 1.0, &units, 0); }},
  };
  for (const char* serial : {kX, kY, "12345678"}) {
    for (const auto& [name, call] : calls) EXPECT_EQ(call(serial), kErrNotOpen) << name << " " << serial;
    EXPECT_FALSE(ISC_StartPolling(serial, 50));
    EXPECT_FALSE(ISC_SetLEDswitches(serial, 0));
    ISC_ClearMessageQueue(serial);
  }
  sim.inject_message(kX, 2, 1);  // a closed stage has no queue to take it
  at(30);
  for (const char* serial : {kX, kY}) {
    EXPECT_EQ(sim.true_position(serial), 0) << serial;
    EXPECT_EQ(sim.true_status(serial), kEnabled) << serial;
    EXPECT_EQ(ISC_GetPosition(serial), 0);
    EXPECT_EQ(ISC_GetStatusBits(serial), 0u);
    EXPECT_EQ(ISC_GetNumberPositions(serial), 0);
    EXPECT_EQ(ISC_MessageQueueSize(serial), 0);
  }
  EXPECT_EQ(unsigned{hp.velocity}, 1u);  // not filled
}

// A stage the library has closed refuses every call but ISC_Open (and the device
// information, which needs no open stage), the emergency stop's inhibit included, and
// counts each: a program must make none. A stage never opened is not counted, and a
// stage opened again answers as ever.
TEST_F(SimTest, CallsOnAClosedStageAreRefusedAndCounted) {
  open_polled(kX);
  ISC_RegisterMessageCallback(kX, [] {});
  ISC_StopPolling(kX);
  ISC_Close(kX);
  EXPECT_EQ(sim.closed_calls(), 0);
  WORD type = 0, id = 0;
  DWORD data = 0;
  MOT_HomingParameters hp{};
  double real = 0;
  int units = 0;
  const std::vector<std::pair<const char*, std::function<void()>>> calls = {
      {"Home", [] { EXPECT_EQ(ISC_Home(kX), kErrNotOpen); }},
      {"SetMoveAbsolutePosition", [] { EXPECT_EQ(ISC_SetMoveAbsolutePosition(kX, 1000), kErrNotOpen); }},
      {"MoveAbsolute", [] { EXPECT_EQ(ISC_MoveAbsolute(kX), kErrNotOpen); }},
      {"SetMoveRelativeDistance", [] { EXPECT_EQ(ISC_SetMoveRelativeDistance(kX, 1000), kErrNotOpen); }},
      {"MoveRelativeDistance", [] { EXPECT_EQ(ISC_MoveRelativeDistance(kX), kErrNotOpen); }},
      {"StopProfiled", [] { EXPECT_EQ(ISC_StopProfiled(kX), kErrNotOpen); }},
      {"EnableChannel", [] { EXPECT_EQ(ISC_EnableChannel(kX), kErrNotOpen); }},
      {"DisableChannel", [] { EXPECT_EQ(ISC_DisableChannel(kX), kErrNotOpen); }},
      {"GetHomingParamsBlock", [&] { EXPECT_EQ(ISC_GetHomingParamsBlock(kX, &hp), kErrNotOpen); }},
      {"SetHomingParamsBlock", [&] { EXPECT_EQ(ISC_SetHomingParamsBlock(kX, &hp), kErrNotOpen); }},
      {"GetRealValueFromDeviceUnit", [&] { EXPECT_EQ(ISC_GetRealValueFromDeviceUnit(kX, 1, &real, 0), kErrNotOpen); }},
      {"GetDeviceUnitFromRealValue", [&] { EXPECT_EQ(ISC_GetDeviceUnitFromRealValue(kX, 1, &units, 0), kErrNotOpen); }},
      {"SetLEDswitches", [] { EXPECT_FALSE(ISC_SetLEDswitches(kX, 0)); }},
      {"StartPolling", [] { EXPECT_FALSE(ISC_StartPolling(kX, 50)); }},
      {"StopPolling", [] { ISC_StopPolling(kX); }},
      {"RegisterMessageCallback", [] { ISC_RegisterMessageCallback(kX, nullptr); }},
      {"MessageQueueSize", [] { EXPECT_EQ(ISC_MessageQueueSize(kX), 0); }},
      {"GetNextMessage", [&] { EXPECT_FALSE(ISC_GetNextMessage(kX, &type, &id, &data)); }},
      {"ClearMessageQueue", [] { ISC_ClearMessageQueue(kX); }},
      {"GetPosition", [] { EXPECT_EQ(ISC_GetPosition(kX), 0); }},
      {"GetStatusBits", [] { EXPECT_EQ(ISC_GetStatusBits(kX), 0u); }},
      {"GetNumberPositions", [] { EXPECT_EQ(ISC_GetNumberPositions(kX), 0); }},
      {"SetMotionInhibit", [] { EXPECT_EQ(SL_SetMotionInhibit(kX, 1), kErrNotOpen); }},
      {"GetMotionInhibit", [] { EXPECT_EQ(SL_GetMotionInhibit(kX), 0); }},
      {"Close", [] { ISC_Close(kX); }},
  };
  long long counted = 0;
  for (const auto& [name, call] : calls) {
    call();
    EXPECT_EQ(sim.closed_calls(), ++counted) << name;
  }
  EXPECT_FALSE(sim.true_status(kX) & kInterlock);  // the inhibit was refused too
  TLI_DeviceInfo info{};
  TLI_BuildDeviceList();
  EXPECT_EQ(TLI_GetDeviceInfo(kX, &info), kOk);
  EXPECT_EQ(ISC_Home(kY), kErrNotOpen);  // never opened: refused, not counted
  EXPECT_EQ(SL_SetMotionInhibit(kY, 0), kOk);
  ASSERT_EQ(ISC_Open(kX), kOk);
  EXPECT_EQ(ISC_EnableChannel(kX), kOk);
  EXPECT_EQ(sim.closed_calls(), counted);
}

TEST_F(SimTest, ReadoutsAreZeroBeforePollingAndChangeOnlyAtPollTicks) {
  ASSERT_EQ(ISC_Open(kX), kOk);
  sim.set_position(kX, mm(3));
  EXPECT_EQ(sim.true_position(kX), mm(3));
  EXPECT_EQ(ISC_GetPosition(kX), 0);
  EXPECT_EQ(ISC_GetStatusBits(kX), 0u);

  at(0.020);
  ASSERT_TRUE(ISC_StartPolling(kX, 50));  // ticks at 0.020, 0.070, 0.120, ...
  EXPECT_EQ(ISC_GetPosition(kX), mm(3));
  EXPECT_EQ(ISC_GetStatusBits(kX), kEnabled);

  at(0.030);
  move_by(10);
  at(0.069);
  EXPECT_EQ(ISC_GetPosition(kX), mm(3));
  EXPECT_EQ(ISC_GetStatusBits(kX), kEnabled);
  EXPECT_GT(sim.true_position(kX), mm(3));

  at(0.095);  // read between ticks: the state of the 0.070 tick, 0.04 s into the ramp
  const int p70 = ISC_GetPosition(kX);
  EXPECT_NEAR(p70, mm(3 + 10.0 * 0.04 * 0.04 / 2), 1);
  EXPECT_GT(sim.true_position(kX), p70);
  EXPECT_EQ(ISC_GetStatusBits(kX), kEnabled | kMovingForward | kCommandActive);
  at(0.119);
  EXPECT_EQ(ISC_GetPosition(kX), p70);
  at(0.120);
  const int p120 = ISC_GetPosition(kX);
  EXPECT_EQ(p120, sim.true_position(kX));

  at(0.125);
  ISC_StopPolling(kX);
  at(5.0);
  EXPECT_EQ(ISC_GetPosition(kX), p120);
  EXPECT_EQ(ISC_GetStatusBits(kX), kEnabled | kMovingForward | kCommandActive);
  EXPECT_EQ(sim.true_position(kX), mm(13));
}

TEST_F(SimTest, MovesFollowTheTrapezoidAndCompleteAfterTheLatency) {
  open_polled();
  // From the power-up position (counter 0, 25 mm from the reverse limit); rows run one
  // after another on the same stage.
  for (const double d : {1.0, 2.5, 20.0, -10.0}) {
    SCOPED_TRACE(d);
    const double t0 = now(), T = move_time(d);
    const int p0 = sim.true_position(kX);
    const DWORD moving = kEnabled | kCommandActive | (d > 0 ? kMovingForward : kMovingReverse);
    move_by(d);
    EXPECT_EQ(ISC_MessageQueueSize(kX), 0);  // never answered inside the command
    at(t0 + T / 2);
    EXPECT_NEAR(sim.true_position(kX), p0 + mm(d) / 2, 1);
    EXPECT_EQ(sim.true_status(kX), moving);
    at(t0 + T - 0.001);
    EXPECT_EQ(sim.true_status(kX), moving);
    EXPECT_NE(sim.true_position(kX), p0 + mm(d));
    at(t0 + T + 0.001);
    EXPECT_EQ(sim.true_position(kX), p0 + mm(d));
    EXPECT_EQ(sim.true_status(kX), kEnabled);
    at(t0 + T + kLatency - 0.001);
    EXPECT_EQ(ISC_MessageQueueSize(kX), 0);
    at(t0 + T + kLatency + 0.001);
    EXPECT_EQ(take_all(), (std::vector<Msg>{{kMsgMotor, kMsgMoved, 0}}));
    at(t0 + T + 0.051);  // the first poll tick after the end has seen it
    EXPECT_EQ(ISC_GetStatusBits(kX), kEnabled);
    EXPECT_EQ(ISC_GetPosition(kX), p0 + mm(d));
  }
}

TEST_F(SimTest, NullMovesCompleteAfterTheLatencyAndSurviveAClearRightAfter) {
  open_polled();
  const std::vector<std::pair<const char*, std::function<void()>>> rows = {
      {"relative 0", [&] { move_by(0); }},
      {"absolute to where it is", [&] { move_to(0); }},
  };
  for (const auto& [name, command] : rows) {
    SCOPED_TRACE(name);
    const double t0 = now();
    command();
    ISC_ClearMessageQueue(kX);  // as the driver does after a move: the answer is still to come
    EXPECT_EQ(ISC_MessageQueueSize(kX), 0);
    at(t0 + kLatency - 0.001);
    EXPECT_EQ(ISC_MessageQueueSize(kX), 0);
    at(t0 + kLatency);
    EXPECT_EQ(take_all(), (std::vector<Msg>{{kMsgMotor, kMsgMoved, 0}}));
    at(t0 + 1);
  }
}

TEST_F(SimTest, HomingRunsToTheReverseLimitAndZeroesTheCounter) {
  open_polled();
  MOT_HomingParameters hp{};
  ASSERT_EQ(ISC_GetHomingParamsBlock(kX, &hp), kOk);
  // Packed fields, compared as values: gtest would bind references to them.
  EXPECT_EQ(int{hp.direction}, MOT_Reverse);
  EXPECT_EQ(int{hp.limitSwitch}, MOT_ReverseLimitSwitch);
  EXPECT_EQ(unsigned{hp.velocity}, 2u * kUnitsPerMm);
  EXPECT_EQ(unsigned{hp.offsetDistance}, 0u);
  ASSERT_EQ(ISC_SetHomingParamsBlock(kX, &hp), kOk);

  ASSERT_EQ(ISC_Home(kX), kOk);
  EXPECT_EQ(ISC_MessageQueueSize(kX), 0);
  // 25 mm at 2 mm/s with 0.2 s ramps at each end.
  const double T = 0.4 + 24.6 / 2;
  at(1);
  EXPECT_EQ(sim.true_status(kX), kEnabled | kCommandActive | kMovingReverse | kHoming);
  EXPECT_LT(sim.true_position(kX), 0);
  at(T + 0.001);
  EXPECT_EQ(sim.true_position(kX), 0);
  EXPECT_EQ(sim.true_status(kX), kEnabled | kHomed | kReverseLimit);
  EXPECT_EQ(ISC_MessageQueueSize(kX), 0);
  at(T + kLatency + 0.001);
  EXPECT_EQ(take_all(), (std::vector<Msg>{{kMsgMotor, kMsgHomed, 0}}));

  move_to(10);  // the counter now counts from the reverse limit
  at(T + 10);
  EXPECT_EQ(sim.true_position(kX), mm(10));
  EXPECT_EQ(sim.true_status(kX), kEnabled | kHomed);
  EXPECT_EQ(ISC_GetPosition(kX), mm(10));
}

TEST_F(SimTest, ATargetBeyondTheTravelStopsAtTheLimitWithAStoppedMessage) {
  open_polled();
  struct Row {
    double from, target, end;  // counter mm: unhomed, the travel spans -25 .. 25
    DWORD limit;
    double hit;  // s: it runs into the switch at full speed
  };
  const Row rows[] = {
      {0, 30, 25, kForwardLimit, 0.5 + 23.75 / 5},
      {0, -40, -25, kReverseLimit, 0.5 + 23.75 / 5},
      {25, 26, 25, kForwardLimit, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.target);
    sim.set_position(kX, mm(r.from));
    const double t0 = now();
    move_to(r.target);
    if (r.hit > 0) {
      at(t0 + r.hit - 0.01);
      EXPECT_NE(sim.true_status(kX) & kCommandActive, 0u);
    }
    at(t0 + r.hit + 0.001);
    EXPECT_EQ(sim.true_position(kX), mm(r.end));
    EXPECT_EQ(sim.true_status(kX), kEnabled | r.limit);
    at(t0 + r.hit + kLatency + 0.001);
    EXPECT_EQ(take_all(), (std::vector<Msg>{{kMsgMotor, kMsgStopped, 0}}));
    at(t0 + r.hit + 1);
    EXPECT_EQ(ISC_MessageQueueSize(kX), 0);
    EXPECT_EQ(ISC_GetStatusBits(kX), kEnabled | r.limit);
  }
}

TEST_F(SimTest, AProfiledStopDeceleratesAndAnswersStopped) {
  open_polled();
  move_by(20);
  at(2);  // cruising at 5 mm/s
  const int p = sim.true_position(kX);
  ASSERT_EQ(ISC_StopProfiled(kX), kOk);
  at(2.25);
  EXPECT_EQ(sim.true_status(kX), kEnabled | kCommandActive | kMovingForward);
  at(2.501);  // 0.5 s to rest, 1.25 mm further
  EXPECT_NEAR(sim.true_position(kX), p + mm(1.25), 1);
  EXPECT_EQ(sim.true_status(kX), kEnabled);
  at(10);
  EXPECT_EQ(take_all(), (std::vector<Msg>{{kMsgMotor, kMsgStopped, 0}}));
}

TEST_F(SimTest, ANewMoveRestartsFromRestAtThePresentPosition) {
  open_polled();
  move_by(20);
  at(1);
  const int p = sim.true_position(kX);
  EXPECT_EQ(p, mm(3.75));  // 1.25 mm of ramp, then 0.5 s at 5 mm/s
  ASSERT_EQ(ISC_SetMoveAbsolutePosition(kX, p + mm(1)), kOk);
  ASSERT_EQ(ISC_MoveAbsolute(kX), kOk);
  at(1 + move_time(1) - 0.001);
  EXPECT_NE(sim.true_status(kX) & kMovingForward, 0u);
  at(1 + move_time(1) + 0.001);
  EXPECT_EQ(sim.true_position(kX), p + mm(1));
  at(10);
  EXPECT_EQ(take_all(), (std::vector<Msg>{{kMsgMotor, kMsgMoved, 0}}));  // the first one's is gone
}

TEST_F(SimTest, ADisabledStageDoesNotMoveAndDisablingStopsAtOnce) {
  open_polled();
  ASSERT_EQ(ISC_DisableChannel(kX), kOk);
  EXPECT_EQ(sim.true_status(kX), 0u);
  move_by(5);  // sent, and ignored
  EXPECT_EQ(ISC_Home(kX), kOk);
  at(1);
  EXPECT_EQ(sim.true_position(kX), 0);
  EXPECT_EQ(sim.true_status(kX), 0u);
  EXPECT_EQ(ISC_MessageQueueSize(kX), 0);

  ASSERT_EQ(ISC_EnableChannel(kX), kOk);
  move_by(20);
  at(2);
  const int p = sim.true_position(kX);
  ASSERT_EQ(ISC_DisableChannel(kX), kOk);
  at(10);
  EXPECT_EQ(sim.true_position(kX), p);
  EXPECT_EQ(sim.true_status(kX), 0u);
  EXPECT_EQ(ISC_MessageQueueSize(kX), 0);
  EXPECT_EQ(ISC_GetStatusBits(kX), 0u);
}

TEST_F(SimTest, ChannelFaults) {
  open_polled();
  for (const short code : {short{-1}, short{10}}) {
    sim.channel_return(kX, code);
    EXPECT_EQ(ISC_DisableChannel(kX), code);
    EXPECT_EQ(ISC_EnableChannel(kX), code);
    EXPECT_EQ(sim.true_status(kX), kEnabled);
  }
  sim.channel_return(kX, 0);

  const std::size_t traced = sim.trace().size();
  sim.power_disable(kX);  // as by hand: no library call
  EXPECT_EQ(sim.trace().size(), traced);
  EXPECT_EQ(sim.true_status(kX), 0u);
  at(0.05);
  EXPECT_EQ(ISC_GetStatusBits(kX), 0u);
  EXPECT_EQ(ISC_EnableChannel(kX), kOk);
  EXPECT_EQ(sim.true_status(kX), kEnabled);
}

TEST_F(SimTest, AStalledStageAcceptsCommandsButNeverMovesOrCompletes) {
  open_polled();
  move_by(20);
  at(1);
  const int p = sim.true_position(kX);
  sim.stall(kX);  // stalls mid-move: it stops there, the command never ends
  EXPECT_EQ(sim.true_status(kX), kEnabled | kCommandActive);
  EXPECT_EQ(ISC_Home(kX), kOk);
  move_by(1);
  at(30);
  EXPECT_EQ(sim.true_position(kX), p);
  EXPECT_EQ(ISC_GetStatusBits(kX), kEnabled | kCommandActive);
  EXPECT_EQ(ISC_MessageQueueSize(kX), 0);

  sim.stall(kX, false);
  EXPECT_EQ(sim.true_status(kX), kEnabled);
  move_by(1);
  at(31);
  EXPECT_EQ(sim.true_position(kX), p + mm(1));
  EXPECT_EQ(take_all(), (std::vector<Msg>{{kMsgMotor, kMsgMoved, 0}}));
}

TEST_F(SimTest, InjectedMessagesArriveAtOnceAndAreTakenOldestFirst) {
  open_polled();
  Msg m{77, 77, 77};
  EXPECT_FALSE(ISC_GetNextMessage(kX, &m.type, &m.id, &m.data));
  EXPECT_EQ(m, (Msg{77, 77, 77}));  // nothing filled

  sim.inject_message(kX, 2, 7, 42);
  sim.inject_message(kX, 0, 3);
  EXPECT_EQ(ISC_MessageQueueSize(kX), 2);
  EXPECT_EQ(take_all(), (std::vector<Msg>{{2, 7, 42}, {0, 3, 0}}));
  sim.inject_message(kX, 2, 1);
  ISC_ClearMessageQueue(kX);
  EXPECT_EQ(ISC_MessageQueueSize(kX), 0);
}

TEST_F(SimTest, DroppedCompletionsAreLost) {
  open_polled();
  sim.drop_completions(kX, 1);
  move_by(1);
  at(2);
  EXPECT_EQ(ISC_MessageQueueSize(kX), 0);
  move_by(1);
  at(4);
  EXPECT_EQ(take_all(), (std::vector<Msg>{{kMsgMotor, kMsgMoved, 0}}));

  sim.drop_completions(kX, -1);  // every kind, for good
  move_by(1);
  at(6);
  ASSERT_EQ(ISC_StopProfiled(kX), kOk);
  ASSERT_EQ(ISC_Home(kX), kOk);
  sim.inject_message(kX, 2, 9);  // not a completion: kept
  at(30);
  EXPECT_EQ(take_all(), (std::vector<Msg>{{2, 9, 0}}));
}

TEST_F(SimTest, DelayedCompletionsArriveLateAndAClearLeavesThemPending) {
  open_polled();
  sim.delay_completions(kX, 2.0);
  move_by(1);
  const double T = move_time(1);
  at(T + 0.5);
  ISC_ClearMessageQueue(kX);
  at(T + kLatency + 2.0 - 0.001);
  EXPECT_EQ(ISC_MessageQueueSize(kX), 0);
  at(T + kLatency + 2.0 + 0.001);
  EXPECT_EQ(take_all(), (std::vector<Msg>{{kMsgMotor, kMsgMoved, 0}}));
}

struct CallbackLog {
  std::mutex m;
  std::vector<std::pair<vx::Time, std::string>> calls;
};
CallbackLog& callback_log() {
  static CallbackLog log;
  return log;
}
void record_callback() {
  CallbackLog& log = callback_log();
  std::lock_guard lk(log.m);
  log.calls.emplace_back(vx::clock().now(), vx::thread_name());
}
std::vector<std::pair<vx::Time, std::string>> take_callbacks() {
  CallbackLog& log = callback_log();
  std::lock_guard lk(log.m);
  return std::exchange(log.calls, {});
}

TEST_F(SimTest, TheCallbackRunsOnTheBusAtEachMessagesArrival) {
  open_polled();
  take_callbacks();
  ISC_RegisterMessageCallback(kX, record_callback);
  move_by(1);
  at(0.1);
  sim.inject_message(kX, 2, 5);
  at(5);
  const vx::Time done = vx::from_seconds(move_time(1)) + vx::from_seconds(kLatency);
  const auto calls = take_callbacks();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].first, vx::from_seconds(0.1));
  EXPECT_NEAR(vx::to_seconds(calls[1].first - done), 0, 1e-6);
  for (const auto& c : calls) EXPECT_EQ(c.second, "stage-bus");

  ISC_RegisterMessageCallback(kX, nullptr);
  move_by(1);
  at(10);
  EXPECT_TRUE(take_callbacks().empty());
}

TEST_F(SimTest, TracesTheDriversConnectionSequenceInOrder) {
  std::vector<TraceEntry> sunk;
  sim.set_trace_sink([&](const TraceEntry& e) { sunk.push_back(e); });
  // The connection sequence with its pauses, then one homing and its wait.
  TLI_BuildDeviceList();
  TLI_DeviceInfo info{};
  for (const char* s : {kX, kY, kZ}) {
    TLI_GetDeviceInfo(s, &info);
    clk.sleep_for(vx::from_millis(100));
    ISC_Open(s);
    clk.sleep_for(vx::from_millis(1000));
    ISC_SetLEDswitches(s, 0);
    clk.sleep_for(vx::from_millis(100));
    ISC_StartPolling(s, 50);
    clk.sleep_for(vx::from_millis(1000));
  }
  ISC_RegisterMessageCallback(kX, record_callback);
  MOT_HomingParameters hp{};
  ISC_GetHomingParamsBlock(kX, &hp);
  hp.direction = MOT_Reverse;
  ISC_SetHomingParamsBlock(kX, &hp);
  ISC_ClearMessageQueue(kX);
  ISC_Home(kX);
  at(20);
  ISC_MessageQueueSize(kX);
  WORD type, id;
  DWORD data;
  ISC_GetNextMessage(kX, &type, &id, &data);
  ISC_GetNextMessage(kX, &type, &id, &data);
  ISC_GetStatusBits(kX);
  ISC_StopPolling(kX);
  ISC_Close(kX);
  take_callbacks();

  const std::string d = " = 0 [Integrated stepper stage (simulated)]";
  const std::vector<std::string> expected = {
      "TLI_BuildDeviceList() = 0",
      "TLI_GetDeviceInfo(45388004)" + d,
      "ISC_Open(45388004) = 0",
      "ISC_SetLEDswitches(45388004, 0) = 1",
      "ISC_StartPolling(45388004, 50) = 1",
      "TLI_GetDeviceInfo(45387934)" + d,
      "ISC_Open(45387934) = 0",
      "ISC_SetLEDswitches(45387934, 0) = 1",
      "ISC_StartPolling(45387934, 50) = 1",
      "TLI_GetDeviceInfo(45388034)" + d,
      "ISC_Open(45388034) = 0",
      "ISC_SetLEDswitches(45388034, 0) = 1",
      "ISC_StartPolling(45388034, 50) = 1",
      "ISC_RegisterMessageCallback(45388004, callback)",
      "ISC_GetHomingParamsBlock(45388004) = 0 [direction=2 limitSwitch=1 velocity=819200 offset=0]",
      "ISC_SetHomingParamsBlock(45388004, direction=2 limitSwitch=1 velocity=819200 offset=0) = 0",
      "ISC_ClearMessageQueue(45388004)",
      "ISC_Home(45388004) = 0",
      "ISC_MessageQueueSize(45388004) = 1",
      "ISC_GetNextMessage(45388004) = 1 [2 0 0]",
      "ISC_GetNextMessage(45388004) = 0",
      "ISC_GetStatusBits(45388004) = 0x80000402",
      "ISC_StopPolling(45388004)",
      "ISC_Close(45388004)",
  };
  const std::vector<TraceEntry> trace = sim.trace();
  std::vector<std::string> calls;
  for (const TraceEntry& e : trace) calls.push_back(e.call);
  EXPECT_EQ(calls, expected);
  ASSERT_EQ(sunk.size(), trace.size());
  for (std::size_t i = 0; i < trace.size(); ++i) {
    EXPECT_EQ(sunk[i].call, trace[i].call);
    EXPECT_EQ(sunk[i].time, trace[i].time);
    EXPECT_EQ(trace[i].thread, "test");
  }
  // Each axis takes 2.2 s; Y's open comes 0.1 s into its turn.
  EXPECT_EQ(trace[6].time, vx::from_millis(2300));
  EXPECT_EQ(trace[13].time, vx::from_millis(6600));
  sim.clear_trace();
  EXPECT_TRUE(sim.trace().empty());
}

TEST_F(SimTest, UnitConversionsScaleEveryUnitTypeByUnitsPerMm) {
  ASSERT_EQ(ISC_Open(kX), kOk);
  EXPECT_EQ(ISC_GetNumberPositions(kX), 50 * kUnitsPerMm);
  for (const int type : {0, 1, 2}) {
    SCOPED_TRACE(type);
    for (const auto& [units, real] : std::vector<std::pair<int, double>>{{409600, 1.0}, {-614400, -1.5}, {0, 0.0}}) {
      double r = 99;
      EXPECT_EQ(ISC_GetRealValueFromDeviceUnit(kX, units, &r, type), kOk);
      EXPECT_EQ(r, real);
      int u = 99;
      EXPECT_EQ(ISC_GetDeviceUnitFromRealValue(kX, real, &u, type), kOk);
      EXPECT_EQ(u, units);
    }
    int u = 0;
    EXPECT_EQ(ISC_GetDeviceUnitFromRealValue(kX, 0.001, &u, type), kOk);
    EXPECT_EQ(u, 410);  // to the nearest unit
  }
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (const double bad : {nan, inf, -inf, 1e10, -1e10, 5243.0}) {
    int u = 99;
    EXPECT_EQ(ISC_GetDeviceUnitFromRealValue(kX, bad, &u, 0), kErrBadParam) << bad;
    EXPECT_EQ(u, 99);
  }
  double r = 0;
  int u = 0;
  for (const int type : {-1, 3}) {
    EXPECT_EQ(ISC_GetRealValueFromDeviceUnit(kX, 1, &r, type), kErrBadParam);
    EXPECT_EQ(ISC_GetDeviceUnitFromRealValue(kX, 1.0, &u, type), kErrBadParam);
  }
  EXPECT_EQ(ISC_GetRealValueFromDeviceUnit(kX, 1, nullptr, 0), kErrBadParam);
  EXPECT_EQ(ISC_GetDeviceUnitFromRealValue(kX, 1.0, nullptr, 0), kErrBadParam);
}

TEST_F(SimTest, DeviceInfoNeedsTheDeviceListAndAKnownSerial) {
  TLI_DeviceInfo untouched;
  std::memset(&untouched, 0xAB, sizeof untouched);
  TLI_DeviceInfo info = untouched;
  EXPECT_EQ(TLI_GetDeviceInfo(kX, &info), kErrNotFound);  // before the device list
  EXPECT_EQ(std::memcmp(&info, &untouched, sizeof info), 0);

  ASSERT_EQ(TLI_BuildDeviceList(), kOk);
  sim.fail_info(kY);
  for (const char* s : {"12345678", kY}) {
    EXPECT_EQ(TLI_GetDeviceInfo(s, &info), kErrNotFound) << s;
    EXPECT_EQ(std::memcmp(&info, &untouched, sizeof info), 0);
  }
  ASSERT_EQ(TLI_GetDeviceInfo(kX, &info), kOk);
  EXPECT_STREQ(info.description, "Integrated stepper stage (simulated)");
  EXPECT_STREQ(info.serialNo, kX);
  EXPECT_EQ(int{info.motorType}, MOT_StepperMotor);  // a packed field: compared as a value
}

}  // namespace
