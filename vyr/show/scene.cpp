#include "vyr/show/scene.hpp"

#include <string_view>
#include <vector>

#include "device/device.hpp"
#include "platform/corefoundation/CoreFoundation.h"
#include "platform/foundation/facade.hpp"
#include "platform/uikit/facade.hpp"
#include "platform/uikit/host_calls.hpp"
#include "tweak/hooks.hpp"
#include "vyr/show/sources.hpp"

namespace vyr::show {
namespace {

using uikitsim::HostCall;

// iOS 7 brought the flat status bar and its own foreground-style class; earlier versions ask the
// classic class.
constexpr double kFirstFlatVersion = 847.20;
constexpr double kLowBattery = 0.2;  // the level below which the host turns the battery red

Rgba rgbaOf(ui::Color colour) {
  const auto c = colour.components();
  return {c[0], c[1], c[2], c[3]};
}

std::optional<Rgba> colourOf(objc::id colour) {
  if (colour == nullptr) return std::nullopt;
  return rgbaOf(ui::Color(colour));
}

// The calls that reached host implementations while F ran.
template <class F>
std::vector<HostCall> hostCallsDuring(F&& f) {
  uikitsim::beginRecording();
  f();
  std::vector<HostCall> calls = uikitsim::takeCalls();
  uikitsim::endRecording();
  return calls;
}

const HostCall* findCall(const std::vector<HostCall>& calls, std::string_view selector) {
  for (const HostCall& call : calls) {
    if (call.selector == selector) return &call;
  }
  return nullptr;
}

// Whether the colour that reached the host's setter (argument INDEX of SELECTOR) is the very
// object the caller passed: a hook that replaces a colour hands on another object.
bool hostGot(const std::vector<HostCall>& calls, std::string_view selector, std::size_t index,
             objc::id passed) {
  const HostCall* call = findCall(calls, selector);
  return call != nullptr && call->arguments.size() > index &&
         call->arguments[index].object == passed;
}

// A new instance of the class of hooked method H, or nil when the process has no such class.
ns::Owned<ns::Object> makeInstance(HookId h) {
  Class cls = hookedClass(h);
  if (cls == nullptr) return {};
  return ns::Owned(ns::Object(objc::send<"init">(objc::send<"alloc">(cls))));
}

const char* selectorName(HookId h) {
  return hookedMethod(h).selector;
}

// The colours UIKit itself uses for a bar style.
ui::Color hostForeground(long style) {
  return style == kStyleDefault ? ui::Color::withWhite(0, 1) : ui::Color::withWhite(1, 1);
}

// sig: the style attributes are made for the bar's request with the style's own colours, and the
// bar then draws its signal in their foreground colour.
Answer askSignal(long style) {
  ns::AutoreleasePool pool;
  constexpr HookId kInit = HookId::newUIStyleAttributesInit;
  Class cls = hookedClass(kInit);
  if (cls == nullptr) return {};
  const ui::Color background = ui::Color::clear();
  const ui::Color foreground = hostForeground(style);
  ns::Owned<ns::Object> attributes;
  const auto calls = hostCallsDuring([&] {
    attributes.reset(ns::Object(objc::send(objc::send<"alloc">(cls), hookedSelector(kInit),
                                           objc::id{nullptr}, background.get(), foreground.get())));
  });
  return {colourOf(objc::send<"foregroundColor">(attributes->get())),
          hostGot(calls, selectorName(kInit), 2, foreground.get())};
}

// A view's hooked colour setter SETTER with the host's colour, then its getter: what the view will
// draw in.
template <objc::Name Getter>
Answer askSetter(HookId setter, ui::Color hostColour) {
  ns::AutoreleasePool pool;
  const ns::Owned<ns::Object> view = makeInstance(setter);
  if (!view) return {};
  const auto calls = hostCallsDuring(
      [&] { objc::send<void>(view->get(), hookedSelector(setter), hostColour.get()); });
  return {colourOf(objc::send<Getter>(view->get())),
          hostGot(calls, selectorName(setter), 0, hostColour.get())};
}

// A colour getter of the foreground style attributes; the host's own answer shows up in the
// record of host calls, a hook's does not.
template <class... A>
Answer askGetter(objc::id attributes, HookId getter, A... args) {
  ns::AutoreleasePool pool;
  objc::id colour = nullptr;
  const auto calls =
      hostCallsDuring([&] { colour = objc::send(attributes, hookedSelector(getter), args...); });
  return {colourOf(colour), findCall(calls, selectorName(getter)) != nullptr};
}

BarColours askBar(long style, const DeviceState& state) {
  BarColours bar;
  bar.signal = askSignal(style);
  bar.foreground =
      askSetter<"foregroundColor">(HookId::statusBarSetForegroundColor, hostForeground(style));
  bar.activity = askSetter<"color">(HookId::activityIndicatorSetColor, hostForeground(style));

  // The two style-attribute classes answer the same selectors.
  const bool flat = kCFCoreFoundationVersionNumber >= kFirstFlatVersion;
  const HookId text = flat ? HookId::newUITextColorForStyle : HookId::textColorForStyle;
  const ns::Owned<ns::Object> owner = makeInstance(text);
  if (!owner) return bar;
  const objc::id attributes = owner->get();
  const double capacity = state.batteryPercent / 100.0;
  const objc::BOOL charging = state.charging ? objc::yes : objc::no;
  bar.text = askGetter(attributes, text, style);
  // The classic bar asks by style while the battery is not charging. The flat class answers the
  // capacity variant in the default style's colours whatever the bar, so a flat bar in another
  // style (the lock screen's light one) takes its battery colour from the style variant, which it
  // inherits, as it does its text colour.
  if (state.charging || (flat && style == kStyleDefault)) {
    bar.battery = askGetter(attributes,
                            flat ? HookId::newUIBatteryColorCharging : HookId::batteryColorCharging,
                            capacity, kLowBattery, charging);
  } else {
    bar.battery = askGetter(attributes, HookId::batteryColorStyle, capacity, kLowBattery, style);
  }
  return bar;
}

}  // namespace

Scene askSpringBoard(const DeviceState& state) {
  ns::AutoreleasePool pool;
  Scene scene;
  scene.state = state;
  scene.iosVersion = sim::iosVersion();
  scene.home = askBar(state.homeStyle, state);
  // The refresh control's content view is tinted grey by its control unless the app says otherwise.
  scene.refresh =
      askSetter<"tintColor">(HookId::refreshControlSetTintColor,
                             ui::Color::withRed(142 / 255.0, 142 / 255.0, 147 / 255.0, 1));

  constexpr HookId kLockStyle = HookId::lockScreenStatusBarStyle;
  const ns::Owned<ns::Object> lockScreen = makeInstance(kLockStyle);
  scene.lockStyleHostsOwn = true;
  if (lockScreen) {
    const auto calls = hostCallsDuring(
        [&] { scene.lockStyle = objc::send<long>(lockScreen->get(), hookedSelector(kLockStyle)); });
    scene.lockStyleHostsOwn = findCall(calls, selectorName(kLockStyle)) != nullptr;
  }
  scene.lock = askBar(scene.lockStyle, state);
  // Text over the wallpaper is white for the lock screen's dark wallpaper.
  scene.legibility =
      askSetter<"primaryColor">(HookId::legibilitySetPrimaryColor, ui::Color::white());
  scene.notes = liveSwitchNotes();
  return scene;
}

}  // namespace vyr::show
