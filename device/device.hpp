// The simulated device: a folder of the machine that plays the device's file system, and the
// bookkeeping of its processes.
//
// Every absolute path the system uses (/var/mobile/..., /Library/..., /User/...) is a device path
// and is reached only through the door of device/files.hpp, which never leaves the device folder.
// A process belongs to one device, attached once at start (explicitly, or from the environment
// variable VYR_DEVICE_ROOT that the `vyr` command sets for the processes it starts).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Attaches this process to the device in folder ROOT (made absolute) and opens it: the folder
// named now is the device for good, whatever later happens to the name. Later calls replace it.
void attachDevice(const std::string& root);

// The folder of the device this process belongs to: the attached one, else VYR_DEVICE_ROOT, else
// empty (no device: every device path fails to resolve).
std::string deviceRoot();

// The iOS version of the device: the "ios=" line of the simulator's device.conf, "8.1" when the
// file or the line is missing or unreadable (a device process goes on; the `vyr` command refuses
// such a device first, see deviceSettingsProblem). CoreFoundation's version number for it.
std::string iosVersion();
double coreFoundationVersion(const std::string& iosVersion);

// What is wrong with the device's settings file (.sim/device.conf), in words that name the file
// and the line; empty when it is readable (or absent: the defaults apply).
std::string deviceSettingsProblem();

// The machine path of the folder where the simulator keeps its own state for this device, for
// messages and tests only: the simulator itself reaches it through the door (device/files.hpp).
std::string simFolder();

}  // namespace sim
