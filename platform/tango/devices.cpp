// The TANGO classes VarnixAxis and VarnixScan over the shared connection to Varnix (see
// devices.h). TANGO owns the devices and calls them on its own threads; the connection's
// reader pushes their change events from its thread.
#include "platform/tango/devices.h"

#include <tango.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "platform/tango/varnix_link.h"

namespace vx::tango_devices {

namespace {

using tango_link::AxisState;
using tango_link::Live;
using tango_link::Varnix;

constexpr const char* kAxisNames[] = {"X", "Y", "Z"};

[[noreturn]] void refuse(const std::string& reason, const std::string& why, const char* where) {
  Tango::Except::throw_exception(reason, why, where);
}

timeval to_timeval(std::chrono::system_clock::time_point t) {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(us / 1000000);
  tv.tv_usec = static_cast<suseconds_t>(us % 1000000);
  return tv;
}

std::string number(double v) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

Tango::DevState tango_state(AxisState s) {
  switch (s) {
    case AxisState::on: return Tango::ON;
    case AxisState::moving: return Tango::MOVING;
    case AxisState::disable: return Tango::DISABLE;
    case AxisState::alarm: return Tango::ALARM;
    case AxisState::fault: break;
  }
  return Tango::FAULT;
}

// The address of the Varnix a device serves: its property `Address` when a database
// holds one, else VARNIX_ADDRESS.
std::string address_of(Tango::DeviceImpl* dev) {
  if (Tango::Util::_UseDb && !Tango::Util::_FileDb) {
    Tango::DbData data;
    data.push_back(Tango::DbDatum("Address"));
    dev->get_db_device()->get_property(data);
    std::string a;
    if (!data[0].is_empty()) {
      data[0] >> a;
      if (!a.empty()) return a;
    }
  }
  const char* env = std::getenv("VARNIX_ADDRESS");
  return env ? env : "";
}

// What the devices of one Varnix have in common: the connection and the words for an
// unreachable one.
class Served : public Tango::Device_5Impl {
 public:
  Served(Tango::DeviceClass* c, const std::string& name) : Tango::Device_5Impl(c, name.c_str()) {}

 protected:
  void connect_to_varnix() {
    const std::string address = address_of(this);
    if (address.empty()) {
      varnix_.reset();
      set_state(Tango::FAULT);
      set_status("no Varnix to serve: set VARNIX_ADDRESS, or the device property Address");
      return;
    }
    varnix_ = Varnix::of(address);
  }
  Varnix& varnix(const char* where) {
    if (!varnix_) refuse("VARNIX_NO_ADDRESS", "no Varnix to serve: set VARNIX_ADDRESS, or the device property Address", where);
    return *varnix_;
  }
  Live live_or_throw(const char* where) {
    std::string why;
    Live l = varnix(where).live(why);
    if (!why.empty()) refuse("VARNIX_UNREACHABLE", why, where);
    return l;
  }
  void act(const std::vector<std::string>& statements, const char* where) {
    const std::string why = varnix(where).act(statements);
    if (!why.empty()) refuse("VARNIX_REFUSED", why, where);
  }
  void stop_listening() {
    if (varnix_ && listener_) varnix_->unlisten(listener_);
    listener_ = 0;
  }

  std::shared_ptr<Varnix> varnix_;
  int listener_ = 0;
  std::string status_;
};

// ---- VarnixAxis ---------------------------------------------------------------------

class AxisDevice : public Served {
 public:
  AxisDevice(Tango::DeviceClass* c, const std::string& name) : Served(c, name) { init_device(); }
  ~AxisDevice() override { delete_device(); }

  void init_device() override {
    std::string last = get_name().substr(get_name().rfind('/') + 1);
    std::transform(last.begin(), last.end(), last.begin(), [](unsigned char ch) { return std::tolower(ch); });
    axis_ = last == "x" ? 0 : last == "y" ? 1 : last == "z" ? 2 : -1;
    if (axis_ < 0)
      refuse("VARNIX_BAD_NAME", "the last member of a VarnixAxis name says its axis: x, y or z (not '" + last + "')",
             "VarnixAxis::init_device");
    set_change_event("Position", true, false);
    set_change_event("State", true, false);
    connect_to_varnix();
    if (varnix_)
      listener_ = varnix_->listen(
          [this](const Live& l, bool reachable, std::chrono::system_clock::time_point at) { pushed(l, reachable, at); });
  }
  void delete_device() override { stop_listening(); }

