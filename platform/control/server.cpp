// The control server's sockets and connections: addresses, listening, the I/O thread's
// poll loop, line framing with its bounds, and the control rules.
#include "platform/control/control.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/files/files.h"
#include "platform/files/printable.h"

namespace vx::control {

namespace {

// How long stop() goes on sending what clients have not yet been sent: at most this
// many polls of this many milliseconds that each found a client not ready.
constexpr int kFlushRounds = 20;
constexpr int kFlushPollMs = 100;

const std::string kOverlong = "error: a line longer than " + std::to_string(kMaxLine) + " bytes, skipped\n";

void set_nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

bool parse_port(std::string_view s, int& port) {
  if (s.empty() || s.size() > 5) return false;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v > 65535) return false;
  port = v;
  return true;
}

}  // namespace

bool Address::loopback() const {
  if (kind == Kind::Unix) return true;
  in_addr a{};
  return ::inet_pton(AF_INET, host.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

std::string Address::text() const {
  return kind == Kind::Unix ? "unix:" + path : "tcp:" + host + ":" + std::to_string(port);
}

std::optional<Address> parse_address(std::string_view text, std::string& error) {
  Address a;
  const std::string shown = files::printable(std::string(text));
  if (text.rfind("unix:", 0) == 0) {
    a.kind = Address::Kind::Unix;
    a.path = std::string(text.substr(5));
    if (a.path.empty()) {
      error = shown + ": a Unix socket needs a path (unix:PATH)";
      return std::nullopt;
    }
    if (a.path.size() >= sizeof(sockaddr_un{}.sun_path)) {
      error = shown + ": the path is longer than a Unix socket's (" +
              std::to_string(sizeof(sockaddr_un{}.sun_path) - 1) + " bytes)";
      return std::nullopt;
    }
    return a;
  }
  if (text.rfind("tcp:", 0) == 0) {
    std::string_view rest = text.substr(4);
    const auto colon = rest.rfind(':');
    if (colon != std::string_view::npos) {
      a.host = std::string(rest.substr(0, colon));
      if (a.host == "localhost") a.host = "127.0.0.1";
      rest = rest.substr(colon + 1);
      in_addr ia{};
      if (::inet_pton(AF_INET, a.host.c_str(), &ia) != 1) {
        error = shown + ": the host must be a dotted IPv4 address (tcp:127.0.0.1:PORT)";
        return std::nullopt;
      }
    }
    if (!parse_port(rest, a.port)) {
      error = shown + ": the port must be a number from 0 to 65535";
      return std::nullopt;
    }
    return a;
  }
  error = shown + ": an address is unix:PATH or tcp:[HOST:]PORT";
  return std::nullopt;
}

std::optional<Address> parse_listen(const char* value, std::string& error) {
  error.clear();
  const auto a = value ? parse_address(value, error) : std::nullopt;
  if (!a && error.empty()) error = "needs an address (unix:PATH or tcp:[HOST:]PORT)";
  return a;
}

std::optional<std::string> read_token(const char* path, std::string& error) {
  const std::string shown = files::printable(path);
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = "--token " + shown + ": cannot open: " + std::strerror(errno);
    return std::nullopt;
  }
  const files::BoundedRead read = files::read_bounded(fd, 4096);
  ::close(fd);
  std::string token = read.text.substr(0, read.text.find('\n'));
  if (!token.empty() && token.back() == '\r') token.pop_back();
  if (read.error || read.too_long || token.empty() || token.find_first_of(" \t") != std::string::npos) {
    error = "--token " + shown + ": the file must hold one word on its first line";
    return std::nullopt;
  }
  return token;
}

bool valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      i++;
      continue;
    }
    int len;
    std::uint32_t cp;
    if (c >= 0xc2 && c <= 0xdf) len = 2, cp = c & 0x1f;
    else if (c >= 0xe0 && c <= 0xef) len = 3, cp = c & 0x0f;
    else if (c >= 0xf0 && c <= 0xf4) len = 4, cp = c & 0x07;
    else return false;
    if (i + len > n) return false;
    for (int k = 1; k < len; k++) {
      if ((p[i + k] & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3f);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10ffff)) ||
        (cp >= 0xd800 && cp <= 0xdfff))
      return false;
    i += len;
  }
  return true;
}

struct Server::Listener {
  Address address;
  int fd = -1;
  ~Listener() {
    if (fd >= 0) ::close(fd);
    if (fd >= 0 && address.kind == Address::Kind::Unix) ::unlink(address.path.c_str());
  }
};

struct Server::Client {
  ClientId id = 0;
  int fd = -1;
  std::string peer;
  std::string in;       // bytes read, not yet a whole line handed on
  std::string out;      // bytes not yet sent
  bool busy = false;    // a statement is with the handler
  bool skipping = false;  // discarding the rest of an over-long line
  bool authed = false;
  bool eof = false;      // the client sent its last byte
  bool dead = false;     // to be closed
};

