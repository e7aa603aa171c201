// varnix-simtest: the simulated operator sessions from the command line, for soak runs
// and for reproducing a seed.
//   varnix-simtest --seeds A..B [--jobs N]   run seeds A to B (--seeds N: 1 to N)
//   varnix-simtest --seed S [-v]             run one seed; -v prints the runner's output
//   varnix-simtest --script S                print the session of seed S
// --runner PATH picks the session runner (default: the one beside this program).
// Exit status: 0 when every seed held, 1 when one failed, 2 on a usage error.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/simulation/simrun.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: varnix-simtest --seeds A..B|N [--jobs N] [--runner PATH]\n"
               "       varnix-simtest --seed S [-v] [--runner PATH]\n"
               "       varnix-simtest --script S\n");
  return 2;
}

bool parse_u64(const char* s, std::uint64_t& v) {
  if (!s || !*s) return false;
  char* end = nullptr;
  errno = 0;
  v = std::strtoull(s, &end, 10);
  return errno == 0 && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t from = 0, to = 0, one = 0;
  bool have_range = false, have_one = false, script_only = false, verbose = false;
  int jobs = 2;
  std::string runner = vx::simtest::runner_beside_me();
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "--seeds" && next) {
      const std::string v = argv[++i];
      const size_t dots = v.find("..");
      if (dots == std::string::npos) {
        from = 1;
        if (!parse_u64(v.c_str(), to)) return usage();
      } else if (!parse_u64(v.substr(0, dots).c_str(), from) || !parse_u64(v.substr(dots + 2).c_str(), to)) {
        return usage();
      }
      have_range = true;
    } else if ((a == "--seed" || a == "--script") && next) {
      if (!parse_u64(argv[++i], one)) return usage();
      have_one = true;
      script_only = a == "--script";
    } else if (a == "--jobs" && next) {
      jobs = std::atoi(argv[++i]);
      if (jobs < 1) return usage();
    } else if (a == "--runner" && next) {
      runner = argv[++i];
    } else if (a == "-v") {
      verbose = true;
    } else {
      return usage();
    }
  }
  if (have_one == have_range) return usage();

  if (script_only) {
    std::fputs(vx::simtest::generate(one).script.c_str(), stdout);
    return 0;
  }
  if (have_one) {
    vx::simtest::SeedResult r = vx::simtest::run_seed(runner, one);
    if (verbose) {
      if (r.report.ok) r.output = vx::simtest::run_runner(runner, r.session.script);
      for (const std::string& l : r.output.out) std::printf("%s\n", l.c_str());
      std::fputs(r.output.err.c_str(), stdout);
    }
    if (!r.report.ok) {
      std::fputs(vx::simtest::failure_text(r).c_str(), stdout);
      return 1;
    }
    std::printf("seed %llu held (%zu output lines, %.3f virtual s)\n", static_cast<unsigned long long>(one), r.lines,
                r.report.virtual_ms / 1000.0);
    return 0;
  }
  const vx::simtest::SweepResult res = vx::simtest::sweep(runner, from, to, jobs);
  for (const vx::simtest::SeedResult& s : res.seeds)
    if (!s.report.ok) std::fputs(vx::simtest::failure_text(s).c_str(), stdout);
  std::fputs(vx::simtest::coverage_table(res).c_str(), stdout);
  std::printf("%zu passed, %d failed\n", res.seeds.size() - res.failed(), res.failed());
  return res.failed() ? 1 : 0;
}
