#include "fuzz/rounds/host_round.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "colour/colour.hpp"
#include "platform/corefoundation/CoreFoundation.h"
#include "platform/corefoundation/simulator.hpp"
#include "platform/foundation/facade.hpp"
#include "platform/uikit/facade.hpp"
#include "tests/support/binary_plist.hpp"
#include "tweak/hooks.hpp"
#include "tweak/settings.hpp"

namespace vyrfuzz {
namespace {

using objc::id;

[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "robustness check failed: %s %.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

id hostColour() {
  return ui::Color::withRed(1 / 255.0, 2 / 255.0, 3 / 255.0, 1).get();
}

// A colour that took the host's place: nil, or a UIColor whose red, green and blue lie in 0 to 1
// (every source of colour the library has makes them so) and whose alpha is a number (the alpha
// suffix is read as a float and kept as given, so it may lie outside 0 to 1).
std::optional<Rgba> checkedColour(id colour, const char* where) {
  if (colour == nullptr) return std::nullopt;
  if (!ns::Object(colour).isKindOfClass(ui::Color::cls())) fail("not a UIColor:", where);
  const Rgba c = ui::Color(colour).components();
  for (std::size_t i = 0; i < 3; ++i) {
    if (!(c[i] >= 0.0 && c[i] <= 1.0)) fail("component outside 0 to 1:", where);
  }
  if (std::isnan(c[3])) fail("alpha is not a number:", where);
  return c;
}

// A new autoreleased instance of the class of hooked method H.
id make(HookId h) {
  id obj = objc::send<"new">(hookedClass(h));
  ns::Object(obj).autorelease();
  return obj;
}

// Whether this process's release has hooked method H (the class, answering the selector).
bool has(HookId h) {
  const Class cls = hookedClass(h);
  return cls != nullptr && class_respondsToSelector(cls, hookedSelector(h)) != 0;
}

id battery(id attrs, HookId h, double capacity, double low, bool charging) {
  return objc::send(attrs, hookedSelector(h), static_cast<objc::CGFloat>(capacity),
                    static_cast<objc::CGFloat>(low), charging ? objc::yes : objc::no);
}

}  // namespace

// The components arrive held in the device's CGFloat (a float on 32-bit ARM).
Rgba hostArgumentColour() {
  const auto held = [](double v) { return static_cast<double>(static_cast<objc::CGFloat>(v)); };
  return {held(1 / 255.0), held(2 / 255.0), held(3 / 255.0), 1};
}

void startHost() {
  static const bool started = [] {
    scratchDevice();
    initSettings();
    installHooks();
    return true;
  }();
  (void)started;
}

void resetSettings() {
  TweakSettings& s = tweakSettings();
  for (std::size_t i = 0; i < kElementCount; ++i) {
    s.customSwitch[i].store(false);
    s.presetSwitch[i].store(true);
    s.presetIndex[i].store(kDefaultPresetIndex);
    s.presetColour[i].store(nullptr);
  }
  s.lockScreenSame.store(true);
}

void reloadAsNotified() {
  CFNotificationCenterPostNotification(
      CFNotificationCenterGetDarwinNotifyCenter(),
      reinterpret_cast<CFStringRef>(ns::String::literal<kSettingsChanged>().get()), nullptr,
      nullptr, 1);
  cfsim::deliverPendingNotifications();
}

HostAnswers callEveryHook() {
  ns::AutoreleasePool pool;
  HostAnswers a;
  a.asked.fill(true);  // every release has the initialiser and the setters
  id attrs = objc::send<"alloc">(hookedClass(HookId::newUIStyleAttributesInit));
  attrs = objc::send(attrs, hookedSelector(HookId::newUIStyleAttributesInit),
                     static_cast<id>(nullptr), hostColour(), hostColour());
  a.colours[0] = checkedColour(objc::send<"foregroundColor">(attrs), "initWithRequest:");
  ns::Object(attrs).release();

  // A setter of hooked method H sent the host's colour; what GETTER answers afterwards.
  auto set = [](HookId h, auto getter) {
    id view = make(h);
    objc::send<void>(view, hookedSelector(h), hostColour());
    return checkedColour(getter(view), hookedMethod(h).selector);
  };
  a.colours[1] = set(HookId::statusBarSetForegroundColor,
                     [](id v) { return objc::send<"foregroundColor">(v); });

  // The getters, where this release has them, with the host's own types.
  const auto get = [&a](HookId h, const char* what, auto ask) {
    const auto k = static_cast<std::size_t>(h);
    a.asked[k] = has(h);
    if (a.asked[k]) a.colours[k] = checkedColour(ask(make(h)), what);
  };
  get(HookId::newUITextColorForStyle, "new text", [](id owner) {
    return objc::send(owner, hookedSelector(HookId::newUITextColorForStyle), objc::NSInteger{0});
  });
  get(HookId::newUIBatteryColorCharging, "new battery charging",
      [](id owner) { return battery(owner, HookId::newUIBatteryColorCharging, 0.5, 0.2, false); });
  get(HookId::textColorForStyle, "text", [](id owner) {
    return objc::send(owner, hookedSelector(HookId::textColorForStyle), objc::NSInteger{1});
  });
  get(HookId::batteryColorCharging, "battery charging",
      [](id owner) { return battery(owner, HookId::batteryColorCharging, 0.1, 0.2, true); });
  get(HookId::batteryColorStyle, "battery style", [](id owner) {
    return objc::send(owner, hookedSelector(HookId::batteryColorStyle),
                      static_cast<objc::CGFloat>(0.1), static_cast<objc::CGFloat>(0.2),
                      objc::NSUInteger{0});
  });

  a.colours[7] =
      set(HookId::activityIndicatorSetColor, [](id v) { return objc::send<"color">(v); });
  a.colours[8] =
      set(HookId::refreshControlSetTintColor, [](id v) { return objc::send<"tintColor">(v); });
  a.colours[9] =
      set(HookId::legibilitySetPrimaryColor, [](id v) { return objc::send<"primaryColor">(v); });

  a.lockScreenStyle = objc::send<objc::NSInteger>(make(HookId::lockScreenStatusBarStyle),
                                                  hookedSelector(HookId::lockScreenStatusBarStyle));
  if (a.lockScreenStyle != 0 && a.lockScreenStyle != 1) fail("lock-screen style neither 0 nor 1");
  return a;
}

HostAnswers prefsFileRound(std::string_view bytes) {
  startHost();
  writeInPlace(kPrefsFile, bytes);
  resetSettings();
  ns::AutoreleasePool pool;
  reloadAsNotified();
  return callEveryHook();
}

ColourAnswers colourStringRound(std::string_view text) {
  startHost();
  const char* key = namesOf(ElementId::sig).customColourKey;
  writeInPlace(kPrefsFile, binaryPlistWithString(key, text));
  ns::AutoreleasePool pool;
  const ns::String domain = ns::String::literal<kDomain>();
  // The fallback is a C string: it ends at the first NUL.
  const std::string cText(text.substr(0, text.find('\0')));
  const ns::String asFallback = ns::String::withUTF8(cText.c_str());
  ColourAnswers a;
  const auto stored =
      checkedColour(colorFromDefaultsWithKey(domain.get(), ns::String::withUTF8(key).get(),
                                             ns::String::literal<"#000000">().get()),
                    "stored colour string");
  const auto fallback =
      checkedColour(colorFromDefaultsWithKey(domain.get(), ns::String::literal<"vyrColor9">().get(),
                                             asFallback.get()),
                    "fallback colour string");
  if (!stored || !fallback) fail("colorFromDefaultsWithKey answered nil");
  a.stored = *stored;
  a.fallback = *fallback;
  const bool random = text.substr(0, text.find(':')).empty();
  // A file of more than a megabyte reads as missing; the strings here stay well below that.
  const bool fits = text.size() < (512u << 10);
  if (!random && fits && cText.size() == text.size() && a.stored != a.fallback) {
    fail("the stored string and the fallback disagree:", text);
  }
  return a;
}

std::string binaryPlistWithString(std::string_view key, std::string_view value) {
  vyrtest::BinaryPlist list;
  const std::size_t root = list.next();
  list.dictionary({root + 1}, {root + 2});
  list.ascii(key);
  list.ascii(value);
  return list.bytes(root, 8);
}

}  // namespace vyrfuzz
