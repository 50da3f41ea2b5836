// Playing a UI process of the simulated device in this process.
#pragma once

#include "device/processes.hpp"
#include "vyr/result.hpp"

#include <string>

namespace vyr {

// Makes this process the device's UI process NAME, as the device starts one: it joins the
// device's supervisor (RELAUNCH: whether its front end starts it again after a respring), confines
// itself to the device, SpringBoard gets its own classes (SBLockScreenViewController, ...), and
// the substrate loader injects the libraries whose filters match (VYRSignals runs its
// initialiser there). Call once, on the main thread, after the device is attached.
Result<> startUiProcess(const std::string& name, sim::Relaunch relaunch = sim::Relaunch::Never);

}  // namespace vyr
