// Which folders `--device` may name.
#pragma once

#include "vyr/base/result.hpp"

#include <string>

namespace vyr {

// Whether DIR may be used as a device: an existing device (a folder holding the simulator's own
// `.sim` folder), or a folder that does not exist yet or is empty, which becomes a new device.
// Anything else, a folder with other things in it or a path that is not a folder, is refused.
// Changes nothing.
Result<> checkDeviceFolder(const std::string& dir);

}  // namespace vyr
