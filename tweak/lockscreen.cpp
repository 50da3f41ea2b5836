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
  return objc::callImp<objc::NSInteger>(
      std::atomic_ref<IMP>(origLockScreenStatusBarStyle).load(std::memory_order_acquire), self,
      cmd);
}
