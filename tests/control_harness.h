// A control server under test: `varnix-session --listen` as a child process on virtual
// time, and clients that talk to it over its Unix or loopback TCP socket. Nothing
// sleeps: every read blocks on the socket or pipe, with a bound of real time only as a
// guard against a hung server, which then fails the test.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tests/session_harness.h"

namespace vxtest {

inline constexpr int kGuardMs = 120000;

// One line from `fd` into `line` (buffered in `buf`); false at the end or on the guard.
inline bool read_line(int fd, std::string& buf, std::string& line, int guard_ms = kGuardMs) {
  for (;;) {
    if (const auto nl = buf.find('\n'); nl != std::string::npos) {
      line = buf.substr(0, nl);
      buf.erase(0, nl + 1);
      return true;
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, guard_ms) <= 0) return false;
    char b[65536];
    const ssize_t n = read(fd, b, sizeof b);
    if (n <= 0) return false;
    buf.append(b, static_cast<std::size_t>(n));
  }
}

class Client {
 public:
  explicit Client(const std::string& address) {
    if (address.rfind("unix:", 0) == 0) {
      fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_un sa{};
      sa.sun_family = AF_UNIX;
      std::strncpy(sa.sun_path, address.c_str() + 5, sizeof sa.sun_path - 1);
      if (connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) close_now();
    } else {  // tcp:HOST:PORT
      const auto colon = address.rfind(':');
      fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in sa{};
      sa.sin_family = AF_INET;
      sa.sin_port = htons(static_cast<uint16_t>(std::stoi(address.substr(colon + 1))));
      inet_pton(AF_INET, address.substr(4, colon - 4).c_str(), &sa.sin_addr);
      if (connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) close_now();
    }
  }
  ~Client() { close_now(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return fd_ >= 0; }
  void send_raw(const std::string& bytes) {
    for (std::size_t at = 0; fd_ >= 0 && at < bytes.size();) {
      const ssize_t n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
      if (n <= 0) return;
      at += static_cast<std::size_t>(n);
    }
  }
  void send(const std::string& line) { send_raw(line + "\n"); }
  // The lines up to and including the closing `ok` or `error: ...`; "<closed>" last
  // when the connection ended first.
  std::vector<std::string> reply() {
    std::vector<std::string> out;
    for (std::string l;;) {
      if (!next(l)) {
        out.push_back("<closed>");
        return out;
      }
      out.push_back(l);
      if (l == "ok" || l.rfind("error: ", 0) == 0) return out;
    }
  }
  std::vector<std::string> ask(const std::string& line) {
    send(line);
    return reply();
  }
  // The closing line of a statement's reply.
  std::string status(const std::string& line) { return ask(line).back(); }
  bool next(std::string& line) { return fd_ >= 0 && read_line(fd_, buf_, line); }
  // Reads until the server closes the connection; the lines read.
  std::vector<std::string> drain() {
    std::vector<std::string> out;
    for (std::string l; next(l);) out.push_back(l);
    return out;
  }
  void close_now() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  std::string buf_;
};

// `varnix-session ARGS --listen unix:DIR/s [SCRIPT]`, once it listens.
class Server {
 public:
  explicit Server(const std::vector<std::string>& args, const std::string& script = "",
                  const std::string& exe = VARNIX_BIN_DIR "/varnix-session") {
    char dir[] = "/tmp/vxcontrolXXXXXX";
    tmp_ = mkdtemp(dir);
    std::vector<std::string> argv{exe};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!script.empty()) {
      std::ofstream(tmp_ + "/script.vxs") << script;
      argv.push_back(tmp_ + "/script.vxs");
    }
    for (std::string& a : argv)
      if (const auto at = a.find("@DIR"); at != std::string::npos) a.replace(at, 4, tmp_);
    int err[2];
    if (pipe(err) != 0) return;
    const std::string out = tmp_ + "/out";
    pid_ = fork();
    if (pid_ == 0) {
      close(err[0]);
      dup2(err[1], STDERR_FILENO);
      const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(o, STDOUT_FILENO);
      if (chdir(VARNIX_BIN_DIR) != 0) _exit(127);
      std::vector<char*> a;
      for (auto& s : argv) a.push_back(s.data());
      a.push_back(nullptr);
      execv(exe.c_str(), a.data());
      _exit(127);
    }
    close(err[1]);
    err_fd_ = err[0];
    // Every "listening on ADDRESS" line, up to the first line that is not one.
    for (std::string l; read_line(err_fd_, err_buf_, l);) {
      if (l.rfind("listening on ", 0) != 0) {
        err_ += l + "\n";
        break;
      }
      addresses_.push_back(l.substr(13));
      if (addresses_.size() == listens(args)) break;
    }
  }
  ~Server() {
    if (err_fd_ >= 0) close(err_fd_);
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    std::system(("rm -rf '" + tmp_ + "'").c_str());
  }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  const std::vector<std::string>& addresses() const { return addresses_; }
  std::string address(std::size_t k = 0) const { return k < addresses_.size() ? addresses_[k] : "none"; }
  const std::string& dir() const { return tmp_; }
  void signal(int sig) { kill(pid_, sig); }
  // Waits for the server's exit: its status, standard output and standard error.
  SessionResult finish() {
    for (std::string l; read_line(err_fd_, err_buf_, l);) err_ += l + "\n";
    SessionResult r;
    int raw = 0;
    waitpid(pid_, &raw, 0);
    reaped_ = true;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    std::istringstream out(read_file(tmp_ + "/out"));
    for (std::string l; std::getline(out, l);) r.lines.push_back(l);
    r.err = err_;
    return r;
  }
  // Standard error so far, reading until `text` has come (or the guard).
  std::string err_until(const std::string& text) {
    for (std::string l; err_.find(text) == std::string::npos && read_line(err_fd_, err_buf_, l);) err_ += l + "\n";
    return err_;
  }

 private:
  static std::size_t listens(const std::vector<std::string>& args) {
    std::size_t n = 0;
    for (const auto& a : args) n += a == "--listen";
    return n;
  }
  std::string tmp_;
  pid_t pid_ = -1;
  bool reaped_ = false;
  int err_fd_ = -1;
  std::string err_buf_;
  std::string err_;
  std::vector<std::string> addresses_;
};

}  // namespace vxtest
