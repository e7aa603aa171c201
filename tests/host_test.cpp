// The headless host on virtual time: the real program on the simulated stages, acted on
// and watched the way every front end does it. What the host decides (the checks of an
// operator's values, the activity's headline, whether anything is active, the popups'
// answer, the way out) is tested here once for all of them.
#include "platform/host/host.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <mutex>
#include <ostream>
#include <vector>

#include "driver/axs.h"
#include "panel/Varnix_ui.h"
#include "platform/estop/estop.h"
#include "platform/stagelib/stage_library.h"
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
  std::vector<std::string> refusals;
  std::vector<std::string> notes;
  int ended = -99;
  void refused(const std::string& reason) override {
    std::lock_guard lk(mu);
    refusals.push_back(reason);
  }
  void note(const std::string& line) override {
    std::lock_guard lk(mu);
    notes.push_back(line);
  }
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
    // The emergency stop is the process's, and every test's way out engages it.
    vx::estop::release();
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

  EXPECT_EQ(host_.press(PANEL_HOME_X).text, "Home X");
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
  host_.press(PANEL_JOG_Y_PLUS);  // the stage refuses it in silence: the log says so
  EXPECT_TRUE(host_.release());
  EXPECT_FALSE(host_.release());
  std::lock_guard lk(heard_.mu);
  EXPECT_EQ(heard_.notes, (std::vector<std::string>{
                              "Stop all: the emergency stop is engaged",
                              "Jog +1 mm Y: the emergency stop holds the stages, nothing moves (Release first)",
                              "Release: the emergency stop is lifted"}));
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

// The operator's name of a command carries the values it will read; an axis not ticked
// counts one point, as the scan takes it.
TEST_F(HostTest, ACommandsNameCarriesWhatItWillRead) {
  host_.set(PANEL_TARGET_Y, 12.5);
  for (auto [id, v] : {std::pair{PANEL_NX, 3.0}, {PANEL_NY, 3.0}, {PANEL_NZ, 2.0}, {PANEL_SCAN_X, 1.0},
                       {PANEL_SCAN_Y, 1.0}, {PANEL_SCAN_Z, 0.0}})
    ASSERT_TRUE(host_.set(id, v).ok) << id;
  EXPECT_EQ(host_.describe(PANEL_GOTO_Y), "Go to Y: 12.5 mm");
  EXPECT_EQ(host_.describe(PANEL_STARTSCAN), "Start scan: 3 × 3 × 1 points, scanning X, Y");
  host_.set(PANEL_SCAN_Z, 1);
  EXPECT_EQ(host_.describe(PANEL_STARTSCAN), "Start scan: 3 × 3 × 2 points, scanning X, Y, Z");
}

