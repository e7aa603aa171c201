// Stage connections at start-up and shutdown, end to end through the session runner:
// the lines, their order, the pauses, the failure codes and the library call order.
#include <gtest/gtest.h>

#include "tests/session_harness.h"

using vxtest::run_session;
using Lines = std::vector<std::string>;

namespace {

const std::string kDesc = "Integrated stepper stage (simulated)";

// The time of the first trace entry for `call` ("" when absent).
std::string time_of(const vxtest::SessionResult& r, const std::string& call) {
  for (const auto& t : r.trace())
    if (t.find(" " + call) != std::string::npos) return t.substr(0, t.find(' '));
  return "";
}

TEST(Connect, AllThreeOpenInAxisOrderAndCloseAtQuit) {
  auto r = run_session("start\nquit\n");
  ASSERT_EQ(r.status, 0) << r.text();
  EXPECT_EQ(r.program(), (Lines{"Device 0 (serial 45388004) Connected... ", kDesc + " err=0",
                                "Device 1 (serial 45387934) Connected... ", kDesc + " err=0",
                                "Device 2 (serial 45388034) Connected... ", kDesc + " err=0",
                                "Device Disconnected...", "Device Disconnected...", "Device Disconnected..."}))
      << r.text();
  // 2.2 s of pauses per axis: polling starts 1.2 s into each axis, the callbacks are
  // registered after 6.6 s.
  EXPECT_EQ(time_of(r, "ISC_StartPolling(45388004"), "1.200");
  EXPECT_EQ(time_of(r, "ISC_StartPolling(45387934"), "3.400");
  EXPECT_EQ(time_of(r, "ISC_StartPolling(45388034"), "5.600");
  EXPECT_EQ(time_of(r, "ISC_RegisterMessageCallback(45388004"), "6.600");
  EXPECT_EQ(r.at("exit"), Lines{"exit 0"});
}

TEST(Connect, LibraryCallsComeInTheirOrder) {
  auto r = run_session("start\nquit\n");
  Lines seq;
  for (const auto& c : r.calls("")) {
    const std::string name = c.substr(0, c.find('('));
    if (name == "ISC_GetPosition" || name == "ISC_GetStatusBits" || name == "DisplayPanel") continue;
    seq.push_back(name + (c.find("45388004") != std::string::npos   ? " X"
                          : c.find("45387934") != std::string::npos ? " Y"
                          : c.find("45388034") != std::string::npos ? " Z"
                                                                    : ""));
  }
  EXPECT_EQ(seq, (Lines{"TLI_BuildDeviceList",
                        "TLI_GetDeviceInfo X", "ISC_Open X", "ISC_SetLEDswitches X", "ISC_StartPolling X",
                        "TLI_GetDeviceInfo Y", "ISC_Open Y", "ISC_SetLEDswitches Y", "ISC_StartPolling Y",
                        "TLI_GetDeviceInfo Z", "ISC_Open Z", "ISC_SetLEDswitches Z", "ISC_StartPolling Z",
                        "ISC_RegisterMessageCallback X", "ISC_RegisterMessageCallback Y",
                        "ISC_RegisterMessageCallback Z",
                        "ISC_StopPolling X", "ISC_Close X", "ISC_StopPolling Y", "ISC_Close Y",
                        "ISC_StopPolling Z", "ISC_Close Z"}))
      << r.text();
}

TEST(Connect, AFailedAxisStopsTheOpeningAndStillClosesAllThree) {
  auto r = run_session("fault open Y 2\nstart\nshow PANEL_CONNECTED\nquit\n");
  ASSERT_EQ(r.status, 0) << r.text();
  EXPECT_EQ(r.program(), (Lines{"Device 0 (serial 45388004) Connected... ", kDesc + " err=0",
                                "Error connecting device 1 (45387934)", kDesc + " err=2",
                                "Device Disconnected...", "Device Disconnected...", "Device Disconnected..."}))
      << r.text();
  EXPECT_TRUE(r.calls("TLI_GetDeviceInfo(45388034").empty());
  EXPECT_TRUE(r.calls("ISC_Open(45388034").empty());
  EXPECT_EQ(r.calls("ISC_RegisterMessageCallback").size(), 3u);  // for every axis, opened or not
  EXPECT_EQ(r.at("PANEL_CONNECTED"), Lines{"PANEL_CONNECTED = 1"});
  // X takes 2.2 s, the failed Y 1.1 s.
  EXPECT_EQ(time_of(r, "ISC_RegisterMessageCallback(45388004"), "3.300");
}

TEST(Connect, CodesPrintInLowerCaseHex) {
  struct Case {
    const char* code;
    const char* shown;
  } cases[] = {{"10", "a"}, {"-1", "ffffffff"}, {"255", "ff"}, {"-32768", "ffff8000"}};
  for (const Case& c : cases) {
    auto r = run_session(std::string("fault open X ") + c.code + "\nstart\nquit\n");
    EXPECT_EQ(r.count(kDesc + " err=" + c.shown), 1) << c.code << "\n" << r.text();
    EXPECT_EQ(time_of(r, "ISC_RegisterMessageCallback(45388004"), "1.100") << r.text();
  }
}

TEST(Connect, MissingDeviceInformationShowsAnEmptyDescription) {
  auto r = run_session("fault info Y\nstart\nquit\n", "");
  EXPECT_EQ(r.count(" err=0"), 1) << r.text();
  EXPECT_EQ(r.count(kDesc + " err=0"), 2) << r.text();
}

}  // namespace
