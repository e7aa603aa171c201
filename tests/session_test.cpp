// The session runner itself: script syntax and its errors, exit statuses, show and
// watch output, popups, the implicit quit at the end of a script.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <fstream>
#include <memory>

#include "platform/session/script.h"
#include "platform/signals/signals.h"
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
      {"wait -1\n", "s.vxs:1: expected: wait SECONDS (0 to 86400)"},
      {"wait 1e9\n", "s.vxs:1: expected: wait SECONDS (0 to 86400)"},
      {"until PANEL_IX == 3 within 86400.5\n", "s.vxs:1: within takes SECONDS (0 to 86400)"},
      {"fault open W 2\n", "s.vxs:1: fault open needs an axis: X, Y, Z or a serial number"},
      {"fault open X\n", "s.vxs:1: fault open takes 1 number(s) after the axis"},
      {"fault melt X\n", "s.vxs:1: unknown fault 'melt'"},
      {"start now\n", "s.vxs:1: start takes nothing"},
      {"show\n", "s.vxs:1: show needs at least one control"},
      // What the script holds is shown with its control characters escaped.
      {"start\n\033]0;pwned\007\n", "s.vxs:2: unknown statement '\\x1b]0;pwned\\x07'"},
      {"show PANEL_X \xe2\x80\xaetxt.exe\n",
       "s.vxs:1: '\\u202etxt.exe' is not a control (a PANEL_ name or an id)"},
      {"fault \xc2\x9b" "2J\xff X\n", "s.vxs:1: unknown fault '\\u009b2J\\xff'"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(vx::session::parse_script(c.text, "s.vxs", error)) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
  }
}