  Tango::DevState dev_state() override {
    std::string why;
    if (!varnix_) return Tango::FAULT;
    const Live l = varnix_->live(why);
    const auto st = show(l, why);
    set_state(st);
    return st;
  }
  Tango::ConstDevString dev_status() override {
    dev_state();
    return status_.c_str();
  }

  void read_position(Tango::Attribute& attr) {
    const Live l = live_or_throw("VarnixAxis::read Position");
    position_ = l[axis_].position_mm;
    attr.set_value(&position_);
  }
  void write_position(Tango::WAttribute& attr) {
    double target = 0;
    attr.get_write_value(target);
    const Live l = live_or_throw("VarnixAxis::write Position");
    if (tango_link::axis_state(l[axis_]) == AxisState::moving)
      refuse("VARNIX_MOVING", std::string(kAxisNames[axis_]) + " is moving: Stop it or wait until it is at rest",
             "VarnixAxis::write Position");
    act({"set PANEL_TARGET_" + axis_letter() + " " + number(target), "press PANEL_GOTO_" + axis_letter()},
        "VarnixAxis::write Position");
  }
  void press(const std::string& control, const char* where) { act({"press " + control}, where); }
  std::string axis_letter() const { return kAxisNames[axis_]; }

 private:
  Tango::DevState show(const Live& l, const std::string& why) {
    if (!why.empty()) {
      status_ = why;
      return Tango::FAULT;
    }
    const auto& a = l[axis_];
    std::string words;
    for (const auto& w : a.words) words += (words.empty() ? "" : " ") + w;
    status_ = axis_letter() + " " + words + (a.reason.empty() ? "" : ": " + a.reason);
    return tango_state(tango_link::axis_state(a));
  }
  // The reader's reading, pushed as change events when it changed.
  void pushed(const Live& l, bool reachable, std::chrono::system_clock::time_point read_at) {
    const auto st = show(l, reachable ? "" : "Varnix is not reachable at " + varnix_->address());
    const bool first = !pushed_any_;
    if (first || st != pushed_state_) {
      set_state(st);
      pushed_state_ = st;
      push_change_event("State");
    }
    if (reachable && (first || l[axis_].position_mm != pushed_position_)) {
      pushed_position_ = l[axis_].position_mm;
      // Stamped with the moment of the reading, so that a client sees how old it is.
      auto stamp = to_timeval(read_at);
      push_change_event("Position", &pushed_position_, stamp, Tango::ATTR_VALID);
    }
    pushed_any_ = true;
  }

  int axis_ = 0;
  double position_ = 0;
  double pushed_position_ = 0;
  Tango::DevState pushed_state_ = Tango::UNKNOWN;
  bool pushed_any_ = false;
};

class PositionAttr : public Tango::Attr {
 public:
  PositionAttr() : Tango::Attr("Position", Tango::DEV_DOUBLE, Tango::READ_WRITE) {
    Tango::UserDefaultAttrProp p;
    p.set_unit("mm");
    p.set_description("The stage's position now (read); a go-to (write), refused while it moves");
    p.set_format("%.4f");
    set_default_properties(p);
  }
  void read(Tango::DeviceImpl* d, Tango::Attribute& a) override { static_cast<AxisDevice*>(d)->read_position(a); }
  void write(Tango::DeviceImpl* d, Tango::WAttribute& a) override { static_cast<AxisDevice*>(d)->write_position(a); }
};

// A command that presses one of the axis's controls: PANEL_<WHAT>_<AXIS> or
// PANEL_<WHAT>_<AXIS>_<SUFFIX>.
class AxisPress : public Tango::Command {
 public:
  AxisPress(const char* name, std::string what, std::string suffix = "")
      : Tango::Command(name, Tango::DEV_VOID, Tango::DEV_VOID), what_(std::move(what)), suffix_(std::move(suffix)) {}
  CORBA::Any* execute(Tango::DeviceImpl* d, const CORBA::Any&) override {
    auto* dev = static_cast<AxisDevice*>(d);
    dev->press("PANEL_" + what_ + "_" + dev->axis_letter() + suffix_, get_name().c_str());
    return insert();
  }

