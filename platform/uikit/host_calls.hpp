// A record of the calls that reached the hosts' own implementations of the hooked methods.
//
// For the simulator (`vyr host`) and tests only; the system's own code never includes this. Each
// host method that the status-bar library replaces (and SBLockScreenViewController's
// statusBarStyle) appends one HostCall to the recorder of the calling thread while recording is on,
// so a caller can tell whether a host's implementation ran, and with which arguments, after a hook
// did or did not hand the call on.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "device/device.hpp"
#include "platform/objc/runtime.hpp"

namespace uikitsim {

// The interfaces this process's UIKit registered its classes for: those of the release of the
// device the process belonged to when the framework loaded. Classes cannot be unregistered, so a
// process that attaches to a device of another release later keeps these.
sim::Interfaces registeredInterfaces();
// The release those interfaces are of, as "8.1".
const char* registeredVersion();

// One argument or result as it reached the host.
struct HostValue {
  enum class Kind { Object, Integer, Real, Boolean };
  Kind kind = Kind::Object;
  // Object: its identity (not owned, and possibly freed by the time anyone looks), the name of
  // its class ("nil" for nil), and its components when it is a UIColor, read at the call.
  objc::id object = nullptr;
  std::string objectClass = "nil";
  std::optional<std::array<double, 4>> colour;
  long integer = 0;      // Integer
  double real = 0;       // Real
  bool boolean = false;  // Boolean

  static HostValue ofObject(objc::id obj);
  static HostValue ofInteger(long v);
  static HostValue ofReal(double v);
  static HostValue ofBoolean(objc::BOOL v);
};

struct HostCall {
  std::string implementor;           // the class whose implementation ran ("UIView")
  std::string receiverClass;         // the receiver's class ("_UIRefreshControlModernContentView")
  std::string selector;              // "setTintColor:"
  std::vector<HostValue> arguments;  // in the method's order, after receiver and selector
  std::optional<HostValue> result;   // for methods that return something other than self
};

// Starts recording on the calling thread, dropping anything recorded before.
void beginRecording();
// The calls recorded on the calling thread since beginRecording (or the previous takeCalls), in
// call order; the list is emptied and recording goes on.
std::vector<HostCall> takeCalls();
// Stops recording on the calling thread and drops what was recorded.
void endRecording();

// Whether recording is on for the calling thread.
bool isRecording();
// Appends CALL to the calling thread's record when recording is on; used by the host methods.
void record(HostCall call);

// Records the call that MAKE describes, building it only while recording is on (host methods
// run on hot paths of the status bar).
template <class F>
void recordIfOn(F&& make) {
  if (isRecording()) record(make());
}

}  // namespace uikitsim