// An input holding text the program does not read (refused by set(), or marked by a
// front end) refuses every command that reads it, naming the field; nothing moves, and
// commands that read other inputs go on.
TEST_F(HostTest, ACommandThatReadsAnInvalidFieldIsRefusedAndMovesNothing) {
  struct Case {
    const char* name;
    std::function<void(vx::host::Host&)> spoil;
    int command;
    const char* refusal;  // nullptr: it goes
  } cases[] = {
      {"Go to X, X target refused", [](auto& h) { h.set(PANEL_TARGET_X, 1e9); }, PANEL_GOTO_X,
       "Go to X refused, nothing moves: X Target (mm): above the most allowed, 50 (type a valid number first)"},
      {"Go to all, X target refused", [](auto& h) { h.set(PANEL_TARGET_X, 1e9); }, PANEL_GOTO_ALL,
       "Go to all refused, nothing moves: X Target (mm): above the most allowed, 50 (type a valid number first)"},
      {"Go to Y, X target refused", [](auto& h) { h.set(PANEL_TARGET_X, 1e9); }, PANEL_GOTO_Y, nullptr},
      {"Start scan, three fields marked",
       [](auto& h) {
         h.mark_input(PANEL_NX, "a count takes whole numbers only");
         h.mark_input(PANEL_NY, "below the least allowed, 1");
         h.mark_input(PANEL_DY, "above the most allowed, 50");
       },
       PANEL_STARTSCAN,
       "Start scan refused, nothing moves: X points: a count takes whole numbers only; Y points: below the "
       "least allowed, 1; Y step (mm): above the most allowed, 50 (type a valid number first)"},
      {"Start scan, the mark cleared again",
       [](auto& h) {
         h.mark_input(PANEL_NX, "not a number");
         h.mark_input(PANEL_NX, "");
       },
       PANEL_STARTSCAN, nullptr},
      {"Go to X, a valid value typed after a refused one",
       [](auto& h) {
         h.set(PANEL_TARGET_X, 1e9);
         h.set(PANEL_TARGET_X, 2);
       },
       PANEL_GOTO_X, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    host_.set(PANEL_TARGET_X, 1);
    host_.set(PANEL_TARGET_Y, 1);
    for (int id : {PANEL_NX, PANEL_NY, PANEL_DY}) host_.mark_input(id, "");
    c.spoil(host_);
    const auto before = host_.read().live;
    {
      std::lock_guard lk(heard_.mu);
      heard_.refusals.clear();
    }
    const vx::host::Pressed p = host_.press(c.command);
    clk_.sleep_for(3s);
    const auto after = host_.read();
    {
      std::lock_guard lk(heard_.mu);
      if (c.refusal) {
        EXPECT_EQ(p.refused.value_or(""), c.refusal);
        EXPECT_EQ(heard_.refusals, std::vector<std::string>{c.refusal}) << "every front end is told";
        for (int axis = 0; axis < 3; axis++) EXPECT_EQ(after.live[axis].units, before[axis].units) << axis;
        EXPECT_EQ(value(PANEL_SCANNING), 0);
      } else {
        EXPECT_FALSE(p.refused) << *p.refused;
        EXPECT_TRUE(heard_.refusals.empty());
      }
    }
    if (c.command == PANEL_STARTSCAN && !c.refusal) {
      host_.press(PANEL_STOPSCAN);
      clk_.sleep_for(5s);
    }
  }
}

// Clicks queued behind a homing can be taken back, one or all; the panel timer's own
// refresh requests are no operator's commands and stay.
TEST_F(HostTest, QueuedCommandsAreWithdrawnBeforeTheyRun) {
  host_.press(PANEL_HOME_X);
  clk_.sleep_for(1s);
  const auto y = host_.read().live[1].units;
  const vx::host::Pressed jog = host_.press(PANEL_JOG_Y_PLUS);
  const vx::host::Pressed disable = host_.press(PANEL_DISABLE_Z);
  const vx::host::Pressed read = host_.press(PANEL_READ);
  EXPECT_NE(jog.commit, 0u);
  EXPECT_NE(disable.commit, jog.commit);
  clk_.sleep_for(2s);  // the panel timer asks for refreshes meanwhile
  auto a = host_.read().activity;
  ASSERT_EQ(a.commands.size(), 3u);
  EXPECT_EQ(a.commands[0].text, "Jog +1 mm Y");
  EXPECT_EQ(a.commands[1].text, "Disable Z");
  EXPECT_GT(a.own_requests, 0) << "the timer's refreshes are counted apart";
  EXPECT_EQ(a.queued.size(), a.commands.size() + static_cast<std::size_t>(a.own_requests));

  EXPECT_TRUE(host_.withdraw(jog.commit));
  EXPECT_FALSE(host_.withdraw(jog.commit)) << "gone already";
  EXPECT_EQ(host_.withdraw_all(), 2);
  a = host_.read().activity;
  EXPECT_TRUE(a.commands.empty());
  EXPECT_GT(a.own_requests, 0);
  {
    std::lock_guard lk(heard_.mu);
    EXPECT_EQ(heard_.notes, (std::vector<std::string>{"Withdrawn from the queue: Jog +1 mm Y",
                                                      "Withdrawn from the queue: Disable Z, Read all"}));
  }
  host_.press(PANEL_STOP_X);
  clk_.sleep_for(3s);
  const auto r = host_.read();
  EXPECT_EQ(r.activity.state, "idle");
  EXPECT_EQ(r.live[1].units, y) << "the withdrawn jog never ran";
  EXPECT_NE(r.live[2].status & vx::sl::kEnabled, 0u) << "the withdrawn disable never ran";
  EXPECT_FALSE(host_.withdraw(disable.commit));
}

// A command pressed by someone other than the operator at hand (a remote client) is told
// as theirs before it reaches the program, and named as theirs while it waits in the
// queue; the operator's own stay unnamed, and a command that has left the queue is
// forgotten.
TEST_F(HostTest, ACommandPressedBySomeoneElseIsNamedAsTheirs) {
  host_.press(PANEL_HOME_X, "remote client 2");
  clk_.sleep_for(1s);
  host_.press(PANEL_DISABLE_Z, "remote client 2");
  host_.press(PANEL_JOG_Y_PLUS);
  auto a = host_.read().activity;
  ASSERT_EQ(a.commands.size(), 2u);
  EXPECT_EQ(a.commands[0].text, "Disable Z (remote client 2)");
  EXPECT_EQ(a.commands[1].text, "Jog +1 mm Y");
  EXPECT_EQ(host_.activity().commands[0].text, "Disable Z (remote client 2)");
  host_.press(PANEL_STOP_X, "remote client 3");
  clk_.sleep_for(3s);
  EXPECT_TRUE(host_.read().activity.commands.empty());
  std::lock_guard lk(heard_.mu);
  EXPECT_EQ(heard_.notes, (std::vector<std::string>{"remote client 2: Home X", "remote client 2: Disable Z",
                                                    "remote client 3: Stop X"}));
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