 private:
  std::string what_, suffix_;
};

// ---- VarnixScan ---------------------------------------------------------------------

struct Setting {
  const char* attribute;
  const char* control;
  long type;  // Tango::DEV_DOUBLE, DEV_LONG or DEV_BOOLEAN
  const char* unit;
};
constexpr Setting kSettings[] = {
    {"XStart", "PANEL_X0", Tango::DEV_DOUBLE, "mm"}, {"YStart", "PANEL_Y0", Tango::DEV_DOUBLE, "mm"},
    {"ZStart", "PANEL_Z0", Tango::DEV_DOUBLE, "mm"}, {"XStep", "PANEL_DX", Tango::DEV_DOUBLE, "mm"},
    {"YStep", "PANEL_DY", Tango::DEV_DOUBLE, "mm"},  {"ZStep", "PANEL_DZ", Tango::DEV_DOUBLE, "mm"},
    {"XPoints", "PANEL_NX", Tango::DEV_LONG, ""},    {"YPoints", "PANEL_NY", Tango::DEV_LONG, ""},
    {"ZPoints", "PANEL_NZ", Tango::DEV_LONG, ""},    {"ScanX", "PANEL_SCAN_X", Tango::DEV_BOOLEAN, ""},
    {"ScanY", "PANEL_SCAN_Y", Tango::DEV_BOOLEAN, ""}, {"ScanZ", "PANEL_SCAN_Z", Tango::DEV_BOOLEAN, ""},
};

class ScanDevice : public Served {
 public:
  ScanDevice(Tango::DeviceClass* c, const std::string& name) : Served(c, name) { init_device(); }
  ~ScanDevice() override { delete_device(); }

  void init_device() override {
    set_change_event("State", true, false);
    set_change_event("Progress", true, false);
    connect_to_varnix();
    if (varnix_)
      listener_ = varnix_->listen([this](const Live&, bool reachable, std::chrono::system_clock::time_point) { pushed(reachable); });
  }
  void delete_device() override { stop_listening(); }

  Tango::DevState dev_state() override {
    const auto st = current();
    set_state(st);
    return st;
  }
  Tango::ConstDevString dev_status() override {
    dev_state();
    return status_.c_str();
  }

