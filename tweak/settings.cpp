#include "tweak/settings.hpp"

namespace {

constinit TweakSettings gSettings{
    {false, false, false, false, false, false},
    {true, true, true, true, true, true},
    {6, 6, 6, 6, 6, 6},
    {},
    true,
};

ns::String customSwitchKey(int n) {
  switch (n) {
    case 1:
      return ns::String::literal<"ENABLED1">();
    case 2:
      return ns::String::literal<"ENABLED2">();
    case 3:
      return ns::String::literal<"ENABLED3">();
    case 4:
      return ns::String::literal<"ENABLED4">();
    case 5:
      return ns::String::literal<"ENABLED5">();
    default:
      return ns::String::literal<"ENABLED6">();
  }
}

}  // namespace

void ColourSlot::store(objc::id colour) {
  ns::Object(colour).retain();
  objc::id old;
  {
    std::lock_guard<std::mutex> guard(lock_);
    old = colour_;
    colour_ = colour;
  }
  ns::Object(old).release();
}

objc::id ColourSlot::load() const {
  objc::id colour;
  {
    std::lock_guard<std::mutex> guard(lock_);
    colour = colour_;
    ns::Object(colour).retain();
  }
  ns::Object(colour).autorelease();
  return colour;
}

TweakSettings& tweakSettings() {
  return gSettings;
}

PreferencesRead::PreferencesRead(bool afresh) noexcept
    : prefs_(afresh ? colour::Preferences::afresh(kPreferencesPath)
                    : colour::Preferences::atPath(kPreferencesPath)) {}

std::optional<bool> PreferencesRead::boolFor(ns::String key) const {
  return prefs_.boolFor(key);
}

std::optional<std::int32_t> PreferencesRead::intFor(ns::String key) const {
  return prefs_.intFor(key);
}

void initSettings() {
  CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), nullptr,
                                  &reloadSettings, CFSTR("com.belvorin.VYR/settingschanged"),
                                  nullptr, CFNotificationSuspensionBehaviorCoalesce);
  reloadSettings();
}

void reloadSettings() {
  ns::AutoreleasePool pool;
  PreferencesRead prefs(true);
  if (!prefs.exists()) return;
  for (int n = 1; n <= kElementCount; ++n) {
    if (auto on = prefs.boolFor(customSwitchKey(n))) {
      gSettings.customSwitch[static_cast<std::size_t>(n - 1)].store(*on, std::memory_order_relaxed);
    }
  }
}

void reloadSettings(CFNotificationCenterRef, void*, CFStringRef, const void*, CFDictionaryRef) {
  // The callback runs inside the host's run loop: nothing may escape into it.
  try {
    reloadSettings();
  } catch (...) {
  }
}
