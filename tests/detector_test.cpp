// Detectors end to end: the session runner scans with each source on virtual time and
// the record holds what they read. The simulated sample reads the same image twice and
// follows the sample where the stages stood (not where they were sent); a reading that
// outlasts the dwell is kept and marked late; a command that fails, prints no number or
// hangs gives empty readings with the reason; the example library reads through its C
// interface; no detector keeps the record's columns as they are without one.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/detector/detector.h"
#include "platform/scanwatch/scanwatch.h"
#include "tests/scan_record.h"
#include "tests/session_harness.h"

namespace {

namespace fs = std::filesystem;

using vxtest::Record;

struct Scan {
  vxtest::SessionResult session;
  Record record;
};

// Runs `script` with `args`, keeping records in a fresh folder; the one record.
Scan scan(const std::string& script, const std::string& args) {
  char dir[] = "/tmp/vxdetectorXXXXXX";
  const std::string d = mkdtemp(dir);
  Scan s;
  s.session = vxtest::run_session(script, args + " --record " + d);
  for (const auto& e : fs::directory_iterator(d)) s.record = vxtest::parse_record(vxtest::read_file(e.path().string()));
  EXPECT_TRUE(s.record.well_formed);
  fs::remove_all(d);
  return s;
}

// A grid of nx x ny points from (x0, y0), 0.5 mm apart.
std::string grid(int nx, int ny, double x0 = 2, double y0 = 1) {
  return "start\nset PANEL_NX " + std::to_string(nx) + "\nset PANEL_NY " + std::to_string(ny) +
         "\nset PANEL_NZ 1\nset PANEL_DX 0.5\nset PANEL_DY 0.5\nset PANEL_X0 " + std::to_string(x0) +
         "\nset PANEL_Y0 " + std::to_string(y0) +
         "\nset PANEL_Z0 0\nset PANEL_SCAN_X 1\nset PANEL_SCAN_Y 1\nset PANEL_SCAN_Z 0\n";
}
const std::string kRun = "press PANEL_STARTSCAN\nuntil PANEL_SCANNING == 0 within 600\nquit\n";

std::vector<std::string> column(const Record& r, const std::string& name) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < r.rows.size(); i++) out.push_back(r.at(i, name));
  return out;
}

std::array<double, 3> read_at(const Record& r, std::size_t i) {
  return {r.num(i, "read_x"), r.num(i, "read_y"), r.num(i, "read_z")};
}

TEST(Detector, SimReadsTheSameImageTwiceAndFollowsTheSampleWhereTheStagesStood) {
  const auto a = scan(grid(6, 5) + kRun, "");
  const auto b = scan(grid(6, 5) + kRun, "");
  ASSERT_EQ(a.session.status, 0) << a.session.text();
  ASSERT_EQ(a.record.rows.size(), 30u) << a.session.text();
  EXPECT_EQ(column(a.record, "det_signal"), column(b.record, "det_signal"));
  EXPECT_EQ(column(a.record, "det_height"), column(b.record, "det_height"));
  EXPECT_NE(std::find(a.record.comments.begin(), a.record.comments.end(),
                      "# detector: sim seed=1 exposure=0.05 s noise=0.01; channels: signal height"),
            a.record.comments.end());
  const vx::detector::SimSettings sim;
  double spread = 0;
  for (std::size_t i = 0; i < a.record.rows.size(); i++) {
    const auto expected = vx::detector::sample(sim, read_at(a.record, i));
    spread = std::max(spread, std::abs(a.record.num(i, "det_signal") - expected[0]));
    EXPECT_NEAR(a.record.num(i, "det_height"), expected[1], 6 * sim.noise);
    EXPECT_EQ(a.record.at(i, "det_late"), "0");
    EXPECT_EQ(a.record.at(i, "det_error"), "");
  }
  EXPECT_LT(spread, 6 * sim.noise);
  EXPECT_GT(spread, 0);  // the noise is there
  EXPECT_EQ(a.record.comments.back().find("; 30 readings, 0 late, 0 without values"),
            a.record.comments.back().size() - std::string("; 30 readings, 0 late, 0 without values").size());
}

