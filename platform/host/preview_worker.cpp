// The worker's loop: take the waiting request, plan it unlocked, hand the plan over,
// and sleep on the condition until the next request. The planner reads no clock and
// no stage, so the thread needs no place among the clock's participants.
#include "platform/host/preview_worker.h"

#include "platform/clock/clock.h"

namespace vx::host {

PreviewWorker::PreviewWorker(std::function<void(scanplan::Preview)> ready)
    : ready_(std::move(ready)), thread_([this] { main(); }) {}

PreviewWorker::~PreviewWorker() {
  {
    std::lock_guard lk(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

void PreviewWorker::request(const scanplan::Settings& settings, const std::array<motion::Stage, 3>& stages) {
  {
    std::lock_guard lk(mu_);
    waiting_ = Request{settings, stages};
  }
  cv_.notify_all();
}

void PreviewWorker::wait_idle() {
  std::unique_lock lk(mu_);
  cv_.wait(lk, [this] { return stop_ || (!waiting_ && !busy_); });
}

void PreviewWorker::main() {
  set_thread_name("preview");
  std::unique_lock lk(mu_);
  for (;;) {
    cv_.wait(lk, [this] { return stop_ || waiting_; });
    if (stop_) return;
    const Request r = std::move(*waiting_);
    waiting_.reset();
    busy_ = true;
    lk.unlock();
    ready_(scanplan::preview(r.settings, r.stages));
    lk.lock();
    busy_ = false;
    cv_.notify_all();
  }
}

}  // namespace vx::host
