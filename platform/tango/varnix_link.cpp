// The shared connection to a running Varnix and its reader thread (see varnix_link.h).
// The reader reads `live` twenty times a second, which is what makes the devices' change
// events come at 10 Hz or more while a stage moves; the control server answers it from
// its own readings, so it costs the stages nothing.
#include "platform/tango/varnix_link.h"

#include <chrono>

namespace vx::tango_link {

namespace {
constexpr auto kReadEvery = std::chrono::milliseconds(50);

std::mutex registry_mutex;
std::map<std::string, std::weak_ptr<Varnix>>& registry() {
  static std::map<std::string, std::weak_ptr<Varnix>> r;
  return r;
}
}  // namespace

// `log on` brings the lines Varnix tells its logging clients, the record of each scan
// among them.
Varnix::Varnix(std::string address) : link_(address, {"log on"}), reader_link_(address) {}

Varnix::~Varnix() { stop(); }

std::shared_ptr<Varnix> Varnix::of(const std::string& address) {
  std::lock_guard lock(registry_mutex);
  auto& slot = registry()[address];
  if (auto v = slot.lock()) return v;
  auto v = std::make_shared<Varnix>(address);
  slot = v;
  return v;
}

void Varnix::stop_all() {
  std::vector<std::shared_ptr<Varnix>> all;
  {
    std::lock_guard lock(registry_mutex);
    for (auto& [address, weak] : registry())
      if (auto v = weak.lock()) all.push_back(std::move(v));
  }
  for (auto& v : all) v->stop();
}

void Varnix::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    listeners_.clear();
  }
  wake_.notify_all();
  if (reader_.joinable() && reader_.get_id() != std::this_thread::get_id()) reader_.join();
}

Reply Varnix::ask(const std::string& statement) {
  Reply r = link_.request(statement);
  for (const std::string& line : r.lines)
    if (line.rfind("record ", 0) == 0 && line.rfind("record error:", 0) != 0) {
      std::lock_guard lock(mutex_);
      last_record_ = line.substr(7);
    }
  return r;
}

Live Varnix::live_on(Link& link, std::string& why) {
  const Reply r = &link == &link_ ? ask("live") : link.request("live");
  if (!r.ok) {
    why = r.error;
    return {};
  }
  Live l = parse_live(r);
  for (const AxisLive& a : l)
    if (!a.valid) why = "Varnix answered 'live' without a line for every axis";
  return l;
}

std::string Varnix::act(const std::vector<std::string>& statements) {
  const Reply take = ask("control take");
  if (!take.ok) return take.error;
  std::string why;
  for (const std::string& s : statements) {
    const Reply r = ask(s);
    if (!r.ok) {
      why = r.error;
      break;
    }
  }
  ask("control release");
  return why;
}

std::string Varnix::last_record() const {
  std::lock_guard lock(mutex_);
  return last_record_;
}

int Varnix::listen(Listener l) {
  std::lock_guard lock(mutex_);
  const int id = next_id_++;
  listeners_[id] = std::move(l);
  if (!reader_.joinable() && !stopping_) reader_ = std::thread([this] { reader(); });
  return id;
}

void Varnix::unlisten(int id) {
  std::lock_guard calling(calling_);
  std::lock_guard lock(mutex_);
  listeners_.erase(id);
}

void Varnix::reader() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    lock.unlock();
    std::string why;
    const auto at = wall_now();
    const Live l = live_on(reader_link_, why);
    lock.lock();
    if (stopping_) break;
    // Listeners run without the lock: they push events, which may call back into reads.
    lock.unlock();
    {
      std::lock_guard calling(calling_);
      std::map<int, Listener> listeners;
      {
        std::lock_guard again(mutex_);
        listeners = listeners_;
      }
      for (auto& [id, f] : listeners) f(l, why.empty(), at);
    }
    lock.lock();
    wake_.wait_for(lock, kReadEvery, [this] { return stopping_; });
  }
}

}  // namespace vx::tango_link
