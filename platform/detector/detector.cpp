// The detector sources (the simulated sample, a command, a library), the parser of a
// detector's source, and the reader's thread.
#include "platform/detector/detector.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>

#include "platform/detector/detector_library.h"

extern char** environ;

namespace vx::detector {

namespace {

std::string num(double v) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

// A channel's name as a record column can carry it: letters, digits and '_'.
std::string column_safe(std::string_view name) {
  std::string out;
  for (char c : name) out += (std::isalnum(static_cast<unsigned char>(c)) || c == '_') ? c : '_';
  return out.empty() ? "_" : out;
}

// Names made unique and safe; c1, c2.. for those missing.
std::vector<std::string> channel_names(std::vector<std::string> names) {
  for (std::size_t i = 0; i < names.size(); i++) {
    names[i] = column_safe(names[i]);
    for (std::size_t j = 0; j < i; j++)
      if (names[j] == names[i]) names[i] += "_" + std::to_string(i + 1);
  }
  return names;
}

std::uint64_t splitmix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// A uniform number in [0, 1) from a key.
double unit(std::uint64_t key) { return static_cast<double>(splitmix(key) >> 11) * 0x1.0p-53; }

// ---- the simulated sample -------------------------------------------------------------

class Sim final : public Detector {
 public:
  explicit Sim(const SimSettings& s) : s_(s) {}
  std::string describe() const override {
    return "sim seed=" + std::to_string(s_.seed) + " exposure=" + num(to_seconds(s_.exposure)) +
           " s noise=" + num(s_.noise);
  }
  const std::vector<std::string>& channels() const override { return names_; }
  Duration exposure() const override { return s_.exposure; }
  Reading read(const Point& p) override {
    const auto clean = sample(s_, p.read);
    Reading r;
    for (std::size_t c = 0; c < clean.size(); c++) {
      // Gaussian noise (Box-Muller) keyed by the seed, the point and the channel: the
      // same scan reads the same values on every run.
      const std::uint64_t key = splitmix(s_.seed) ^ (static_cast<std::uint64_t>(p.point) * 4 + c);
      const double u1 = 1.0 - unit(key), u2 = unit(key ^ 0x5DEECE66Dull);
      const double g = std::sqrt(-2.0 * std::log(u1)) * std::cos(2 * std::numbers::pi * u2);
      r.values.push_back(clean[c] + s_.noise * g);
    }
    return r;
  }

 private:
  SimSettings s_;
  std::vector<std::string> names_{"signal", "height"};
};

}  // namespace

std::array<double, 2> sample(const SimSettings& s, const std::array<double, 3>& at) {
  const double x = at[0], y = at[1], z = at[2];
  auto seeded = [&](int k, double lo, double hi) { return lo + (hi - lo) * unit(splitmix(s.seed) + k); };
  // Sharp at z = 0, blurred away from it: the finer features fade with depth.
  const double focus = std::exp(-(z / 3) * (z / 3));
  double signal = 0.02 * x + 0.01 * y;  // the slope
  for (int b = 0; b < 3; b++) {         // large blobs, drifting with depth
    const double cx = seeded(10 * b, 0, 20) + 0.3 * z, cy = seeded(10 * b + 1, 0, 20);
    const double sigma = seeded(10 * b + 2, 2.5, 5), amp = seeded(10 * b + 3, 0.5, 1.0);
    const double d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
    signal += amp * std::exp(-d2 / (2 * sigma * sigma));
  }
  {  // concentric rings, 1.5 mm apart
    const double cx = seeded(40, 6, 14), cy = seeded(41, 6, 14);
    const double r = std::hypot(x - cx, y - cy);
    signal += 0.3 * focus * std::cos(2 * std::numbers::pi * r / 1.5) * std::exp(-r / 6);
  }
  {  // small dots on a 2.5 mm lattice
    const double px = x - 2.5 * std::round(x / 2.5), py = y - 2.5 * std::round(y / 2.5);
    signal += 0.4 * focus * std::exp(-(px * px + py * py) / (2 * 0.4 * 0.4));
  }
  const double height = 0.5 * std::sin(x / 7) * std::cos(y / 9) + 0.05 * z;
  return {signal, height};
}

std::unique_ptr<Detector> make_sim(const SimSettings& s) { return std::make_unique<Sim>(s); }

// ---- a command ---------------------------------------------------------------------------

namespace {

// The numbers of a line (separated by spaces, tabs, commas or semicolons), or nothing
// when a field is not one; `fields` gets the fields either way.
std::optional<std::vector<double>> numbers(std::string_view line, std::vector<std::string>* fields = nullptr) {
  std::vector<double> out;
  bool all = true;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && std::strchr(" \t,;\r", line[i])) i++;
    std::size_t j = i;
    while (j < line.size() && !std::strchr(" \t,;\r", line[j])) j++;
    if (j == i) break;
    const std::string field(line.substr(i, j - i));
    if (fields) fields->push_back(field);
    char* end = nullptr;
    const double v = std::strtod(field.c_str(), &end);
    // An underflow reads as the nearest value (a denormal, or 0); an overflow is no number.
    if (end != field.c_str() + field.size() || !std::isfinite(v)) all = false;
    else out.push_back(v);
    i = j;
  }
  if (!all || out.empty()) return std::nullopt;
  return out;
}