  std::string show(const char* control, const char* where) {
    const auto r = varnix(where).ask(std::string("show ") + control);
    if (!r.ok) refuse("VARNIX_UNREACHABLE", r.error, where);
    const auto v = tango_link::shown(r, control);
    if (!v) refuse("VARNIX_PROTOCOL", std::string("Varnix did not show ") + control, where);
    return *v;
  }
  void read_setting(const Setting& s, Tango::Attribute& attr) {
    const std::string text = show(s.control, s.attribute);
    try {
      if (s.type == Tango::DEV_DOUBLE) {
        double_ = std::stod(text);
        attr.set_value(&double_);
      } else if (s.type == Tango::DEV_LONG) {
        long_ = static_cast<Tango::DevLong>(std::stol(text, nullptr, 0));
        attr.set_value(&long_);
      } else {
        bool_ = std::stol(text, nullptr, 0) != 0;
        attr.set_value(&bool_);
      }
    } catch (const std::exception&) {
      refuse("VARNIX_PROTOCOL", std::string(s.control) + " reads '" + text + "'", s.attribute);
    }
  }
  void write_setting(const Setting& s, Tango::WAttribute& attr) {
    std::string value;
    if (s.type == Tango::DEV_DOUBLE) {
      double v = 0;
      attr.get_write_value(v);
      value = number(v);
    } else if (s.type == Tango::DEV_LONG) {
      Tango::DevLong v = 0;
      attr.get_write_value(v);
      value = std::to_string(v);
    } else {
      Tango::DevBoolean v = false;
      attr.get_write_value(v);
      value = v ? "1" : "0";
    }
    act({std::string("set ") + s.control + " " + value}, s.attribute);
  }
  void read_progress(Tango::Attribute& attr) {
    progress_ = std::stod(show("PANEL_PROGRESS", "VarnixScan::read Progress"));
    attr.set_value(&progress_);
  }
  void read_scanning(Tango::Attribute& attr) {
    bool_ = std::stol(show("PANEL_SCANNING", "VarnixScan::read Scanning"), nullptr, 0) != 0;
    attr.set_value(&bool_);
  }
  void read_record(Tango::Attribute& attr) {
    record_text_ = varnix_ ? varnix_->last_record() : "";
    text_ = record_text_.data();
    attr.set_value(&text_);
  }
  void read_warnings(Tango::Attribute& attr) {
    text_ = warnings_text_.data();
    attr.set_value(&text_);
  }
  Tango::DevVarDoubleArray* preview() {
    const auto r = varnix("VarnixScan::Preview").ask("preview");
    if (!r.ok) refuse("VARNIX_UNREACHABLE", r.error, "VarnixScan::Preview");
    const auto p = tango_link::parse_preview(r);
    if (!p.valid) refuse("VARNIX_PROTOCOL", "Varnix answered 'preview' without its points", "VarnixScan::Preview");
    warnings_text_.clear();
    for (const auto& w : p.warnings) warnings_text_ += (warnings_text_.empty() ? "" : "\n") + w;
    auto* out = std::make_unique<Tango::DevVarDoubleArray>().release();  // handed to TANGO, which frees it
    out->length(2);
    (*out)[0] = p.points;
    (*out)[1] = p.seconds;
    return out;
  }
  void command(const std::vector<std::string>& statements, const char* where) { act(statements, where); }
  void emergency_stop() {
    // Open to every client: no control is taken for it.
    const auto r = varnix("VarnixScan::EmergencyStop").ask("estop");
    if (!r.ok) refuse("VARNIX_REFUSED", r.error, "VarnixScan::EmergencyStop");
  }

 private:
  Tango::DevState current() {
    if (!varnix_) return Tango::FAULT;
    std::string why;
    const Live l = varnix_->live(why);
    if (!why.empty()) {
      status_ = why;
      return Tango::FAULT;
    }
    for (const auto& a : l)
      for (const auto& w : a.words)
        if (w == "estop") {
          status_ = "the emergency stop holds the stages (Release to move)";
          return Tango::FAULT;
        }
    const auto r = varnix_->ask("show PANEL_SCANNING PANEL_PROGRESS");
    const auto scanning = tango_link::shown(r, "PANEL_SCANNING");
    if (!r.ok || !scanning) {
      status_ = r.ok ? "Varnix did not show PANEL_SCANNING" : r.error;
      return Tango::FAULT;
    }
    const auto progress = tango_link::shown(r, "PANEL_PROGRESS");
    if (*scanning != "0") {
      status_ = "scanning: " + progress.value_or("?") + " % done";
      return Tango::RUNNING;
    }
    status_ = "at rest";
    return Tango::ON;
  }
  void pushed(bool reachable) {
    const auto st = reachable ? current() : Tango::FAULT;
    if (!reachable) status_ = "Varnix is not reachable at " + varnix_->address();
    if (!pushed_any_ || st != pushed_state_) {
      set_state(st);
      pushed_state_ = st;
      push_change_event("State");
    }
    if (st == Tango::RUNNING || (pushed_any_ && pushed_state_ != st)) {
      try {
        const double p = std::stod(show("PANEL_PROGRESS", "VarnixScan"));
        if (p != pushed_progress_) {
          pushed_progress_ = p;
          push_change_event("Progress", &pushed_progress_);
        }
      } catch (const std::exception&) {
      } catch (const Tango::DevFailed&) {
      }
    }
    pushed_any_ = true;
  }

