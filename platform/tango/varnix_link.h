// One running Varnix as the device server's devices share it: the connection, the
// stages' latest reading, the path of the last scan record, and the reader thread that
// keeps the reading fresh and pushes change events to the devices that subscribed.
// Acting statements are sent as one exchange under the control server's control:
// taken, the statements, given back, so that a TANGO client acts like any operator and a
// refusal ("remote control is off at the window") comes back as the reason.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/tango/link.h"

namespace vx::tango_link {

class Varnix {
 public:
  // Called by the reader after every reading, on its thread, with the calendar time the
  // reading was asked for.
  using Listener = std::function<void(const Live& live, bool reachable, std::chrono::system_clock::time_point at)>;

  explicit Varnix(std::string address);
  ~Varnix();
  Varnix(const Varnix&) = delete;
  Varnix& operator=(const Varnix&) = delete;

  // One statement; the record path of a `record` line is kept.
  Reply ask(const std::string& statement);
  // A fresh reading of the stages; `why` says what went wrong when it could not be had.
  Live live(std::string& why) { return live_on(link_, why); }
  // The statements under control. Returns empty on success, else the reason.
  std::string act(const std::vector<std::string>& statements);
  std::string last_record() const;
  const std::string& address() const { return link_.address(); }

  // The reader runs while any listener is registered.
  int listen(Listener l);
  void unlisten(int id);

  // The Varnix of an address, shared by every device that names it.
  static std::shared_ptr<Varnix> of(const std::string& address);
  // Stops every reader (the process is ending).
  static void stop_all();

 private:
  void reader();
  Live live_on(Link& link, std::string& why);
  void stop();

  Link link_;         // statements, and the log for the record's path
  Link reader_link_;  // the reader's own, so that its readings go on while a statement plays
  mutable std::mutex mutex_;
  std::string last_record_;
  std::mutex calling_;  // held while listeners run, so that an unlisten waits them out
  std::map<int, Listener> listeners_;
  int next_id_ = 1;
  bool stopping_ = false;
  std::condition_variable wake_;
  std::thread reader_;
};

}  // namespace vx::tango_link