Server::Server(Options options, Handler& handler) : options_(std::move(options)), handler_(handler) {}

Server::~Server() { stop(); }

bool Server::start(std::string& error) {
  for (const Address& a : options_.addresses) {
    if (!a.loopback() && options_.token.empty()) {
      error = a.text() + ": not a loopback address; another machine may connect only with --token FILE";
      listeners_.clear();
      return false;
    }
    auto l = std::make_unique<Listener>();
    l->address = a;
    const std::string shown = files::printable(a.text());
    auto fail = [&](const std::string& why) {
      error = shown + ": " + why;
      if (l->fd >= 0) ::close(l->fd);
      l->fd = -1;  // its socket file is not ours to remove
      listeners_.clear();
      return false;
    };
    if (a.kind == Address::Kind::Unix) {
      l->fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (l->fd < 0) return fail(std::strerror(errno));
      sockaddr_un sa{};
      sa.sun_family = AF_UNIX;
      std::memcpy(sa.sun_path, a.path.c_str(), a.path.size() + 1);
      struct stat st {};
      if (::lstat(a.path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) return fail("exists and is not a socket");
        // A socket file nobody answers on is left from a server that died: reuse it.
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool answered = probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
        if (probe >= 0) ::close(probe);
        if (answered) return fail("address in use (another server listens there)");
        ::unlink(a.path.c_str());
      }
      const mode_t old = ::umask(0177);
      const int r = ::bind(l->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
      ::umask(old);
      if (r != 0) return fail(errno == EADDRINUSE ? "address in use" : std::strerror(errno));
      ::chmod(a.path.c_str(), 0600);
    } else {
      l->fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (l->fd < 0) return fail(std::strerror(errno));
      const int one = 1;
      ::setsockopt(l->fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      sockaddr_in sa{};
      sa.sin_family = AF_INET;
      sa.sin_port = htons(static_cast<std::uint16_t>(a.port));
      ::inet_pton(AF_INET, a.host.c_str(), &sa.sin_addr);
      if (::bind(l->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
        return fail(errno == EADDRINUSE ? "address in use" : std::strerror(errno));
      socklen_t len = sizeof sa;
      ::getsockname(l->fd, reinterpret_cast<sockaddr*>(&sa), &len);
      l->address.port = ntohs(sa.sin_port);
    }
    if (::listen(l->fd, 64) != 0) return fail(std::strerror(errno));
    set_nonblocking(l->fd);
    listeners_.push_back(std::move(l));
  }
  if (::pipe2(wake_fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = std::string("cannot make the server's wake pipe: ") + std::strerror(errno);
    listeners_.clear();
    return false;
  }
  io_ = std::thread([this] { io_main(); });
  return true;
}

std::vector<std::string> Server::bound() const {
  std::vector<std::string> out;
  for (const auto& l : listeners_) out.push_back(l->address.text());
  return out;
}

void Server::wake() {
  const char b = 1;
  if (wake_fds_[1] >= 0) (void)!::write(wake_fds_[1], &b, 1);
}

void Server::queue_locked(Client& c, std::string text) {
  if (c.dead) return;
  if (c.out.size() + text.size() > kMaxPending) {
    std::fprintf(stderr, "%s: dropped remote client %llu (%s): it read nothing of %zu bytes of replies and events\n",
                 options_.program.c_str(), static_cast<unsigned long long>(c.id), c.peer.c_str(),
                 c.out.size() + text.size());
    c.dead = true;
    return;
  }
  c.out += text;
}

void Server::reply(ClientId client, std::string text) {
  {
    std::lock_guard lk(mu_);
    for (auto& c : clients_)
      if (c->id == client) {
        queue_locked(*c, std::move(text));
        c->busy = false;
      }
  }
  wake();
}

void Server::event(ClientId client, std::string text) {
  {
    std::lock_guard lk(mu_);
    for (auto& c : clients_)
      if (c->id == client) queue_locked(*c, std::move(text));
  }
  wake();
}

std::optional<std::string> Server::may_act(ClientId client) const {
  if (refused()) return "remote control is off at the window";
  std::lock_guard lk(mu_);
  if (holder_ == client) return std::nullopt;
  if (holder_ == 0) return "take control first (control take)";
  return "control is held by " + holder_text_locked();
}

std::string Server::holder_text_locked() const {
  for (const auto& c : clients_)
    if (c->id == holder_) return "client " + std::to_string(c->id) + " (" + c->peer + ")";
  return "nobody";
}

void Server::set_refused(bool refused) {
  refused_.store(refused, std::memory_order_release);
  handler_.clients_changed();
}

std::vector<ClientInfo> Server::clients() const {
  std::lock_guard lk(mu_);
  std::vector<ClientInfo> out;
  for (const auto& c : clients_)
    if (!c->dead) out.push_back({c->id, c->peer, c->id == holder_});
  return out;
}

// Answers the statements that belong to the connection; nothing for any other.
std::optional<std::string> Server::connection_statement(Client& c, std::string_view line) {
  std::vector<std::string_view> w;
  for (std::size_t i = 0; i < line.size();) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) i++;
    const std::size_t s = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') i++;
    if (i > s) w.push_back(line.substr(s, i - s));
  }
  if (!w.empty() && w[0] == "auth") {
    if (options_.token.empty()) return "ok\n";
    if (w.size() == 2 && w[1] == options_.token) {
      c.authed = true;
      return "ok\n";
    }
    return "error: wrong token\n";
  }
  if (!options_.token.empty() && !c.authed) return "error: send auth TOKEN first\n";
  if (w.empty() || w[0] != "control") return std::nullopt;
  if (w.size() == 1) {
    std::string r = "@ control " + (holder_ ? "held by " + holder_text_locked() : std::string("free")) + "\n";
    r += std::string("@ remote control ") + (refused() ? "off" : "on") + " at the window\n";
    return r + "@ you are client " + std::to_string(c.id) + "\nok\n";
  }
  if (w.size() == 2 && w[1] == "take") {
    if (refused()) return "error: remote control is off at the window\n";
    if (holder_ && holder_ != c.id) return "error: control is held by " + holder_text_locked() + "\n";
    holder_ = c.id;
    return "ok\n";
  }
  if (w.size() == 2 && w[1] == "release") {
    if (holder_ != c.id) return "error: you do not hold control\n";
    holder_ = 0;
    return "ok\n";
  }
  return "error: expected: control, control take or control release\n";
}

// A line begun that is already too long is answered at once, and the rest of it, up to
// its newline, is read and thrown away.
void Server::skip_overlong(Client& c) {
  if (c.in.size() <= kMaxLine) return;
  queue_locked(c, kOverlong);
  c.skipping = true;
  c.in.clear();
}

// Hands on the client's next whole line, when no statement of its own is pending.
void Server::handle_lines(Client& c, std::vector<std::pair<ClientId, std::string>>& out) {
  while (!c.busy && !c.dead) {
    const auto nl = c.in.find('\n');
    if (nl == std::string::npos) {
      skip_overlong(c);
      return;
    }
    std::string line = c.in.substr(0, nl);
    c.in.erase(0, nl + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > kMaxLine) {
      queue_locked(c, kOverlong);
      continue;
    }
    if (!valid_utf8(line)) {
      queue_locked(c, "error: the line is not UTF-8, skipped\n");
      continue;
    }
    const ClientId before = holder_;
    if (auto r = connection_statement(c, line)) {
      queue_locked(c, *r);
      if (holder_ != before) out.emplace_back(0, std::string());  // tell clients_changed
      continue;
    }
    c.busy = true;
    out.emplace_back(c.id, std::move(line));
  }
}

// One connection a round: what the clients did before it came (one went away) is seen
// first.
void Server::accept_from(Listener& l) {
  {
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    const int fd = ::accept4(l.fd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    std::string peer = "unix";
    if (sa.ss_family == AF_INET) {
      const auto* in = reinterpret_cast<const sockaddr_in*>(&sa);
      char host[INET_ADDRSTRLEN] = "?";
      ::inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
      peer = std::string("tcp:") + host + ":" + std::to_string(ntohs(in->sin_port));
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    }
    const auto present = std::count_if(clients_.begin(), clients_.end(), [](const auto& c) { return !c->dead && !c->eof; });
    if (present >= kMaxClients) {
      const std::string no = "error: too many clients (" + std::to_string(kMaxClients) + "); try again later\n";
      (void)!::send(fd, no.data(), no.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      ::close(fd);
      return;
    }
    auto c = std::make_unique<Client>();
    c->id = next_id_++;
    c->fd = fd;
    c->peer = peer;
    clients_.push_back(std::move(c));
  }
}

void Server::read_from(Client& c) {
  char buf[16384];
  for (;;) {
    // While a statement is pending, no more than one line's worth is kept: the rest
    // stays in the socket, and a flood waits in the sender's buffers.
    if (c.busy && c.in.size() > kMaxLine) return;
    const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
    if (n > 0) {
      if (c.skipping) {
        const void* nl = std::memchr(buf, '\n', static_cast<std::size_t>(n));
        if (!nl) continue;
        const auto from = static_cast<const char*>(nl) - buf;
        c.skipping = false;
        c.in.append(buf + from + 1, static_cast<std::size_t>(n - from - 1));
        continue;
      }
      c.in.append(buf, static_cast<std::size_t>(n));
      if (!c.busy && c.in.find('\n') == std::string::npos) skip_overlong(c);
      continue;
    }
    if (n == 0) c.eof = true;
    else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) c.dead = true;
    return;
  }
}

void Server::write_to(Client& c) {
  while (!c.out.empty()) {
    const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      c.out.erase(0, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    c.dead = true;
    return;
  }
}

void Server::close_locked(Client& c, std::vector<ClientId>& gone) {
  ::close(c.fd);
  c.fd = -1;
  if (holder_ == c.id) holder_ = 0;
  gone.push_back(c.id);
}

void Server::io_main() {
  std::vector<pollfd> fds;
  bool accepted = false;  // told at the top of the next round, with the lock released
  for (;;) {
    std::vector<std::pair<ClientId, std::string>> statements;
    std::vector<ClientId> gone;
    bool stopping;
    {
      std::lock_guard lk(mu_);
      stopping = stopping_;
      // Clients that have gone are closed before anyone's lines are handed on: a
      // holder that disconnected has given control back to the line that follows.
      auto close_gone = [&] {
        for (auto& c : clients_) {
          if (!c->dead) write_to(*c);
          // A client that sent its last line is closed once its replies are out.
          if (c->eof && !c->busy && c->out.empty() && c->in.find('\n') == std::string::npos) c->dead = true;
          if (c->dead) close_locked(*c, gone);
        }
        std::erase_if(clients_, [](const auto& c) { return c->fd < 0; });
      };
      close_gone();
      // Lines that came, or waited while a statement was pending.
      for (auto& c : clients_) handle_lines(*c, statements);
      close_gone();
      fds.clear();
      fds.push_back({wake_fds_[0], POLLIN, 0});
      if (!stopping)
        for (auto& l : listeners_) fds.push_back({l->fd, POLLIN, 0});
      for (auto& c : clients_) {
        short ev = 0;
        if (!c->eof && !stopping && !(c->busy && c->in.size() > kMaxLine)) ev |= POLLIN;
        if (!c->out.empty()) ev |= POLLOUT;
        fds.push_back({c->fd, ev, 0});
      }
    }
    for (ClientId id : gone) handler_.disconnected(id);
    bool changed = !gone.empty() || accepted;
    accepted = false;
    for (auto& [id, line] : statements) {
      if (id == 0) changed = true;
      else handler_.statement(id, std::move(line));
    }
    if (changed) handler_.clients_changed();
    if (stopping) break;
    if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) {
      char b[64];
      while (::read(wake_fds_[0], b, sizeof b) > 0) {
      }
    }
    std::lock_guard lk(mu_);
    const std::size_t before = clients_.size();
    // The clients first: one that has gone leaves room for one that comes.
    const std::size_t first = 1 + (stopping ? 0 : listeners_.size());
    for (std::size_t i = 0; i < before; i++) {
      Client& c = *clients_[i];
      const short re = fds[first + i].revents;
      if (re & (POLLIN | POLLHUP | POLLERR)) read_from(c);
      if (re & POLLOUT) write_to(c);
      if ((re & (POLLERR | POLLNVAL)) && !(re & POLLIN)) c.dead = true;
      // Gone both ways while its statement plays: no one reads the reply, and its waits
      // end (a hang-up would otherwise wake every poll until the statement ends).
      if ((re & POLLHUP) && c.busy) c.dead = true;
    }
    for (std::size_t k = 0; k < listeners_.size() && !stopping; k++)
      if (fds[1 + k].revents & POLLIN) accept_from(*listeners_[k]);
    if (clients_.size() != before) accepted = true;
  }
  // Stopping: what is queued goes out within a bound, then every connection closes.
  for (int round = 0; round < kFlushRounds; round++) {
    std::vector<pollfd> pending;
    {
      std::lock_guard lk(mu_);
      for (auto& c : clients_) {
        if (!c->dead) write_to(*c);
        if (!c->dead && !c->out.empty()) pending.push_back({c->fd, POLLOUT, 0});
      }
    }
    if (pending.empty()) break;
    ::poll(pending.data(), pending.size(), kFlushPollMs);
  }
  std::vector<ClientId> gone;
  {
    std::lock_guard lk(mu_);
    for (auto& c : clients_) close_locked(*c, gone);
    clients_.clear();
  }
  for (ClientId id : gone) handler_.disconnected(id);
}

void Server::stop() {
  {
    std::lock_guard lk(mu_);
    if (stopping_ && !io_.joinable()) return;
    stopping_ = true;
  }
  wake();
  if (io_.joinable()) io_.join();
  listeners_.clear();
  for (int& fd : wake_fds_)
    if (fd >= 0) {
      ::close(fd);
      fd = -1;
    }
}

}  // namespace vx::control
