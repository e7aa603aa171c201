// The scan record end to end: the session runner with --record keeps one CSV file per
// scan. Its rows are the completed points, its targets are what the driver sent to the
// stages (the trace), its read positions are what the panel displayed, a stopped scan
// says so in its last line, and a runner killed mid-scan leaves a file that parses up to
// its last point. The scans here read no detector: the record's detector columns are
// tests/detector_test.cpp's.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/scanwatch/scanwatch.h"
#include "tests/scan_record.h"
#include "tests/session_harness.h"

namespace {

namespace fs = std::filesystem;

using vxtest::Record;
Record parse(const std::string& text) { return vxtest::parse_record(text); }

std::string fresh_dir() {
  char dir[] = "/tmp/vxrecordXXXXXX";
  return mkdtemp(dir);
}

std::vector<std::string> files_in(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().string());
  std::sort(out.begin(), out.end());
  return out;
}

const std::string kScan =
    "start\n"
    "set PANEL_NX 3\nset PANEL_NY 2\nset PANEL_NZ 2\n"
    "set PANEL_DX 0.5\nset PANEL_DY -0.75\nset PANEL_DZ 1.1\n"
    "set PANEL_X0 1.3\nset PANEL_Y0 -2\nset PANEL_Z0 0.7\n"
    "set PANEL_SCAN_X 1\nset PANEL_SCAN_Y 1\nset PANEL_SCAN_Z 1\n"
    "watch PANEL_SCANNING PANEL_POS_X PANEL_POS_Y PANEL_POS_Z\n";

TEST(ScanRecord, RowsAreTheCompletedPointsWithTheirTargetsAndReadings) {
  const std::string dir = fresh_dir();
  const auto r = vxtest::run_session(kScan + "press PANEL_STARTSCAN\nuntil PANEL_SCANNING == 0\nquit\n",
                                     "--trace --detector none --record " + dir);
  ASSERT_EQ(r.status, 0) << r.text();
  const auto files = files_in(dir);
  ASSERT_EQ(files.size(), 1u);
  ASSERT_EQ(r.at("record "), std::vector<std::string>{"record " + files[0]});
  const Record rec = parse(vxtest::read_file(files[0]));
  ASSERT_TRUE(rec.well_formed);
  std::vector<std::string> names;
  for (const auto& c : vx::scanwatch::columns()) names.push_back(c.name);
  EXPECT_EQ(rec.header, names);
  ASSERT_EQ(rec.rows.size(), 12u);
  // The scan's length as the runner's watch lines date it.
  double on = -1, off = -1;
  for (const auto& l : r.at(""))
    if (l.find(" PANEL_SCANNING = ") != std::string::npos) (l.back() == '1' && on < 0 ? on : off) = std::stod(l);
  char length[32];
  std::snprintf(length, sizeof length, "%.3f s", off - on);
  EXPECT_EQ(rec.comments.back(), std::string("# end: completed; 0 off target; ") + length);

  // The x targets the driver sent, one per point, in device units; the z and y ones per
  // plane and row.
  auto sent = [&](const char* serial) {
    std::vector<long long> out;
    for (const auto& c : r.calls(std::string("ISC_SetMoveAbsolutePosition(") + serial))
      out.push_back(std::stoll(c.substr(c.find(", ") + 2)));
    return out;
  };
  const auto xs = sent("45388004"), ys = sent("45387934"), zs = sent("45388034");
  ASSERT_EQ(xs.size(), 12u);
  ASSERT_EQ(ys.size(), 4u);
  ASSERT_EQ(zs.size(), 2u);
  // The displayed positions during the scan, one triple per point.
  std::vector<std::string> shown;
  bool scanning = false;
  for (const auto& l : r.at("")) {
    if (l.find(" PANEL_SCANNING = ") != std::string::npos) scanning = l.back() == '1';
    else if (scanning && l.find(" PANEL_POS_") != std::string::npos) shown.push_back(l.substr(l.find(" = ") + 3));
  }
  ASSERT_EQ(shown.size(), 36u);
  auto units = [](const std::string& mm) { return static_cast<long long>(std::stod(mm) * 409600); };
  for (std::size_t i = 0; i < rec.rows.size(); i++) {
    SCOPED_TRACE("point " + std::to_string(i + 1));
    EXPECT_EQ(rec.at(i, "point"), std::to_string(i + 1));
    EXPECT_EQ(units(rec.at(i, "target_x")), xs[i]);
    EXPECT_EQ(units(rec.at(i, "target_y")), ys[i / 3]);
    EXPECT_EQ(units(rec.at(i, "target_z")), zs[i / 6]);
    const char* read[] = {"read_x", "read_y", "read_z"};
    for (int k = 0; k < 3; k++) EXPECT_EQ(std::stod(rec.at(i, read[k])), std::stod(shown[3 * i + k]));
    EXPECT_EQ(rec.at(i, "ix"), std::to_string(i % 3));
    EXPECT_EQ(rec.at(i, "status_x").substr(0, 2), "0x");
    EXPECT_EQ(rec.at(i, "status_x").size(), 10u);
    EXPECT_EQ(rec.at(i, "off_target"), "0");
  }
  fs::remove_all(dir);
}

