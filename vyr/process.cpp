#include "vyr/process.hpp"

#include <dlfcn.h>

#include "device/confine.hpp"
#include "device/processes.hpp"
#include "vyr/install.hpp"
#include "vyr/loader.hpp"

namespace vyr {

sim::Confinement confineDeviceProcess() {
  sim::ConfineOptions options;
  options.payload = payloadFolder();
  return sim::confineToDevice(options);
}

Result<> startUiProcess(const std::string& name, sim::Relaunch relaunch) {
  // Joined first: a confined process could not reach the supervisor any more.
  if (!sim::registerProcess(name, relaunch)) {
    return failed("cannot register process " + name + " on the device");
  }
  // Before anything of the device is read as code: a planted library's constructor runs confined.
  confineDeviceProcess();
  ProcessIdentity identity{name, {"com.apple.UIKit", "com.apple.Foundation"}};
  if (name == "SpringBoard") {
    identity.bundles.push_back("com.apple.springboard");
    // SpringBoard's own classes are part of its executable: they exist before anything is injected.
    const std::string lib = payloadFolder() + "/libSpringBoard.so";
    if (dlopen(lib.c_str(), RTLD_NOW | RTLD_GLOBAL | RTLD_NODELETE) == nullptr) {
      return failed(std::string("cannot load SpringBoard: ") + dlerror());
    }
  } else {
    identity.bundles.push_back("com.apple." + name);
  }
  injectLibraries(identity);
  return {};
}

}  // namespace vyr
