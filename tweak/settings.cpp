#include "tweak/settings.hpp"

namespace {

constexpr std::int32_t kIndex = kDefaultPresetIndex;
constinit TweakSettings gSettings{
    {false, false, false, false, false, false},
    {true, true, true, true, true, true},
    {kIndex, kIndex, kIndex, kIndex, kIndex, kIndex},
    {},
    true,
};

}  // namespace

void ColourSlot::store(objc::id colour) {
  ns::Object(colour).retain();
  ns::Owned<ns::Object> old;  // given up outside the lock, once nobody can take it any more
  {
    std::lock_guard<std::mutex> guard(lock_);
    old.reset(ns::Object(colour_));
    colour_ = colour;
  }
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

const ElementKeys& keysOf(ElementId e) {
  static const std::array<ElementKeys, kElementCount> keys = [] {
    auto constant = [](const char* text) {
      ns::String s = ns::String::withUTF8(text);
      s.retain();  // kept for the process, as a literal would be
      return s;
    };
    std::array<ElementKeys, kElementCount> made;
    for (const ElementNames& n : kElements) {
      made[slotOf(n.id)] = {constant(n.enableKey), constant(n.presetKey),
                            constant(n.customSwitchKey), constant(n.customColourKey)};
    }
    return made;
  }();
  return keys[slotOf(e)];
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
  // A CFStringRef is an NSString: the constant string stands for CFSTR of the name.
  CFNotificationCenterAddObserver(
      CFNotificationCenterGetDarwinNotifyCenter(), nullptr, &reloadSettings,
      reinterpret_cast<CFStringRef>(ns::String::literal<kSettingsChanged>().get()), nullptr,
      CFNotificationSuspensionBehaviorCoalesce);
  reloadSettings();
}

void reloadSettings() {
  ns::AutoreleasePool pool;
  PreferencesRead prefs(true);
  if (!prefs.exists()) return;
  for (const ElementNames& element : kElements) {
    if (auto on = prefs.boolFor(keysOf(element.id).customSwitch)) {
      gSettings.customSwitch[slotOf(element.id)].store(*on, std::memory_order_relaxed);
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