struct Run {
  std::string out;  // standard output, up to kMaxOutput
  std::string err;  // the last of standard error
  std::string failure;  // why the run gave nothing; empty when it exited 0 in time
};

constexpr std::size_t kMaxOutput = 64 * 1024;
constexpr double kMaxBoundSeconds = 30;

// Runs `command` through /bin/sh with `env` added to the environment, for at most
// `bound` of real time; a command past it is killed with its process group.
Run run_command(const std::string& command, const std::vector<std::string>& env, Duration bound) {
  Run run;
  // Everything the child needs is made before the fork: after it, a threaded process may
  // only call what is safe in a signal handler.
  std::vector<std::string> vars(env);
  for (char** e = environ; e && *e; e++) vars.emplace_back(*e);
  std::vector<char*> envp;
  for (auto& v : vars) envp.push_back(v.data());
  envp.push_back(nullptr);
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return {{}, {}, std::string("cannot make a pipe: ") + std::strerror(errno)};
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return {{}, {}, std::string("cannot make a pipe: ") + std::strerror(errno)};
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);  // dup2 gives the copy on 0 no CLOEXEC
    if (null >= 0) ::dup2(null, 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::execve("/bin/sh", const_cast<char**>(argv), envp.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  if (pid < 0) {
    ::close(out[0]);
    ::close(err[0]);
    return {{}, {}, std::string("cannot start the command: ") + std::strerror(errno)};
  }
  ::setpgid(pid, pid);  // either side may set it first
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  RealClock real;  // a command runs in real time, whatever clock paces the program
  const Time deadline = real.now() + bound;
  bool out_open = true, err_open = true, exited = false;
  int status = 0;
  while (out_open || err_open || !exited) {
    const Time left = deadline - real.now();
    if (left <= Duration{0}) break;
    pollfd fds[3] = {{out_open ? out[0] : -1, POLLIN, 0}, {err_open ? err[0] : -1, POLLIN, 0},
                     {exited ? -1 : pidfd, POLLIN, 0}};
    const int ms = static_cast<int>(std::min<long long>(
        std::chrono::ceil<std::chrono::milliseconds>(left).count(), 1000));
    if (pidfd < 0 && !exited && !out_open && !err_open) {
      // No process descriptor: the pipes are closed, the command ends soon or never.
      if (::waitpid(pid, &status, WNOHANG) == pid) exited = true;
      else ::poll(nullptr, 0, std::min(ms, 10));
      continue;
    }
    if (::poll(fds, 3, ms) < 0 && errno != EINTR) break;
    char buf[4096];
    for (int f = 0; f < 2; f++) {
      if (!(fds[f].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = ::read(f == 0 ? out[0] : err[0], buf, sizeof buf);
      if (n > 0) {
        std::string& to = f == 0 ? run.out : run.err;
        if (to.size() < kMaxOutput) to.append(buf, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        (f == 0 ? out_open : err_open) = false;
      }
    }
    if (fds[2].revents & POLLIN) exited = ::waitpid(pid, &status, WNOHANG) == pid;
  }
  if (!exited) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    run.failure = "took longer than " + num(to_seconds(bound)) + " s and was killed";
  } else if (WIFSIGNALED(status)) {
    run.failure = std::string("ended by signal ") + std::to_string(WTERMSIG(status));
  } else if (WEXITSTATUS(status) != 0) {
    run.failure = "exited with status " + std::to_string(WEXITSTATUS(status));
  }
  if (pidfd >= 0) ::close(pidfd);
  ::close(out[0]);
  ::close(err[0]);
  if (!run.failure.empty()) {
    // The command's own last words say more than its status.
    std::string last = run.err;
    while (!last.empty() && (last.back() == '\n' || last.back() == '\r')) last.pop_back();
    last = last.substr(last.rfind('\n') == std::string::npos ? 0 : last.rfind('\n') + 1);
    if (last.size() > 200) last.resize(200);
    if (!last.empty()) run.failure += ": " + last;
  }
  return run;
}

// The output's first line and, when that is a header, the names it gives.
struct Parsed {
  std::optional<std::vector<double>> values;
  std::vector<std::string> header;
};

Parsed parse_output(const std::string& out) {
  Parsed p;
  std::size_t at = 0;
  for (int line = 0; line < 2 && at < out.size(); line++) {
    std::size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    std::vector<std::string> fields;
    p.values = numbers(std::string_view(out).substr(at, end - at), &fields);
    if (p.values || line == 1) break;
    p.header = fields;  // a first line of names
    at = end + 1;
  }
  return p;
}

std::vector<std::string> point_env(const Point& p, bool probe) {
  const char* axes = "XYZ";
  std::vector<std::string> env{"VARNIX_POINT=" + std::to_string(p.point), std::string("VARNIX_PROBE=") + (probe ? "1" : "0")};
  for (int k = 0; k < 3; k++) {
    env.push_back(std::string("VARNIX_I") + axes[k] + "=" + std::to_string(p.index[k]));
    env.push_back(std::string("VARNIX_TARGET_") + axes[k] + "=" + num(p.target[k]));
    env.push_back(std::string("VARNIX_READ_") + axes[k] + "=" + num(p.read[k]));
  }
  return env;
}

class Exec final : public Detector {
 public:
  Exec(ExecSettings s, std::vector<std::string> names) : s_(std::move(s)), names_(std::move(names)) {}
  std::string describe() const override {
    return "exec bound=" + num(to_seconds(s_.bound)) + " s command=" + s_.command;
  }
  const std::vector<std::string>& channels() const override { return names_; }
  Duration exposure() const override { return Duration{0}; }
  Reading read(const Point& p) override {
    const Run run = run_command(s_.command, point_env(p, false), s_.bound);
    if (!run.failure.empty()) return {{}, "the command " + run.failure};
    const Parsed out = parse_output(run.out);
    if (!out.values) return {{}, "the command printed no numbers"};
    if (out.values->size() != names_.size())
      return {{}, "the command printed " + std::to_string(out.values->size()) + " numbers for " +
                      std::to_string(names_.size()) + " channels"};
    return {*out.values, {}};
  }

 private:
  ExecSettings s_;
  std::vector<std::string> names_;
};

}  // namespace

std::unique_ptr<Detector> make_exec(const ExecSettings& s, std::string& error) {
  if (s.command.empty()) {
    error = "exec: needs a command (exec:COMMAND)";
    return nullptr;
  }
  const Run run = run_command(s.command, point_env(Point{}, true), s.bound);
  if (!run.failure.empty()) {
    error = "the command's first run (VARNIX_PROBE=1) " + run.failure;
    return nullptr;
  }
  const Parsed out = parse_output(run.out);
  if (!out.values) {
    error = "the command's first run (VARNIX_PROBE=1) printed no line of numbers";
    return nullptr;
  }
  std::vector<std::string> names;
  for (std::size_t i = 0; i < out.values->size(); i++)
    names.push_back(i < out.header.size() ? out.header[i] : "c" + std::to_string(i + 1));
  return std::make_unique<Exec>(s, channel_names(std::move(names)));
}

// ---- a library -----------------------------------------------------------------------------

namespace {

class Lib final : public Detector {
 public:
  using Open = void* (*)(char*, size_t);
  using Channels = int (*)(void*);
  using Name = const char* (*)(void*, int);
  using Read = int (*)(void*, const vxd_point*, double*, int, char*, size_t);
  using Close = void (*)(void*);

  Lib(std::string path, void* dl) : path_(std::move(path)), dl_(dl) {}
  ~Lib() override {
    if (handle_ && close_) close_(handle_);
    if (dl_) ::dlclose(dl_);
  }
  Lib(const Lib&) = delete;
  Lib& operator=(const Lib&) = delete;

  bool open(std::string& error) {
    auto sym = [&](const char* name) {
      void* f = ::dlsym(dl_, name);
      if (!f && error.empty()) error = path_ + " has no " + name;
      return f;
    };
    auto* open = reinterpret_cast<Open>(sym("vxd_open"));
    auto* channels = reinterpret_cast<Channels>(sym("vxd_channels"));
    auto* name = reinterpret_cast<Name>(sym("vxd_channel_name"));
    read_ = reinterpret_cast<Read>(sym("vxd_read"));
    close_ = reinterpret_cast<Close>(sym("vxd_close"));
    if (!error.empty()) return false;
    char message[256] = "";
    handle_ = open(message, sizeof message);
    if (!handle_) {
      message[sizeof message - 1] = '\0';
      error = path_ + ": vxd_open failed" + (message[0] ? std::string(": ") + message : std::string());
      return false;
    }
    const int n = channels(handle_);
    if (n < 1 || n > VXD_MAX_CHANNELS) {
      error = path_ + ": vxd_channels gave " + std::to_string(n) + " (1 to " + std::to_string(VXD_MAX_CHANNELS) + ")";
      return false;
    }
    std::vector<std::string> names;
    for (int i = 0; i < n; i++) {
      const char* s = name(handle_, i);
      names.push_back(s && *s ? std::string(s, strnlen(s, 64)) : "c" + std::to_string(i + 1));
    }
    names_ = channel_names(std::move(names));
    return true;
  }

  std::string describe() const override { return "lib path=" + path_; }
  const std::vector<std::string>& channels() const override { return names_; }
  Duration exposure() const override { return Duration{0}; }
  Reading read(const Point& p) override {
    vxd_point q{p.point, {p.index[0], p.index[1], p.index[2]}, {p.target[0], p.target[1], p.target[2]},
                {p.read[0], p.read[1], p.read[2]}};
    std::vector<double> values(names_.size(), 0.0);
    char message[256] = "";
    if (read_(handle_, &q, values.data(), static_cast<int>(values.size()), message, sizeof message) != 0) {
      message[sizeof message - 1] = '\0';
      return {{}, std::string("the library's reading failed") + (message[0] ? std::string(": ") + message : "")};
    }
    return {std::move(values), {}};
  }

 private:
  std::string path_;
  void* dl_ = nullptr;
  void* handle_ = nullptr;
  Read read_ = nullptr;
  Close close_ = nullptr;
  std::vector<std::string> names_;
};

}  // namespace

std::unique_ptr<Detector> make_lib(const std::string& path, std::string& error) {
  if (path.empty()) {
    error = "lib: needs a library's path (lib:PATH)";
    return nullptr;
  }
  // A bare name would be looked for along the library path: the operator means a file.
  const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  void* dl = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!dl) {
    const char* why = ::dlerror();
    error = "cannot load " + path + ": " + (why ? why : "unknown reason");
    return nullptr;
  }
  auto lib = std::make_unique<Lib>(path, dl);
  if (!lib->open(error)) return nullptr;
  return lib;
}

// ---- choosing one -----------------------------------------------------------------------------

namespace {

std::optional<double> seconds_value(const std::string& text) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(v) || v < 0 || v > 3600) return std::nullopt;
  return v;
}

}  // namespace

