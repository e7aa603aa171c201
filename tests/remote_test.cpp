// The runner's statement engine serving clients against a host another front end owns
// (session::Remote, as the window serves them), headless, on the real clock as the
// window has it: control, the refuse switch, what only the runner may do, the commands
// told and queued as the client's, and the program ended by a client's quit. Waits are
// bounded waits for a condition (a client's `until`, a condition variable).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>

#include "driver/axs.h"
#include "panel/Varnix_ui.h"
#include "platform/clock/clock.h"
#include "platform/control/control.h"
#include "platform/estop/estop.h"
#include "platform/host/host.h"
#include "platform/session/session.h"
#include "platform/stagesim/simulator.h"
#include "tests/control_harness.h"

namespace {

struct Heard : vx::host::Observer {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::string> notes;
  bool ended = false;
  void note(const std::string& line) override {
    std::lock_guard lk(mu);
    notes.push_back(line);
  }
  void program_ended(int) override {
    std::lock_guard lk(mu);
    ended = true;
    cv.notify_all();
  }
};

TEST(RemoteAtAHost, ClientsActOnTheFrontEndsProgramUnderItsRules) {
  vx::estop::release();
  char dir[] = "/tmp/vxremoteXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string address = std::string("unix:") + dir + "/s";
  vx::RealClock clock;
  vx::ClockScope clock_scope(clock);
  vx::sim::Simulator sim;
  sim.set_trace_limit(0);
  vx::sim::SimulatorScope sim_scope(sim);
  Heard heard;
  std::mutex changes_mu;
  int changes = 0;
  // The remote goes after the host, which tells it until its end.
  std::unique_ptr<vx::session::Remote> remote;
  std::optional<vx::host::Host> host(std::in_place, clock);
  host->subscribe(heard);
  vx::session::Remote::Options options;
  std::string error;
  options.listen.push_back(*vx::control::parse_address(address, error));
  options.clients_changed = [&] {
    std::lock_guard lk(changes_mu);
    changes++;
  };
  remote = std::make_unique<vx::session::Remote>(*host, clock, options);
  ASSERT_TRUE(remote->start(error)) << error;
  EXPECT_EQ(remote->bound(), std::vector<std::string>{address});
  host->start();

  vxtest::Client c(address);
  ASSERT_TRUE(c.connected());
  // Until the program has loaded its panel there is nothing to look at.
  std::string connected;
  for (int tries = 0; tries < 100000; tries++) {
    connected = c.status("until PANEL_CONNECTED == 1 within 30");
    if (connected != "error: the program has no panel (start it first)") break;
  }
  ASSERT_EQ(connected, "ok");

  EXPECT_EQ(c.status("press PANEL_HOME_X"), "error: take control first (control take)");
  EXPECT_EQ(c.status("control take"), "ok");
  EXPECT_EQ(c.status("start"), "error: the program was started already");
  EXPECT_EQ(c.status("fault stall X"), "error: faults are varnix-session's, played before its program starts");
  EXPECT_EQ(c.status("press PANEL_HOME_X"), "ok");
  // Once the program serves the homing, a command waits behind it.
  bool homing = false;
  for (int tries = 0; !homing && tries < 100000; tries++)
    homing = c.ask("activity")[0].rfind("@ activity \"Homing X", 0) == 0;
  ASSERT_TRUE(homing);
  EXPECT_EQ(c.status("press PANEL_DISABLE_Z"), "ok");
  const auto queued = host->activity().commands;
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].text, "Disable Z (remote client 1)");

  remote->server().set_refused(true);
  EXPECT_EQ(c.status("press PANEL_STOP_X"), "error: remote control is off at the window");
  EXPECT_EQ(c.status("quit"), "error: remote control is off at the window");
  EXPECT_EQ(c.ask("show PANEL_NX"), (std::vector<std::string>{"@ PANEL_NX = 5", "ok"}));
  EXPECT_EQ(c.status("estop"), "ok");
  EXPECT_TRUE(vx::host::Host::engaged());
  remote->server().set_refused(false);
  EXPECT_EQ(c.status("release"), "ok");
  EXPECT_FALSE(vx::host::Host::engaged());

  // A client's quit is the panel's Quit: the program ends, and its front end with it.
  EXPECT_EQ(c.status("quit"), "ok");
  {
    std::unique_lock lk(heard.mu);
    ASSERT_TRUE(heard.cv.wait_for(lk, std::chrono::seconds(60), [&] { return heard.ended; }));
    EXPECT_EQ(heard.notes[0], "remote client 1: Home X");
    EXPECT_EQ(heard.notes[1], "remote client 1: Disable Z");
    EXPECT_NE(std::find(heard.notes.begin(), heard.notes.end(), "remote client 1: Quit"), heard.notes.end());
  }
  remote->stop();
  EXPECT_EQ(c.drain(), std::vector<std::string>{});  // closed, nothing more said
  host->join_program();
  EXPECT_EQ(host->exit_code(), 0);
  host.reset();
  for (const char* serial : serialNumbers) EXPECT_FALSE(sim.is_open(serial)) << serial;
  {
    std::lock_guard lk(changes_mu);
    EXPECT_GE(changes, 2);  // connected, took control, ...
  }
  remote.reset();
  std::filesystem::remove_all(dir);
}

}  // namespace
