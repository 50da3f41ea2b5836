// The simulated device: a folder of the machine that plays the device's file system, and the
// bookkeeping of its processes.
//
// Every absolute path the system uses (/var/mobile/..., /Library/..., /User/...) is a device path
// and resolves inside the device folder; nothing here ever reaches outside it. A process belongs
// to one device, attached once at start (explicitly, or from the environment variable
// VYR_DEVICE_ROOT that the `vyr` command sets for the processes it starts).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Attaches this process to the device in folder ROOT (made absolute). Later calls replace it.
void attachDevice(const std::string& root);

// The folder of the device this process belongs to: the attached one, else VYR_DEVICE_ROOT, else
// empty (no device: every device path fails to resolve).
std::string deviceRoot();

// The machine path of device path PATH, or nothing when PATH is not absolute, no device is
// attached, or PATH would leave the device folder ("..", or a symbolic link inside the device
// that points out of it). /User is the device's alias of /var/mobile.
std::optional<std::string> resolve(std::string_view path);

// The components of device path PATH below the device's root, lexically: "." and empty components
// dropped, ".." applied, a leading "User" standing for "var/mobile". Nothing when PATH is not
// absolute, holds a NUL or climbs above the root; an empty list for the root itself.
std::optional<std::vector<std::string>> deviceComponents(std::string_view path);

// The iOS version of the device ("8.1" unless the device folder's setting says otherwise), and
// CoreFoundation's version number for it.
std::string iosVersion();
double coreFoundationVersion(const std::string& iosVersion);

// The folder where the simulator keeps its own state for this device (not a device path).
std::string simFolder();

// Writes DATA to machine path PATH so that readers see the old file or the new one, never a part:
// a new file beside it, flushed, then renamed over it. Returns false when that failed.
bool writeFileAtomically(const std::string& path, std::string_view data);

// Reads at most LIMIT bytes of machine path PATH; nothing when it is missing, unreadable, not a
// regular file or larger than LIMIT.
std::optional<std::string> readFile(const std::string& path, std::size_t limit);

}  // namespace sim