Choice open(std::string_view text) {
  const std::string kSources = " (sim, exec:COMMAND, lib:PATH, none)";
  const std::size_t colon = text.find(':');
  const std::string head(text.substr(0, colon));
  const std::string arg = colon == std::string_view::npos ? std::string() : std::string(text.substr(colon + 1));
  // The source's name and its settings, "name,key=value,...".
  std::vector<std::string> parts;
  for (std::size_t i = 0;;) {
    const std::size_t j = head.find(',', i);
    parts.push_back(head.substr(i, j == std::string::npos ? std::string::npos : j - i));
    if (j == std::string::npos) break;
    i = j + 1;
  }
  const std::string& source = parts[0];
  Choice c;
  auto fail = [&](std::string why) {
    c.error = "--detector " + std::string(text) + ": " + std::move(why);
    return c;
  };
  if (source != "sim" && source != "exec" && source != "lib" && source != "none")
    return fail("unknown source '" + source + "'" + kSources);
  if ((source == "sim" || source == "none") && colon != std::string_view::npos)
    return fail(source + " takes no ':' (settings follow a comma: sim,seed=2,exposure=0.05,noise=0.01)");
  if ((source == "exec" || source == "lib") && arg.empty())
    return fail(source + " needs " + (source == "exec" ? "a command (exec:COMMAND)" : "a path (lib:PATH)"));
  SimSettings sim;
  ExecSettings exec;
  exec.command = arg;
  for (std::size_t i = 1; i < parts.size(); i++) {
    const std::size_t eq = parts[i].find('=');
    const std::string key = parts[i].substr(0, eq), value = eq == std::string::npos ? "" : parts[i].substr(eq + 1);
    const auto secs = seconds_value(value);
    if (source == "sim" && key == "seed") {
      unsigned long long v = 0;
      const auto r = std::from_chars(value.data(), value.data() + value.size(), v);
      if (value.empty() || r.ec != std::errc() || r.ptr != value.data() + value.size() || v > 0xFFFFFFFFull)
        return fail("seed must be a whole number from 0 to 4294967295");
      sim.seed = static_cast<unsigned>(v);
    } else if (source == "sim" && key == "exposure") {
      if (!secs) return fail("exposure must be seconds from 0 to 3600");
      sim.exposure = from_seconds(*secs);
    } else if (source == "sim" && key == "noise") {
      if (!secs) return fail("noise must be a number from 0 to 3600");
      sim.noise = *secs;
    } else if (source == "exec" && key == "bound") {
      // The reader waits for a command in real time; under the session runner's virtual
      // clock a wait of a minute is taken for a hung program.
      if (!secs || *secs <= 0 || *secs > kMaxBoundSeconds) return fail("bound must be seconds above 0, at most " + num(kMaxBoundSeconds));
      exec.bound = from_seconds(*secs);
    } else {
      return fail("unknown setting '" + parts[i] + "'" +
                  (source == "sim"    ? " (seed, exposure, noise)"
                   : source == "exec" ? " (bound)"
                                      : " (none)"));
    }
  }
  std::string error;
  if (source == "sim") c.detector = make_sim(sim);
  else if (source == "exec") c.detector = make_exec(exec, error);
  else if (source == "lib") c.detector = make_lib(arg, error);
  if (!error.empty()) return fail(error);
  return c;
}

