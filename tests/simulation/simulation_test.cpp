// The simulated operator sessions: the generator's determinism, the checker's teeth
// (one known session holds, and each kind of breach planted in its output is caught),
// and the fixed sweep of seeds that CI runs, with its coverage figures.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>

#include "platform/clock/clock.h"
#include "platform/session/script.h"
#include "platform/session/session.h"
#include "tests/simulation/simrun.h"

using namespace vx::simtest;
using Lines = std::vector<std::string>;

namespace {

const std::string kRunner = VARNIX_BIN_DIR "/varnix-session";

// The fixed seeds of the sweep: about 3 s on 2 cores, 20 s under the sanitizers.
constexpr std::uint64_t kSeeds = 300;

TEST(Rng, IsSplitmix64) {
  Rng r(0);
  EXPECT_EQ(r.next(), 0xe220a8397b1dcdafull);
  EXPECT_EQ(r.next(), 0x6e789e6aa1b965f4ull);
  EXPECT_EQ(r.next(), 0x06c45d188009454full);
  Rng a(7), b(7);
  for (int i = 0; i < 1000; i++) {
    const int v = a.range(-3, 3);
    EXPECT_GE(v, -3);
    EXPECT_LE(v, 3);
    EXPECT_EQ(v, b.range(-3, 3));
  }
}

TEST(Generator, ASeedGivesOneSessionThatTheRunnerAccepts) {
  for (std::uint64_t seed = 1; seed <= kSeeds; seed++) {
    const Session s = generate(seed);
    const Session again = generate(seed);
    ASSERT_EQ(s.script, again.script) << "seed " << seed;
    ASSERT_EQ(s.marks.size(), again.marks.size());
    std::string error;
    const auto script = vx::session::parse_script(s.script, "seed" + std::to_string(seed), error);
    ASSERT_TRUE(script) << error;
    ASSERT_TRUE(vx::session::check_controls(*script, error)) << error;
    // One marker before each marked statement, and every wait on the skewed grid.
    size_t markers = 0;
    for (size_t i = 0; i < script->statements.size(); i++) {
      const auto& st = script->statements[i];
      if (st.op == vx::session::Op::Show && st.controls.size() == 1 && st.controls[0].name == "PANEL_SCANNING") {
        markers++;
        ASSERT_LT(i + 1, script->statements.size());
        const auto next = script->statements[i + 1].op;
        using vx::session::Op;
        EXPECT_TRUE(next == Op::Press || next == Op::Fault || next == Op::Quit || next == Op::Estop ||
                    next == Op::Release);
      }
      if (st.op == vx::session::Op::Wait) {
        const long long ns = vx::from_seconds(st.seconds).count();
        EXPECT_EQ(ns % 1000000, kSkewNs) << "seed " << seed << " line " << st.line;
      }
    }
    EXPECT_EQ(markers, s.marks.size()) << "seed " << seed;
    EXPECT_EQ(script->statements.back().op, vx::session::Op::Quit);
  }
  EXPECT_NE(generate(1).script, generate(2).script);
}

// A known session: a go-to on a stalled stage that times out, a scan of two points left
// to finish, a scan of five stopped during its fourth point, and the quit.
Session known_session() {
  const std::string watched =
      "PANEL_PROGRESS PANEL_MOVING PANEL_TARGET_X PANEL_TARGET_Y PANEL_TARGET_Z PANEL_NX PANEL_NY PANEL_NZ "
      "PANEL_DX PANEL_DY PANEL_DZ PANEL_X0 PANEL_Y0 PANEL_Z0 PANEL_SCAN_X PANEL_SCAN_Y PANEL_SCAN_Z";
  Session s;
  s.seed = 0;
  s.script = "fault stall Y\nstart\nwatch PANEL_SCANNING " + watched + "\nshow " + watched +
             "\nset PANEL_SCAN_X 1\nset PANEL_NX 2\nset PANEL_DX 0.5\nset PANEL_X0 1\n"
             "set PANEL_SCAN_Y 0\nset PANEL_Y0 2\nset PANEL_SCAN_Z 0\nset PANEL_Z0 3\nset PANEL_TARGET_Y 12.5\n"
             "wait 1.000000137\nshow PANEL_SCANNING\npress PANEL_GOTO_Y\n"
             "wait 12.000000137\nshow PANEL_SCANNING\nfault stall Y 0\n"
             "wait 0.500000137\nshow PANEL_SCANNING\npress PANEL_STARTSCAN\n"
             "wait 30.000000137\nset PANEL_NX 5\nshow PANEL_SCANNING\npress PANEL_STARTSCAN\n"
             "wait 2.500000137\nshow PANEL_SCANNING\npress PANEL_STOPSCAN\n"
             "until PANEL_SCANNING == 0 within 600\nwait 0.300000137\nshow PANEL_SCANNING\nquit\n";
  s.marks = {{Mark::Press, "PANEL_GOTO_Y"},    {Mark::Fault, "stall Y"},         {Mark::Press, "PANEL_STARTSCAN"},
             {Mark::Press, "PANEL_STARTSCAN"}, {Mark::Press, "PANEL_STOPSCAN"}, {Mark::Quit, "quit"}};
  return s;
}

struct Checker : ::testing::Test {
  static Session session;
  static RunOutput run;
  static void SetUpTestSuite() {
    session = known_session();
    run = run_runner(kRunner, session.script);
  }
  // The index of the first output line at or after `from` that holds `text` (that is
  // `text`, when `whole`).
  static size_t find(const std::string& text, size_t from = 0, bool whole = false) {
    for (size_t i = from; i < run.out.size(); i++)
      if (whole ? run.out[i] == text : run.out[i].find(text) != std::string::npos) return i;
    ADD_FAILURE() << "no line holds " << text;
    return run.out.size() - 1;
  }
  static std::string replaced(std::string line, const std::string& from, const std::string& to) {
    const size_t at = line.rfind(from);
    return at == std::string::npos ? line : line.replace(at, from.size(), to);
  }
  // Checks an edited copy of the output; the failure must say `says`.
  static void expect_caught(const std::function<void(Lines&)>& edit, const std::string& says,
                            const Session& s = session, const std::string& err = "") {
    Lines out = run.out;
    edit(out);
    const Report r = check(s, run.status, out, err);
    EXPECT_FALSE(r.ok) << "not caught: " << says;
    EXPECT_NE(r.failure.find(says), std::string::npos) << r.failure;
  }
  static std::string retime(const std::string& line, long long delta_ms) {
    const size_t a = line.find(' ', 2) + 1, b = line.find(' ', a);
    const double t = std::stod(line.substr(a, b - a)) * 1000 + delta_ms;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", t / 1000);
    return line.substr(0, a) + buf + line.substr(b);
  }
};
Session Checker::session;
RunOutput Checker::run;

TEST_F(Checker, AKnownSessionHolds) {
  const Report r = check(session, run.status, run.out, run.err);
  ASSERT_TRUE(r.ok) << r.failure << " at line " << r.line;
  for (const char* c : {"time-out of a move", "scan completed, progress 100", "scan stopped", "fault stall outside a scan"})
    EXPECT_TRUE(r.covered.count(c)) << c;
}

TEST_F(Checker, CatchesAStageLeftOpen) {
  expect_caught([](Lines& o) { o.erase(o.end() - 4, o.end() - 1); }, "1 stage(s) not closed");
}

TEST_F(Checker, CatchesTheMainThreadDrivingAStageDuringAScan) {
  const size_t at = find("PANEL_SCANNING = 1", find("PANEL_SCANNING = 1") + 1);
  expect_caught([&](Lines& o) { o.insert(o.begin() + at + 1, "@ trace 20.101 main ISC_StopProfiled(45388004) = 0"); },
                "the main thread called the library while PANEL_SCANNING reads 1");
}

TEST_F(Checker, CatchesAStrayCallInsideAWait) {
  const size_t at = find("main ISC_ClearMessageQueue(45387934)");
  expect_caught([&](Lines& o) { o.insert(o.begin() + at + 1, "@ trace 7.601 main ISC_StopProfiled(45388004) = 0"); },
                "inside a wait on axis Y");
}

TEST_F(Checker, CatchesASecondWaitOnAnotherThread) {
  const size_t at = find("main ISC_ClearMessageQueue(45387934)");
  expect_caught(
      [&](Lines& o) { o.insert(o.begin() + at + 1, "@ trace 7.601 pool-1 ISC_SetMoveAbsolutePosition(45388004, 0) = 0"); },
      "while main waits on axis Y");
}

TEST_F(Checker, CatchesATimeOutOffItsTime) {
  const size_t at = find("AXS timeout", 0, true) + 1;
  expect_caught([&](Lines& o) { o[at] = retime(o[at], 1); }, "came at 17.602, not at 17.601");
}

TEST_F(Checker, CatchesAPollOffTheGrid) {
  const size_t at = find("main ISC_MessageQueueSize(45387934)", find("main ISC_MessageQueueSize(45387934)") + 1);
  expect_caught([&](Lines& o) { o[at] = retime(o[at], 1); }, "off its 250 ms grid");
}

TEST_F(Checker, CatchesAGoToTargetNotTruncated) {
  const size_t at = find("ISC_SetMoveAbsolutePosition(45387934, 5120000)");
  expect_caught([&](Lines& o) { o[at] = replaced(o[at], "5120000", "5120001"); },
                "should be 5120000 units");
}

TEST_F(Checker, CatchesAScanTargetOffTheGrid) {
  const size_t at = find("pool-1 ISC_SetMoveAbsolutePosition(45388004, 614400)");
  expect_caught([&](Lines& o) { o[at] = replaced(o[at], "614400", "614399"); },
                "should be 614400 units");
}

TEST_F(Checker, CatchesProgressThatIsNotTheGrids) {
  const size_t at = find("PANEL_PROGRESS = 50");
  expect_caught([&](Lines& o) { o[at] = replaced(o[at], "50", "40"); }, "progress should read 50");
}

TEST_F(Checker, CatchesAScanThatEndsEarlyWithoutAStop) {
  Session s = session;
  s.marks[4].what = "PANEL_READ";
  expect_caught([](Lines&) {}, "ended without a stop before its grid was done", s);
}

TEST_F(Checker, CatchesAScanThatGoesOnAfterItsStop) {
  // Seen one point later: the stop pressed during the third point's dwell.
  const size_t stop = find("@ PANEL_SCANNING = 1", 0, true);
  const size_t third = find("PANEL_PROGRESS = 60");
  expect_caught(
      [&](Lines& o) {
        const std::string marker = o[stop];
        o.erase(o.begin() + stop);
        o.insert(o.begin() + third, marker);
      },
      "went on after the stop");
}

TEST_F(Checker, CatchesALineThatIsNotWhole) {
  const size_t at = find("Device Disconnected...", 0, true);
  expect_caught(
      [&](Lines& o) {
        o[at] += o[at + 1];
        o.erase(o.begin() + at + 1);
      },
      "not one of the program's");
  const size_t tr = find("main ISC_Close(");
  expect_caught([&](Lines& o) { o[tr].resize(o[tr].size() - 3); }, "not whole");
}

TEST_F(Checker, CatchesALineThatIsNotTheProgramsOwn) {
  const size_t at = find("Timeout in axis");
  expect_caught([&](Lines& o) { o.insert(o.begin() + at + 1, "Homed..."); }, "a line out of place");
}

TEST_F(Checker, CatchesTimeGoingBack) {
  const size_t at = find("pool-1 ISC_MoveAbsolute(45388034)");
  expect_caught([&](Lines& o) { o[at] = retime(o[at], -1); }, "time went back");
}

TEST_F(Checker, CatchesCallsOnClosedStages) {
  // Seen in the trace (an emergency stop after the close), and as the simulator's count.
  const size_t exit_at = find("@ exit 0", 0, true);
  expect_caught(
      [&](Lines& o) { o.insert(o.begin() + exit_at, "@ trace 99.000 estop SL_SetMotionInhibit(45388004, 1) = 3"); },
      "a library call after the stages were closed");
  expect_caught(
      [&](Lines& o) {
        o.insert(o.begin() + exit_at,
                 "@ FAIL 0: the program made 61 stage-library call(s) on stages it had closed (the stages refused them)");
      },
      "calls on closed stages");
}

TEST_F(Checker, CatchesAScanStartedUnderTheEmergencyStop) {
  const size_t at = find("main ISC_GetStatusBits(45388004)", find("PANEL_SCANNING = 0", find("PANEL_SCANNING = 1")));
  const std::string time = run.out[at].substr(8, run.out[at].find(' ', 8) - 8);  // "@ trace T main ..."
  expect_caught(
      [&](Lines& o) {
        for (const char* serial : {"45388004", "45387934", "45388034"})
          o.insert(o.begin() + at, "@ trace " + time + " estop SL_SetMotionInhibit(" + serial + ", 1) = 0");
      },
      "a scan started under the emergency stop");
  expect_caught([&](Lines& o) { o.insert(o.begin() + at, "@ Start scan refused: the emergency stop holds the stages (Release first)"); },
                "refused though the emergency stop is not engaged");
}

TEST_F(Checker, CatchesAFailedRunOrAnError) {
  expect_caught([](Lines& o) { o.back() = "@ exit 1"; }, "the program returned 1");
  expect_caught([](Lines& o) { o.pop_back(); }, "without an exit line");
  expect_caught([](Lines&) {}, "standard error", session, "virtual clock: deadlock\n");
}

// A seed replays exactly: the same script gives the same output, line for line.
TEST(Sweep, ASeedReplaysExactly) {
  for (std::uint64_t seed = 1; seed <= 20; seed++) {
    const Session s = generate(seed);
    const RunOutput a = run_runner(kRunner, s.script), b = run_runner(kRunner, s.script);
    EXPECT_EQ(a.status, b.status) << "seed " << seed;
    EXPECT_TRUE(a.out == b.out) << "seed " << seed << " gave two outputs";
  }
}

// The fixed seeds, with their figures. A failing seed prints itself, the output around
// the failure and its script.
TEST(Sweep, FixedSeedsHold) {
  const SweepResult r = sweep(kRunner, 1, kSeeds, 2);
  std::printf("%s", coverage_table(r).c_str());
  for (const SeedResult& s : r.seeds) EXPECT_TRUE(s.report.ok) << failure_text(s);
  // The seeds must keep covering what they are for.
  std::map<std::string, int> planned, seen;
  for (const SeedResult& s : r.seeds) {
    for (const std::string& f : s.session.features) planned[f]++;
    for (const std::string& f : s.report.covered) seen[f]++;
  }
  for (const char* kind : {"open", "info", "stall", "drop", "delay", "channel", "status", "position", "init", "pool", "schedule"})
    EXPECT_GT(planned[std::string("fault ") + kind + " (before start)"], 0) << kind;
  for (const char* kind : {"stall", "drop", "delay", "message", "status", "channel", "position", "disable"})
    EXPECT_GT(planned[std::string("fault ") + kind + " (during the session)"], 0) << kind;
  for (const char* c : {"QUIT", "DISABLE_X", "ENABLE_Y", "STOP_Z", "HOME_X", "HOME_Y", "HOME_Z", "RESET_1", "JOG_X_PLUS",
                        "JOG_Z_MINUS", "GOTO_X", "GOTO_ALL", "READ", "STARTSCAN", "STOPSCAN"})
    EXPECT_GT(planned[std::string("press PANEL_") + c], 0) << c;
  for (const char* what :
       {"time-out of a move", "time-out of a homing", "homing completed", "go-to refused", "scan move refused",
        "start refused (a stage reads disabled)", "scan completed, progress 100", "scan stopped", "scan without points",
        "scan refused by the thread pool", "quit dropped during a scan", "command dropped during a scan",
        "start refused (the emergency stop holds)", "quit during a scan: the scan stopped, then quit",
        "fault disable during a scan", "stage failed to open", "start-up failure",
        "a message taken during a wait that does not end it", "session ended by a quit press"})
    EXPECT_GT(seen[what], 0) << what;
}

}  // namespace
