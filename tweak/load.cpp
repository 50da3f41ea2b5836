// What the substrate loader runs when it injects the library into a UI process: the two
// initialisers, settings first, then the hooks, on the loading thread. Their priorities fix the
// order whatever the compiler does with plain constructors.
#include "tweak/hooks.hpp"
#include "tweak/settings.hpp"

#define VYR_EXPORT __attribute__((visibility("default")))

namespace {

__attribute__((constructor(101))) void loadSettings() noexcept {
  try {
    initSettings();
  } catch (...) {
    // A host must come up whatever the library meets; the switches keep their initial values.
  }
}

__attribute__((constructor(102))) void loadHooks() noexcept {
  try {
    installHooks();
  } catch (...) {
  }
}

}  // namespace

// The library exports an empty main, as the device's build of it does; nothing calls it.
extern "C" VYR_EXPORT int main() {
  return 0;
}