TEST(ScanRecord, AStoppedScanSaysWhereItStopped) {
  const std::string dir = fresh_dir();
  const auto r = vxtest::run_session(kScan +
                                         "watch PANEL_PROGRESS\npress PANEL_STARTSCAN\n"
                                         "until PANEL_PROGRESS > 40\npress PANEL_STOPSCAN\n"
                                         "until PANEL_SCANNING == 0\nquit\n",
                                     "--detector none --record " + dir);
  ASSERT_EQ(r.status, 0) << r.text();
  const auto files = files_in(dir);
  ASSERT_EQ(files.size(), 1u);
  const Record rec = parse(vxtest::read_file(files[0]));
  ASSERT_TRUE(rec.well_formed);
  ASSERT_EQ(rec.rows.size(), 5u) << r.text();
  EXPECT_EQ(rec.comments.back().rfind("# end: stopped after point 5 of 12; 0 off target; ", 0), 0u)
      << rec.comments.back();
  fs::remove_all(dir);
}

// A point beyond the forward limit (25 mm from the power-up position): the stage stops at
// the limit, the read position is a millimetre short of the target, and the row and the
// end line say so.
TEST(ScanRecord, APointTheStageCannotReachIsOffTarget) {
  const std::string dir = fresh_dir();
  const auto r = vxtest::run_session(
      "start\nset PANEL_NX 3\nset PANEL_DX 1\nset PANEL_X0 24\nset PANEL_Y0 0\nset PANEL_Z0 0\n"
      "set PANEL_SCAN_X 1\nset PANEL_SCAN_Y 0\nset PANEL_SCAN_Z 0\npress PANEL_STARTSCAN\n"
      "until PANEL_SCANNING == 0\nquit\n",
      "--detector none --record " + dir);
  ASSERT_EQ(r.status, 0) << r.text();
  const auto files = files_in(dir);
  ASSERT_EQ(files.size(), 1u);
  const Record rec = parse(vxtest::read_file(files[0]));
  ASSERT_EQ(rec.rows.size(), 3u);
  EXPECT_EQ(rec.at(1, "off_target"), "0");
  EXPECT_EQ(rec.at(2, "target_x"), "26");
  EXPECT_EQ(rec.at(2, "read_x"), "25");
  EXPECT_EQ(rec.at(2, "off_target"), "1");
  EXPECT_EQ(rec.comments.back().rfind("# end: completed; 1 off target; ", 0), 0u) << rec.comments.back();
  fs::remove_all(dir);
}

