// The device's settings as a profile: the settings file, read through the device's door, as an
// XML property list that `vyr import` takes back.
#pragma once

#include <string>

#include "vyr/result.hpp"

namespace vyr::studio {

// The profile's bytes, or why there is none (no settings file yet, a file that cannot be read or
// is not a property list).
Result<std::string> settingsProfile();

}  // namespace vyr::studio
