// What the Settings app finds in the bundle's executable: the class VYRListController, registered
// by name while the bundle loads, the colour helpers, and an empty main. Nothing else is exported.
#include "prefs/VYRListController.hpp"

#define VYR_EXPORT __attribute__((visibility("default")))

namespace {

__attribute__((constructor)) void loadBundle() noexcept {
  registerVYRListController();
}

}  // namespace

// The bundle exports an empty main, as the device's build of it does; nothing calls it.
extern "C" VYR_EXPORT int main() {
  return 0;
}
