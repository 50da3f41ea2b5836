// The device's substrate loader: at the start of a UI process it loads the libraries of
// /Library/MobileSubstrate/DynamicLibraries whose filter plist matches the process.
#pragma once

#include <string>
#include <vector>

namespace vyr {

struct ProcessIdentity {
  std::string executable;            // "SpringBoard", "MobileSafari", ...
  std::vector<std::string> bundles;  // bundle identifiers of the process and its frameworks
};

// Loads every matching library in alphabetical order, as the device's loader does, and returns
// their names. A library without a filter loads everywhere; one that fails to load is logged on
// standard error and skipped.
std::vector<std::string> injectLibraries(const ProcessIdentity& process);

}  // namespace vyr
