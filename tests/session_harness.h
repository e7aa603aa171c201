// Runs the session runner (the real program on simulated stages, virtual time) on a
// script given as text, and hands back its exit status and output lines.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace vxtest {

struct SessionResult {
  int status = -1;
  std::vector<std::string> lines;   // standard output
  std::string err;                  // standard error

  // The program's own lines (those the runner did not write).
  std::vector<std::string> program() const {
    std::vector<std::string> out;
    for (const auto& l : lines)
      if (l.rfind("@ ", 0) != 0) out.push_back(l);
    return out;
  }
  // The runner's lines that start with `prefix` (after "@ ").
  std::vector<std::string> at(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& l : lines)
      if (l.rfind("@ " + prefix, 0) == 0) out.push_back(l.substr(2));
    return out;
  }
  // Stage-library calls from --trace, as "T THREAD CALL".
  std::vector<std::string> trace() const {
    std::vector<std::string> out;
    for (const auto& l : lines)
      if (l.rfind("@ trace ", 0) == 0) out.push_back(l.substr(8));
    return out;
  }
  // Trace calls whose text starts with `call`, without time and thread.
  std::vector<std::string> calls(const std::string& call) const {
    std::vector<std::string> out;
    for (const auto& t : trace()) {
      const auto a = t.find(' ');
      const auto b = t.find(' ', a + 1);
      const std::string c = t.substr(b + 1);
      if (c.rfind(call, 0) == 0) out.push_back(c);
    }
    return out;
  }
  int count(const std::string& line) const {
    int n = 0;
    for (const auto& l : lines) n += l == line;
    return n;
  }
  std::string text() const {
    std::string s;
    for (const auto& l : lines) s += l + "\n";
    return s + "--- stderr\n" + err;
  }
};

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs `EXE ARGS SCRIPT` in `cwd`; EXE is the built session runner by default.
inline SessionResult run_session(const std::string& script, const std::string& args = "--trace",
                                 const std::string& cwd = VARNIX_BIN_DIR,
                                 const std::string& exe = VARNIX_BIN_DIR "/varnix-session") {
  char dir[] = "/tmp/vxsessionXXXXXX";
  const std::string tmp = mkdtemp(dir);
  const std::string file = tmp + "/script.vxs";
  std::ofstream(file) << script;
  const std::string cmd = "cd '" + cwd + "' && '" + exe + "' " + args + " '" + file +
                          "' >'" + tmp + "/out' 2>'" + tmp + "/err'";
  SessionResult r;
  const int raw = std::system(cmd.c_str());
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  std::istringstream out(read_file(tmp + "/out"));
  for (std::string l; std::getline(out, l);) r.lines.push_back(l);
  r.err = read_file(tmp + "/err");
  std::system(("rm -rf '" + tmp + "'").c_str());
  return r;
}

// The runner as a child process whose standard output the test reads as it comes, to
// act on a session while it runs (send it a signal). Nothing sleeps: the test blocks on
// the child's output, with a bound of real time only as a guard against a hung child,
// which is then killed.
class LiveSession {
 public:
  // `stdout_reader` false: the child's standard output is a pipe whose reader is gone.
  LiveSession(const std::string& script, const std::vector<std::string>& args, bool stdout_reader = true,
              const std::string& cwd = VARNIX_BIN_DIR, const std::string& exe = VARNIX_BIN_DIR "/varnix-session") {
    char dir[] = "/tmp/vxliveXXXXXX";
    tmp_ = mkdtemp(dir);
    const std::string file = tmp_ + "/script.vxs";
    std::ofstream(file) << script;
    int fds[2];
    if (pipe(fds) != 0) return;
    if (!stdout_reader) {
      close(fds[0]);
      fds[0] = -1;
    }
    std::vector<std::string> argv{exe};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(file);
    const std::string err = tmp_ + "/err";
    pid_ = fork();
    if (pid_ == 0) {
      if (fds[0] >= 0) close(fds[0]);
      dup2(fds[1], STDOUT_FILENO);
      const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(e, STDERR_FILENO);
      if (chdir(cwd.c_str()) != 0) _exit(127);
      std::vector<char*> a;
      for (auto& s : argv) a.push_back(s.data());
      a.push_back(nullptr);
      execv(exe.c_str(), a.data());
      _exit(127);
    }
    close(fds[1]);
    fd_ = fds[0];
  }
  ~LiveSession() {
    if (fd_ >= 0) close(fd_);
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    std::system(("rm -rf '" + tmp_ + "'").c_str());
  }
  LiveSession(const LiveSession&) = delete;
  LiveSession& operator=(const LiveSession&) = delete;

  // Reads lines until `line` has come; false at the end of the output.
  bool read_until(const std::string& line) {
    for (std::string l; next(l);)
      if (l == line) return true;
    return false;
  }
  void signal(int sig) { kill(pid_, sig); }
  // Reads the rest of the output and waits for the child's exit.
  SessionResult finish() {
    for (std::string l; next(l);) {
    }
    int raw = 0;
    waitpid(pid_, &raw, 0);
    reaped_ = true;
    result_.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    result_.err = read_file(tmp_ + "/err");
    return result_;
  }

 private:
  bool next(std::string& line) {
    for (;;) {
      if (const auto nl = buf_.find('\n'); nl != std::string::npos) {
        line = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        result_.lines.push_back(line);
        return true;
      }
      if (fd_ < 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, kGuardMs) <= 0) {  // a hung child: end it, and let the test fail
        kill(pid_, SIGKILL);
        close(fd_);
        fd_ = -1;
        return false;
      }
      char b[4096];
      const ssize_t n = read(fd_, b, sizeof b);
      if (n <= 0) {
        close(fd_);
        fd_ = -1;
        return false;
      }
      buf_.append(b, static_cast<std::size_t>(n));
    }
  }

  static constexpr int kGuardMs = 120000;
  std::string tmp_;
  pid_t pid_ = -1;
  int fd_ = -1;
  bool reaped_ = false;
  std::string buf_;
  SessionResult result_;
};

}  // namespace vxtest
