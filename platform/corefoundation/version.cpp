// kCFCoreFoundationVersionNumber: a plain exported variable, as on the device, that follows the
// iOS version of the device this process belongs to.
#include <string>

#include "device/device.hpp"
#include "platform/corefoundation/darwin_center.hpp"
#include "platform/corefoundation/exports.hpp"
#include "platform/corefoundation/simulator.hpp"

extern "C" {
// iOS 8.1's number until the library's initialiser has read the device.
double kCFCoreFoundationVersionNumber = 1141.14;
}

namespace {

void readVersion() noexcept {
  try {
    kCFCoreFoundationVersionNumber = sim::coreFoundationVersion(sim::iosVersion());
  } catch (...) {
    // Out of memory while loading: keep the default.
  }
}

// At load the device is the one named by VYR_DEVICE_ROOT, which the simulator sets for the
// processes it starts.
__attribute__((constructor(200))) void readVersionAtLoad() {
  readVersion();
}

}  // namespace

namespace cfsim {

void refreshVersionNumber() {
  readVersion();
  try {
    cf::DarwinCenter::shared().followDevice();
  } catch (...) {
    // Out of memory: the observation stays on the previous device.
  }
}

}  // namespace cfsim
