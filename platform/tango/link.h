// The device server's side of Varnix's control protocol: one connection to a running
// Varnix (`unix:PATH` or `tcp:[HOST:]PORT`), statements sent one at a time and their
// replies collected, and the replies the devices need read into values (the stages'
// live lines, `show` lines, the preview). It knows nothing of the control system, so it
// is tested on its own against the real control server.
//
// A lost or refused connection is no failure of this process: a request then answers
// with the reason, and the next request connects again.
#pragma once

#include <array>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock/clock.h"

namespace vx::tango_link {

// One statement's answer: its `@ ` lines (without the `@ `) and its closing line.
struct Reply {
  bool ok = false;
  std::string error;               // the server's `error: WHY`, or why it could not be asked
  bool reached = false;            // false: no answer came (not connected, lost, timed out)
  std::vector<std::string> lines;
};

class Link {
 public:
  // `on_connect`: statements sent each time the connection is made, before any other.
  explicit Link(std::string address, std::vector<std::string> on_connect = {});
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Sends `statement` and waits up to `bound` for its closing line, connecting first if
  // need be. The program's output lines (`log`) that come between replies are left out;
  // other lines between replies (a scan's `record`) come with the next reply's.
  Reply request(const std::string& statement,
                std::chrono::milliseconds bound = std::chrono::milliseconds(10000));
  const std::string& address() const { return address_; }
  void disconnect();

 private:
  bool connect_locked(std::string& why);
  bool read_line_locked(std::string& line, Time deadline);
  Reply exchange_locked(const std::string& statement, std::chrono::milliseconds bound);
  std::string address_;
  std::vector<std::string> on_connect_;
  std::mutex mutex_;
  int fd_ = -1;
  std::string buffer_;
};

// The TANGO-independent view of one axis, from a `live` line
// (`X 12.5000 moving-forward "why"`).
struct AxisLive {
  bool valid = false;
  double position_mm = 0;
  std::vector<std::string> words;
  std::string reason;
};
using Live = std::array<AxisLive, 3>;
Live parse_live(const Reply& reply);

// The state a motor's device shows for those words.
enum class AxisState { on, moving, disable, alarm, fault };
AxisState axis_state(const AxisLive& a);

// `NAME = VALUE` of a `show` reply, for NAME; empty if absent.
std::optional<std::string> shown(const Reply& reply, const std::string& name);

// `POINTS points DURATION s` of a `preview` reply; duration < 0 when untimed.
struct Preview {
  bool valid = false;
  double points = 0;
  double seconds = -1;
  std::vector<std::string> warnings;
};
Preview parse_preview(const Reply& reply);

}  // namespace vx::tango_link
