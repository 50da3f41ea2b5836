// Playing a UI process of the simulated device in this process.
#pragma once

#include "device/confine.hpp"
#include "vyr/result.hpp"

#include <string>

namespace vyr {

// Confines this process to its attached device (sim::confineToDevice) with what a device process
// of this build needs outside it: the build's payload (vyr::payloadFolder()). SIGNAL_OUTSIDE is
// for the Settings app, whose respring signals the device's processes itself. Call before
// anything of the device is loaded and before any thread is started; see device/confine.hpp for
// what the process can still do. Returns what was settled.
sim::Confinement confineDeviceProcess(bool signalOutside = false);

// Where the device process plays: in a process of its own, which confineDeviceProcess confines,
// or inside a front end that must still write outside the device or serve TCP and so cannot be
// confined; there only the build's own libraries are loaded (see sim::loadLibrary).
enum class UiHost { OwnProcess, FrontEnd };

// Makes this process the device's UI process NAME, as the device starts one: it is confined (for
// OwnProcess), joins the device's process table, SpringBoard gets its own classes
// (SBLockScreenViewController, ...), and the substrate loader injects the libraries whose filters
// match (VYRSignals runs its initialiser there). Call once, on the main thread, after the device
// is attached and before any other thread is started.
Result<> startUiProcess(const std::string& name, UiHost host = UiHost::OwnProcess);

}  // namespace vyr
