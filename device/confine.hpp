// Confining a device process: what code from the device may do once it runs on this machine.
//
// A device process (a UI process, the Settings app) loads libraries and bundles from the device
// folder, which is untrusted. Before it loads any of them it confines itself, for good, with the
// kernel's own mechanism, so that code planted in the device can reach only the device.
#pragma once

#include <string>
#include <vector>

namespace sim {

enum class Confinement {
  None,           // not confined: confineToDevice has not run in this process
  Kernel,         // the kernel confines this process and its children to the device
  IdenticalOnly,  // the kernel cannot: only libraries identical to the build's own may be loaded
};

// Confines this process, and every process it starts, to its attached device: reading and
// writing only beneath the device folder; reading and executing outside it only the system's
// library folders, the build's own payload and the folders in READ_ONLY; no TCP; signals and
// abstract sockets only within the confined processes. Where the kernel cannot, nothing is
// restricted and the answer is IdenticalOnly. Call once the device is attached and before any
// library or bundle of the device is loaded; a later call returns the first call's answer.
// Thread-safe.
Confinement confineToDevice(const std::vector<std::string>& readOnly = {});

// What confineToDevice settled for this process; None before it ran.
Confinement confinement();

}  // namespace sim
