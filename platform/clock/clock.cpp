// Real and virtual clocks, the clock in force, and thread names.
// This file is the only place in the tree that reads the system time or sleeps.
#include "clock.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <sstream>

namespace vx {

namespace {
thread_local std::string tl_name = "thread";
thread_local Clock* tl_participant_of = nullptr;

RealClock& process_real_clock() {
  static RealClock c;
  return c;
}
std::atomic<Clock*> g_clock{nullptr};
}  // namespace

Duration from_seconds(double s) {
  if (!(s > 0)) return Duration{0};
  const double ns = s * 1e9;
  if (ns >= static_cast<double>(std::numeric_limits<Duration::rep>::max()) / 2) return kForever;
  return Duration{static_cast<Duration::rep>(std::llround(ns))};
}

double to_seconds(Duration d) { return static_cast<double>(d.count()) / 1e9; }

std::chrono::system_clock::time_point wall_now() { return std::chrono::system_clock::now(); }

void set_thread_name(std::string name) { tl_name = std::move(name); }
const std::string& thread_name() { return tl_name; }

Clock& clock() {
  Clock* c = g_clock.load(std::memory_order_acquire);
  return c ? *c : process_real_clock();
}

std::string time_of_day(Clock& c) {
  long long ms;
  if (c.is_virtual()) {
    ms = std::chrono::duration_cast<std::chrono::milliseconds>(c.now()).count();
  } else {
    const auto wall = wall_now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(wall);
    std::tm local{};
    localtime_r(&secs, &local);
    const long long sub =
        std::chrono::duration_cast<std::chrono::milliseconds>(wall.time_since_epoch()).count() % 1000;
    ms = ((local.tm_hour * 60LL + local.tm_min) * 60 + local.tm_sec) * 1000 + sub;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld.%03lld", ms / 3600000 % 100, ms / 60000 % 60, ms / 1000 % 60,
                ms % 1000);
  return buf;
}

ClockScope::ClockScope(Clock& c) : previous_(g_clock.exchange(&c, std::memory_order_acq_rel)) {}
ClockScope::~ClockScope() { g_clock.store(previous_, std::memory_order_release); }

// ---- Participant -------------------------------------------------------------------

Participant& Participant::operator=(Participant&& o) noexcept {
  if (this != &o) {
    retire();
    clock_ = o.clock_;
    adopted_ = o.adopted_;
    o.clock_ = nullptr;
    o.adopted_ = false;
  }
  return *this;
}

void Participant::adopt(std::string name) {
  set_thread_name(std::move(name));
  if (clock_) {
    tl_participant_of = clock_;
    adopted_ = true;
    clock_->on_adopt();
  }
}

void Participant::retire() {
  if (!clock_) return;
  // Only the token a thread adopted speaks for that thread; an unused token retired on
  // some other thread leaves that thread's enrolment alone.
  if (adopted_ && tl_participant_of == clock_) tl_participant_of = nullptr;
  adopted_ = false;
  clock_->on_retire();
  clock_ = nullptr;
}

Participant Clock::enroll() {
  on_enroll();
  return Participant(this);
}

void Clock::sleep_for(Duration d) {
  const Time start = now();
  sleep_until(d >= kForever - start ? kForever : start + d);
}

void Clock::sleep_until(Time t) {
  WaitChannel ch;
  std::unique_lock lk(mutex_);
  while (now_locked() < t) {
    if (!wait_until(lk, ch, t, "sleep")) break;
  }
}

// ---- RealClock ---------------------------------------------------------------------

RealClock::RealClock() : start_(std::chrono::steady_clock::now()) {}

Time RealClock::now() {
  return std::chrono::duration_cast<Time>(std::chrono::steady_clock::now() - start_);
}

bool RealClock::wait_until(std::unique_lock<std::mutex>& lk, WaitChannel& ch, Time deadline,
                           const char*) {
  if (deadline == kForever) {
    ch.cv_.wait(lk);
    return true;
  }
  return ch.cv_.wait_until(lk, start_ + deadline) == std::cv_status::no_timeout;
}

void RealClock::notify_all(WaitChannel& ch) { ch.cv_.notify_all(); }

// ---- VirtualClock ------------------------------------------------------------------

struct VirtualWaiter {
  std::condition_variable cv;
  Time deadline;
  WaitChannel* channel;
  const char* what;
  const std::string* thread;
  bool participant;
  bool woken = false;
  bool timed_out = false;
};

VirtualClock::VirtualClock(std::chrono::milliseconds watchdog) : watchdog_limit_(watchdog) {
  watchdog_ = std::thread([this] { watchdog_main(); });
}

VirtualClock::~VirtualClock() {
  {
    std::lock_guard lk(mutex_);
    stopping_ = true;
  }
  watchdog_cv_.notify_all();
  watchdog_.join();
}

Time VirtualClock::now() {
  std::lock_guard lk(mutex_);
  return now_;
}

int VirtualClock::participants() {
  std::lock_guard lk(mutex_);
  return participants_;
}

void VirtualClock::set_deadlock_handler(Handler h) {
  std::lock_guard lk(mutex_);
  deadlock_ = std::move(h);
}

void VirtualClock::set_watchdog_handler(Handler h) {
  std::lock_guard lk(mutex_);
  watchdog_handler_ = std::move(h);
}

void VirtualClock::on_enroll() {
  std::lock_guard lk(mutex_);
  ++participants_;
  ++runnable_;
}

void VirtualClock::on_adopt() {
  std::lock_guard lk(mutex_);
}

void VirtualClock::on_retire() {
  std::unique_lock lk(mutex_);
  --participants_;
  --runnable_;
  advance_if_idle(lk);
}

void VirtualClock::wake(VirtualWaiter* w, bool timed_out) {
  if (w->woken) return;
  w->woken = true;
  w->timed_out = timed_out;
  if (w->participant) ++runnable_;
  auto& cw = w->channel->waiters_;
  cw.erase(std::remove(cw.begin(), cw.end(), w), cw.end());
  waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), w), waiting_.end());
  w->cv.notify_one();
}

