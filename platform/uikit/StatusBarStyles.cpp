// The status bar's style-attribute classes and _UILegibilitySettings.
//
// These are the hosts of most of the status-bar library's hooks. Each host method has a plain,
// fixed behaviour of its own, and the two foreground-style classes answer in different colours,
// so that a caller can always tell which implementation produced a colour: the hooked one, the
// class's own, or its superclass's. No host method sends another hooked selector (the battery
// colours compute their text colour directly), so each host answer depends on its arguments only.
#include <optional>

#include "platform/foundation/object.hpp"
#include "platform/uikit/classes.hpp"
#include "platform/uikit/fields.hpp"
#include "platform/uikit/host_calls.hpp"

using objc::BOOL;
using objc::id;
using objc::SEL;
using uikitsim::HostCall;
using uikitsim::HostValue;

namespace uikit {
namespace {

Class gStyleAttributes = nullptr;
Class gNewUIStyleAttributes = nullptr;
Class gLegibility = nullptr;

ObjectField gRequest("_request");
ObjectField gForeground("_foregroundColor");
ObjectField gBackground("_backgroundColor");
ObjectField gPrimary("_primaryColor");
ObjectField gSecondary("_secondaryColor");

constexpr CGFloat byte(int v) {
  return CGFloat(v) / 255;
}

// UIStatusBarStyleAttributes: the base of the style attributes; keeps the request it was made for.
id styleInitWithRequest(id self, SEL, id request) {
  gRequest.set(self, request);
  return self;
}
id styleRequest(id self, SEL) {
  return gRequest.getAutoreleased(self);
}
void styleDealloc(id self, SEL) {
  gRequest.clear(self);
  foundation::deallocSuper(self, gStyleAttributes);
}

// UIStatusBarNewUIStyleAttributes: the request's style with explicit background and foreground
// colours. The initialiser passes the request to its superclass's initWithRequest: and keeps both
// colours as given (nil included).
id newUIInit(id self, SEL, id request, id background, id foreground) {
  uikitsim::recordIfOn([&] {
    return HostCall{"UIStatusBarNewUIStyleAttributes",
                    objc::className(self),
                    "initWithRequest:backgroundColor:foregroundColor:",
                    {HostValue::ofObject(request), HostValue::ofObject(background),
                     HostValue::ofObject(foreground)},
                    std::nullopt};
  });
  self = objc::sendSuper<id>(self, gNewUIStyleAttributes, objc::sel<"initWithRequest:">(), request);
  if (self == nullptr) return nullptr;
  gBackground.set(self, background);
  gForeground.set(self, foreground);
  return self;
}
id newUIForeground(id self, SEL) {
  return gForeground.getAutoreleased(self);
}
id newUIBackground(id self, SEL) {
  return gBackground.getAutoreleased(self);
}
void newUIDealloc(id self, SEL) {
  gBackground.clear(self);
  gForeground.clear(self);
  foundation::deallocSuper(self, gNewUIStyleAttributes);
}

// UIStatusBarForegroundStyleAttributes, the classic foreground style: black text on the default
// style (0), white on every other; battery green while charging, red at or below the low level,
// otherwise the text colour.
Rgba classicText(long style) {
  return style == 0 ? Rgba{0, 0, 0, 1} : Rgba{1, 1, 1, 1};
}
constexpr Rgba kClassicCharging{byte(0x4c), byte(0xd9), byte(0x64), 1};  // #4cd964
constexpr Rgba kClassicLow{1, byte(0x3b), byte(0x30), 1};                // #ff3b30

void recordGetter(const char* implementor, id self, const char* selector,
                  std::vector<HostValue> args, id result) {
  uikitsim::recordIfOn([&] {
    return HostCall{implementor, objc::className(self), selector, std::move(args),
                    HostValue::ofObject(result)};
  });
}

id classicTextColor(id self, SEL, long style) {
  id colour = makeColor(classicText(style));
  recordGetter("UIStatusBarForegroundStyleAttributes", self,
               "textColorForStyle:", {HostValue::ofInteger(style)}, colour);
  return colour;
}

id classicBatteryCharging(id self, SEL, double capacity, double low, BOOL charging) {
  id colour = makeColor(charging != objc::no ? kClassicCharging
                        : capacity <= low    ? kClassicLow
                                             : classicText(0));
  recordGetter(
      "UIStatusBarForegroundStyleAttributes", self,
      "_batteryColorForCapacity:lowCapacity:charging:",
      {HostValue::ofReal(capacity), HostValue::ofReal(low), HostValue::ofBoolean(charging)},
      colour);
  return colour;
}

// The battery colour for a bar style: red at or below the low level, else that style's text
// colour (this variant knows nothing of charging).
id classicBatteryStyle(id self, SEL, double capacity, double low, long style) {
  id colour = makeColor(capacity <= low ? kClassicLow : classicText(style));
  recordGetter(
      "UIStatusBarForegroundStyleAttributes", self, "_batteryColorForCapacity:lowCapacity:style:",
      {HostValue::ofReal(capacity), HostValue::ofReal(low), HostValue::ofInteger(style)}, colour);
  return colour;
}

// UIStatusBarNewUIForegroundStyleAttributes, the flat style: its own text and battery colours,
// never its superclass's: near-black text (white 0.1) on the default style, near-white (white
// 0.95) on every other; battery #34c759 while charging, #ff453a at or below the low level,
// otherwise its text colour of style 0. It inherits _batteryColorForCapacity:lowCapacity:style:.
Rgba flatText(long style) {
  // The host's white levels, in its CGFloat (a float on 32-bit ARM).
  const CGFloat white = style == 0 ? CGFloat(0.1) : CGFloat(0.95);
  return Rgba{white, white, white, 1};
}
constexpr Rgba kFlatCharging{byte(0x34), byte(0xc7), byte(0x59), 1};  // #34c759
constexpr Rgba kFlatLow{1, byte(0x45), byte(0x3a), 1};                // #ff453a

id flatTextColor(id self, SEL, long style) {
  id colour = makeColor(flatText(style));
  recordGetter("UIStatusBarNewUIForegroundStyleAttributes", self,
               "textColorForStyle:", {HostValue::ofInteger(style)}, colour);
  return colour;
}

id flatBatteryCharging(id self, SEL, double capacity, double low, BOOL charging) {
  id colour = makeColor(charging != objc::no ? kFlatCharging
                        : capacity <= low    ? kFlatLow
                                             : flatText(0));
  recordGetter(
      "UIStatusBarNewUIForegroundStyleAttributes", self,
      "_batteryColorForCapacity:lowCapacity:charging:",
      {HostValue::ofReal(capacity), HostValue::ofReal(low), HostValue::ofBoolean(charging)},
      colour);
  return colour;
}

// _UILegibilitySettings: the colours that text over wallpaper is drawn in.
void legibilitySetPrimary(id self, SEL, id colour) {
  uikitsim::recordIfOn([&] {
    return HostCall{"_UILegibilitySettings",
                    objc::className(self),
                    "setPrimaryColor:",
                    {HostValue::ofObject(colour)},
                    std::nullopt};
  });
  gPrimary.set(self, colour);
}
id legibilityPrimary(id self, SEL) {
  return gPrimary.getAutoreleased(self);
}
void legibilitySetSecondary(id self, SEL, id colour) {
  gSecondary.set(self, colour);
}
id legibilitySecondary(id self, SEL) {
  return gSecondary.getAutoreleased(self);
}
void legibilityDealloc(id self, SEL) {
  gPrimary.clear(self);
  gSecondary.clear(self);
  foundation::deallocSuper(self, gLegibility);
}

}  // namespace

void registerStatusBarStyles() {
  objc::ClassBuilder style("UIStatusBarStyleAttributes", foundation::rootClass());
  gRequest.declare(style);
  style.method("initWithRequest:", &styleInitWithRequest)
      .method("request", &styleRequest)
      .method("dealloc", &styleDealloc);
  gStyleAttributes = style.finish();
  gRequest.bind(gStyleAttributes);

  objc::ClassBuilder newUI("UIStatusBarNewUIStyleAttributes", gStyleAttributes);
  gForeground.declare(newUI);
  gBackground.declare(newUI);
  newUI.method("initWithRequest:backgroundColor:foregroundColor:", &newUIInit)
      .method("foregroundColor", &newUIForeground)
      .method("backgroundColor", &newUIBackground)
      .method("dealloc", &newUIDealloc);
  gNewUIStyleAttributes = newUI.finish();
  gForeground.bind(gNewUIStyleAttributes);
  gBackground.bind(gNewUIStyleAttributes);

  objc::ClassBuilder classic("UIStatusBarForegroundStyleAttributes", foundation::rootClass());
  classic.method("textColorForStyle:", &classicTextColor)
      .method("_batteryColorForCapacity:lowCapacity:charging:", &classicBatteryCharging)
      .method("_batteryColorForCapacity:lowCapacity:style:", &classicBatteryStyle);
  const Class classicClass = classic.finish();

  objc::ClassBuilder flat("UIStatusBarNewUIForegroundStyleAttributes", classicClass);
  flat.method("textColorForStyle:", &flatTextColor)
      .method("_batteryColorForCapacity:lowCapacity:charging:", &flatBatteryCharging);
  flat.finish();

  objc::ClassBuilder legibility("_UILegibilitySettings", foundation::rootClass());
  gPrimary.declare(legibility);
  gSecondary.declare(legibility);
  legibility.method("setPrimaryColor:", &legibilitySetPrimary)
      .method("primaryColor", &legibilityPrimary)
      .method("setSecondaryColor:", &legibilitySetSecondary)
      .method("secondaryColor", &legibilitySecondary)
      .method("dealloc", &legibilityDealloc);
  gLegibility = legibility.finish();
  gPrimary.bind(gLegibility);
  gSecondary.bind(gLegibility);
}

}  // namespace uikit
