// The shutdown sequence that both hosts run on a signal or a closed window, headless on
// virtual time: the real program on the simulated stages, ended from each state it can
// be in. It must return 0 within two seconds, with the stages closed by its own way out
// and never called after their close.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "driver/axs.h"
#include "panel/Varnix_ui.h"
#include "platform/clock/clock.h"
#include "platform/entry/entry.h"
#include "platform/runtime/runtime.h"
#include "platform/shutdown/shutdown.h"
#include "platform/stagesim/simulator.h"

namespace {

using namespace std::chrono_literals;

enum class State { Rest, Homing, Scan, QuitDroppedByAScan, ScanWithItsLampPutOut };

struct Case {
  const char* name;
  State state;
};
// The case's name, so that a test's full name (and CTest's) is the same in every run.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class Shutdown : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    me_.adopt("test");
    program_ = std::thread([this, token = clk_.enroll()]() mutable {
      token.adopt("main");
      code_ = vx::run_program_entry();
      ended_ = true;
    });
    clk_.sleep_for(7s);  // start-up: the three stages are opened, 6.6 s
    ASSERT_NE(rt_.main_panel(), 0);
  }
  void TearDown() override {
    if (!ended_) std::abort();  // its thread cannot be joined
    program_.join();
  }

  int panel() { return rt_.main_panel(); }
  double value(int id) { return rt_.value(panel(), id)->number(); }
  void press(int id) { rt_.commit(panel(), id); }

  void start_scan() {
    for (int id : {PANEL_NX, PANEL_NY}) rt_.set_value(panel(), id, vx::rt::Value::of(4));
    rt_.set_value(panel(), PANEL_NZ, vx::rt::Value::of(1));
    press(PANEL_STARTSCAN);
  }

  vx::VirtualClock clk_;
  vx::ClockScope clock_scope_{clk_};
  vx::Participant me_ = clk_.enroll();  // before the simulator's bus thread exists
  vx::sim::Simulator sim_;
  vx::sim::SimulatorScope sim_scope_{sim_};
  vx::rt::Runtime rt_;
  vx::rt::RuntimeScope rt_scope_{rt_};
  std::thread program_;
  std::atomic<bool> ended_{false};
  std::atomic<int> code_{-99};
};

TEST_P(Shutdown, EndsTheProgramWithinTwoSecondsClosingTheStages) {
  switch (GetParam().state) {
    case State::Rest:
      break;
    case State::Homing:
      press(PANEL_HOME_X);
      clk_.sleep_for(1s);
      ASSERT_TRUE(sim_.true_status(serialNumbers[0]) & vx::sl::kHoming);
      break;
    case State::Scan:
      start_scan();
      clk_.sleep_for(2s);
      ASSERT_EQ(value(PANEL_SCANNING), 1);
      break;
    case State::QuitDroppedByAScan:
      start_scan();
      press(PANEL_QUIT);  // taken while the scan runs: dropped
      clk_.sleep_for(1s);
      ASSERT_EQ(value(PANEL_SCANNING), 1);
      break;
    case State::ScanWithItsLampPutOut:
      // The quit is taken while the worker runs: the program must stop it and wait.
      start_scan();
      clk_.sleep_for(2s);
      rt_.set_value(panel(), PANEL_SCANNING, vx::rt::Value::of(0));
      break;
  }
  vx::shutdown::Shutdown sequence(rt_);
  sequence.begin();
  for (int polls = 0; !ended_ && polls < 20; polls++) {
    sequence.step();
    clk_.sleep_for(100ms);
  }
  ASSERT_TRUE(ended_) << "still running 2 s after the shutdown began";
  EXPECT_EQ(code_, 0);
  for (const char* serial : serialNumbers) EXPECT_FALSE(sim_.is_open(serial)) << serial;
  EXPECT_EQ(rt_.unfinished_functions(), 0);  // no worker outlived the program
  EXPECT_EQ(sim_.closed_calls(), 0);
  if (GetParam().state == State::Homing) {
    EXPECT_FALSE(sim_.true_status(serialNumbers[0]) & vx::sl::kHomed);
  }
  if (GetParam().state == State::Scan || GetParam().state == State::ScanWithItsLampPutOut) {
    EXPECT_LT(value(PANEL_PROGRESS), 100);
  }
}

INSTANTIATE_TEST_SUITE_P(States, Shutdown,
                         ::testing::Values(Case{"AtRest", State::Rest}, Case{"DuringAHoming", State::Homing},
                                           Case{"DuringAScan", State::Scan},
                                           Case{"AfterAQuitTheScanDropped", State::QuitDroppedByAScan},
                                           Case{"DuringAScanWhoseLampWasPutOut", State::ScanWithItsLampPutOut}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
