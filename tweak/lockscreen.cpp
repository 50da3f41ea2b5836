#include <atomic>

#include "tweak/hooks.hpp"
#include "tweak/settings.hpp"

namespace {

bool lockScreenUsesDefaultStyle() noexcept {
  std::atomic<bool>& same = tweakSettings().lockScreenSame;
  try {
    // Read afresh on every call: a change of the key needs no notification.
    PreferencesRead prefs;
    if (auto on = prefs.boolFor(ns::String::literal<kLockScreenSameKey>())) {
      same.store(*on, std::memory_order_relaxed);
    }
  } catch (...) {
    // Keep the last value read.
  }
  return same.load(std::memory_order_relaxed);
}

}  // namespace

objc::NSInteger hookLockScreenStatusBarStyle(objc::id self, SEL cmd) {
  if (lockScreenUsesDefaultStyle()) return 0;  // UIStatusBarStyleDefault
  // An acquire load of the slot (the builtin: the device's libc++ 14 has no std::atomic_ref).
  return objc::callImp<objc::NSInteger>(
      __atomic_load_n(&origLockScreenStatusBarStyle, __ATOMIC_ACQUIRE), self, cmd);
}
