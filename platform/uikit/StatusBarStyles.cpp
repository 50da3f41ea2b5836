// The status bar's style-attribute classes and _UILegibilitySettings.
//
// These are the hosts of most of the status-bar library's hooks. Which of them exist, and which
// methods each declares with which types, follow the device's table for this process's release
// (host_classes.hpp); this file only implements them. Each host method has a plain, fixed
// behaviour of its own, and the two foreground-style classes answer in different colours, so that
// a caller can always tell which implementation produced a colour: the hooked one, the class's
// own, or its superclass's. No host method sends another hooked selector (the battery colours
// compute their text colour directly), so each host answer depends on its arguments and the
// instance's style only. The colours themselves are chosen: the device's are not public.
#include <optional>
#include <type_traits>

#include "platform/foundation/object.hpp"
#include "platform/uikit/classes.hpp"
#include "platform/uikit/fields.hpp"
#include "platform/uikit/host_calls.hpp"
#include "platform/uikit/host_classes.hpp"

using objc::BOOL;
using objc::id;
using objc::NSInteger;
using objc::NSUInteger;
using objc::SEL;
using uikitsim::HostCall;
using uikitsim::HostValue;

namespace uikit {
namespace {

Class gStyleAttributes = nullptr;
Class gNewUIStyleAttributes = nullptr;
Class gLegibility = nullptr;
Class gForegroundStyle = nullptr;

ObjectField gRequest("_request");
ObjectField gForeground("_foregroundColor");
ObjectField gBackground("_backgroundColor");
ObjectField gPrimary("_primaryColor");
ObjectField gSecondary("_secondaryColor");
// The bar style a foreground style's attributes were made for (0 when made with init).
Field<NSInteger> gStyle("_style");

constexpr CGFloat byte(int v) {
  return CGFloat(v) / 255;
}

// UIStatusBarStyleAttributes: the base of the style attributes; keeps the request it was made for.
id styleInitWithRequest(id self, SEL, id request) {
  gRequest.set(self, request);
  return self;
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

// UIStatusBarForegroundStyleAttributes, the classic foreground style: black text on the default
// style (0), white on every other; battery green while charging, red at or below the low level,
// otherwise the text colour of the style the attributes were made for (the device makes them per
// bar style; this stand-in's initWithStyle: keeps just the style, and init makes style 0).
Rgba classicText(NSInteger style) {
  return style == 0 ? Rgba{0, 0, 0, 1} : Rgba{1, 1, 1, 1};
}
constexpr Rgba kClassicCharging{byte(0x4c), byte(0xd9), byte(0x64), 1};  // #4cd964
constexpr Rgba kClassicLow{1, byte(0x3b), byte(0x30), 1};                // #ff3b30

id foregroundInitWithStyle(id self, SEL, NSInteger style) {
  gStyle.of(self) = style;
  return self;
}

void recordGetter(const char* implementor, id self, const char* selector,
                  std::vector<HostValue> args, id result) {
  uikitsim::recordIfOn([&] {
    return HostCall{implementor, objc::className(self), selector, std::move(args),
                    HostValue::ofObject(result)};
  });
}

// A capacity as it reached the host: a real number, or an integer on releases that pass one.
template <class Capacity>
HostValue capacityValue(Capacity c) {
  if constexpr (std::is_floating_point_v<Capacity>) {
    return HostValue::ofReal(c);
  } else {
    return HostValue::ofInteger(c);
  }
}

// The battery colour for a bar style: red at or below the low level, else that style's text
// colour (this variant knows nothing of charging). Its capacities are CGFloats on 9.x and
// integers (chosen to be read as percentages) on 10.x.
template <class Capacity>
id classicBatteryStyle(id self, SEL, Capacity capacity, Capacity low, NSUInteger style) {
  id colour = makeColor(capacity <= low ? kClassicLow : classicText(static_cast<NSInteger>(style)));
  recordGetter(
      "UIStatusBarForegroundStyleAttributes", self, "_batteryColorForCapacity:lowCapacity:style:",
      {capacityValue(capacity), capacityValue(low), HostValue::ofInteger(static_cast<long>(style))},
      colour);
  return colour;
}

// UIStatusBarNewUIForegroundStyleAttributes, the flat style: its own text and battery colours,
// never its superclass's: near-black text (white 0.1) on the default style, near-white (white
// 0.95) on every other; battery #34c759 while charging, #ff453a at or below the low level,
// otherwise its text colour for the style it was made for.
Rgba flatText(NSInteger style) {
  // The host's white levels, in its CGFloat (a float on 32-bit ARM).
  const CGFloat white = style == 0 ? CGFloat(0.1) : CGFloat(0.95);
  return Rgba{white, white, white, 1};
}
constexpr Rgba kFlatCharging{byte(0x34), byte(0xc7), byte(0x59), 1};  // #34c759
constexpr Rgba kFlatLow{1, byte(0x45), byte(0x3a), 1};                // #ff453a

// A foreground style's own colours, for the getters both styles answer with them.
struct Palette {
  const char* implementor;  // the class whose methods answer
  Rgba (*text)(NSInteger style);
  Rgba charging;
  Rgba low;
};
constexpr Palette kClassic{"UIStatusBarForegroundStyleAttributes", &classicText, kClassicCharging,
                           kClassicLow};
constexpr Palette kFlat{"UIStatusBarNewUIForegroundStyleAttributes", &flatText, kFlatCharging,
                        kFlatLow};

template <const Palette& P>
id textColor(id self, SEL, NSInteger style) {
  id colour = makeColor(P.text(style));
  recordGetter(P.implementor, self, "textColorForStyle:", {HostValue::ofInteger(style)}, colour);
  return colour;
}

// The battery colour: the style's charging colour while charging, its low colour at or below the
// low level, otherwise its text colour for the bar style the attributes were made for.
template <const Palette& P>
id batteryCharging(id self, SEL, CGFloat capacity, CGFloat low, BOOL charging) {
  id colour = makeColor(charging != objc::no ? P.charging
                        : capacity <= low    ? P.low
                                             : P.text(gStyle.of(self)));
  recordGetter(P.implementor, self, "_batteryColorForCapacity:lowCapacity:charging:",
               {capacityValue(capacity), capacityValue(low), HostValue::ofBoolean(charging)},
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

}  // namespace

void registerStatusBarStyles() {
  if (auto style = hostClass("UIStatusBarStyleAttributes")) {
    style->method("initWithRequest:", &styleInitWithRequest)
        .method("request", &getObject<gRequest>)
        .method("dealloc", &releaseAndDealloc<gStyleAttributes, gRequest>);
    gStyleAttributes = foundation::finishWithFields(*style, gRequest);
  }

  constexpr char kNewUI[] = "UIStatusBarNewUIStyleAttributes";
  if (auto newUI = hostClass(kNewUI)) {
    hostMethod(*newUI, kNewUI, "initWithRequest:backgroundColor:foregroundColor:", &newUIInit);
    newUI->method("foregroundColor", &getObject<gForeground>)
        .method("backgroundColor", &getObject<gBackground>)
        .method("dealloc", &releaseAndDealloc<gNewUIStyleAttributes, gBackground, gForeground>);
    gNewUIStyleAttributes = foundation::finishWithFields(*newUI, gForeground, gBackground);
  }

  constexpr const char* kClassicName = kClassic.implementor;
  if (auto classic = hostClass(kClassicName)) {
    classic->method("initWithStyle:", &foregroundInitWithStyle).method("style", &getValue<gStyle>);
    hostMethod(*classic, kClassicName, "textColorForStyle:", &textColor<kClassic>);
    hostMethod(*classic, kClassicName,
               "_batteryColorForCapacity:lowCapacity:charging:", &batteryCharging<kClassic>);
    hostMethod(*classic, kClassicName,
               "_batteryColorForCapacity:lowCapacity:style:", &classicBatteryStyle<CGFloat>,
               &classicBatteryStyle<int>);
    gForegroundStyle = foundation::finishWithFields(*classic, gStyle);
  }

  constexpr const char* kFlatName = kFlat.implementor;
  if (auto flat = hostClass(kFlatName)) {
    hostMethod(*flat, kFlatName, "textColorForStyle:", &textColor<kFlat>);
    hostMethod(*flat, kFlatName,
               "_batteryColorForCapacity:lowCapacity:charging:", &batteryCharging<kFlat>);
    flat->finish();
  }

  constexpr char kLegibility[] = "_UILegibilitySettings";
  if (auto legibility = hostClass(kLegibility)) {
    hostMethod(*legibility, kLegibility, "setPrimaryColor:", &legibilitySetPrimary);
    legibility->method("primaryColor", &getObject<gPrimary>)
        .method("setSecondaryColor:", &setObject<gSecondary>)
        .method("secondaryColor", &getObject<gSecondary>)
        .method("dealloc", &releaseAndDealloc<gLegibility, gPrimary, gSecondary>);
    gLegibility = foundation::finishWithFields(*legibility, gPrimary, gSecondary);
  }
}

}  // namespace uikit
