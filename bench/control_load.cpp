// The control server under load, from outside: `varnix-session --realtime --listen` on
// loopback TCP, one client that holds control and runs the pacing benchmark's scan
// (5 x 5 x 2 points, 0.5 mm steps, from where the stages power up) while it watches
// PANEL_SCANNING, PANEL_MOVING and PANEL_POS_X, and N observing clients that each send
// `live` ten times a second for the whole scan. It reports:
//  - the scan's time (the watch events' stamps of PANEL_SCANNING 1 -> 0) against the
//    scan planner's preview, as bench/scan_pacing does from standard output;
//  - the lag of the watch events: each event's arrival (this process's steady clock)
//    minus its stamp (the program's clock), less the smallest such difference seen, so
//    the lag above the fastest event (both clocks are monotonic and run at one rate;
//    their origins differ by an unknown constant that the smallest difference removes);
//  - the observers' `live` round trips.
// Run once with no observers and once with N, in one process.
//   control_load VARNIX_SESSION [OBSERVERS]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/scanplan/scanplan.h"
#include "platform/stagesim/simulator.h"

namespace {

using Steady = std::chrono::steady_clock;

double now_s() { return std::chrono::duration<double>(Steady::now().time_since_epoch()).count(); }

struct Conn {
  int fd = -1;
  std::string buf;
  ~Conn() {
    if (fd >= 0) close(fd);
  }
  // Whole lines already read, without blocking.
  std::optional<std::string> take() {
    const auto nl = buf.find('\n');
    if (nl == std::string::npos) return std::nullopt;
    std::string l = buf.substr(0, nl);
    buf.erase(0, nl + 1);
    return l;
  }
  bool fill() {
    char b[65536];
    const ssize_t n = read(fd, b, sizeof b);
    if (n <= 0) return false;
    buf.append(b, static_cast<std::size_t>(n));
    return true;
  }
  bool line(std::string& out) {
    for (;;) {
      if (auto l = take()) {
        out = *l;
        return true;
      }
      if (!fill()) return false;
    }
  }
  void send(const std::string& s) {
    for (std::size_t at = 0; at < s.size();) {
      const ssize_t n = write(fd, s.data() + at, s.size() - at);
      if (n <= 0) return;
      at += static_cast<std::size_t>(n);
    }
  }
  bool ask(const std::string& s) {
    send(s + "\n");
    for (std::string l; line(l);) {
      if (l == "ok") return true;
      if (l.rfind("error: ", 0) == 0) {
        std::fprintf(stderr, "control_load: %s: %s\n", s.c_str(), l.c_str());
        return false;
      }
    }
    return false;
  }
};

std::unique_ptr<Conn> connect_to(int port) {
  auto c = std::make_unique<Conn>();
  c->fd = socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
  if (connect(c->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return nullptr;
  return c;
}

std::string loadavg() {
  std::ifstream f("/proc/loadavg");
  std::string a, b, c;
  f >> a >> b >> c;
  return a + " " + b + " " + c;
}

double pct(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * (v.size() - 1))];
}

struct Result {
  bool ok = false;
  double scan = 0;  // s, by the program's stamps
  std::vector<double> lag_ms;
  std::vector<double> live_ms;
  std::string load_before, load_after;
};

Result run(const std::string& session, int observers) {
  Result r;
  int err[2];
  if (pipe(err) != 0) return r;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(err[1], STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    execl(session.c_str(), session.c_str(), "--realtime", "--listen", "tcp:127.0.0.1:0", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(err[1]);
  Conn e;
  e.fd = err[0];
  std::string l;
  if (!e.line(l) || l.rfind("listening on tcp:", 0) != 0) {
    std::fprintf(stderr, "control_load: the server did not listen: %s\n", l.c_str());
    return r;
  }
  const int port = std::atoi(l.substr(l.rfind(':') + 1).c_str());
  auto ctl = connect_to(port);
  if (!ctl) return r;
  // The program has started once `activity` answers (start-up is played first).
  bool ok = ctl->ask("activity") && ctl->ask("control take");
  for (const char* s : {"set PANEL_NX 5", "set PANEL_NY 5", "set PANEL_NZ 2", "set PANEL_DX 0.5", "set PANEL_DY 0.5",
                        "set PANEL_DZ 0.5", "set PANEL_X0 0", "set PANEL_Y0 0", "set PANEL_Z0 0", "set PANEL_SCAN_X 1",
                        "set PANEL_SCAN_Y 1", "set PANEL_SCAN_Z 1", "watch PANEL_SCANNING PANEL_MOVING PANEL_POS_X"})
    ok = ok && ctl->ask(s);
  std::vector<std::unique_ptr<Conn>> obs;
  for (int k = 0; k < observers && ok; k++) {
    obs.push_back(connect_to(port));
    ok = obs.back() && obs.back()->ask("activity");
  }
  if (!ok) return r;
  r.load_before = loadavg();
  ctl->send("press PANEL_STARTSCAN\n");

  // Each observer asks `live` every 100 ms, the observers spread over the period; the
  // next ask waits for the reply to the last.
  const double period = 0.1;
  const double t0 = now_s();
  std::vector<double> due(obs.size()), sent(obs.size(), 0);
  for (std::size_t k = 0; k < obs.size(); k++) due[k] = t0 + period * static_cast<double>(k) / std::max<std::size_t>(1, obs.size());
  std::vector<std::pair<double, double>> events;  // (arrival, stamp)
  double lit = -1, dark = -1;
  const double guard = t0 + 600;
  while (dark < 0 && now_s() < guard) {
    std::vector<pollfd> fds;
    fds.push_back({ctl->fd, POLLIN, 0});
    for (auto& o : obs) fds.push_back({o->fd, POLLIN, 0});
    double next = now_s() + 0.05;
    for (std::size_t k = 0; k < obs.size(); k++)
      if (sent[k] == 0) next = std::min(next, due[k]);
    const int wait_ms = std::max(0, static_cast<int>(std::ceil((next - now_s()) * 1000)));
    poll(fds.data(), fds.size(), wait_ms);
    const double t = now_s();
    if (fds[0].revents & POLLIN) {
      if (!ctl->fill()) break;
      while (auto line = ctl->take()) {
        // "@ STAMP NAME = VALUE"
        if (line->rfind("@ ", 0) != 0) continue;
        const double stamp = std::atof(line->c_str() + 2);
        events.push_back({t, stamp});
        if (line->find(" PANEL_SCANNING = 1") != std::string::npos && lit < 0) lit = stamp;
        if (line->find(" PANEL_SCANNING = 0") != std::string::npos && lit >= 0) dark = stamp;
      }
    }
    for (std::size_t k = 0; k < obs.size(); k++) {
      if (fds[k + 1].revents & POLLIN) {
        if (!obs[k]->fill()) return r;
        while (auto line = obs[k]->take())
          if (*line == "ok" && sent[k] > 0) {
            r.live_ms.push_back(1000 * (t - sent[k]));
            sent[k] = 0;
            due[k] += period;
            if (due[k] < t) due[k] = t;
          }
      }
      if (sent[k] == 0 && t >= due[k]) {
        obs[k]->send("live\n");
        sent[k] = t;
      }
    }
  }
  r.load_after = loadavg();
  obs.clear();
  ctl->send("quit\n");
  std::string rest;
  while (ctl->line(rest)) {
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (lit < 0 || dark < 0) return r;
  r.scan = dark - lit;
  double least = 1e300;
  for (const auto& [arrival, stamp] : events) least = std::min(least, arrival - stamp);
  // The stamps are printed to the millisecond: a lag below that is not seen.
  for (const auto& [arrival, stamp] : events) r.lag_ms.push_back(1000 * (arrival - stamp - least));
  r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: control_load VARNIX_SESSION [OBSERVERS]\n");
    return 2;
  }
  const int observers = argc > 2 ? std::atoi(argv[2]) : 100;
  vx::scanplan::Settings g;
  g.nx = g.ny = 5;
  g.nz = 2;
  g.dx = g.dy = g.dz = 0.5;
  g.cbx = g.cby = g.cbz = 1;
  vx::sim::Simulator at_power_up;
  const auto p = vx::scanplan::preview(g, vx::scanplan::stages_of(at_power_up), {.point_times = false, .moves = false});
  if (!p.duration) return 2;
  const double preview_s = vx::to_seconds(*p.duration);

  std::printf("Control server under load: a real-time scan of 5 x 5 x 2 points (preview %.3f s)\n\n", preview_s);
  std::printf("| observers polling `live` at 10 Hz | scan s | scan / preview | watch events | event lag p50 ms | "
              "p99 ms | max ms | `live` p50 ms | p99 ms | load average before / after |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
  int failed = 0;
  for (const int n : {0, observers}) {
    const Result r = run(argv[1], n);
    if (!r.ok) {
      std::printf("| %d | failed to run |\n", n);
      failed++;
      continue;
    }
    std::printf("| %d | %.3f | %.4f | %zu | %.2f | %.2f | %.2f | ", n, r.scan, r.scan / preview_s, r.lag_ms.size(),
                pct(r.lag_ms, 0.5), pct(r.lag_ms, 0.99), pct(r.lag_ms, 1));
    if (r.live_ms.empty()) std::printf("- | - | ");
    else std::printf("%.3f | %.3f | ", pct(r.live_ms, 0.5), pct(r.live_ms, 0.99));
    std::printf("%s / %s |\n", r.load_before.c_str(), r.load_after.c_str());
    std::fflush(stdout);
  }
  return failed ? 1 : 0;
}