  double double_ = 0, progress_ = 0, pushed_progress_ = -1;
  Tango::DevLong long_ = 0;
  Tango::DevBoolean bool_ = false;
  // TANGO reads a string attribute's text after the read returns: it stays here.
  std::string record_text_, warnings_text_;
  Tango::DevString text_ = nullptr;
  Tango::DevState pushed_state_ = Tango::UNKNOWN;
  bool pushed_any_ = false;
};

class SettingAttr : public Tango::Attr {
 public:
  explicit SettingAttr(const Setting& s) : Tango::Attr(s.attribute, s.type, Tango::READ_WRITE), s_(s) {
    if (*s.unit) {
      Tango::UserDefaultAttrProp p;
      p.set_unit(s.unit);
      set_default_properties(p);
    }
  }
  void read(Tango::DeviceImpl* d, Tango::Attribute& a) override { static_cast<ScanDevice*>(d)->read_setting(s_, a); }
  void write(Tango::DeviceImpl* d, Tango::WAttribute& a) override { static_cast<ScanDevice*>(d)->write_setting(s_, a); }

 private:
  const Setting& s_;
};

template <typename Read>
class ScanReadAttr : public Tango::Attr {
 public:
  ScanReadAttr(const char* name, long type, Read r) : Tango::Attr(name, type, Tango::READ), read_(r) {}
  void read(Tango::DeviceImpl* d, Tango::Attribute& a) override { (static_cast<ScanDevice*>(d)->*read_)(a); }

 private:
  Read read_;
};
using ScanRead = void (ScanDevice::*)(Tango::Attribute&);

class ScanStatements : public Tango::Command {
 public:
  ScanStatements(const char* name, std::vector<std::string> statements)
      : Tango::Command(name, Tango::DEV_VOID, Tango::DEV_VOID), statements_(std::move(statements)) {}
  CORBA::Any* execute(Tango::DeviceImpl* d, const CORBA::Any&) override {
    static_cast<ScanDevice*>(d)->command(statements_, get_name().c_str());
    return insert();
  }

 private:
  std::vector<std::string> statements_;
};

class EmergencyStopCmd : public Tango::Command {
 public:
  EmergencyStopCmd() : Tango::Command("EmergencyStop", Tango::DEV_VOID, Tango::DEV_VOID) {}
  CORBA::Any* execute(Tango::DeviceImpl* d, const CORBA::Any&) override {
    static_cast<ScanDevice*>(d)->emergency_stop();
    return insert();
  }
};

class PreviewCmd : public Tango::Command {
 public:
  PreviewCmd()
      : Tango::Command("Preview", Tango::DEV_VOID, Tango::DEVVAR_DOUBLEARRAY, "",
                       "[points, seconds]: what Start would do from here (seconds -1: too long to plan)") {}
  CORBA::Any* execute(Tango::DeviceImpl* d, const CORBA::Any&) override {
    return insert(static_cast<ScanDevice*>(d)->preview());
  }
};

// ---- The classes --------------------------------------------------------------------

// A class whose devices are all of one kind, made from the names TANGO gives.
template <typename Device>
class ClassOf : public Tango::DeviceClass {
 protected:
  explicit ClassOf(std::string& name) : Tango::DeviceClass(name) {}
  void device_factory(const Tango::DevVarStringArray* names) override {
    for (unsigned i = 0; i < names->length(); ++i) {
      device_list.push_back(std::make_unique<Device>(this, std::string((*names)[i])).release());  // TANGO owns its devices
      Tango::DeviceImpl* dev = device_list.back();
      if (Tango::Util::_UseDb && !Tango::Util::_FileDb)
        export_device(dev);
      else
        export_device(dev, dev->get_name().c_str());
    }
  }
};

class AxisClass : public ClassOf<AxisDevice> {
 public:
  AxisClass() : ClassOf(name_) {}
  void attribute_factory(std::vector<Tango::Attr*>& list) override { list.push_back(std::make_unique<PositionAttr>().release()); }
  void command_factory() override {
    command_list.push_back(std::make_unique<AxisPress>("Stop", "STOP").release());
    command_list.push_back(std::make_unique<AxisPress>("Home", "HOME").release());
    command_list.push_back(std::make_unique<AxisPress>("On", "ENABLE").release());
    command_list.push_back(std::make_unique<AxisPress>("Off", "DISABLE").release());
    command_list.push_back(std::make_unique<AxisPress>("JogPlus", "JOG", "_PLUS").release());
    command_list.push_back(std::make_unique<AxisPress>("JogMinus", "JOG", "_MINUS").release());
  }

