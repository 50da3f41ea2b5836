// The device's substrate loader: at the start of a UI process it loads the libraries of
// /Library/MobileSubstrate/DynamicLibraries whose filter plist matches the process.
#pragma once

#include <string>
#include <vector>

namespace substrate {

struct ProcessIdentity {
  std::string executable;            // "SpringBoard", "MobileSafari", ...
  std::vector<std::string> bundles;  // bundle identifiers of the process and its frameworks
};

// What a start of the loader did: the names of the libraries loaded, in order, and one line for
// each that failed to load (device text: the caller escapes it before printing it).
struct Injected {
  std::vector<std::string> loaded;
  std::vector<std::string> failures;
};

// Loads every matching library in alphabetical order, as the device's loader does. A library
// without a filter loads everywhere; one that fails to load is skipped and said in FAILURES.
Injected injectLibraries(const ProcessIdentity& process);

}  // namespace substrate
