// Starting and watching a benchmarked program: posix_spawn with its standard output on
// a pipe, line reading with wall stamps, CPU time from /proc and from wait4.
#include "bench/child.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>

extern char** environ;

namespace vx::bench {

double wall_now() {
  static const auto origin = std::chrono::steady_clock::now();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - origin).count();
}

double cpu_seconds(const rusage& ru) {
  auto s = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec * 1e-6; };
  return s(ru.ru_utime) + s(ru.ru_stime);
}

std::optional<ProcSample> proc_sample(pid_t pid) {
  namespace fs = std::filesystem;
  ProcSample p;
  std::error_code ec;
  for (const fs::directory_entry& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream in(task.path() / "schedstat");
    long long run_ns = 0, wait_ns = 0, runs = 0;
    if (!(in >> run_ns >> wait_ns >> runs)) continue;  // ended while we looked
    p.tasks[std::stoi(task.path().filename().string())] = {static_cast<double>(run_ns) * 1e-9, runs};
  }
  if (ec || p.tasks.empty()) return std::nullopt;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) p.rss_kb = std::stoll(line.substr(6));
  return p;
}

ProcDelta proc_delta(const ProcSample& from, const ProcSample& to) {
  ProcDelta d;
  d.threads = static_cast<int>(to.tasks.size());
  for (const auto& [tid, t] : to.tasks) {
    auto it = from.tasks.find(tid);
    if (it == from.tasks.end()) {
      d.started++;
      d.cpu += t.cpu;
      d.runs += t.runs;
    } else {
      d.cpu += t.cpu - it->second.cpu;
      d.runs += t.runs - it->second.runs;
    }
  }
  for (const auto& [tid, t] : from.tasks)
    if (!to.tasks.count(tid)) d.ended++;
  return d;
}

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             const std::string& stderr_path) {
  // Close-on-exec, so that no other program this process starts holds the pipe open;
  // the dup2 onto the child's standard output clears the flag there.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));

  // The environment: ours, with the given entries replacing those of the same name.
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; e++) {
    std::string s = *e;
    vars[s.substr(0, s.find('='))] = s;
  }
  for (const std::string& s : env) vars[s.substr(0, s.find('='))] = s;
  std::vector<std::string> env_strings;
  for (auto& [name, entry] : vars) env_strings.push_back(entry);
  std::vector<char*> envp, args;
  for (std::string& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_copy = argv;
  for (std::string& s : argv_copy) args.push_back(s.data());
  args.push_back(nullptr);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  posix_spawn_file_actions_addclose(&fa, fds[0]);
  posix_spawn_file_actions_addclose(&fa, fds[1]);
  if (!stderr_path.empty())
    posix_spawn_file_actions_addopen(&fa, 2, stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  started_ = wall_now();
  const int rc = posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    pid_ = -1;
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
  }
  out_.reset(fdopen(fds[0], "r"));
}

Child::~Child() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

std::optional<Line> Child::next_line() {
  if (!out_) return std::nullopt;
  std::string text;
  int c;
  while ((c = std::fgetc(out_.get())) != EOF && c != '\n') text.push_back(static_cast<char>(c));
  if (c == EOF && text.empty()) return std::nullopt;
  return Line{wall_now(), std::move(text)};
}

std::optional<Line> Child::line_containing(const std::string& needle) {
  while (auto l = next_line())
    if (l->text.find(needle) != std::string::npos) return l;
  return std::nullopt;
}

void Child::send(int signal) {
  if (pid_ > 0) kill(pid_, signal);
}

Child::Exit Child::wait() {
  Exit e;
  while (auto l = next_line()) e.rest.push_back(std::move(*l));
  if (pid_ > 0) {
    while (wait4(pid_, &e.status, 0, &e.usage) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }
  e.wall = wall_now();
  return e;
}

}  // namespace vx::bench
