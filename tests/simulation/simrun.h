// Running generated sessions: one through the session runner as a child process, and a
// sweep over a range of seeds on a few worker threads, each running its own children,
// with the coverage figures and the report of a failing seed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/simulation/simcheck.h"
#include "tests/simulation/simgen.h"

namespace vx::simtest {

struct RunOutput {
  int status = -1;  // the exit status, or 256 + the signal that ended it
  std::vector<std::string> out;
  std::string err;
};

// Runs `runner --trace` on the script. Never throws; a runner that cannot be started
// gives status 127 and says so in `err`.
RunOutput run_runner(const std::string& runner, const std::string& script);

struct SeedResult {
  Session session;
  Report report;
  RunOutput output;  // kept only for a failing seed
  std::size_t lines = 0;
};

struct SweepResult {
  std::vector<SeedResult> seeds;  // in seed order
  double wall_seconds = 0;
  int jobs = 1;
  int failed() const;
};

// Runs seeds from..to (inclusive) on `jobs` threads.
SweepResult sweep(const std::string& runner, std::uint64_t from, std::uint64_t to, int jobs);

// Generates, runs and checks one seed.
SeedResult run_seed(const std::string& runner, std::uint64_t seed);

// The figures: how many sessions planned and how many showed each feature.
std::string coverage_table(const SweepResult& r);

// What a failing seed prints: the failure, the output around it, how to reproduce it
// and the script.
std::string failure_text(const SeedResult& r);

// The session runner beside the running executable.
std::string runner_beside_me();

}  // namespace vx::simtest
