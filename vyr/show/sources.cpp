#include "vyr/show/sources.hpp"

#include <array>
#include <cmath>
#include <optional>

#include "platform/corefoundation/CoreFoundation.h"
#include "platform/foundation/facade.hpp"
#include "platform/uikit/facade.hpp"

namespace vyr::show {
namespace {

constexpr const char kPreferencesFile[] = "/var/mobile/Library/Preferences/com.belvorin.VYR.plist";
constexpr int kPaletteSize = 15;
constexpr std::array<const char*, kPaletteSize> kPresetNames{
    "black", "blue",   "gold", "clear",  "cyan", "light grey", "grey",  "dark grey",
    "green", "orange", "pink", "purple", "red",  "white",      "yellow"};

// The switches as the library holds them. Written only on the main thread: at start and by the
// notification callback, which this process delivers on its main thread.
std::array<bool, 6> gCustomSwitch{};

std::size_t slot(Element e) {
  return static_cast<std::size_t>(e) - 1;
}

// The value under KEY in the settings file, read as the library reads it; nothing when the file,
// the key or such a reading is missing.
std::optional<bool> readBool(const ns::Dictionary& prefs, const char* key) {
  ns::Object value(prefs.objectForKey(ns::String::withUTF8(key).get()));
  if (!value || !value.respondsToSelector(objc::sel<"boolValue">())) return std::nullopt;
  return value.boolValue();
}

std::optional<int> readInt(const ns::Dictionary& prefs, const char* key) {
  ns::Object value(prefs.objectForKey(ns::String::withUTF8(key).get()));
  if (!value || !value.respondsToSelector(objc::sel<"intValue">())) return std::nullopt;
  return value.intValue();
}

// Reads the settings file for the scope; nil when it is missing or not a dictionary.
class SettingsFile {
 public:
  SettingsFile()
      : dict_(ns::Dictionary::allocInitWithContentsOfFile(ns::String::withUTF8(kPreferencesFile))) {
  }
  ~SettingsFile() { dict_.release(); }
  SettingsFile(const SettingsFile&) = delete;
  SettingsFile& operator=(const SettingsFile&) = delete;
  const ns::Dictionary& dict() const { return dict_; }

 private:
  ns::Dictionary dict_;
};

void reloadCustomSwitches() {
  ns::AutoreleasePool pool;
  SettingsFile file;
  if (!file.dict()) return;
  for (std::size_t i = 0; i < gCustomSwitch.size(); ++i) {
    const std::string key = "ENABLED" + std::to_string(i + 1);
    if (auto on = readBool(file.dict(), key.c_str())) gCustomSwitch[i] = *on;
  }
}

void onSettingsChanged(CFNotificationCenterRef, void*, CFStringRef, const void*, CFDictionaryRef) {
  reloadCustomSwitches();
}

// The palette's colours, as the platform's colour class makes them, for matching answers.
const std::array<Rgba, kPaletteSize>& paletteColours() {
  static const std::array<Rgba, kPaletteSize> colours = [] {
    ns::AutoreleasePool pool;
    auto named = [](ui::Color c) {
      const auto v = c.components();
      return Rgba{v[0], v[1], v[2], v[3]};
    };
    auto bytes = [](int r, int g, int b) { return Rgba{r / 255.0, g / 255.0, b / 255.0, 1}; };
    return std::array<Rgba, kPaletteSize>{
        named(ui::Color::black()), bytes(0, 122, 255),           bytes(166, 151, 90),
        named(ui::Color::clear()), named(ui::Color::cyan()),     named(ui::Color::lightGray()),
        named(ui::Color::gray()),  named(ui::Color::darkGray()), bytes(76, 217, 100),
        bytes(255, 161, 1),        bytes(253, 151, 203),         bytes(88, 86, 214),
        bytes(255, 59, 48),        bytes(248, 248, 248),         bytes(234, 187, 0)};
  }();
  return colours;
}

bool sameColour(const Rgba& a, const Rgba& b) {
  constexpr double kTolerance = 1e-6;  // the palette's components are n/255 in either precision
  return std::fabs(a.red - b.red) < kTolerance && std::fabs(a.green - b.green) < kTolerance &&
         std::fabs(a.blue - b.blue) < kTolerance && std::fabs(a.alpha - b.alpha) < kTolerance;
}

std::string presetLabel(int index) {
  return "preset " + std::to_string(index) + " " + presetName(index);
}

}  // namespace

void followCustomSwitches() {
  static const bool registered = [] {
    CFNotificationCenterAddObserver(CFNotificationCenterGetDarwinNotifyCenter(), &gCustomSwitch,
                                    &onSettingsChanged, CFSTR("com.belvorin.VYR/settingschanged"),
                                    nullptr, CFNotificationSuspensionBehaviorCoalesce);
    return true;
  }();
  (void)registered;
  reloadCustomSwitches();
}

const char* presetName(int index) {
  if (index < 1 || index > kPaletteSize) return nullptr;
  return kPresetNames[static_cast<std::size_t>(index - 1)];
}

std::optional<Rgba> presetColour(int index) {
  if (presetName(index) == nullptr) return std::nullopt;
  return paletteColours()[static_cast<std::size_t>(index - 1)];
}

std::string describeSource(Element e, const Answer& answer) {
  if (answer.hostsOwn) return "host's own";
  const int number = static_cast<int>(e);
  if (gCustomSwitch[slot(e)]) return "custom vyrColor" + std::to_string(number);
  if (!answer.colour) return "preset, no entry yet";

  const auto& palette = paletteColours();
  ns::AutoreleasePool pool;
  SettingsFile file;
  static constexpr std::array<const char*, 6> kPresetKeys{"sig", "sbsig", "txt",
                                                          "bat", "lod",   "rec"};
  if (file.dict()) {
    const std::optional<int> index = readInt(file.dict(), kPresetKeys[slot(e)]);
    if (index && presetName(*index) != nullptr &&
        sameColour(palette[static_cast<std::size_t>(*index - 1)], *answer.colour)) {
      return presetLabel(*index);
    }
  }
  // The file names no entry of this colour (an index out of range keeps the last entry).
  for (int i = 1; i <= kPaletteSize; ++i) {
    if (sameColour(palette[static_cast<std::size_t>(i - 1)], *answer.colour)) {
      return presetLabel(i);
    }
  }
  return "preset, unknown entry";
}

}  // namespace vyr::show