std::string default_source() { return VARNIX_SIMULATED_STAGES ? "sim" : "none"; }

// ---- the reader ---------------------------------------------------------------------------------

Reader::Reader(Clock& clock, std::shared_ptr<Detector> detector, Done done)
    : clock_(clock), detector_(std::move(detector)), done_(std::move(done)) {
  Participant token = clock_.enroll();
  thread_ = std::thread([this, token = std::move(token)]() mutable { main(std::move(token)); });
}

Reader::~Reader() {
  {
    std::lock_guard lk(clock_.mutex());
    stop_ = true;
    clock_.notify_all(channel_);
  }
  thread_.join();
}

void Reader::read(const Point& p) {
  std::lock_guard lk(clock_.mutex());
  queue_.push_back(p);
  clock_.notify_all(channel_);
}

void Reader::main(Participant token) {
  token.adopt("detector");
  std::unique_lock lk(clock_.mutex());
  for (;;) {
    while (!stop_ && queue_.empty()) clock_.wait_until(lk, channel_, kForever, "detector queue");
    if (stop_) break;
    const Point p = queue_.front();
    queue_.pop_front();
    const std::size_t behind = queue_.size();
    const bool skip = behind >= kMaxQueued;
    if (!skip && detector_->exposure() > Duration{0}) {
      const Time end = clock_.now_locked() + detector_->exposure();
      while (!stop_ && clock_.now_locked() < end) clock_.wait_until(lk, channel_, end, "detector exposure");
      if (stop_) break;
    }
    lk.unlock();
    Reading r;
    if (skip)
      r.error = "skipped: the detector was " + std::to_string(behind) + " readings behind the scan";
    else
      r = detector_->read(p);
    done_(p, std::move(r));
    lk.lock();
  }
  lk.unlock();
  token.retire();
}

}  // namespace vx::detector
