// Which device paths the C library may act on.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace libsystem {

// The machine path of device path PATH when the library may change it: nothing when PATH does
// not resolve inside the device (sim::resolve), when it is the device's root, or when it lies in
// the simulator's own folder, which is no part of the device's file system.
std::optional<std::string> deviceFile(std::string_view path);

}  // namespace libsystem