// The last point lies beyond the forward limit: the stage stops a millimetre short and
// the reading is the sample there, not at the target.
TEST(Detector, AnOffTargetPointIsReadWhereTheStageReallyWas) {
  const auto s = scan(
      "start\nset PANEL_NX 3\nset PANEL_DX 1\nset PANEL_X0 24\nset PANEL_Y0 0\nset PANEL_Z0 0\n"
      "set PANEL_SCAN_X 1\nset PANEL_SCAN_Y 0\nset PANEL_SCAN_Z 0\n" + kRun,
      "--detector sim,noise=0");
  ASSERT_EQ(s.record.rows.size(), 3u) << s.session.text();
  ASSERT_EQ(s.record.at(2, "off_target"), "1");
  vx::detector::SimSettings sim;
  sim.noise = 0;
  const auto there = vx::detector::sample(sim, read_at(s.record, 2));
  const auto target = vx::detector::sample(sim, {26, 0, 0});
  EXPECT_EQ(s.record.num(2, "det_signal"), there[0]);
  EXPECT_NE(s.record.num(2, "det_signal"), target[0]);
}

// An exposure longer than the 0.1 s dwell: the preview warns, every reading comes after
// the program moved on, is kept with its point and marked late, and the end line waits
// for the last one.
TEST(Detector, AReadingLongerThanTheDwellIsKeptAndMarkedLate) {
  const auto s = scan(grid(3, 2) + "preview\nwatch readings\npress PANEL_STARTSCAN\n"
                      "until PANEL_SCANNING == 0 within 600\nwait 1\nquit\n",
                      "--detector sim,exposure=0.25");
  ASSERT_EQ(s.session.status, 0) << s.session.text();
  EXPECT_EQ(s.session.at("preview warning").size(), 1u) << s.session.text();
  ASSERT_EQ(s.record.rows.size(), 6u);
  for (std::size_t i = 0; i < 6; i++) {
    EXPECT_EQ(s.record.at(i, "det_late"), "1");
    EXPECT_FALSE(s.record.at(i, "det_signal").empty());
  }
  EXPECT_NE(s.record.comments.back().find("6 readings, 6 late"), std::string::npos) << s.record.comments.back();
  // Every reading reported, in order, late.
  std::vector<std::string> lines;
  for (const auto& l : s.session.lines)
    if (l.find(" reading ") != std::string::npos) lines.push_back(l);
  ASSERT_EQ(lines.size(), 6u) << s.session.text();
  for (std::size_t i = 0; i < 6; i++) {
    EXPECT_NE(lines[i].find(" reading " + std::to_string(i + 1) + " ix="), std::string::npos) << lines[i];
    EXPECT_NE(lines[i].find(" late=1"), std::string::npos) << lines[i];
  }
}

// The program quits while readings are still exposing: they are dropped at once (the
// quit never waits for them) and their rows are kept without values.
TEST(Detector, ReadingsStillToComeWhenTheProgramEndsLeaveTheirRows) {
  const auto s = scan(grid(2, 1) + kRun, "--detector sim,exposure=5");
  ASSERT_EQ(s.session.status, 0) << s.session.text();
  ASSERT_EQ(s.record.rows.size(), 2u) << s.session.text();
  for (std::size_t i = 0; i < 2; i++) {
    EXPECT_EQ(s.record.at(i, "det_signal"), "");
    EXPECT_EQ(s.record.at(i, "det_error"), "no reading: the program ended first");
  }
  EXPECT_EQ(s.record.comments.back().rfind("# end: completed; 0 off target; ", 0), 0u) << s.record.comments.back();
}

TEST(Detector, WatchReadingsPrintsEachPointsReading) {
  const auto r = vxtest::run_session(grid(2, 1) + "watch readings\n" + kRun, "--detector sim,noise=0");
  ASSERT_EQ(r.status, 0) << r.text();
  std::vector<std::string> lines;
  for (const auto& l : r.lines)
    if (l.find(" reading ") != std::string::npos) lines.push_back(l);
  ASSERT_EQ(lines.size(), 2u) << r.text();
  EXPECT_NE(lines[0].find(" reading 1 ix=0 iy=0 iz=0 x=2 y=1 z=0 signal="), std::string::npos) << lines[0];
  EXPECT_EQ(lines[1].substr(lines[1].size() - 7), " late=0");
}

TEST(Detector, NoneKeepsTheRecordAsWithoutADetector) {
  const auto s = scan(grid(2, 2) + kRun, "--detector none");
  ASSERT_EQ(s.record.rows.size(), 4u) << s.session.text();
  std::vector<std::string> names;
  for (const auto& c : vx::scanwatch::columns()) names.push_back(c.name);
  EXPECT_EQ(s.record.header, names);
  for (const auto& c : s.record.comments) EXPECT_EQ(c.find("detector"), std::string::npos) << c;
  EXPECT_EQ(s.record.comments.back().find("readings"), std::string::npos);
}

// ---- a command ----------------------------------------------------------------------------

