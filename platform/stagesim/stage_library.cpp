// The stage library's C functions, as the simulator implements them: each hands its
// call to the simulator in force (vx::sim::current()) and records one trace line after
// it, "NAME(serial, arguments) = result", with what an output pointer received in
// brackets ("ISC_GetNextMessage(45388004) = 1 [2 1 0]"). Output pointers are not shown
// among the arguments; calls without a result have no "= ...".
#include "platform/stagelib/stage_library.h"

#include <charconv>
#include <string>

#include "platform/stagesim/simulator.h"

namespace {

using vx::sim::Simulator;

Simulator::Impl& sim() { return vx::sim::current().impl(); }

std::string text(const char* s) { return s ? s : "null"; }
std::string num(long long v) { return std::to_string(v); }
std::string text(double d) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, r.ptr);
}

std::string text(const MOT_HomingParameters* p) {
  if (!p) return "null";
  // Copied out of the packed record: its fields may sit at unaligned addresses.
  const MOT_HomingParameters h = *p;
  return "direction=" + num(h.direction) +
         " limitSwitch=" + num(h.limitSwitch) +
         " velocity=" + num(h.velocity) +
         " offset=" + num(h.offsetDistance);
}

// "NAME(serial, a, b)".
std::string call(const char* name, const char* serial, std::initializer_list<std::string> args = {}) {
  std::string s = std::string(name) + "(" + text(serial);
  for (const std::string& a : args) s += ", " + a;
  return s + ")";
}

// Results: codes and counts as decimal numbers, truth values as 1 and 0.
std::string result(long long r) { return " = " + num(r); }
std::string result_bool(bool r) { return r ? " = 1" : " = 0"; }

// The calls that take only the serial and return a code.
short plain(const char* name, const char* serial, short (Simulator::Impl::*member)(const char*)) {
  Simulator::Impl& s = sim();
  const short r = (s.*member)(serial);
  s.trace(call(name, serial) + result(r));
  return r;
}

}  // namespace