// A session may wait a week of virtual time in all: its waits and the bounds of its
// untils (3600 s where within gives none) are added up as it is read, and the line
// where the sum passes the week is refused.
TEST(Script, TheWaitsOfAScriptAddUpToAWeekAtMost) {
  std::string day;
  for (int k = 0; k < 7; k++) day += "wait 86400\n";
  struct Case {
    std::string text;
    std::string error;  // empty: accepted
  } cases[] = {
      {day, ""},
      {day + "wait 0.001\n", "s.vxs:8: the script's waits (wait, and until with its bound, 3600 s unless within says) "
                             "add up to 604800.001 s here, more than a session may wait in all (604800 s, 7 days)"},
      {day.substr(11) + "wait 82800\nuntil PANEL_IX == 1\n", ""},
      {day.substr(11) + "wait 82801\nuntil PANEL_IX == 1\n", "s.vxs:8: the script's waits"},
      {day + "until PANEL_IX == 1 within 0\nexpect PANEL_IX == 0\n", ""},
  };
  for (const Case& c : cases) {
    std::string error;
    const auto script = vx::session::parse_script(c.text, "s.vxs", error);
    EXPECT_EQ(script.has_value(), c.error.empty()) << c.text;
    EXPECT_EQ(error.substr(0, c.error.size()), c.error);
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

// A script that says quit, or ends, while a scan runs, or whose quit a Start scan taken
// before it drops: the program is ended as on a signal (the emergency stop stops the
// scan, then quit is pressed), at once, and closes the stages itself.
TEST(Runner, AQuitDuringAScanStopsTheScanThenQuits) {
  const std::string scan =
      "start\nwatch PANEL_SCANNING\nset PANEL_NX 5\nset PANEL_NY 5\nset PANEL_SCAN_X 1\nset PANEL_SCAN_Y 1\n";
  const struct {
    const char* what;
    std::string script;
  } cases[] = {
      {"quit", scan + "press PANEL_STARTSCAN\nwait 3\nquit\n"},
      {"the script's end", scan + "press PANEL_STARTSCAN\nwait 3\n"},
      {"a quit behind a Start scan", scan + "press PANEL_HOME_X\nwait 1\npress PANEL_STARTSCAN\nquit\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto r = run_session(c.script);
    EXPECT_EQ(r.status, 0) << r.text();
    EXPECT_TRUE(r.at("FAIL").empty()) << r.text();
    EXPECT_EQ(r.at("quit during"), Lines{"quit during a scan: ending the program"}) << r.text();
    // The scan (45 s long) ended within a second of the quit: stopped, not waited out.
    double lit = -1, out = -1;
    for (const auto& l : r.at(""))
      if (l.find(" PANEL_SCANNING = ") != std::string::npos) (l.back() == '1' ? lit : out) = std::stod(l);
    ASSERT_GT(lit, 0) << r.text();
    EXPECT_LT(out - lit, 4) << r.text();
    EXPECT_EQ(r.calls("ISC_StopProfiled").size(), 3u);
    EXPECT_EQ(r.count("Device Disconnected..."), 3);
    EXPECT_EQ(r.at("exit"), Lines{"exit 0"});
  }
}

// The Scanning lamp put out by hand while the scan runs: the program takes the quit, but
// stops the worker and waits for it before it closes the stages. Nothing calls a stage
// after its close (the simulator would refuse and count such a call, and the runner
// would fail the session), and no worker outlives the program.
TEST(Runner, AScanWorkerIsStoppedAndAwaitedBeforeTheStagesClose) {
  const auto r = run_session("start\npress PANEL_STARTSCAN\nwait 2\nset PANEL_SCANNING 0\nquit\n");
  EXPECT_EQ(r.status, 0) << r.text();
  EXPECT_TRUE(r.at("FAIL").empty()) << r.text();
  EXPECT_TRUE(r.at("the program returned").empty()) << r.text();
  const auto trace = r.trace();
  const auto closing = std::find_if(trace.begin(), trace.end(), [](const std::string& t) {
    return t.find(" ISC_StopPolling(") != std::string::npos;
  });
  ASSERT_NE(closing, trace.end()) << r.text();
  EXPECT_EQ(trace.end() - closing, 6) << r.text();  // StopPolling and Close of each stage, and no more
  EXPECT_NE(std::find_if(trace.begin(), closing,
                         [](const std::string& t) { return t.find(" pool-1 ISC_GetStatusBits(") != std::string::npos; }),
            closing);  // the worker finished its point
  EXPECT_EQ(r.count("Device Disconnected..."), 3);
}

// A record folder the runner cannot write in is refused at start, like any bad
// argument, rather than reported at every scan of a session that keeps no record.
TEST(Runner, RefusesARecordFolderItCannotWriteIn) {
  char tmpl[] = "/tmp/vxrecdirXXXXXX";
  const std::string dir = mkdtemp(tmpl);
  std::ofstream(dir + "/plain") << "x";
  std::vector<std::pair<std::string, std::string>> cases = {
      {dir + "/none", "no such directory"},
      {dir + "/plain", "not a directory"},
      {"/dev/full", "not a directory"},
      {"/sys", "cannot make a file there: "},  // whoever runs the test
  };
  if (geteuid() != 0) {  // the superuser writes in a folder without write permission
    mkdir((dir + "/locked").c_str(), 0555);
    cases.push_back({dir + "/locked", "cannot make a file there: Permission denied"});
  }
  for (const auto& [folder, why] : cases) {
    SCOPED_TRACE(folder);
    const auto r = run_session("start\nquit\n", "--record " + folder);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.lines.empty()) << r.text();
    EXPECT_EQ(r.err.rfind("varnix-session: --record " + folder + ": " + why, 0), 0u) << r.err;
  }
  EXPECT_EQ(run_session("start\nquit\n", "--record " + dir).status, 0);
  std::system(("rm -rf '" + dir + "'").c_str());
}

TEST(Runner, TheExamplesRun) {
  for (const char* name : {"demo", "goto", "timeout", "scan", "live", "readings"}) {
    const std::string script = vxtest::read_file(std::string(VARNIX_SOURCE_DIR "/examples/") + name + ".vxs");
    ASSERT_FALSE(script.empty()) << name;
    auto r = run_session(script, "");
    EXPECT_EQ(r.status, 0) << name << "\n" << r.text();
    EXPECT_TRUE(r.at("FAIL").empty()) << name;
  }
}

}  // namespace

namespace {

using vxtest::LiveSession;

// A shutdown signal to the runner on real time, in each state a session can be in: the
// program ends through its own quit path (the emergency stop cuts a homing short, a
// scan is stopped), the stages are closed and the runner exits 0. The children run at
// once, so that their start-ups (6.6 s of real time) overlap.
TEST(RunnerSignals, EachEndsTheProgramThroughItsQuitPathOnRealTime) {
  const std::string scan =
      "start\nset PANEL_NX 5\nset PANEL_NY 5\nset PANEL_NZ 1\nset PANEL_SCAN_X 1\nset PANEL_SCAN_Y 1\n"
      "press PANEL_STARTSCAN\nuntil PANEL_SCANNING == 1 within 5\nshow PANEL_SCANNING\nwait 600\n";
  struct Case {
    const char* what;
    int signal;
    std::string script;
    std::string ready;  // the line after which the signal is sent
  };
  const Case cases[] = {
      {"SIGHUP at rest", SIGHUP, "start\nshow PANEL_CONNECTED\nwait 600\n", "@ PANEL_CONNECTED = 1"},
      {"SIGTERM while the quit waits for a homing", SIGTERM,
       "start\npress PANEL_HOME_X\nwait 1\nshow PANEL_CONNECTED\nquit\n", "@ PANEL_CONNECTED = 1"},
      {"SIGINT during a homing", SIGINT, "start\npress PANEL_HOME_Y\nwait 1\nshow PANEL_CONNECTED\nwait 600\n",
       "@ PANEL_CONNECTED = 1"},
      {"SIGTERM during a scan", SIGTERM, scan, "@ PANEL_SCANNING = 1"},
  };
  std::vector<std::unique_ptr<LiveSession>> live;
  for (const Case& c : cases) live.push_back(std::make_unique<LiveSession>(c.script, std::vector<std::string>{"--realtime"}));
  for (size_t k = 0; k < live.size(); k++) {
    const Case& c = cases[k];
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(live[k]->read_until(c.ready));
    live[k]->signal(c.signal);
  }
  for (size_t k = 0; k < live.size(); k++) {
    const Case& c = cases[k];
    SCOPED_TRACE(c.what);
    const auto r = live[k]->finish();
    EXPECT_EQ(r.status, 0) << r.text();
    EXPECT_EQ(r.at(vx::sig::name(c.signal)), Lines{std::string(vx::sig::name(c.signal)) + ": ending the program"})
        << r.text();
    EXPECT_EQ(r.count("Device Disconnected..."), 3) << r.text();
    EXPECT_EQ(r.at("exit"), Lines{"exit 0"}) << r.text();
    if (c.script.find("HOME") != std::string::npos) {
      // Cut short, not waited out: the stage stopped, and no homing completed.
      const auto program = r.program();
      EXPECT_EQ(std::count_if(program.begin(), program.end(),
                              [](const std::string& l) { return l.rfind("Stopped in axis", 0) == 0; }),
                1)
          << r.text();
      EXPECT_EQ(r.count("Homed..."), 0) << r.text();
    }
  }
}

// Standard output with no reader (`varnix-session scan.vxs | head -1`): every write
// fails, and the session still runs to its end and exits with its own status.
TEST(Runner, LostStandardOutputEndsNothing) {
  LiveSession s(vxtest::read_file(VARNIX_SOURCE_DIR "/examples/scan.vxs"), {"--trace"}, false);
  const auto r = s.finish();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "varnix-session: standard output went away; the session ran on to its end\n");
}

TEST(Runner, RefusesAScriptThatIsNotAFile) {
  const struct {
    const char* path;
    const char* error;
  } cases[] = {
      {"/tmp", "/tmp: cannot read: is a directory, not a script\n"},
      {"/dev/zero", "/dev/zero: cannot read: longer than 1 MiB, which no session script is\n"},
      {"/nonexistent.vxs", "/nonexistent.vxs: cannot open: No such file or directory\n"},
  };
  for (const auto& c : cases) {
    const std::string cmd = std::string("'" VARNIX_BIN_DIR "/varnix-session' ") + c.path + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[256];
    while (fgets(buf, sizeof buf, p)) out += buf;
    const int raw = pclose(p);
    EXPECT_EQ(WEXITSTATUS(raw), 2) << c.path;
    EXPECT_EQ(out, c.error);
  }
}

// A panel timer of 1 ms (the least a panel file may give) ticks again before the
// program has served a tick and paused 1 ms after it: the program never waits with
// nothing queued. The runner says so, quits it and exits 1.
TEST(Runner, ReportsAProgramThatNeverComesToRest) {
  char tmpl[] = "/tmp/vxrestXXXXXX";
  const std::string dir = mkdtemp(tmpl);
  std::string panel = vxtest::read_file(VARNIX_BIN_DIR "/Varnix_ui.uir");
  const auto at = panel.find("interval = 0.5");
  ASSERT_NE(at, std::string::npos);
  panel.replace(at, 14, "interval = 0.001");
  std::ofstream(dir + "/Varnix_ui.uir") << panel;
  const auto r = run_session("start\nshow PANEL_CONNECTED\n", "", dir);
  std::system(("rm -rf '" + dir + "'").c_str());
  EXPECT_EQ(r.status, 1) << r.text();
  EXPECT_EQ(r.at("FAIL"),
            Lines{"FAIL 1: the program did not come to rest within 60 s of start: it never waited for an event "
                  "with none queued (its panel timer PANEL_TIMER ticks every 0.001 s, sooner than the program "
                  "serves a tick and pauses 0.001 s after it)"})
      << r.text();
  EXPECT_EQ(r.count("Device Disconnected..."), 3);
  EXPECT_EQ(r.at("exit"), Lines{"exit 0"});
}

}  // namespace
