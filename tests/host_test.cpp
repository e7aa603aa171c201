// The headless host on virtual time: the real program on the simulated stages, acted on
// and watched the way every front end does it. What the host decides (the checks of an
// operator's values, the activity's headline, whether anything is active, the popups'
// answer, the way out) is tested here once for all of them.
#include "platform/host/host.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <mutex>
#include <ostream>
#include <vector>

#include "driver/axs.h"
#include "panel/Varnix_ui.h"
#include "platform/estop/estop.h"
#include "platform/stagesim/simulator.h"

namespace vx::host {
// Test names that stay the same from run to run.
void PrintTo(Popups p, std::ostream* os) { *os << (p == Popups::Wait ? "Wait" : "Answer"); }
}  // namespace vx::host

namespace {

using namespace std::chrono_literals;
using vx::host::Checked;

// What the observers were told, in order.
struct Heard final : vx::host::Observer {
  std::mutex mu;
  std::vector<std::string> popups;
  int ended = -99;
  int scans_ended = 0;
  std::vector<long long> read;  // the points whose readings were told
  void scan_ended(const vx::scanwatch::Snapshot&) override {
    std::lock_guard lk(mu);
    scans_ended++;
  }
  void point_read(const vx::scanwatch::PointReading& r) override {
    std::lock_guard lk(mu);
    read.push_back(r.point.point);
  }
  void popup(std::uint64_t, const std::string& title, const std::string& message) override {
    std::lock_guard lk(mu);
    popups.push_back(title + ": " + message);
  }
  void program_ended(int code) override {
    std::lock_guard lk(mu);
    ended = code;
  }
};

class HostTest : public ::testing::Test {
 protected:
  explicit HostTest(vx::host::Popups popups = vx::host::Popups::Answer)
      : host_(clk_, [&] {
          vx::host::Options o;
          o.popups = popups;
          return o;
        }()) {
    me_.adopt("test");
    host_.subscribe(heard_);
    host_.start();
    // Start-up opens the three stages in 6.6 s; then off the panel timer's ticks, whose
    // refreshes keep the program busy for a millisecond.
    clk_.sleep_for(7123ms);
  }
  ~HostTest() override {
    if (vx::host::Host::engaged()) host_.release();
    // The program's own way out, as every front end ends it.
    host_.begin_shutdown();
    for (int polls = 0; !host_.ended() && polls < 50; polls++) {
      host_.shutdown_step();
      clk_.sleep_for(100ms);
    }
    if (!host_.ended()) std::abort();  // its thread cannot be joined
    EXPECT_EQ(host_.exit_code(), 0);
    EXPECT_EQ(heard_.ended, 0);
    for (const char* serial : serialNumbers) EXPECT_FALSE(sim_.is_open(serial)) << serial;
  }

  double value(int id) { return host_.runtime()->value(host_.main_panel(), id)->number(); }

