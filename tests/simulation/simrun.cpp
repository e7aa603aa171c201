// Runs the session runner as a child (posix_spawn: safe from the sweep's worker
// threads), its script, output and errors in files of a private temporary directory
// that goes with the run. Workers take seeds from a shared counter; results land in
// their seed's slot, so the report reads the same whatever the interleaving.
#include "tests/simulation/simrun.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "platform/clock/clock.h"

extern char** environ;

namespace vx::simtest {

namespace {

constexpr long long kOutputLimitBytes = 64ll << 20;
constexpr int kCpuLimitSeconds = 300;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A directory that is removed with the object.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/varnix-simXXXXXX";
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// posix_spawn's file actions, destroyed with the object.
class FileActions {
 public:
  FileActions() { posix_spawn_file_actions_init(&fa_); }
  ~FileActions() { posix_spawn_file_actions_destroy(&fa_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  posix_spawn_file_actions_t* get() { return &fa_; }

 private:
  posix_spawn_file_actions_t fa_;
};

}  // namespace

RunOutput run_runner(const std::string& runner, const std::string& script) {
  RunOutput r;
  TempDir dir;
  if (dir.path().empty()) {
    r.status = 127;
    r.err = "cannot make a temporary directory\n";
    return r;
  }
  const std::string script_path = dir.path() + "/session.vxs";
  const std::string out_path = dir.path() + "/out";
  const std::string err_path = dir.path() + "/err";
  std::ofstream(script_path, std::ios::binary) << script;
  FileActions fa;
  posix_spawn_file_actions_addopen(fa.get(), 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(fa.get(), 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(fa.get(), 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  // The shell bounds the run without a clock of ours: a program that spins (on virtual
  // time it never lets the clock move) is ended by the CPU limit, one that floods its
  // output by the file-size limit (64 MiB; a long session writes a few MiB).
  std::string sh = "/bin/sh", c = "-c",
              limits = "ulimit -c 0 && ulimit -f " + std::to_string(kOutputLimitBytes / 512) + " && ulimit -t " +
                       std::to_string(kCpuLimitSeconds) + " && exec \"$@\"",
              name = "varnix-simtest", a0 = runner, a1 = "--trace", a2 = script_path;
  char* argv[] = {sh.data(), c.data(), limits.data(), name.data(), a0.data(), a1.data(), a2.data(), nullptr};
  pid_t pid = 0;
  if (const int e = posix_spawn(&pid, sh.c_str(), fa.get(), nullptr, argv, environ); e != 0) {
    r.status = 127;
    r.err = "cannot start " + runner + ": " + std::strerror(e) + "\n";
    return r;
  }
  int raw = 0;
  while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
  }
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 256 + WTERMSIG(raw);
  if (r.status == 256 + SIGXCPU) r.err += "varnix-simtest: the runner used up its " + std::to_string(kCpuLimitSeconds) + " s of CPU\n";
  if (r.status == 256 + SIGXFSZ) r.err += "varnix-simtest: the runner's output reached " + std::to_string(kOutputLimitBytes >> 20) + " MiB\n";
  std::istringstream out(read_file(out_path));
  for (std::string l; std::getline(out, l);) r.out.push_back(l);
  r.err = read_file(err_path) + r.err;
  return r;
}

SeedResult run_seed(const std::string& runner, std::uint64_t seed) {
  SeedResult r;
  r.session = generate(seed);
  r.output = run_runner(runner, r.session.script);
  r.lines = r.output.out.size();
  r.report = check(r.session, r.output.status, r.output.out, r.output.err);
  if (r.report.ok) r.output = RunOutput{};
  return r;
}

int SweepResult::failed() const {
  return static_cast<int>(std::count_if(seeds.begin(), seeds.end(), [](const SeedResult& s) { return !s.report.ok; }));
}

SweepResult sweep(const std::string& runner, std::uint64_t from, std::uint64_t to, int jobs) {
  SweepResult res;
  res.jobs = std::max(1, jobs);
  if (to < from) return res;
  res.seeds.resize(to - from + 1);
  vx::RealClock wall;  // the sweep's own figure; the sessions run on virtual time
  std::atomic<std::uint64_t> next{0};
  auto work = [&] {
    for (std::uint64_t k; (k = next.fetch_add(1)) < res.seeds.size();) res.seeds[k] = run_seed(runner, from + k);
  };
  std::vector<std::thread> workers;
  for (int j = 1; j < res.jobs; j++) workers.emplace_back(work);
  work();
  for (std::thread& w : workers) w.join();
  res.wall_seconds = vx::to_seconds(wall.now());
  return res;
}

std::string coverage_table(const SweepResult& r) {
  std::map<std::string, int> planned, seen;
  long long virtual_ms = 0;
  std::size_t lines = 0;
  for (const SeedResult& s : r.seeds) {
    for (const std::string& f : s.session.features) planned[f]++;
    for (const std::string& f : s.report.covered) seen[f]++;
    virtual_ms += s.report.virtual_ms;
    lines += s.lines;
  }
  std::string t;
  char buf[160];
  std::snprintf(buf, sizeof buf,
                "simulated sessions: %zu seeds, %d failed; %.1f s wall on %d job(s); %.0f virtual minutes; %zu output "
                "lines\n",
                r.seeds.size(), r.failed(), r.wall_seconds, r.jobs, virtual_ms / 60000.0, lines);
  t += buf;
  auto table = [&](const char* title, const std::map<std::string, int>& m) {
    t += std::string(title) + "\n";
    for (const auto& [name, n] : m) {
      std::snprintf(buf, sizeof buf, "  %-52s %5d\n", name.c_str(), n);
      t += buf;
    }
  };
  table("sessions built with (faults, commands, typed values):", planned);
  table("sessions in which it happened:", seen);

  // What each kind of fault led to: of the sessions with it (before start or during
  // the session), how many saw a time-out, a scan, a refused start, a stopped scan.
  struct Effects {
    int sessions = 0, timeout = 0, scan = 0, refused = 0, stopped = 0;
  };
  std::map<std::string, Effects> by_kind;
  for (const SeedResult& s : r.seeds) {
    std::set<std::string> kinds;
    for (const std::string& f : s.session.features)
      if (f.rfind("fault ", 0) == 0) kinds.insert(f.substr(6, f.find(' ', 6) - 6));
    const auto& c = s.report.covered;
    for (const std::string& k : kinds) {
      Effects& e = by_kind[k];
      e.sessions++;
      e.timeout += c.count("time-out of a move") || c.count("time-out of a homing");
      e.scan += c.count("scan ran") > 0;
      e.refused += c.count("start refused (a stage reads disabled)") > 0;
      e.stopped += c.count("scan stopped") > 0;
    }
  }
  t += "what each kind of fault led to (sessions with it; of them: a time-out, a scan ran, a start refused, a scan "
       "stopped):\n";
  for (const auto& [k, e] : by_kind) {
    std::snprintf(buf, sizeof buf, "  %-10s %5d %5d %5d %5d %5d\n", k.c_str(), e.sessions, e.timeout, e.scan, e.refused,
                  e.stopped);
    t += buf;
  }
  return t;
}

std::string failure_text(const SeedResult& r) {
  const std::string seed = std::to_string(r.session.seed);
  std::string t = "seed " + seed + " FAILED";
  if (r.report.line) t += " at output line " + std::to_string(r.report.line);
  t += ": " + r.report.failure + "\n";
  t += "  reproduce: varnix-simtest --seed " + seed + " -v   (the script: varnix-simtest --script " + seed +
       ", which varnix-session --trace - plays)\n";
  const auto& out = r.output.out;
  if (!out.empty()) {
    const int at = r.report.line ? r.report.line : static_cast<int>(out.size());
    const int from = std::max(1, at - 12), to = std::min(static_cast<int>(out.size()), at + 2);
    t += "  output lines " + std::to_string(from) + " to " + std::to_string(to) + " of " + std::to_string(out.size()) + ":\n";
    for (int i = from; i <= to; i++) {
      char num[16];
      std::snprintf(num, sizeof num, "%6d%s", i, i == at ? " >" : " |");
      t += "  " + std::string(num) + " " + out[i - 1] + "\n";
    }
  }
  if (!r.output.err.empty()) t += "  standard error:\n" + r.output.err.substr(0, 4000) + "\n";
  t += "  the script of seed " + seed + ":\n";
  std::istringstream in(r.session.script);
  for (std::string l; std::getline(in, l);) t += "    " + l + "\n";
  return t;
}

std::string runner_beside_me() {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return (ec ? std::filesystem::path(".") : self.parent_path()).string() + "/varnix-session";
}

}  // namespace vx::simtest
