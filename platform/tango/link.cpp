// The control protocol's client for the device server: sockets, lines, and the replies
// read into values. Every wait is bounded by the request's deadline on the process's
// real clock, so a server that stops answering costs a request its bound, no more.
#include "platform/tango/link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <utility>

#include "platform/control/control.h"

namespace vx::tango_link {

namespace {

constexpr std::size_t kMaxLine = 1 << 20;

// A connected stream socket to `a`, or -1 with the reason.
int connect_to(const control::Address& a, std::string& why) {
  const bool unix_socket = a.kind == control::Address::Kind::Unix;
  const int fd = ::socket(unix_socket ? AF_UNIX : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    why = std::strerror(errno);
    return -1;
  }
  int r = -1;
  if (unix_socket) {
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path, a.path.c_str(), a.path.size() + 1);  // its length is checked when read
    r = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  } else {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(a.port));
    ::inet_pton(AF_INET, a.host.c_str(), &sa.sin_addr);
    r = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  }
  if (r != 0) {
    why = std::strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

std::vector<std::string> split_words(const std::string& s) {
  std::vector<std::string> out;
  std::istringstream in(s);
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

}  // namespace

Link::Link(std::string address, std::vector<std::string> on_connect)
    : address_(std::move(address)), on_connect_(std::move(on_connect)) {}

Link::~Link() { disconnect(); }

void Link::disconnect() {
  std::lock_guard lock(mutex_);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  buffer_.clear();
}

bool Link::connect_locked(std::string& why) {
  if (fd_ >= 0) return true;
  buffer_.clear();
  const auto a = control::parse_address(address_, why);
  if (!a) return false;
  fd_ = connect_to(*a, why);
  if (fd_ < 0) return false;
  for (const std::string& s : on_connect_) {
    const Reply r = exchange_locked(s, std::chrono::milliseconds(10000));
    if (!r.ok) {
      why = "'" + s + "' was refused: " + r.error;
      if (fd_ >= 0) ::close(fd_);
      fd_ = -1;
      return false;
    }
  }
  return true;
}

bool Link::read_line_locked(std::string& line, Time deadline) {
  for (;;) {
    if (const auto nl = buffer_.find('\n'); nl != std::string::npos) {
      line = buffer_.substr(0, nl);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      buffer_.erase(0, nl + 1);
      return true;
    }
    if (buffer_.size() > kMaxLine) return false;
    const Time left = deadline - clock().now();
    if (left <= Time::zero()) return false;
    pollfd p{fd_, POLLIN, 0};
    const int ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
    const int r = ::poll(&p, 1, ms);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    char chunk[4096];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

Reply Link::request(const std::string& statement, std::chrono::milliseconds bound) {
  std::lock_guard lock(mutex_);
  std::string why;
  if (!connect_locked(why)) {
    Reply reply;
    reply.error = "Varnix is not reachable at " + address_ + ": " + why;
    return reply;
  }
  return exchange_locked(statement, bound);
}

Reply Link::exchange_locked(const std::string& statement, std::chrono::milliseconds bound) {
  Reply reply;
  const std::string out = statement + "\n";
  std::size_t sent = 0;
  while (sent < out.size()) {
    const ssize_t n = ::send(fd_, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      reply.error = "the connection to Varnix at " + address_ + " was lost: " + std::strerror(errno);
      ::close(fd_);
      fd_ = -1;
      return reply;
    }
    sent += static_cast<std::size_t>(n);
  }
  const Time deadline = clock().now() + bound;
  for (std::string line;;) {
    if (!read_line_locked(line, deadline)) {
      reply.error = "no answer from Varnix at " + address_ + " to '" + statement + "'";
      ::close(fd_);  // the stream's place is lost with the reply: start afresh
      fd_ = -1;
      return reply;
    }
    if (line == "ok") {
      reply.ok = reply.reached = true;
      return reply;
    }
    if (line.rfind("error:", 0) == 0) {
      reply.reached = true;
      reply.error = line.substr(line.size() > 6 && line[6] == ' ' ? 7 : 6);
      return reply;
    }
    std::string body = line.rfind("@ ", 0) == 0 ? line.substr(2) : line;
    if (body.rfind("log ", 0) != 0) reply.lines.push_back(std::move(body));
  }
}

Live parse_live(const Reply& reply) {
  Live live;
  for (const std::string& line : reply.lines) {
    if (line.rfind("live ", 0) != 0) continue;
    std::string rest = line.substr(5), reason;
    if (const auto q = rest.find('"'); q != std::string::npos) {
      reason = rest.substr(q + 1);
      if (!reason.empty() && reason.back() == '"') reason.pop_back();
      rest = rest.substr(0, q);
    }
    const auto w = split_words(rest);
    if (w.size() < 3) continue;
    const int axis = w[0] == "X" ? 0 : w[0] == "Y" ? 1 : w[0] == "Z" ? 2 : -1;
    if (axis < 0) continue;
    AxisLive& a = live[static_cast<std::size_t>(axis)];
    try {
      a.position_mm = std::stod(w[1]);
    } catch (const std::exception&) {
      continue;
    }
    a.words.assign(w.begin() + 2, w.end());
    a.reason = reason;
    a.valid = true;
  }
  return live;
}

AxisState axis_state(const AxisLive& a) {
  auto has = [&](const char* word) {
    for (const auto& w : a.words)
      if (w == word) return true;
    return false;
  };
  if (!a.valid || has("not-connected") || has("estop") || has("stalled")) return AxisState::fault;
  if (has("moving-forward") || has("moving-reverse") || has("homing")) return AxisState::moving;
  if (has("disabled")) return AxisState::disable;
  if (has("forward-limit") || has("reverse-limit")) return AxisState::alarm;
  return AxisState::on;
}

std::optional<std::string> shown(const Reply& reply, const std::string& name) {
  const std::string head = name + " = ";
  for (const std::string& line : reply.lines)
    if (line.rfind(head, 0) == 0) return line.substr(head.size());
  return std::nullopt;
}

Preview parse_preview(const Reply& reply) {
  Preview p;
  for (const std::string& line : reply.lines) {
    if (line.rfind("preview warning: ", 0) == 0) {
      p.warnings.push_back(line.substr(17));
      continue;
    }
    const auto w = split_words(line);
    if (w.size() >= 4 && w[0] == "preview" && w[2] == "points") {
      try {
        p.points = std::stod(w[1]);
        p.seconds = w[3] == "untimed" ? -1 : std::stod(w[3]);
        p.valid = true;
      } catch (const std::exception&) {
      }
    }
  }
  return p;
}

}  // namespace vx::tango_link
