// Idle cost: what the program spends while it rests with its panel timer running (a
// refresh twice a second), in CPU seconds per minute of rest. Three variants:
//  - headless: the session runner in real time (bench/idle_30s.vxs), at rest between
//    its two "show" lines;
//  - windowed: the operator window on Qt's offscreen platform, when it has been built,
//    at rest from the moment its third stage reports its opening, for 30 s, after
//    which it gets SIGTERM;
//  - the same window serving remote clients (--listen on a Unix socket), with 10
//    clients connected that have each had one reply and then stay silent.
// The figure is the scheduler's count of CPU time over the rest (all threads, to the
// nanosecond, from /proc), with the wake-ups and the growth of resident memory over
// the same span. Beside it, the whole run's CPU time as wait4 reports it (start-up with
// its fixed pauses, the rest, shut-down): a bound that needs no /proc.
//   idle_cost BIN_DIR BENCH_DIR [REST_SECONDS]   (the window's rest; the headless one is the
//                                               script's wait)
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/child.h"

namespace {

using namespace vx::bench;

struct Run {
  bool ok = false;
  double rest = 0;                 // wall seconds of the rest
  std::optional<ProcSample> from;  // at the start of the rest
  std::optional<ProcSample> to;    // at its end
  double cpu = 0;                  // the whole run's CPU seconds (wait4)
  double wall = 0;                 // the whole run's wall seconds
};

void finish(Child& c, Run& r) {
  const Child::Exit e = c.wait();
  r.cpu = cpu_seconds(e.usage);
  r.wall = e.wall - c.started();
  r.ok = r.ok && WIFEXITED(e.status) && WEXITSTATUS(e.status) == 0;
}

// The session runner on a script whose rest lies between two "@ PANEL_CONNECTED" lines.
Run headless(const std::string& bin, const std::string& script) {
  Run r;
  Child c({bin + "/varnix-session", "--realtime", script});
  const auto a = c.line_containing("@ PANEL_CONNECTED");
  if (a) r.from = proc_sample(c.pid());
  const auto b = a ? c.line_containing("@ PANEL_CONNECTED") : std::nullopt;
  if (b) r.to = proc_sample(c.pid());
  r.ok = a && b;
  if (r.ok) r.rest = b->wall - a->wall;
  finish(c, r);
  return r;
}

// A remote client on the Unix socket at `path` that has had its reply to `activity`;
// -1 when it could not connect or got none.
int remote_client(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  std::strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || write(fd, "activity\n", 9) != 9) {
    close(fd);
    return -1;
  }
  std::string got;
  char b[4096];
  for (ssize_t n; got.find("\nok\n") == std::string::npos && (n = read(fd, b, sizeof b)) > 0;) got.append(b, n);
  if (got.find("\nok\n") == std::string::npos) {
    close(fd);
    return -1;
  }
  return fd;
}

// The window, at rest once the third stage has reported its opening; with `clients`,
// serving that many connected remote clients.
Run windowed(const std::string& bin, double rest, int clients = 0) {
  Run r;
  std::string dir;
  std::vector<std::string> argv{bin + "/varnix"};
  if (clients > 0) {
    char tmp[] = "/tmp/vxidleXXXXXX";
    if (!mkdtemp(tmp)) return r;
    dir = tmp;
    argv.insert(argv.end(), {"--listen", "unix:" + dir + "/s"});
  }
  Child c(argv, {"QT_QPA_PLATFORM=offscreen"}, "/dev/null");
  std::optional<Line> a;
  for (int k = 0; k < 3; k++) a = c.line_containing(" err=");
  std::vector<int> fds;
  for (int k = 0; a && k < clients; k++)
    if (const int fd = remote_client(dir + "/s"); fd >= 0) fds.push_back(fd);
  if (static_cast<int>(fds.size()) < clients) a.reset();
  if (a) {
    const double from = wall_now();
    r.from = proc_sample(c.pid());
    std::this_thread::sleep_for(std::chrono::duration<double>(rest));
    r.to = proc_sample(c.pid());
    r.rest = wall_now() - from;
  }
  c.send(SIGTERM);
  r.ok = a.has_value();
  finish(c, r);
  for (const int fd : fds) close(fd);
  if (!dir.empty()) std::filesystem::remove_all(dir);
  return r;
}

void rule() {
  std::printf("|%s|%s|%s|%s|%s|%s|%s|%s|\n", std::string(30, '-').c_str(), std::string(8, '-').c_str(),
              std::string(11, '-').c_str(), std::string(11, '-').c_str(), std::string(9, '-').c_str(),
              std::string(13, '-').c_str(), std::string(12, '-').c_str(), std::string(22, '-').c_str());
}

void print_row(const char* what, const Run& r) {
  if (!r.ok || !r.from || !r.to) {
    std::printf("| %-28s | failed to run%*s|\n", what, 93, "");
    return;
  }
  const ProcDelta d = proc_delta(*r.from, *r.to);
  const double rss = static_cast<double>(r.to->rss_kb - r.from->rss_kb);
  std::string note;
  if (d.started || d.ended)
    note = " " + std::to_string(d.started) + " thread(s) started, " + std::to_string(d.ended) + " ended";
  std::printf("| %-28s | %6.2f | %9.4f | %9.4f | %7d | %11.1f | %10.0f | %7.3f in %7.1f s |%s\n", what, r.rest,
              d.cpu, 60 * d.cpu / r.rest, d.threads, static_cast<double>(d.runs) / r.rest, 60 * rss / r.rest,
              r.cpu, r.wall, note.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: idle_cost BIN_DIR BENCH_DIR [REST_SECONDS]\n");
    return 2;
  }
  const std::string bin = argv[1];
  const std::string bench = argv[2];
  const double rest = argc > 3 ? std::atof(argv[3]) : 30.0;

  std::printf("Idle cost: the program at rest with its panel timer (0.5 s) running\n\n");
  std::printf("| %-28s | %6s | %9s | %9s | %7s | %11s | %10s | %20s |\n", "variant", "rest s", "CPU s",
              "CPU s/min", "threads", "wake-ups/s", "RSS kB/min", "whole run: CPU s");
  std::printf("| %-28s | %6s | %9s | %9s | %7s | %11s | %10s | %20s |\n", "", "", "in rest", "at rest", "",
              "at rest", "at rest", "(wait4) in wall s");
  rule();

  print_row("headless (varnix-session)", headless(bin, bench + "/idle_30s.vxs"));
  if (access((bin + "/varnix").c_str(), X_OK) != 0)
    std::printf("| %-28s | not built%*s|\n", "window (varnix, offscreen)", 97, "");
  else {
    print_row("window (varnix, offscreen)", windowed(bin, rest));
    print_row("window, 10 remote clients", windowed(bin, rest, 10));
  }
  return 0;
}
