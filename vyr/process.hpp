// Playing a process of the simulated device in this process.
#pragma once

#include "device/confine.hpp"
#include "device/processes.hpp"
#include "vyr/result.hpp"

#include <string>

namespace vyr {

// Confines this process to its attached device (sim::confineToDevice) with what a device process
// of this build needs outside it: the build's payload (vyr::payloadFolder()). Signals reach other
// device processes only through the device's supervisor, so none are allowed outside the domain.
// Call after the process joined the device and before anything of the device is loaded and any
// thread is started; see device/confine.hpp for what the process can still do. Returns what was
// settled.
sim::Confinement confineDeviceProcess();

// Makes this process the device's UI process NAME, as the device starts one: it joins the
// device's supervisor (RELAUNCH: whether its front end starts it again after a respring), confines
// itself to the device, SpringBoard gets its own classes (SBLockScreenViewController, ...), and
// the substrate loader injects the libraries whose filters match (VYRSignals runs its
// initialiser there). Call once, on the main thread, after the device is attached and before any
// other thread is started.
Result<> startUiProcess(const std::string& name, sim::Relaunch relaunch = sim::Relaunch::Never);

}  // namespace vyr
