// Virtual-time speed: how many times faster than real time a long scan session runs on
// the virtual clock, where time jumps to the next deadline whenever every thread of the
// program waits. The scan's virtual seconds come from the stamps of the PANEL_SCANNING
// watch lines, its wall seconds from the moments those lines arrive here; the whole
// session (start-up with its fixed pauses, the scan, shut-down) is shown as well.
//   virtual_speed SESSION_BINARY SCRIPT [RUNS]
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/watch.h"

namespace {

using namespace vx::bench;

struct Run {
  double scan_virtual = 0, scan_wall = 0;
  double session_virtual = 0, session_wall = 0, cpu = 0;
  double speed() const { return scan_virtual / scan_wall; }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: virtual_speed SESSION_BINARY SCRIPT [RUNS]\n");
    return 2;
  }
  const std::string session = argv[1];
  const std::string script = argv[2];
  const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 9;

  std::vector<Run> all;
  // One run more than asked, the first not counted: it pays for cold caches and files.
  for (int r = 0; r <= runs; r++) {
    Child c({session, script});
    std::vector<Watch> ws;
    double last_virtual = 0;
    while (auto l = c.next_line())
      if (auto w = parse_watch(*l)) {
        ws.push_back(*w);
        last_virtual = w->t;
      }
    const Child::Exit e = c.wait();
    const auto scan = find_scan(ws);
    if (!scan || !WIFEXITED(e.status) || WEXITSTATUS(e.status) != 0) {
      std::fprintf(stderr, "virtual_speed: the session did not run a whole scan\n");
      return 1;
    }
    Run run;
    run.scan_virtual = scan->end.t - scan->start.t;
    run.scan_wall = scan->end.wall - scan->start.wall;
    run.session_virtual = last_virtual;  // the scan's end: shut-down takes no virtual time
    run.session_wall = e.wall - c.started();
    run.cpu = cpu_seconds(e.usage);
    if (r > 0) all.push_back(run);
  }

  std::printf("Virtual-time speed: %s %s, %d runs after one not counted\n\n", std::filesystem::path(session).filename().c_str(),
              script.c_str(), runs);
  std::printf("| %-6s | %14s | %11s | %9s | %17s | %14s | %13s |\n", "run", "scan virtual s", "scan wall s",
              "speed-up", "session virtual s", "session wall s", "session CPU s");
  std::printf("|--------|----------------|-------------|-----------|-------------------|----------------|---------------|\n");
  for (std::size_t k = 0; k < all.size(); k++) {
    const Run& r = all[k];
    std::printf("| %-6zu | %14.3f | %11.4f | %8.0fx | %17.3f | %14.4f | %13.4f |\n", k + 1, r.scan_virtual,
                r.scan_wall, r.speed(), r.session_virtual, r.session_wall, r.cpu);
  }
  std::vector<Run> sorted = all;
  std::sort(sorted.begin(), sorted.end(), [](const Run& a, const Run& b) { return a.speed() < b.speed(); });
  const Run& med = sorted[sorted.size() / 2];
  std::printf("\nmedian speed-up of the scan: %.0fx real time (%.1f virtual s in %.3f wall s);\n"
              "whole session: %.0fx\n",
              med.speed(), med.scan_virtual, med.scan_wall, med.session_virtual / med.session_wall);
  return 0;
}
