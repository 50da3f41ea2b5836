// Every name VYRSignals shares with the outside world, written once: the six recoloured elements
// with their preference keys, the preset palette, the preferences domain and its file, the
// settings-changed notification, and the classes and selectors of the hook table.
//
// Plain constants, no code: the library reads them, and so do the `vyr` command, the benchmarks,
// the fuzzers and the tests, so that a change here reaches every reader at once. Every string is
// NUL-terminated, ready for the runtime's C interfaces.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

// The six recoloured elements, numbered as their preference keys are.
enum class ElementId : int { sig = 1, sbsig = 2, txt = 3, bat = 4, lod = 5, rec = 6 };
inline constexpr int kElementCount = 6;

// One element's names. A missing enable or preset key keeps the element's last value; the
// custom switch is read at load and on the settings-changed notification only.
struct ElementNames {
  ElementId id;
  int number;                   // 1 to 6: the N of "ENABLEDN" and "vyrColorN"
  const char* name;             // "sig"
  const char* enableKey;        // Boolean: the preset colouring is on
  const char* presetKey;        // integer: the palette index
  const char* customSwitchKey;  // Boolean: the custom colour is used instead
  const char* customColourKey;  // colour string: the custom colour
};

inline constexpr std::array<ElementNames, kElementCount> kElements{{
    {ElementId::sig, 1, "sig", "sigs", "sig", "ENABLED1", "vyrColor1"},
    {ElementId::sbsig, 2, "sbsig", "sbsigs", "sbsig", "ENABLED2", "vyrColor2"},
    {ElementId::txt, 3, "txt", "text", "txt", "ENABLED3", "vyrColor3"},
    {ElementId::bat, 4, "bat", "batt", "bat", "ENABLED4", "vyrColor4"},
    {ElementId::lod, 5, "lod", "load", "lod", "ENABLED5", "vyrColor5"},
    {ElementId::rec, 6, "rec", "recents", "rec", "ENABLED6", "vyrColor6"},
}};

// The position of element E in kElements and in every per-element array.
constexpr std::size_t slotOf(ElementId e) {
  return static_cast<std::size_t>(e) - 1;
}
constexpr const ElementNames& namesOf(ElementId e) {
  return kElements[slotOf(e)];
}

// The preferences domain, its file as a device path, and the notification the settings pane posts
// after changing a custom switch.
inline constexpr char kDomain[] = "com.belvorin.VYR";
inline constexpr char kPreferencesPath[] = "/var/mobile/Library/Preferences/com.belvorin.VYR.plist";
inline constexpr char kSettingsChanged[] = "com.belvorin.VYR/settingschanged";
// The colour string a custom colour falls back to when its key is missing.
inline constexpr char kCustomColourFallback[] = "#a1a1a1:1.0";
// Boolean: the lock screen asks for the default status-bar style.
inline constexpr char kLockScreenSameKey[] = "lssame";

// The palette's entries are either a named colour of UIColor or red, green and blue bytes (each
// component n/255 in the platform's CGFloat, alpha 1).
enum class NamedColour { none, black, clear, cyan, lightGray, gray, darkGray };
struct PaletteEntry {
  const char* label;  // what the settings pane calls it: "light grey"
  NamedColour named;  // none for a colour made from the bytes
  std::uint8_t red, green, blue;
};

// The fifteen preset colours, indexed 1 to 15 (entry I at position I - 1); index 6 is every
// element's default.
inline constexpr int kPaletteSize = 15;
inline constexpr int kDefaultPresetIndex = 6;
inline constexpr std::array<PaletteEntry, kPaletteSize> kPresetPalette{{
    {"black", NamedColour::black, 0, 0, 0},
    {"blue", NamedColour::none, 0, 122, 255},
    {"gold", NamedColour::none, 166, 151, 90},
    {"clear", NamedColour::clear, 0, 0, 0},
    {"cyan", NamedColour::cyan, 0, 0, 0},
    {"light grey", NamedColour::lightGray, 0, 0, 0},
    {"grey", NamedColour::gray, 0, 0, 0},
    {"dark grey", NamedColour::darkGray, 0, 0, 0},
    {"green", NamedColour::none, 76, 217, 100},
    {"orange", NamedColour::none, 255, 161, 1},
    {"pink", NamedColour::none, 253, 151, 203},
    {"purple", NamedColour::none, 88, 86, 214},
    {"red", NamedColour::none, 255, 59, 48},
    {"white", NamedColour::none, 248, 248, 248},
    {"yellow", NamedColour::none, 234, 187, 0},
}};

