// Detectors: what a scan measures at each of its points. A detector gives one or more
// named channels (doubles) per reading. The sources:
//   sim          a simulated sample in the simulated stages' space, read at the stage's
//                position with seeded noise and an exposure on the clock (deterministic
//                on virtual time)
//   exec:COMMAND runs COMMAND (through /bin/sh, as the operator typed it) at each point,
//                the point in its environment, and takes the numbers of its first output
//                line; a first line of names (a header) names the channels, else c1, c2..
//   lib:PATH     a shared library with the C interface of detector_library.h
//   none         no readings: scans and their records are as without a detector
// Settings follow the source's name, before any colon: "sim,seed=3,exposure=0.2,noise=0",
// "exec,bound=0.5:./read-meter" (bound: the command's time limit in seconds).
// A reading that fails is empty, with the reason: a detector never stops the program.
//
// The Reader ties readings to points: it reads on a thread of its own (enrolled with the
// clock), one point after another in the order they were asked for, and hands each
// reading back with its point. Asking never waits, so the program's pacing is never
// moved by a detector.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/clock/clock.h"

namespace vx::detector {

// A scan point, as a reading is asked for it.
struct Point {
  std::uint64_t scan = 0;                 // the asker's tag of the scan (opaque to detectors)
  long long point = 0;                    // 1 for the first of the scan
  std::array<int, 3> index{0, 0, 0};      // ix, iy, iz
  std::array<double, 3> target{0, 0, 0};  // mm
  std::array<double, 3> read{0, 0, 0};    // mm, where the stages stood as the dwell began
};

// One reading: a value per channel, or none with the reason.
struct Reading {
  std::vector<double> values;
  std::string error;
  bool ok() const { return error.empty(); }
};

class Detector {
 public:
  virtual ~Detector() = default;
  // The source and its settings in words, for the record ("sim seed=1 exposure=0.05 s
  // noise=0.01").
  virtual std::string describe() const = 0;
  virtual const std::vector<std::string>& channels() const = 0;
  // How long a reading integrates, on the program's clock: the reader waits that long
  // before it calls read(). 0 for a source that takes its own time (a command, a
  // library).
  virtual Duration exposure() const = 0;
  // Reads at `p`, at the end of its exposure. Called on the reader's thread, one
  // reading at a time.
  virtual Reading read(const Point& p) = 0;
};

// ---- the sources --------------------------------------------------------------------

struct SimSettings {
  unsigned seed = 1;
  Duration exposure = std::chrono::milliseconds(50);
  double noise = 0.01;  // the noise's standard deviation, in the signal's units
};
// The simulated sample's channels at a position (mm), without noise: "signal" (features
// of several sizes on a slope, sharpest at z = 0) and "height" (a smooth relief).
std::array<double, 2> sample(const SimSettings& s, const std::array<double, 3>& at);
std::unique_ptr<Detector> make_sim(const SimSettings& s);

struct ExecSettings {
  std::string command;
  // How long a run may take, in real time (a command runs in real time whatever the
  // program's clock); past it the command is killed and the reading is empty.
  Duration bound = std::chrono::seconds(5);
};
// Runs the command once to learn its channels (VARNIX_PROBE=1 in its environment); an
// error when that run fails or prints no number.
std::unique_ptr<Detector> make_exec(const ExecSettings& s, std::string& error);

// Opens the library and its detector; an error when it cannot.
std::unique_ptr<Detector> make_lib(const std::string& path, std::string& error);

// ---- choosing one ---------------------------------------------------------------------

// The detector a --detector SOURCE names, opened; nothing for "none"; or an error in plain
// words ("--detector: unknown source 'foo' (sim, exec:COMMAND, lib:PATH, none)").
struct Choice {
  std::shared_ptr<Detector> detector;
  std::string error;
};
Choice open(std::string_view text);
// What an empty choice means: "sim" on simulated stages, else "none".
std::string default_source();

// ---- reading at the points ---------------------------------------------------------------

class Reader {
 public:
  using Done = std::function<void(const Point&, Reading)>;
  // Readings asked for and not yet begun beyond this are dropped with a reason: a
  // detector far slower than the scan cannot grow the queue without bound.
  static constexpr std::size_t kMaxQueued = 1000;

  // Starts the reading thread (enrolled with `clock` as "detector"). `done` is called on
  // it for every reading asked for, in order.
  Reader(Clock& clock, std::shared_ptr<Detector> detector, Done done);
  // Ends the thread: an exposure under way is cut short and its reading dropped, as are
  // the readings not begun; a read() under way is let finish.
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Asks for a reading at `p`; returns at once.
  void read(const Point& p);
  const Detector& detector() const { return *detector_; }

 private:
  void main(Participant token);

  Clock& clock_;
  std::shared_ptr<Detector> detector_;
  Done done_;
  WaitChannel channel_;
  std::deque<Point> queue_;  // under the clock's mutex
  bool stop_ = false;        // under the clock's mutex
  std::thread thread_;
};

}  // namespace vx::detector