  vx::VirtualClock clk_;
  vx::ClockScope clock_scope_{clk_};
  vx::Participant me_ = clk_.enroll();  // before the simulator's bus thread exists
  vx::sim::Simulator sim_;
  vx::sim::SimulatorScope sim_scope_{sim_};
  Heard heard_;
  vx::host::Host host_;
};

TEST_F(HostTest, ReadsWhatTheProgramDoesAndStopsEverything) {
  vx::host::Reading r = host_.read();
  EXPECT_EQ(r.activity.state, "idle");
  EXPECT_FALSE(r.active());
  for (const auto& a : r.live) EXPECT_EQ(vx::observe::words_text(a), "idle") << a.axis;

  EXPECT_EQ(host_.press(PANEL_HOME_X), "Home X");
  clk_.sleep_for(1s);
  r = host_.read();
  EXPECT_EQ(r.activity.headline, "Homing X");
  EXPECT_NE(r.activity.what, r.activity.headline);  // the what carries the times
  EXPECT_TRUE(r.active());

  EXPECT_TRUE(host_.stop_all());
  EXPECT_FALSE(host_.stop_all());  // it held already
  clk_.sleep_for(1s);
  r = host_.read();
  EXPECT_TRUE(r.engaged);
  EXPECT_EQ(r.activity.state, "idle");  // the stop ended the homing's wait
  EXPECT_TRUE(host_.release());
  EXPECT_FALSE(host_.release());
}

TEST_F(HostTest, ChecksAnOperatorsValueButWritesAScriptsValueAsItIs) {
  struct Case {
    int control;
    double value;
    const char* refusal;  // nullptr: taken
  } cases[] = {
      {PANEL_TARGET_X, 12.5, nullptr},
      {PANEL_TARGET_X, 1e9, "above the most allowed, 50"},
      {PANEL_TARGET_X, -1e9, "below the least allowed, -50"},
      {PANEL_TARGET_X, NAN, "not a finite number"},
      {PANEL_NX, 4, nullptr},
      {PANEL_NX, 2.5, "a count takes whole numbers only"},
      {PANEL_NX, -3, "below the least allowed, 1"},
      {PANEL_NX, 1e12, "too large a number"},
  };
  for (const Case& c : cases) {
    const double before = value(c.control);
    const Checked r = host_.set(c.control, c.value);
    if (!c.refusal) {
      EXPECT_TRUE(r.ok) << c.control << " " << c.value << ": " << r.reason;
      EXPECT_EQ(value(c.control), c.value);
    } else {
      EXPECT_FALSE(r.ok) << c.control << " " << c.value;
      EXPECT_EQ(r.reason, c.refusal);
      EXPECT_EQ(value(c.control), before) << "a refused value must change nothing";
    }
  }
  // A script tests how the program takes any value: only the type is checked.
  EXPECT_TRUE(host_.set_exact(PANEL_TARGET_X, 1e9).ok);
  EXPECT_EQ(value(PANEL_TARGET_X), 1e9);
  EXPECT_TRUE(host_.set_exact(PANEL_NX, -3).ok);
  EXPECT_EQ(value(PANEL_NX), -3);
  EXPECT_FALSE(host_.set_exact(PANEL_NX, 2.5).ok);
  EXPECT_EQ(value(PANEL_NX), -3);
  EXPECT_FALSE(host_.set(4242, 1).ok);
}

TEST(HostInput, ReadsTypedTextAsOneNumberOrRefusesIt) {
  vx::rt::ControlSpec mm;
  mm.type = vx::rt::DataType::Double;
  mm.min = -50;
  mm.max = 50;
  vx::rt::ControlSpec count;
  count.type = vx::rt::DataType::Int;
  count.min = 1;
  struct Case {
    const char* text;
    const vx::rt::ControlSpec* control;
    char point;
    double value;         // when taken
    const char* refusal;  // nullptr: taken
  } cases[] = {
      {" 12.5 ", &mm, '.', 12.5, nullptr},
      {"12,5", &mm, ',', 12.5, nullptr},
      {"12,5", &mm, '.', 0, "',' is not the decimal point here (it is '.')"},
      {"+7", &count, '.', 7, nullptr},
      {"-0", &mm, '.', 0, nullptr},
      {"1e9", &mm, '.', 0, "above the most allowed, 50"},
      {"19 mm", &mm, '.', 0, "not a number"},
      {"", &mm, '.', 0, "empty: type a number"},
      {"inf", &mm, '.', 0, "not a finite number"},
      {"1e400", &mm, '.', 0, "too large a number"},
      {"2.5", &count, '.', 0, "a count takes whole numbers only"},
  };
  for (const Case& c : cases) {
    const Checked r = vx::host::check_text(c.text, *c.control, c.point);
    EXPECT_EQ(r.ok, c.refusal == nullptr) << '"' << c.text << '"';
    if (c.refusal) {
      EXPECT_EQ(r.reason, c.refusal) << '"' << c.text << '"';
    } else {
      EXPECT_EQ(r.value, c.value) << '"' << c.text << '"';
      EXPECT_FALSE(std::signbit(r.value)) << "no negative zero";
    }
  }
}

// A detector slower than the scan: the preview warns, the detector cannot change while
// the scan runs, and once it has ended a change gives up the readings still to come, so
// that the scan's end is told.
TEST_F(HostTest, ADetectorChangesOnlyBetweenScansAndGivesUpTheReadingsStillToCome) {
  vx::detector::SimSettings slow;
  slow.exposure = 5s;
  ASSERT_TRUE(host_.set_detector(vx::detector::make_sim(slow)));
  for (auto [id, v] : {std::pair{PANEL_NX, 2.0}, {PANEL_NY, 1.0}, {PANEL_SCAN_X, 1.0}, {PANEL_SCAN_Y, 0.0},
                       {PANEL_SCAN_Z, 0.0}})
    ASSERT_TRUE(host_.set_exact(id, v).ok);
  const auto preview = host_.preview_now();
  ASSERT_TRUE(preview);
  ASSERT_EQ(preview->warnings.size(), 1u);
  EXPECT_NE(preview->warnings[0].find("its readings will come late"), std::string::npos) << preview->warnings[0];

  host_.press(PANEL_STARTSCAN);
  clk_.sleep_for(100ms);
  EXPECT_FALSE(host_.set_detector(nullptr));  // the scan runs
  for (int i = 0; i < 200 && host_.scan().phase != vx::scanwatch::Phase::Ended; i++) clk_.sleep_for(100ms);
  ASSERT_EQ(host_.scan().phase, vx::scanwatch::Phase::Ended);
  EXPECT_EQ(host_.scan().read, 0);
  {
    std::lock_guard lk(heard_.mu);
    EXPECT_EQ(heard_.scans_ended, 0);  // its end waits for the readings
  }
  ASSERT_TRUE(host_.set_detector(nullptr));
  const auto s = host_.scan();
  EXPECT_EQ(s.read, 2);
  EXPECT_EQ(s.missing, 2);
  std::lock_guard lk(heard_.mu);
  EXPECT_EQ(heard_.scans_ended, 1);
  EXPECT_TRUE(heard_.read.empty());
}

// Start scan with a stage disabled: the program shows its popup and waits in it.
class HostPopups : public HostTest, public ::testing::WithParamInterface<vx::host::Popups> {
 protected:
  HostPopups() : HostTest(GetParam()) {}
};

TEST_P(HostPopups, TheProgramWaitsInAPopupOnlyUntilItIsAnswered) {
  host_.press(PANEL_DISABLE_Z);
  clk_.sleep_for(1s);
  host_.press(PANEL_STARTSCAN);
  clk_.sleep_for(5s);
  {
    std::lock_guard lk(heard_.mu);
    ASSERT_EQ(heard_.popups, std::vector<std::string>{"Error: Enable AXS Stages First"});
  }
  const bool waits = GetParam() == vx::host::Popups::Wait;
  EXPECT_EQ(host_.read().activity.state, waits ? "busy" : "idle");
  host_.dismiss_popups();
  clk_.sleep_for(1s);
  EXPECT_EQ(host_.read().activity.state, "idle");
  EXPECT_EQ(value(PANEL_SCANNING), 0);
}

INSTANTIATE_TEST_SUITE_P(Answers, HostPopups, ::testing::Values(vx::host::Popups::Answer, vx::host::Popups::Wait),
                         [](const auto& info) { return ::testing::PrintToString(info.param); });

}  // namespace