extern "C" {

short TLI_BuildDeviceList(void) {
  Simulator::Impl& s = sim();
  const short r = s.build_device_list();
  s.trace("TLI_BuildDeviceList()" + result(r));
  return r;
}

short TLI_GetDeviceInfo(char const* serialNo, TLI_DeviceInfo* info) {
  Simulator::Impl& s = sim();
  const short r = s.device_info(serialNo, info);
  std::string line = call("TLI_GetDeviceInfo", serialNo) + result(r);
  if (r == vx::sim::kOk) line += " [" + std::string(info->description) + "]";
  s.trace(std::move(line));
  return r;
}

short ISC_Open(char const* serialNo) { return plain("ISC_Open", serialNo, &Simulator::Impl::open); }

void ISC_Close(char const* serialNo) {
  Simulator::Impl& s = sim();
  s.close(serialNo);
  s.trace(call("ISC_Close", serialNo));
}

bool ISC_SetLEDswitches(char const* serialNo, WORD LEDswitches) {
  Simulator::Impl& s = sim();
  const bool r = s.set_leds(serialNo, LEDswitches);
  s.trace(call("ISC_SetLEDswitches", serialNo, {num(LEDswitches)}) + result_bool(r));
  return r;
}

bool ISC_StartPolling(char const* serialNo, int milliseconds) {
  Simulator::Impl& s = sim();
  const bool r = s.start_polling(serialNo, milliseconds);
  s.trace(call("ISC_StartPolling", serialNo, {num(milliseconds)}) + result_bool(r));
  return r;
}

void ISC_StopPolling(char const* serialNo) {
  Simulator::Impl& s = sim();
  s.stop_polling(serialNo);
  s.trace(call("ISC_StopPolling", serialNo));
}

void ISC_RegisterMessageCallback(char const* serialNo, void (*functionPointer)()) {
  Simulator::Impl& s = sim();
  s.register_callback(serialNo, functionPointer);
  // The address differs from run to run; only whether there is one is recorded.
  s.trace(call("ISC_RegisterMessageCallback", serialNo, {functionPointer ? "callback" : "null"}));
}

int ISC_MessageQueueSize(char const* serialNo) {
  Simulator::Impl& s = sim();
  const int r = s.queue_size(serialNo);
  s.trace(call("ISC_MessageQueueSize", serialNo) + result(r));
  return r;
}

bool ISC_GetNextMessage(char const* serialNo, WORD* messageType, WORD* messageID, DWORD* messageData) {
  Simulator::Impl& s = sim();
  const bool r = s.next_message(serialNo, messageType, messageID, messageData);
  std::string line = call("ISC_GetNextMessage", serialNo) + result_bool(r);
  if (r)
    line += " [" + num(*messageType) + " " + num(*messageID) +
            " " + num(*messageData) + "]";
  s.trace(std::move(line));
  return r;
}

void ISC_ClearMessageQueue(char const* serialNo) {
  Simulator::Impl& s = sim();
  s.clear_queue(serialNo);
  s.trace(call("ISC_ClearMessageQueue", serialNo));
}

short ISC_GetHomingParamsBlock(char const* serialNo, MOT_HomingParameters* homingParams) {
  Simulator::Impl& s = sim();
  const short r = s.get_homing_params(serialNo, homingParams);
  std::string line = call("ISC_GetHomingParamsBlock", serialNo) + result(r);
  if (r == vx::sim::kOk) line += " [" + text(homingParams) + "]";
  s.trace(std::move(line));
  return r;
}

short ISC_SetHomingParamsBlock(char const* serialNo, MOT_HomingParameters* homingParams) {
  Simulator::Impl& s = sim();
  const short r = s.set_homing_params(serialNo, homingParams);
  s.trace(call("ISC_SetHomingParamsBlock", serialNo, {text(homingParams)}) + result(r));
  return r;
}

short ISC_Home(char const* serialNo) { return plain("ISC_Home", serialNo, &Simulator::Impl::home); }

short ISC_SetMoveAbsolutePosition(char const* serialNo, int position) {
  Simulator::Impl& s = sim();
  const short r = s.set_move_absolute(serialNo, position);
  s.trace(call("ISC_SetMoveAbsolutePosition", serialNo, {num(position)}) +
          result(r));
  return r;
}

short ISC_MoveAbsolute(char const* serialNo) {
  return plain("ISC_MoveAbsolute", serialNo, &Simulator::Impl::move_absolute);
}

short ISC_SetMoveRelativeDistance(char const* serialNo, int distance) {
  Simulator::Impl& s = sim();
  const short r = s.set_move_relative(serialNo, distance);
  s.trace(call("ISC_SetMoveRelativeDistance", serialNo, {num(distance)}) +
          result(r));
  return r;
}

short ISC_MoveRelativeDistance(char const* serialNo) {
  return plain("ISC_MoveRelativeDistance", serialNo, &Simulator::Impl::move_relative);
}

short SL_SetMotionInhibit(char const* serialNo, int engaged) {
  Simulator::Impl& s = sim();
  const short r = s.set_inhibit(serialNo, engaged != 0);
  s.trace(call("SL_SetMotionInhibit", serialNo, {num(engaged)}) + result(r));
  return r;
}

int SL_GetMotionInhibit(char const* serialNo) {
  Simulator::Impl& s = sim();
  const int r = s.inhibited(serialNo) ? 1 : 0;
  s.trace(call("SL_GetMotionInhibit", serialNo) + result(r));
  return r;
}

short ISC_StopProfiled(char const* serialNo) {
  return plain("ISC_StopProfiled", serialNo, &Simulator::Impl::stop_profiled);
}

short ISC_EnableChannel(char const* serialNo) {
  return plain("ISC_EnableChannel", serialNo, &Simulator::Impl::enable_channel);
}

short ISC_DisableChannel(char const* serialNo) {
  return plain("ISC_DisableChannel", serialNo, &Simulator::Impl::disable_channel);
}

int ISC_GetPosition(char const* serialNo) {
  Simulator::Impl& s = sim();
  const int r = s.position(serialNo);
  s.trace(call("ISC_GetPosition", serialNo) + result(r));
  return r;
}

DWORD ISC_GetStatusBits(char const* serialNo) {
  Simulator::Impl& s = sim();
  const DWORD r = s.status_bits(serialNo);
  char hex[16];
  const auto end = std::to_chars(hex, hex + sizeof hex, r, 16).ptr;
  s.trace(call("ISC_GetStatusBits", serialNo) + " = 0x" + std::string(hex, end));
  return r;
}

int ISC_GetNumberPositions(char const* serialNo) {
  Simulator::Impl& s = sim();
  const int r = s.number_positions(serialNo);
  s.trace(call("ISC_GetNumberPositions", serialNo) + result(r));
  return r;
}

short ISC_GetRealValueFromDeviceUnit(char const* serialNo, int device_unit, double* real_unit, int unitType) {
  Simulator::Impl& s = sim();
  const short r = s.real_from_device(serialNo, device_unit, real_unit, unitType);
  std::string line = call("ISC_GetRealValueFromDeviceUnit", serialNo,
                          {num(device_unit), num(unitType)}) +
                     result(r);
  if (r == vx::sim::kOk) line += " [" + text(*real_unit) + "]";
  s.trace(std::move(line));
  return r;
}

short ISC_GetDeviceUnitFromRealValue(char const* serialNo, double real_unit, int* device_unit, int unitType) {
  Simulator::Impl& s = sim();
  const short r = s.device_from_real(serialNo, real_unit, device_unit, unitType);
  std::string line = call("ISC_GetDeviceUnitFromRealValue", serialNo,
                          {text(real_unit), num(unitType)}) +
                     result(r);
  if (r == vx::sim::kOk) line += " [" + num(*device_unit) + "]";
  s.trace(std::move(line));
  return r;
}

}  // extern "C"
