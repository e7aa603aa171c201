// The session runner itself: script syntax and its errors, exit statuses, show and
// watch output, popups, the implicit quit at the end of a script.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/session/script.h"
#include "tests/session_harness.h"

using vxtest::run_session;
using Lines = std::vector<std::string>;

namespace {

TEST(Script, MalformedLinesNameFileAndLine) {
  struct Case {
    const char* text;
    const char* error;
  } cases[] = {
      {"start\nfly PANEL_QUIT\n", "s.vxs:2: unknown statement 'fly'"},
      {"set PANEL_TARGET_X\n", "s.vxs:1: expected: set CONTROL VALUE"},
      {"set PANEL_TARGET_X 1.2.3\n", "s.vxs:1: expected: set CONTROL VALUE"},
      {"# comment\n\npress target\n", "s.vxs:3: expected: press CONTROL"},
      {"until PANEL_IX => 3\n", "s.vxs:1: expected: until CONTROL OP VALUE [within SECONDS], OP one of == != < <= > >="},
      {"until PANEL_IX == 3 within\n", "s.vxs:1: expected: until CONTROL OP VALUE [within SECONDS]"},
      {"wait -1\n", "s.vxs:1: expected: wait SECONDS (0 to 1e9)"},
      {"fault open W 2\n", "s.vxs:1: fault open needs an axis: X, Y, Z or a serial number"},
      {"fault open X\n", "s.vxs:1: fault open takes 1 number(s) after the axis"},
      {"fault melt X\n", "s.vxs:1: unknown fault 'melt'"},
      {"start now\n", "s.vxs:1: start takes nothing"},
      {"show\n", "s.vxs:1: show needs at least one control"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(vx::session::parse_script(c.text, "s.vxs", error)) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
  }
}

TEST(Script, NumbersAreIntegersDecimalsHexAndTheNonFinite) {
  using vx::session::parse_number;
  EXPECT_EQ(parse_number("12"), 12.0);
  EXPECT_EQ(parse_number("-12.5"), -12.5);
  EXPECT_EQ(parse_number("1e-3"), 0.001);
  EXPECT_EQ(parse_number("0x401"), 1025.0);
  EXPECT_EQ(parse_number("0x80000000"), -2147483648.0);  // a 32-bit pattern
  EXPECT_EQ(parse_number("0xffffffff"), -1.0);
  EXPECT_EQ(parse_number("-inf"), -HUGE_VAL);
  EXPECT_TRUE(std::isnan(*parse_number("nan")));
  for (const char* bad : {"", "x", ".5e", "0x", "0x1g", "0x123456789", "1e", "--1", "12a"})
    EXPECT_FALSE(parse_number(bad)) << bad;
  EXPECT_EQ(parse_number(".5"), 0.5);
}

TEST(Runner, AMalformedScriptRunsNothingAndExitsTwo) {
  auto r = run_session("start\npress PANEL_NOPE\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(r.lines.empty()) << r.text();
  EXPECT_NE(r.err.find("script.vxs:2: no control PANEL_NOPE on the panel"), std::string::npos) << r.err;
}

TEST(Runner, AFailedExpectationIsReportedAndExitsOne) {
  auto r = run_session("start\nexpect PANEL_CONNECTED == 0\npress PANEL_RESET_1\nquit\n", "");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.at("FAIL"), Lines{"FAIL 2: PANEL_CONNECTED == 0 does not hold (it reads 1)"}) << r.text();
  EXPECT_EQ(r.count("RST Not yet implemented"), 0);  // the script stops there
  EXPECT_EQ(r.count("Device Disconnected..."), 3);   // and the program is quit
  auto u = run_session("start\nuntil PANEL_SCANNING == 1 within 2\n", "");
  EXPECT_EQ(u.status, 1);
  EXPECT_EQ(u.at("FAIL"), Lines{"FAIL 2: PANEL_SCANNING == 1 did not hold within 2 s (it reads 0)"});
}

TEST(Runner, ShowWatchAndPopupLines) {
  auto r = run_session(
      "start\nset PANEL_TARGET_X 0.1\nshow PANEL_TARGET_X 73 PANEL_CONNECTED\nwatch PANEL_POS_X\n"
      "press PANEL_DISABLE_Z\nwait 0.6\npress PANEL_STARTSCAN\n",
      "");
  EXPECT_EQ(r.status, 0) << r.text();
  EXPECT_EQ(r.at("PANEL_"), (Lines{"PANEL_TARGET_X = 0.1", "PANEL_POS_X = 0", "PANEL_CONNECTED = 1"}));
  EXPECT_EQ(r.at("7.000 PANEL_POS_X"), Lines{"7.000 PANEL_POS_X = 0"});  // the 7.0 s tick's refresh
  EXPECT_EQ(r.at("popup"), Lines{"popup \"Error\" \"Enable AXS Stages First\""});
  // The script ended with the program running: it was quit.
  EXPECT_EQ(r.at("exit"), Lines{"exit 0"});
  EXPECT_EQ(r.count("Device Disconnected..."), 3);
}

TEST(Runner, TheExamplesRun) {
  for (const char* name : {"demo", "goto", "timeout", "scan", "live"}) {
    const std::string script = vxtest::read_file(std::string(VARNIX_SOURCE_DIR "/examples/") + name + ".vxs");
    ASSERT_FALSE(script.empty()) << name;
    auto r = run_session(script, "");
    EXPECT_EQ(r.status, 0) << name << "\n" << r.text();
    EXPECT_TRUE(r.at("FAIL").empty()) << name;
  }
}

}  // namespace
