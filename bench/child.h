// A program run by a benchmark and watched from outside: started with its standard
// output on a pipe, each line stamped with the wall time at which it arrived, its CPU
// time read while it runs (/proc) and when it ends (wait4's resource usage). The
// benchmarks time the program this way rather than from within, so that what they
// measure is the program exactly as an operator runs it.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vx::bench {

// Wall seconds since a fixed point of this process (steady clock).
double wall_now();

struct Line {
  double wall = 0;  // wall_now() when the line was read
  std::string text;
};

// CPU seconds of a resource-usage record (user + system).
double cpu_seconds(const rusage& ru);

// What the scheduler has counted for each thread of a live process so far
// (/proc/PID/task/*/schedstat): its time on a CPU, to the nanosecond, and the number of
// times it was put on a CPU, which counts its wake-ups.
struct ProcSample {
  struct Task {
    double cpu = 0;       // seconds
    long long runs = 0;
  };
  std::map<int, Task> tasks;  // by thread id
  long long rss_kb = 0;       // resident memory (/proc/PID/status)
};
std::optional<ProcSample> proc_sample(pid_t pid);

// From one sample to a later one. A thread that started in between counts whole; one
// that ended in between is lost (its last stretch is unknown), and is counted in `ended`.
struct ProcDelta {
  double cpu = 0;
  long long runs = 0;
  int threads = 0;  // at the later sample
  int started = 0, ended = 0;
};
ProcDelta proc_delta(const ProcSample& from, const ProcSample& to);

class Child {
 public:
  // Starts argv[0] (a path) with argv, the environment of this process plus `env`
  // ("NAME=value" entries, which win), and its standard error sent to `stderr_path`
  // (empty: shared with this process). Throws std::runtime_error when it cannot start.
  explicit Child(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                 const std::string& stderr_path = "");
  // A child still running is killed (by its pid) and reaped.
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  double started() const { return started_; }

  // The next line of its standard output, without the newline; nothing at the end.
  std::optional<Line> next_line();
  // Reads lines until one contains `needle`; nothing when the output ends first.
  std::optional<Line> line_containing(const std::string& needle);

  void send(int signal);

  struct Exit {
    int status = 0;       // as wait4 gives it
    rusage usage{};       // of the child and all its threads
    double wall = 0;      // wall_now() when it was reaped
    std::vector<Line> rest;  // the lines not yet read when wait() was called
  };
  // Reads what is left of its output and reaps it.
  Exit wait();

 private:
  pid_t pid_ = -1;
  double started_ = 0;
  struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, FileCloser> out_;
};

}  // namespace vx::bench