bool VirtualClock::wait_until(std::unique_lock<std::mutex>& lk, WaitChannel& ch, Time deadline,
                              const char* what) {
  VirtualWaiter w{{}, deadline, &ch, what, &thread_name(), tl_participant_of == this};
  if (deadline <= now_ && !w.participant) return false;
  ch.waiters_.push_back(&w);
  waiting_.push_back(&w);
  if (w.participant) --runnable_;
  advance_if_idle(lk);
  while (!w.woken) w.cv.wait(lk);
  return !w.timed_out;
}

void VirtualClock::settle() {
  WaitChannel ch;
  std::unique_lock lk(mutex_);
  if (tl_participant_of != this) return;
  wait_until(lk, ch, now_, "settle");
}

void VirtualClock::notify_all(WaitChannel& ch) {
  // Copy: wake() edits the channel's list.
  const std::vector<VirtualWaiter*> ws = ch.waiters_;
  for (VirtualWaiter* w : ws) wake(w, false);
}

std::string VirtualClock::describe_waiters() const {
  std::ostringstream os;
  for (const VirtualWaiter* w : waiting_) {
    os << "  thread '" << *w->thread << "' in " << w->what;
    if (w->deadline != kForever) os << " until " << to_seconds(w->deadline) << " s";
    os << "\n";
  }
  return os.str();
}

// Hands a report to its handler with the clock's lock released; with no handler the
// process cannot go on sensibly: the report goes to standard error and it aborts.
void VirtualClock::report(std::unique_lock<std::mutex>& lk, const Handler& handler, const std::string& text) {
  if (!handler) {
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
    std::abort();
  }
  const Handler h = handler;
  lk.unlock();
  h(text);
  lk.lock();
}

void VirtualClock::advance_if_idle(std::unique_lock<std::mutex>& lk) {
  while (runnable_ == 0 && participants_ > 0) {
    Time next = kForever;
    for (const VirtualWaiter* w : waiting_) next = std::min(next, w->deadline);
    if (next == kForever) {
      std::ostringstream os;
      os << "virtual clock: deadlock at " << to_seconds(now_)
         << " s: every thread is blocked and nothing is due\n"
         << describe_waiters();
      report(lk, deadlock_, os.str());
      const std::vector<VirtualWaiter*> ws = waiting_;
      for (VirtualWaiter* w : ws) wake(w, true);
      return;
    }
    now_ = std::max(now_, next);
    const std::vector<VirtualWaiter*> ws = waiting_;
    for (VirtualWaiter* w : ws)
      if (w->deadline <= now_) wake(w, true);
  }
}

// Virtual time stands still only while some participant runs; if it stands still for
// the watchdog limit of real time, a thread spins (or blocks outside the clock) and
// would hang the run. Wake-ups that do not move time (a thread that spins while
// notifying another) do not count as progress.
void VirtualClock::watchdog_main() {
  set_thread_name("clock-watchdog");
  std::unique_lock lk(mutex_);
  Time seen = now_;
  auto last_change = std::chrono::steady_clock::now();
  while (!stopping_) {
    watchdog_cv_.wait_for(lk, std::chrono::milliseconds(200));
    if (stopping_) break;
    const auto wall = std::chrono::steady_clock::now();
    if (now_ != seen || runnable_ == 0) {
      seen = now_;
      last_change = wall;
      continue;
    }
    if (wall - last_change < watchdog_limit_) continue;
    std::ostringstream os;
    os << "virtual clock: watchdog: " << runnable_ << " thread(s) ran for "
       << std::chrono::duration_cast<std::chrono::seconds>(wall - last_change).count()
       << " s of real time without blocking on the clock, at virtual time " << to_seconds(now_)
       << " s; blocked:\n"
       << describe_waiters();
    report(lk, watchdog_handler_, os.str());
    last_change = std::chrono::steady_clock::now();
  }
}

}  // namespace vx
