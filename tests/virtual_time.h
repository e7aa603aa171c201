// A test on virtual time: a VirtualClock in force, with the test's thread enrolled, so
// that time moves only when the test (and every thread it starts this way) blocks.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "platform/clock/clock.h"

namespace vxtest {

struct OnVirtualTime : ::testing::Test {
  vx::VirtualClock clk;
  vx::ClockScope clock_scope{clk};
  vx::Participant me = clk.enroll();

  OnVirtualTime() { me.adopt("test"); }

  // Starts a thread enrolled with the clock, running fn. A join does not block on the
  // clock: let the thread finish (by sleeping past its work) before joining it.
  std::thread spawn(const char* name, std::function<void()> fn) {
    return std::thread([token = clk.enroll(), name, fn]() mutable {
      token.adopt(name);
      fn();
    });
  }
};

}  // namespace vxtest
