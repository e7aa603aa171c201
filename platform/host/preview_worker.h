// Inside the host: plans the preview of the panel's settings on a thread of its own. The
// planner walks a scan move by move, up to tenths of a second for the largest grids it
// times, and a front end's thread, which serves Stop all, must never wait for that. Only
// the latest request counts: one made while a plan is under way replaces any still
// waiting, and its plan follows.
#pragma once

#include <array>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/motion/motion.h"
#include "platform/scanplan/scanplan.h"

namespace vx::host {

class PreviewWorker {
 public:
  // `ready` is called on the worker's thread with each plan, in the order of the requests.
  explicit PreviewWorker(std::function<void(scanplan::Preview)> ready);
  ~PreviewWorker();  // lets a plan under way end, drops the waiting one
  PreviewWorker(const PreviewWorker&) = delete;
  PreviewWorker& operator=(const PreviewWorker&) = delete;

  void request(const scanplan::Settings& settings, const std::array<motion::Stage, 3>& stages);
  // Returns once every request made so far has been planned and handed to `ready`.
  void wait_idle();

 private:
  struct Request {
    scanplan::Settings settings;
    std::array<motion::Stage, 3> stages;
  };
  void main();

  std::function<void(scanplan::Preview)> ready_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::optional<Request> waiting_;  // under mu_
  bool busy_ = false;               // under mu_
  bool stop_ = false;               // under mu_
  std::thread thread_;
};

}  // namespace vx::host