// The runner is killed with SIGKILL once the scan has shown a few points: whatever the
// file holds then must parse, row after row, with no end line.
TEST(ScanRecord, AKilledSessionLeavesAFileThatParses) {
  const std::string dir = fresh_dir();
  const std::string script = dir + "/long.vxs";
  {
    std::FILE* f = std::fopen(script.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(("start\nset PANEL_NX 100\nset PANEL_NY 100\nset PANEL_NZ 10\nset PANEL_DX 0.01\nset PANEL_DY 0.01\n"
                "set PANEL_DZ 0.01\nset PANEL_SCAN_X 1\nset PANEL_SCAN_Y 1\nset PANEL_SCAN_Z 1\n"
                "watch PANEL_PROGRESS\npress PANEL_STARTSCAN\nuntil PANEL_SCANNING == 0\nquit\n"),
               f);
    std::fclose(f);
  }
  const std::string rec_dir = dir + "/records";
  fs::create_directory(rec_dir);
  const std::string cmd = "cd '" VARNIX_BIN_DIR "' && echo $$ && exec ./varnix-session --detector none --record '" + rec_dir +
                          "' '" + script + "' 2>/dev/null";
  std::FILE* out = popen(cmd.c_str(), "r");
  ASSERT_NE(out, nullptr);
  char line[512];
  ASSERT_NE(std::fgets(line, sizeof line, out), nullptr);
  const pid_t pid = static_cast<pid_t>(std::atol(line));
  int progress = 0;
  while (progress < 20 && std::fgets(line, sizeof line, out))
    if (std::string(line).find(" PANEL_PROGRESS = ") != std::string::npos) progress++;
  ASSERT_EQ(progress, 20);
  kill(pid, SIGKILL);
  const int status = pclose(out);
  ASSERT_TRUE(WIFSIGNALED(status) || WEXITSTATUS(status) != 0);
  const auto files = files_in(rec_dir);
  ASSERT_EQ(files.size(), 1u);
  const Record rec = parse(vxtest::read_file(files[0]));
  EXPECT_TRUE(rec.well_formed);
  EXPECT_EQ(rec.header.size(), 16u);
  EXPECT_GE(rec.rows.size(), 19u);
  EXPECT_LT(rec.rows.size(), 100000u);
  for (std::size_t i = 0; i < rec.rows.size(); i++) EXPECT_EQ(rec.at(i, "point"), std::to_string(i + 1));
  EXPECT_EQ(rec.comments.back().rfind("# end:", 0), std::string::npos);
  fs::remove_all(dir);
}

// A disk that fills during a scan, made with the runner's file-size limit (a write that
// crosses it fails part-way, as on a full disk): for every limit the file holds whole
// lines only, its rows run from point 1 without a gap, the runner reports the failure
// as it happens (before the scan ends), and the end line, when it fits, says from which
// point on the rows are missing. The scan itself runs to its end.
TEST(ScanRecord, AFullDiskLeavesWholeRowsAndIsReportedAtOnce) {
  const std::string script =
      kScan + "watch PANEL_PROGRESS\npress PANEL_STARTSCAN\nuntil PANEL_SCANNING == 0\nquit\n";
  // The whole record's size, every line of the same length in every run but the
  // start's: the limits below cut it everywhere, the header included.
  std::size_t whole = 0;
  {
    const std::string dir = fresh_dir();
    ASSERT_EQ(vxtest::run_session(script, "--detector none --record " + dir).status, 0);
    whole = vxtest::read_file(files_in(dir).at(0)).size();
    fs::remove_all(dir);
  }
  int with_end_line = 0, runs = 0;
  for (int limit = 100; limit < static_cast<int>(whole); limit += 41, runs++) {
    SCOPED_TRACE("limit " + std::to_string(limit));
    const std::string dir = fresh_dir();
    vxtest::LiveSession s(script,
                          {"--fsize=" + std::to_string(limit), VARNIX_BIN_DIR "/varnix-session", "--detector", "none", "--record", dir},
                          true, VARNIX_BIN_DIR, "/usr/bin/prlimit");
    const auto r = s.finish();
    ASSERT_EQ(r.status, 0) << r.text();
    const auto files = files_in(dir);
    ASSERT_EQ(files.size(), 1u);
    const std::string text = vxtest::read_file(files[0]);
    EXPECT_LE(text.size(), static_cast<std::size_t>(limit));
    const Record rec = parse(text);
    EXPECT_TRUE(rec.well_formed) << text;
    for (std::size_t i = 0; i < rec.rows.size(); i++) EXPECT_EQ(rec.at(i, "point"), std::to_string(i + 1));
    // Reported once, as it happened: as the scan started when the header was lost,
    // right after the progress write of the first point whose row was lost, or, with
    // every row in, as the scan ended (the end line).
    const auto errors = r.at("record error: ");
    ASSERT_EQ(errors.size(), 1u) << r.text();
    EXPECT_EQ(errors[0].rfind("record error: writing " + files[0] + ": File too large; ", 0), 0u) << errors[0];
    std::size_t points_before = 0;
    std::string line_before;
    for (const std::string& l : r.lines) {
      if (l.rfind("@ record error: ", 0) == 0) break;
      points_before += l.find(" PANEL_PROGRESS = ") != std::string::npos;
      line_before = l;
    }
    const bool rows_lost = rec.rows.size() < 12;
    if (rec.header.empty()) {
      EXPECT_EQ(points_before, 0u) << r.text();
      EXPECT_NE(line_before.find(" PANEL_SCANNING = 1"), std::string::npos) << r.text();
    } else if (rows_lost) {
      EXPECT_EQ(points_before, rec.rows.size() + 1) << r.text();
      EXPECT_NE(line_before.find(" PANEL_PROGRESS = "), std::string::npos) << r.text();
    } else {
      EXPECT_NE(line_before.find(" PANEL_SCANNING = 0"), std::string::npos) << r.text();
    }
    // The end line is there exactly when it fits.
    double on = -1, off = -1;
    for (const auto& l : r.at(""))
      if (l.find(" PANEL_SCANNING = ") != std::string::npos) (l.back() == '1' && on < 0 ? on : off) = std::stod(l);
    char length[32];
    std::snprintf(length, sizeof length, "%.3f s", off - on);
    const std::string end = std::string("# end: completed; 0 off target; ") + length +
                            (rows_lost ? "; points from " + std::to_string(rec.rows.size() + 1) +
                                             " on not recorded: File too large"
                                       : "");
    const bool has_end = !rec.comments.empty() && rec.comments.back().rfind("# end: ", 0) == 0;
    if (has_end) {
      with_end_line++;
      EXPECT_EQ(rec.comments.back(), end);
    } else {
      EXPECT_GT(text.size() + end.size() + 2, static_cast<std::size_t>(limit)) << "room for: " << end;
    }
    fs::remove_all(dir);
  }
  EXPECT_GT(with_end_line, 0);
  EXPECT_LT(with_end_line, runs);
}

}  // namespace