TEST(Detector, ACommandReadsItsPointFromItsEnvironment) {
  const auto s = scan(grid(3, 2) + kRun,
                      "--detector 'exec:echo \"point x\"; echo $VARNIX_POINT $VARNIX_READ_X $VARNIX_IX'");
  ASSERT_EQ(s.session.status, 0) << s.session.text();
  ASSERT_EQ(s.record.rows.size(), 6u);
  // A header of two names for three numbers: the third is c3.
  for (std::size_t i = 0; i < 6; i++) {
    EXPECT_EQ(s.record.at(i, "det_point"), std::to_string(i + 1));
    EXPECT_EQ(s.record.at(i, "det_x"), s.record.at(i, "read_x"));
    EXPECT_EQ(s.record.at(i, "det_c3"), s.record.at(i, "ix"));
  }
}

// Values far beyond a float's range are kept whole in the record (the map holds them at
// its range's end).
TEST(Detector, HugeValuesAreRecordedWhole) {
  const auto s = scan(grid(2, 1) + kRun, "--detector 'exec:echo 1e300 -1e300 4.5e-320'");
  ASSERT_EQ(s.session.status, 0) << s.session.text();
  ASSERT_EQ(s.record.rows.size(), 2u);
  EXPECT_EQ(s.record.at(1, "det_c1"), "1e+300");
  EXPECT_EQ(s.record.at(1, "det_c2"), "-1e+300");
  EXPECT_EQ(s.record.at(1, "det_c3"), "4.5e-320");
}

// Commands that answer the first run (VARNIX_PROBE=1) and then go wrong at the points.
TEST(Detector, ACommandThatFailsOrPrintsNoNumberGivesEmptyReadingsWithTheReason) {
  struct Case {
    const char* then;
    const char* error;
  } cases[] = {
      {"echo gone >&2; exit 3", "the command exited with status 3: gone"},
      {"echo no number here", "the command printed no numbers"},
      {"echo 1 2", "the command printed 2 numbers for 1 channels"},
      {"kill -9 $$", "the command ended by signal 9"},
      // A reason with a comma and quotes is one quoted field.
      {"echo bad, \\\"very\\\" bad >&2; exit 2", "the command exited with status 2: bad, \"very\" bad"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.then);
    const auto s = scan(grid(2, 1) + kRun, std::string("--detector 'exec:if [ $VARNIX_PROBE = 1 ]; then echo 5; else ") +
                                               c.then + "; fi'");
    ASSERT_EQ(s.session.status, 0) << s.session.text();
    ASSERT_EQ(s.record.rows.size(), 2u) << s.session.text();
    for (std::size_t i = 0; i < 2; i++) {
      EXPECT_EQ(s.record.at(i, "det_c1"), "");
      EXPECT_EQ(s.record.at(i, "det_error"), c.error);
    }
  }
}

// A command blocked opening a FIFO nobody writes: killed at its bound, each point's
// reading empty, and the scan goes on to its end.
TEST(Detector, AHangingCommandIsKilledAtItsBound) {
  char dir[] = "/tmp/vxfifoXXXXXX";
  const std::string d = mkdtemp(dir);
  const std::string fifo = d + "/never";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const auto s = scan(grid(2, 1) + kRun, "--detector 'exec,bound=0.2:if [ $VARNIX_PROBE = 1 ]; then echo 5; else cat " +
                                             fifo + "; fi'");
  ASSERT_EQ(s.session.status, 0) << s.session.text();
  ASSERT_EQ(s.record.rows.size(), 2u);
  for (std::size_t i = 0; i < 2; i++)
    EXPECT_EQ(s.record.at(i, "det_error"), "the command took longer than 0.2 s and was killed");
  fs::remove_all(d);
}

// A slow command, on the real clock: its reading waits for it, and comes with its point.
TEST(Detector, ASlowCommandsReadingComesWithItsPoint) {
  char dir[] = "/tmp/vxfifoXXXXXX";
  const std::string d = mkdtemp(dir);
  const std::string fifo = d + "/slow";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  auto choice = vx::detector::open("exec,bound=30:if [ $VARNIX_PROBE = 1 ]; then echo 0; else cat " + fifo + "; fi");
  ASSERT_EQ(choice.error, "");
  vx::RealClock clock;
  std::mutex mu;
  std::vector<std::pair<long long, vx::detector::Reading>> got;
  {
    vx::detector::Reader reader(clock, choice.detector, [&](const vx::detector::Point& p, vx::detector::Reading r) {
      std::lock_guard lk(mu);
      got.emplace_back(p.point, std::move(r));
    });
    vx::detector::Point p;
    p.point = 4;
    auto wait_for = [&](std::size_t n) {
      for (;;) {
        {
          std::lock_guard lk(mu);
          if (got.size() == n) return;
        }
        std::this_thread::yield();
      }
    };
    reader.read(p);
    // The command waits on the FIFO until this end opens it.
    std::ofstream(fifo) << "42\n";
    wait_for(1);  // before the next command opens the FIFO, this one is gone
    p.point = 5;
    reader.read(p);
    std::ofstream(fifo) << "43\n";
    wait_for(2);  // the reader ends after the reading in progress only
  }
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].first, 4);
  EXPECT_EQ(got[0].second.values, std::vector<double>{42});
  EXPECT_EQ(got[1].first, 5);
  EXPECT_EQ(got[1].second.values, std::vector<double>{43});
  fs::remove_all(d);
}

