// What the substrate loader runs when it injects the library into a UI process: one initialiser,
// on the loading thread, that reads the settings and then installs the hooks. The order is this
// function's, not the toolchain's.
#include "tweak/hooks.hpp"
#include "tweak/settings.hpp"

#define VYR_EXPORT __attribute__((visibility("default")))

namespace {

__attribute__((constructor)) void loadLibrary() noexcept {
  // A host must come up whatever the library meets: a failure of one step leaves its state as it
  // was (the switches at their initial values, or hooks not installed) and the next still runs.
  try {
    initSettings();
  } catch (...) {
  }
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