 private:
  inline static std::string name_ = "VarnixAxis";
};

class ScanClass : public ClassOf<ScanDevice> {
 public:
  ScanClass() : ClassOf(name_) {}
  void attribute_factory(std::vector<Tango::Attr*>& list) override {
    for (const Setting& s : kSettings) list.push_back(std::make_unique<SettingAttr>(s).release());
    list.push_back(std::make_unique<ScanReadAttr<ScanRead>>("Progress", Tango::DEV_DOUBLE, &ScanDevice::read_progress).release());
    list.push_back(std::make_unique<ScanReadAttr<ScanRead>>("Scanning", Tango::DEV_BOOLEAN, &ScanDevice::read_scanning).release());
    list.push_back(std::make_unique<ScanReadAttr<ScanRead>>("LastRecord", Tango::DEV_STRING, &ScanDevice::read_record).release());
    list.push_back(std::make_unique<ScanReadAttr<ScanRead>>("PreviewWarnings", Tango::DEV_STRING, &ScanDevice::read_warnings).release());
  }
  void command_factory() override {
    command_list.push_back(std::make_unique<ScanStatements>("Start", std::vector<std::string>{"press PANEL_STARTSCAN"}).release());
    command_list.push_back(std::make_unique<ScanStatements>("Stop", std::vector<std::string>{"press PANEL_STOPSCAN"}).release());
    command_list.push_back(std::make_unique<ScanStatements>("Release", std::vector<std::string>{"release"}).release());
    command_list.push_back(std::make_unique<EmergencyStopCmd>().release());
    command_list.push_back(std::make_unique<PreviewCmd>().release());
  }

 private:
  inline static std::string name_ = "VarnixScan";
};

}  // namespace

int run(int argc, char* argv[]) {
  // SIGTERM and SIGINT are taken by a thread of ours, which ends the server through its
  // own kill path, so that the devices are deleted and the process exits 0. The thread
  // waits from before TANGO starts: TANGO's start-up takes the signals for itself
  // otherwise.
  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, SIGTERM);
  sigaddset(&ending, SIGINT);
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);
  static std::atomic<bool> serving{false};
  std::thread([ending] {
    int sig = 0;
    sigwait(&ending, &sig);
    std::cerr << "varnix-tango: " << (sig == SIGTERM ? "SIGTERM" : "SIGINT") << ": ending" << std::endl;
    if (!serving) std::_Exit(0);  // nothing is served yet, nothing to end
    tango_link::Varnix::stop_all();
    Tango::Util::instance()->get_dserver_device()->kill();
  }).detach();
  try {
    Tango::Util* tg = Tango::Util::init(argc, argv);
    tg->server_init(false);
    serving = true;
    std::cout << "Ready to accept request" << std::endl;
    tg->server_run();
    tango_link::Varnix::stop_all();
    tg->server_cleanup();
  } catch (const std::bad_alloc&) {
    std::cerr << "varnix-tango: out of memory" << std::endl;
    return 1;
  } catch (const CORBA::Exception& e) {
    Tango::Except::print_exception(e);
    return 1;
  }
  return 0;
}

}  // namespace vx::tango_devices

// TANGO asks the server for its classes through this one function.
void Tango::DServer::class_factory() {
  add_class(std::make_unique<vx::tango_devices::AxisClass>().release());  // TANGO owns its classes
  add_class(std::make_unique<vx::tango_devices::ScanClass>().release());
}