// ---- a library ---------------------------------------------------------------------------

TEST(Detector, TheExampleLibraryReadsThroughItsInterface) {
  const std::string lib = std::string(VARNIX_BIN_DIR) + "/../lib/libvarnix-detector-example.so";
  const auto s = scan(grid(4, 2) + kRun, "--detector lib:" + lib);
  ASSERT_EQ(s.session.status, 0) << s.session.text();
  ASSERT_EQ(s.record.rows.size(), 8u);
  int count = 0;
  for (std::size_t i = 0; i < 8; i++) {
    SCOPED_TRACE(i);
    if (i + 1 == 7) {
      EXPECT_EQ(s.record.at(i, "det_sum"), "");
      EXPECT_EQ(s.record.at(i, "det_error"), "the library's reading failed: point 7: every seventh point fails");
      continue;
    }
    const auto at = read_at(s.record, i);
    EXPECT_DOUBLE_EQ(s.record.num(i, "det_sum"), at[0] + at[1] + at[2]);
    EXPECT_EQ(s.record.num(i, "det_count"), ++count);
  }
}

// ---- choosing one ------------------------------------------------------------------------------

TEST(Detector, ASourceIsOpenedOrRefusedWithTheReason) {
  struct Case {
    std::string text;
    std::string error;  // empty: opens
    std::vector<std::string> channels;
  } cases[] = {
      {"sim", "", {"signal", "height"}},
      {"sim,seed=7,exposure=0.2,noise=0", "", {"signal", "height"}},
      {"none", "", {}},
      {"exec:echo 'a b!' ; echo 1 2", "", {"a", "b_"}},
      {"exec:echo 3 4 5", "", {"c1", "c2", "c3"}},
      {"camera", "--detector camera: unknown source 'camera' (sim, exec:COMMAND, lib:PATH, none)", {}},
      {"sim:seed=2", "--detector sim:seed=2: sim takes no ':' (settings follow a comma: sim,seed=2,exposure=0.05,noise=0.01)",
       {}},
      {"sim,seed=-1", "--detector sim,seed=-1: seed must be a whole number from 0 to 4294967295", {}},
      {"sim,exposure=1e9", "--detector sim,exposure=1e9: exposure must be seconds from 0 to 3600", {}},
      {"sim,colour=red", "--detector sim,colour=red: unknown setting 'colour=red' (seed, exposure, noise)", {}},
      {"exec:", "--detector exec:: exec needs a command (exec:COMMAND)", {}},
      {"exec,bound=0:true", "--detector exec,bound=0:true: bound must be seconds above 0, at most 30", {}},
      {"exec,bound=31:true", "--detector exec,bound=31:true: bound must be seconds above 0, at most 30", {}},
      {"exec:exit 4", "--detector exec:exit 4: the command's first run (VARNIX_PROBE=1) exited with status 4", {}},
      {"exec:echo none", "--detector exec:echo none: the command's first run (VARNIX_PROBE=1) printed no line of numbers",
       {}},
      {"lib:", "--detector lib:: lib needs a path (lib:PATH)", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto choice = vx::detector::open(c.text);
    EXPECT_EQ(choice.error, c.error);
    if (!c.error.empty() || c.channels.empty()) {
      EXPECT_EQ(choice.detector, nullptr);
      continue;
    }
    ASSERT_NE(choice.detector, nullptr);
    EXPECT_EQ(choice.detector->channels(), c.channels);
  }
  const auto missing = vx::detector::open("lib:/nonexistent/libx.so");
  EXPECT_EQ(missing.error.rfind("--detector lib:/nonexistent/libx.so: cannot load /nonexistent/libx.so: ", 0), 0u)
      << missing.error;
}

TEST(Detector, TheRunnerRefusesABadSourceBeforeItStarts) {
  const auto r = vxtest::run_session("start\nquit\n", "--detector 'exec:exit 1'");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "varnix-session: --detector exec:exit 1: the command's first run (VARNIX_PROBE=1) exited with "
                   "status 1\n");
  EXPECT_TRUE(r.lines.empty());
}

}  // namespace
