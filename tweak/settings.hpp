// The library's process-wide settings record and the reading of the preferences file.
//
// The six custom-colour switches are read at load and again whenever another process posts the
// settings-changed notification; every other setting is read from the file by the hooks at the
// moment they run. The record is shared by the notification callback and by hooks that the host
// may call on any thread, so every field is atomic and the colour slots are guarded.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

#include "colour/prefs_cache.hpp"
#include "platform/corefoundation/CoreFoundation.h"
#include "platform/foundation/facade.hpp"
#include "tweak/elements.hpp"

// One element's palette colour: the slot holds its own reference to the colour. Replacing it and
// taking a reference to it happen under the slot's lock, so a colour is never released while
// another thread is between reading the slot and retaining the colour.
class ColourSlot {
 public:
  constexpr ColourSlot() = default;
  // Stores COLOUR (retained) and gives up the reference to the colour before.
  void store(objc::id colour);
  // The stored colour, retained and autoreleased for the caller, or nil.
  objc::id load() const;

 private:
  mutable std::mutex lock_;
  objc::id colour_ = nullptr;
};

// Element E's keys (kElements) as strings, made on first use and kept for the process.
struct ElementKeys {
  ns::String enable;
  ns::String preset;
  ns::String customSwitch;
  ns::String customColour;
};
const ElementKeys& keysOf(ElementId e);

struct TweakSettings {
  std::array<std::atomic<bool>, kElementCount> customSwitch;
  std::array<std::atomic<bool>, kElementCount> presetSwitch;
  std::array<std::atomic<std::int32_t>, kElementCount> presetIndex;
  std::array<ColourSlot, kElementCount> presetColour;
  std::atomic<bool> lockScreenSame;
};

// The record, constant-initialised before any initialiser runs and never destroyed.
TweakSettings& tweakSettings();

// The preferences file as it is at the moment this is made, held for the scope: nil when the file
// is missing, unreadable or not a property list with a dictionary root. Every change to the file
// completed before (in place, by rename, by deletion) is seen; the file is parsed again only when
// it has changed (colour/prefs_cache.hpp), so making one costs well under a microsecond.
class PreferencesRead {
 public:
  // The file as it is now; AFRESH reads it from disk whatever the cache holds (and refreshes the
  // cache with it).
  explicit PreferencesRead(bool afresh = false) noexcept;

  bool exists() const { return bool(prefs_); }
  // The platform's boolValue / intValue of the value under KEY; nothing when the key is absent
  // or its value has no such reading (an array, a dictionary, a date or data).
  std::optional<bool> boolFor(ns::String key) const;
  std::optional<std::int32_t> intFor(ns::String key) const;

 private:
  colour::Preferences prefs_;
};

// Registers reloadSettings for the settings-changed notification, then reads the switches once.
void initSettings();

// Re-reads "ENABLED1" ... "ENABLED6" into customSwitch, from the file itself (never from what a
// cache kept). A missing file changes nothing; a missing key leaves its switch as it was.
void reloadSettings();

// The notification callback: the same reload, every argument ignored.
void reloadSettings(CFNotificationCenterRef center, void* observer, CFStringRef name,
                    const void* object, CFDictionaryRef userInfo);
