#include "platform/uikit/host_calls.hpp"

#include <utility>

#include "platform/uikit/classes.hpp"

namespace uikitsim {
namespace {

// Per thread, so that a test or the simulator sees only the calls it caused itself.
struct Recorder {
  bool on = false;
  std::vector<HostCall> calls;
};
thread_local Recorder tRecorder;

}  // namespace

HostValue HostValue::ofObject(objc::id obj) {
  HostValue v;
  v.kind = Kind::Object;
  v.object = obj;
  v.objectClass = objc::className(obj);
  uikit::Rgba c{};
  if (uikit::colorComponents(obj, &c))
    v.colour = std::array<double, 4>{c.red, c.green, c.blue, c.alpha};
  return v;
}

HostValue HostValue::ofInteger(long value) {
  HostValue v;
  v.kind = Kind::Integer;
  v.integer = value;
  return v;
}

HostValue HostValue::ofReal(double value) {
  HostValue v;
  v.kind = Kind::Real;
  v.real = value;
  return v;
}

HostValue HostValue::ofBoolean(objc::BOOL value) {
  HostValue v;
  v.kind = Kind::Boolean;
  v.boolean = value != objc::no;
  return v;
}

void beginRecording() {
  tRecorder.calls.clear();
  tRecorder.on = true;
}

std::vector<HostCall> takeCalls() {
  return std::exchange(tRecorder.calls, {});
}

void endRecording() {
  tRecorder.on = false;
  tRecorder.calls.clear();
}

bool isRecording() {
  return tRecorder.on;
}

void record(HostCall call) {
  if (tRecorder.on) tRecorder.calls.push_back(std::move(call));
}

}  // namespace uikitsim
