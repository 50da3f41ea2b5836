// The simulated device: a folder of the machine that plays the device's file system, and the
// bookkeeping of its processes.
//
// Every absolute path the system uses (/var/mobile/..., /Library/..., /User/...) is a device path
// and is reached only through the door of device/files.hpp, which never leaves the device folder.
// A process belongs to one device, attached once at start (explicitly, or from the environment
// variable VYR_DEVICE_ROOT that the `vyr` command sets for the processes it starts).
#pragma once

#include <optional>
#include <span>
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

// The interfaces of the device's frameworks change in steps between releases; every release the
// simulated device can be has one of these steps, and the stand-in frameworks register the classes
// and methods of that step (platform/ios/interfaces.hpp).
enum class Interfaces {
  beforeIos7,  // 5.x and 6.x: no status-bar style-attribute classes
  ios7,        // 7.0 to 8.2: the flat "NewUI" foreground style beside the classic one
  ios8_3,      // 8.3 and 8.4: the NewUI foreground class gone
  ios9,        // 9.x: the battery colour asked by bar style
  ios10,       // 10.x: that method with integer capacities
};

// One iOS release the simulated device can be.
struct IosRelease {
  const char* version;    // "8.1"
  double coreFoundation;  // kCFCoreFoundationVersionNumber
  Interfaces interfaces;
};

// Every release the device can be, oldest first; 8.1 is the default.
std::span<const IosRelease> iosReleases();
// The release named VERSION exactly ("8.1"), or nullptr.
const IosRelease* findIosRelease(std::string_view version);
// The known versions as one line for messages: "5.0, 5.1, ..., 10.3".
std::string knownIosVersions();

// The iOS version of the device: the "ios=" line of the simulator's device.conf, "8.1" when the
// file or the line is missing, unreadable or names no known release (a device process goes on;
// the `vyr` command refuses such a device first, see deviceSettingsProblem). Its release, and
// CoreFoundation's version number for a version.
std::string iosVersion();
const IosRelease& iosRelease();
double coreFoundationVersion(const std::string& iosVersion);

// Makes the device release VERSION (which must be known) for the processes started from now on:
// the "ios=" line of device.conf is replaced, the rest of the file kept. 0, or the errno of the
// failed write.
int setIosVersion(const IosRelease& release);

// What is wrong with the device's settings file (.sim/device.conf), in words that name the file
// and the line; empty when it is readable (or absent: the defaults apply).
std::string deviceSettingsProblem();

// The machine path of the folder where the simulator keeps its own state for this device, for
// messages and tests only: the simulator itself reaches it through the door (device/files.hpp).
std::string simFolder();

}  // namespace sim
