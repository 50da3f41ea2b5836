#include "vyr/process.hpp"

#include <dlfcn.h>

#include "device/processes.hpp"
#include "vyr/install.hpp"
#include "vyr/loader.hpp"

namespace vyr {

sim::Confinement confineDeviceProcess(bool signalOutside) {
  sim::ConfineOptions options;
  options.payload = payloadFolder();
  options.signalOutside = signalOutside;
  return sim::confineToDevice(options);
}

Result<> startUiProcess(const std::string& name, UiHost host) {
  // Before anything of the device is read as code: a planted library's constructor runs confined.
  if (host == UiHost::OwnProcess) confineDeviceProcess();
  if (!sim::registerProcess(name)) {
    return failed("cannot register process " + name + " on the device");
  }
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
