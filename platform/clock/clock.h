// The one clock of the process. Every pause, time-out, timer interval and blocking
// wait of the program and of the platform goes through it, so that the same code runs
// on real time (the program) or on virtual time (tests and the headless session
// runner), where a 180 s time-out passes in microseconds and two sleeping threads
// interleave the same way on every run.
//
// Blocking waits use the clock's own mutex and a WaitChannel: a waiter blocks on a
// channel until it is notified or its deadline passes. On the virtual clock, time moves
// only when every participating thread is blocked on the clock; it then jumps straight
// to the earliest deadline. A participant is a thread enrolled with the clock; the
// enrolment is made by the thread that creates it, so that the new thread counts as
// runnable from the moment it exists.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vx {

// Time since the clock started, and spans of it, in nanoseconds.
using Duration = std::chrono::nanoseconds;
using Time = std::chrono::nanoseconds;
inline constexpr Time kForever = Time::max();

// Seconds as a Duration, rounded to the nanosecond. Negative values and NaN give 0;
// values too large for the representation give kForever.
Duration from_seconds(double s);
inline Duration from_millis(long long ms) { return std::chrono::milliseconds(ms); }
double to_seconds(Duration d);

// The calendar time now, for stamping records (a scan's start). Never used to measure or
// wait: that is the Clock's.
std::chrono::system_clock::time_point wall_now();

// The name the current thread goes by in reports and traces ("main", "pool-1", ...).
void set_thread_name(std::string name);
const std::string& thread_name();

// Lends the current thread another name for a scope: calls made for someone else (the
// emergency stop, the live readings) show in traces as theirs.
class ThreadNameScope {
 public:
  explicit ThreadNameScope(std::string name) : saved_(thread_name()) { set_thread_name(std::move(name)); }
  ~ThreadNameScope() { set_thread_name(std::move(saved_)); }
  ThreadNameScope(const ThreadNameScope&) = delete;
  ThreadNameScope& operator=(const ThreadNameScope&) = delete;

 private:
  std::string saved_;
};

class Clock;

// The threads waiting for one thing. Guarded by the clock's mutex.
class WaitChannel {
 public:
  WaitChannel() = default;
  WaitChannel(const WaitChannel&) = delete;
  WaitChannel& operator=(const WaitChannel&) = delete;

 private:
  friend class RealClock;
  friend class VirtualClock;
  std::condition_variable cv_;  // real clock
  std::vector<struct VirtualWaiter*> waiters_;  // virtual clock
};

// A thread counted by the clock. Move-only; retiring it (destruction) removes the
// thread from the count. The thread that runs under it calls adopt() first.
class Participant {
 public:
  Participant() = default;
  Participant(Participant&& o) noexcept : clock_(o.clock_), adopted_(o.adopted_) {
    o.clock_ = nullptr;
    o.adopted_ = false;
  }
  Participant& operator=(Participant&& o) noexcept;
  Participant(const Participant&) = delete;
  Participant& operator=(const Participant&) = delete;
  ~Participant() { retire(); }

  void adopt(std::string name);  // call on the thread that this token stands for
  void retire();

 private:
  friend class Clock;
  explicit Participant(Clock* c) : clock_(c) {}
  Clock* clock_ = nullptr;
  bool adopted_ = false;  // a thread took it on; retiring releases that thread
};

class Clock {
 public:
  virtual ~Clock() = default;

  virtual Time now() = 0;
  // now() for a caller that holds mutex().
  virtual Time now_locked() { return now(); }
  void sleep_for(Duration d);
  virtual void sleep_until(Time t);

  // The lock under which every wait channel is used.
  std::mutex& mutex() { return mutex_; }

  // Blocks on `ch` until notified or until `deadline` (kForever: no deadline). The
  // caller holds `lk` on mutex(). Returns false when the deadline passed. Wake-ups may
  // be spurious: callers re-test their condition. `what` names the wait in reports.
  virtual bool wait_until(std::unique_lock<std::mutex>& lk, WaitChannel& ch, Time deadline,
                          const char* what = "wait") = 0;
  // Wakes every waiter of `ch`. The caller holds mutex().
  virtual void notify_all(WaitChannel& ch) = 0;

  // Returns once every other participant is blocked on the clock, without letting time
  // move (virtual clock); at once on the real clock. Gives a deterministic point at which
  // one thread can look at what the others have done.
  virtual void settle() {}

  // A token for a thread about to be started (or for the calling thread).
  Participant enroll();

  // Whether time only moves when every participant blocks.
  virtual bool is_virtual() const { return false; }

 protected:
  virtual void on_enroll() {}
  virtual void on_retire() {}
  virtual void on_adopt() {}
  friend class Participant;
  std::mutex mutex_;
};

// Real monotonic time, counted from the clock's construction.
class RealClock final : public Clock {
 public:
  RealClock();
  Time now() override;
  bool wait_until(std::unique_lock<std::mutex>& lk, WaitChannel& ch, Time deadline,
                  const char* what) override;
  void notify_all(WaitChannel& ch) override;

 private:
  std::chrono::steady_clock::time_point start_;
};

// Virtual time. Starts at 0; advances to the earliest deadline when every participant
// is blocked on the clock. When every participant is blocked and nothing is due, it
// reports a deadlock (the handler; by default: the report on standard error, then
// abort). A wall-clock watchdog reports a participant that runs without ever blocking
// on the clock for longer than the watchdog limit.
class VirtualClock final : public Clock {
 public:
  using Handler = std::function<void(const std::string& report)>;

  explicit VirtualClock(std::chrono::milliseconds watchdog = std::chrono::seconds(60));
  ~VirtualClock() override;

  Time now() override;
  Time now_locked() override { return now_; }
  bool wait_until(std::unique_lock<std::mutex>& lk, WaitChannel& ch, Time deadline,
                  const char* what) override;
  void notify_all(WaitChannel& ch) override;
  bool is_virtual() const override { return true; }
  void settle() override;

  // Called with the clock's mutex released. After a deadlock handler returns, every
  // blocked waiter wakes as if its wait had timed out.
  void set_deadlock_handler(Handler h);
  void set_watchdog_handler(Handler h);

  int participants();

 protected:
  void on_enroll() override;
  void on_retire() override;
  void on_adopt() override;

 private:
  void advance_if_idle(std::unique_lock<std::mutex>& lk);
  void report(std::unique_lock<std::mutex>& lk, const Handler& handler, const std::string& text);
  void wake(VirtualWaiter* w, bool timed_out);
  std::string describe_waiters() const;
  void watchdog_main();

  Time now_{0};
  int participants_ = 0;
  int runnable_ = 0;
  std::vector<VirtualWaiter*> waiting_;
  Handler deadlock_;
  Handler watchdog_handler_;
  std::chrono::milliseconds watchdog_limit_;
  bool stopping_ = false;
  std::condition_variable watchdog_cv_;
  std::thread watchdog_;
};

// The clock in force. By default a process-wide real clock.
Clock& clock();

// The time of day for a log line, "HH:MM:SS.mmm": the local wall time on a real clock,
// the clock's own time on a virtual one (so that a test's log replays identically).
std::string time_of_day(Clock& c);

// Installs a clock for the lifetime of the scope and restores the previous one.
class ClockScope {
 public:
  explicit ClockScope(Clock& c);
  ~ClockScope();
  ClockScope(const ClockScope&) = delete;
  ClockScope& operator=(const ClockScope&) = delete;

 private:
  Clock* previous_;
};

}  // namespace vx
