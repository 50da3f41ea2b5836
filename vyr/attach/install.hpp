// Laying out a device folder and installing VYR into it, as a package install on the device would.
#pragma once

#include "vyr/base/result.hpp"

#include <string>

namespace vyr {

// The folder that holds the built libraries and this executable.
std::string payloadFolder();

// The default device folder: $XDG_DATA_HOME/vyr/device, or ~/.local/share/vyr/device.
std::string defaultDeviceFolder();

// Makes sure DIR is a device with VYR installed: a folder that does not exist yet is created with
// the device's skeleton (preferences folder, caches, the package manager, iOS 8.1); VYR's files are
// (re)installed from the payload when they differ from what the device holds, each replaced in
// one step. The process is attached to the device (sim::attachDevice) on the way.
Result<> prepareDevice(const std::string& dir);

}  // namespace vyr
