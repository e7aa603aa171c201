// The virtual clock: time moves only when every participant blocks, straight to the
// earliest deadline; waits time out and wake at exact virtual times; a deadlock and a
// spinning thread are reported instead of hanging.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock/clock.h"
#include "tests/virtual_time.h"

using namespace std::chrono_literals;
using vx::Time;

namespace {

using VirtualTime = vxtest::OnVirtualTime;

TEST(Seconds, ConvertsAndGuardsEdges) {
  struct Case {
    double s;
    vx::Duration want;
  } cases[] = {{0.001, 1ms}, {10.0, 10s}, {180.0, 180s}, {0.0, 0ns}, {-1.0, 0ns}, {NAN, 0ns},
               {1e300, vx::kForever}, {INFINITY, vx::kForever}};
  for (const Case& c : cases) EXPECT_EQ(vx::from_seconds(c.s), c.want) << c.s;
}

TEST_F(VirtualTime, LongSleepPassesAtOnceAndExactly) {
  clk.sleep_for(180s);
  EXPECT_EQ(clk.now(), Time(180s));
  clk.sleep_for(250ms);
  EXPECT_EQ(clk.now(), Time(180250ms));
}

TEST_F(VirtualTime, SleepingThreadsInterleaveTheSameWayEveryRun) {
  for (int run = 0; run < 20; run++) {
    std::vector<std::string> order;
    std::mutex m;
    const Time t0 = clk.now();
    auto log = [&](const char* who) {
      std::lock_guard lk(m);
      order.push_back(std::string(who) + "@" + std::to_string((clk.now() - t0) / 1ms));
    };
    auto a = spawn("a", [&] {
      for (int i = 0; i < 3; i++) {
        clk.sleep_for(100ms);
        log("a");
      }
    });
    auto b = spawn("b", [&] {
      for (int i = 0; i < 2; i++) {
        clk.sleep_for(130ms);
        log("b");
      }
    });
    clk.sleep_for(1s);
    a.join();
    b.join();
    EXPECT_EQ(order, (std::vector<std::string>{"a@100", "b@130", "a@200", "b@260", "a@300"}));
  }
}

TEST_F(VirtualTime, ChannelWaitTimesOutOrWakesAtTheNotifyTime) {
  vx::WaitChannel ch;
  bool flag = false;
  auto t = spawn("notifier", [&] {
    clk.sleep_for(3s);
    std::lock_guard lk(clk.mutex());
    flag = true;
    clk.notify_all(ch);
  });
  {
    std::unique_lock lk(clk.mutex());
    EXPECT_FALSE(clk.wait_until(lk, ch, clk.now_locked() + 1s, "first"));
    EXPECT_EQ(clk.now_locked(), Time(1s));
    while (!flag) EXPECT_TRUE(clk.wait_until(lk, ch, Time(10s), "second"));
    EXPECT_EQ(clk.now_locked(), Time(3s));
  }
  t.join();
}

TEST_F(VirtualTime, SettleReturnsOnceOthersBlockWithoutMovingTime) {
  std::atomic<int> steps{0};
  auto t = spawn("worker", [&] {
    for (int i = 0; i < 1000; i++) steps++;
    clk.sleep_for(5s);
  });
  clk.settle();
  EXPECT_EQ(steps.load(), 1000);
  EXPECT_EQ(clk.now(), Time(0));
  clk.sleep_for(5s);
  t.join();
}

TEST_F(VirtualTime, DeadlockIsReportedWithTheBlockedThreads) {
  std::string report;
  clk.set_deadlock_handler([&](const std::string& r) { report = r; });
  vx::WaitChannel ch;
  auto t = spawn("stuck", [&] {
    std::unique_lock lk(clk.mutex());
    clk.wait_until(lk, ch, vx::kForever, "nothing");
  });
  {
    std::unique_lock lk(clk.mutex());
    EXPECT_FALSE(clk.wait_until(lk, ch, vx::kForever, "nothing either"));
  }
  t.join();
  EXPECT_NE(report.find("deadlock"), std::string::npos) << report;
  EXPECT_NE(report.find("'stuck' in nothing"), std::string::npos) << report;
  EXPECT_NE(report.find("'test' in nothing either"), std::string::npos) << report;
}

TEST(Watchdog, ReportsAThreadThatNeverBlocks) {
  vx::VirtualClock clk(200ms);
  std::atomic<bool> reported{false};
  clk.set_watchdog_handler([&](const std::string& r) {
    if (r.find("without blocking") != std::string::npos) reported = true;
  });
  auto me = clk.enroll();
  me.adopt("spinner");
  while (!reported) std::this_thread::yield();  // the fault under test: a spin
  SUCCEED();
}

}  // namespace

namespace {

// A token made for a thread that was then not started must not unenrol the thread
// that made and dropped it.
TEST_F(VirtualTime, AnUnusedTokenLeavesItsMakerEnrolled) {
  { vx::Participant unused = clk.enroll(); }
  auto t = spawn("sleeper", [&] { clk.sleep_for(2s); });
  clk.sleep_for(3s);  // would never return if the test thread were no longer counted
  EXPECT_EQ(clk.now(), Time(3s));
  t.join();
}

}  // namespace

namespace {

// A thread that spins while waking another keeps that one busy, but time stands still:
// still a spin.
TEST(Watchdog, WakeUpsThatDoNotMoveTimeAreNoProgress) {
  vx::VirtualClock clk(200ms);
  vx::ClockScope scope(clk);
  std::atomic<bool> reported{false};
  clk.set_watchdog_handler([&](const std::string&) { reported = true; });
  vx::WaitChannel ch;
  auto me = clk.enroll();
  me.adopt("spinner");
  std::thread waiter([&, token = clk.enroll()]() mutable {
    token.adopt("waiter");
    std::unique_lock lk(clk.mutex());
    while (!reported) clk.wait_until(lk, ch, vx::kForever, "notices");
  });
  while (!reported) {  // the fault under test: a spin that keeps notifying
    std::lock_guard lk(clk.mutex());
    clk.notify_all(ch);
  }
  {
    std::lock_guard lk(clk.mutex());
    clk.notify_all(ch);
  }
  waiter.join();
  SUCCEED();
}

}  // namespace
