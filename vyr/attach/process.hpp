// Playing a process of the simulated device in this process.
#pragma once

#include "device/confine.hpp"
#include "device/processes.hpp"
#include "vyr/base/result.hpp"

#include <string>
#include <vector>

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

// Whether this process is the device side of its command: a device process that a front end
// started (device/spawn.hpp), rather than the command the user ran.
bool isDeviceProcess();

// For `vyr host` and `vyr prefs`: whether this process does the device's work itself. It does
// when it is the device process its front end started, and when no sandbox can be had: then it
// loads only VYR's own code (sim::whyNoSandbox says why, in one line). Otherwise it is the front
// end, and runAsDeviceProcess does the work.
bool runsDeviceSideHere();

// Whether the front end that started this device process has ended before it could make sure
// to take this process down with it (outside a sandbox, whose end takes it down anyway).
bool frontEndGone();

// The front end of a command whose work is a device process (vyr host, vyr prefs): runs
// `vyr --device DEVICE COMMAND...` as a device process, in its sandbox, and relays this
// process's standard input to it and its standard output and error here, each line with its
// control characters spelt out (printable), so that only this process holds the terminal.
// Returns the device process's exit status (128 + N when signal N ended it); 1, with a line
// saying why, when it cannot be started. Call on the main thread.
int runAsDeviceProcess(const std::vector<std::string>& command);

}  // namespace vyr
