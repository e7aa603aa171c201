// The control server's speed, from outside: varnix-session --listen on virtual time,
// one client on loopback TCP. It times `live` round trips one at a time (p50, p99), the
// statements a client gets answered per second one at a time and sent all at once, and
// the time from connecting to the first reply.
//   control_latency build/bin/varnix-session [ROUND_TRIPS]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

struct Conn {
  int fd = -1;
  std::string buf;
  bool line(std::string& out) {
    for (;;) {
      if (auto nl = buf.find('\n'); nl != std::string::npos) {
        out = buf.substr(0, nl);
        buf.erase(0, nl + 1);
        return true;
      }
      char b[65536];
      const ssize_t n = read(fd, b, sizeof b);
      if (n <= 0) return false;
      buf.append(b, static_cast<std::size_t>(n));
    }
  }
  // Reads to the closing line of one reply.
  bool reply() {
    for (std::string l; line(l);)
      if (l == "ok" || l.rfind("error: ", 0) == 0) return true;
    return false;
  }
  void send(const std::string& s) {
    for (std::size_t at = 0; at < s.size();) {
      const ssize_t n = write(fd, s.data() + at, s.size() - at);
      if (n <= 0) return;
      at += static_cast<std::size_t>(n);
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: control_latency VARNIX_SESSION [ROUND_TRIPS]\n");
    return 2;
  }
  const int n = argc > 2 ? std::atoi(argv[2]) : 20000;
  int err[2];
  if (pipe(err) != 0) return 1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(err[1], STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    execl(argv[1], argv[1], "--listen", "tcp:127.0.0.1:0", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(err[1]);
  Conn e{err[0], {}};
  std::string l;
  if (!e.line(l) || l.rfind("listening on tcp:", 0) != 0) {
    std::fprintf(stderr, "the server did not listen: %s\n", l.c_str());
    return 1;
  }
  const int port = std::atoi(l.substr(l.rfind(':') + 1).c_str());
  Conn c;
  c.fd = socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
  const auto t_connect = Clock::now();
  if (connect(c.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return 1;
  c.send("activity\n");
  c.reply();
  const double first_ms = ms_since(t_connect);

  std::vector<double> rtt;
  rtt.reserve(static_cast<std::size_t>(n));
  const auto t_seq = Clock::now();
  for (int k = 0; k < n; k++) {
    const auto t = Clock::now();
    c.send("live\n");
    c.reply();
    rtt.push_back(ms_since(t));
  }
  const double seq_s = ms_since(t_seq) / 1000;
  std::sort(rtt.begin(), rtt.end());
  auto pct = [&](double p) { return rtt[static_cast<std::size_t>(p * (rtt.size() - 1))]; };

  std::string batch;
  for (int k = 0; k < n; k++) batch += "show PANEL_POS_X\n";
  const auto t_batch = Clock::now();
  c.send(batch);
  for (int k = 0; k < n; k++) c.reply();
  const double batch_s = ms_since(t_batch) / 1000;

  c.send("control take\nquit\n");
  c.reply();
  c.reply();
  int status = 0;
  waitpid(pid, &status, 0);
  std::printf("| measure | value |\n|---|---|\n");
  std::printf("| connect to first reply | %.3f ms |\n", first_ms);
  std::printf("| `live` round trip, p50 (%d) | %.3f ms |\n", n, pct(0.5));
  std::printf("| `live` round trip, p99 | %.3f ms |\n", pct(0.99));
  std::printf("| `live` round trip, max | %.3f ms |\n", rtt.back());
  std::printf("| statements per second, one at a time (`live`) | %.0f |\n", n / seq_s);
  std::printf("| statements per second, sent at once (`show`) | %.0f |\n", n / batch_s);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