// Palette entry INDEX, or nullptr outside 1 to 15.
constexpr const PaletteEntry* paletteEntry(std::int64_t index) {
  if (index < 1 || index > kPaletteSize) return nullptr;
  return &kPresetPalette[static_cast<std::size_t>(index - 1)];
}

// The methods the library replaces, in install order.
enum class HookId {
  newUIStyleAttributesInit,
  statusBarSetForegroundColor,
  newUITextColorForStyle,
  newUIBatteryColorCharging,
  textColorForStyle,
  batteryColorCharging,
  batteryColorStyle,
  activityIndicatorSetColor,
  refreshControlSetTintColor,
  legibilitySetPrimaryColor,
  lockScreenStatusBarStyle,
};
inline constexpr int kHookCount = 11;

struct HookedMethod {
  HookId id;
  const char* className;             // looked up by name in the host process
  const char* selector;              // an instance method of that class
  std::optional<ElementId> element;  // the element it recolours; none for the lock-screen style
};

inline constexpr std::array<HookedMethod, kHookCount> kHookedMethods{{
    {HookId::newUIStyleAttributesInit, "UIStatusBarNewUIStyleAttributes",
     "initWithRequest:backgroundColor:foregroundColor:", ElementId::sig},
    {HookId::statusBarSetForegroundColor, "UIStatusBar", "setForegroundColor:", ElementId::sbsig},
    {HookId::newUITextColorForStyle, "UIStatusBarNewUIForegroundStyleAttributes",
     "textColorForStyle:", ElementId::txt},
    {HookId::newUIBatteryColorCharging, "UIStatusBarNewUIForegroundStyleAttributes",
     "_batteryColorForCapacity:lowCapacity:charging:", ElementId::bat},
    {HookId::textColorForStyle, "UIStatusBarForegroundStyleAttributes",
     "textColorForStyle:", ElementId::txt},
    {HookId::batteryColorCharging, "UIStatusBarForegroundStyleAttributes",
     "_batteryColorForCapacity:lowCapacity:charging:", ElementId::bat},
    {HookId::batteryColorStyle, "UIStatusBarForegroundStyleAttributes",
     "_batteryColorForCapacity:lowCapacity:style:", ElementId::bat},
    {HookId::activityIndicatorSetColor, "UIActivityIndicatorView", "setColor:", ElementId::lod},
    {HookId::refreshControlSetTintColor, "_UIRefreshControlModernContentView",
     "setTintColor:", ElementId::lod},
    {HookId::legibilitySetPrimaryColor, "_UILegibilitySettings",
     "setPrimaryColor:", ElementId::rec},
    {HookId::lockScreenStatusBarStyle, "SBLockScreenViewController", "statusBarStyle",
     std::nullopt},
}};

constexpr const HookedMethod& hookedMethod(HookId h) {
  return kHookedMethods[static_cast<std::size_t>(h)];
}

// The table's rows sit at the positions their ids name, and every element's number is its own.
static_assert([] {
  for (std::size_t i = 0; i < kHookedMethods.size(); ++i) {
    if (static_cast<std::size_t>(kHookedMethods[i].id) != i) return false;
  }
  for (std::size_t i = 0; i < kElements.size(); ++i) {
    if (slotOf(kElements[i].id) != i || kElements[i].number != static_cast<int>(i) + 1)
      return false;
  }
  return true;
}());
