#include "vyr/render/scene.hpp"

#include <string_view>
#include <vector>

#include "device/device.hpp"
#include "platform/corefoundation/CoreFoundation.h"
#include "platform/foundation/facade.hpp"
#include "platform/ios/interfaces.hpp"
#include "platform/uikit/facade.hpp"
#include "platform/uikit/host_calls.hpp"
#include "tweak/hooks.hpp"
#include "vyr/render/sources.hpp"

namespace vyr::show {
namespace {

using uikitsim::HostCall;

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

// Before iOS 7 UIKit draws its bar without any style-attribute class, so nothing of VYR's reaches
// the signal, the text or the battery: they show in UIKit's own colours, chosen here as the
// classic foreground style's (black or white by style; battery green while charging, red when
// low).
Answer ownColour(ui::Color colour) {
  return {rgbaOf(colour), true};
}
Answer ownBattery(long style, const DeviceState& state) {
  if (state.charging)
    return ownColour(ui::Color::withRed(0x4c / 255.0, 0xd9 / 255.0, 0x64 / 255.0, 1));
  if (state.batteryPercent / 100.0 <= kLowBattery) {
    return ownColour(ui::Color::withRed(1, 0x3b / 255.0, 0x30 / 255.0, 1));
  }
  return ownColour(hostForeground(style));
}

// sig: the style attributes are made for the bar's request with the style's own colours, and the
// bar then draws its signal in their foreground colour.
Answer askSignal(long style) {
  ns::AutoreleasePool pool;
  constexpr HookId kInit = HookId::newUIStyleAttributesInit;
  Class cls = hookedClass(kInit);
  if (cls == nullptr) return ownColour(hostForeground(style));
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

// The battery's colour from foreground-style ATTRIBUTES of class CLS, asked as this release's
// UIKit asks: by charging state where the class answers that, else by bar style, with the
// capacities in the types the release's method takes (a fraction as a CGFloat, a percentage as
// an integer on iOS 10).
Answer askBattery(objc::id attributes, Class cls, long style, const DeviceState& state) {
  const bool flat = hookedClass(HookId::newUITextColorForStyle) == cls;
  const HookId charging = flat ? HookId::newUIBatteryColorCharging : HookId::batteryColorCharging;
  if (class_respondsToSelector(cls, hookedSelector(charging)) != 0) {
    return askGetter(attributes, charging, static_cast<objc::CGFloat>(state.batteryPercent / 100.0),
                     static_cast<objc::CGFloat>(kLowBattery),
                     state.charging ? objc::yes : objc::no);
  }
  constexpr HookId kByStyle = HookId::batteryColorStyle;
  const ios::MethodFact* byStyle = ios::methodIn(
      uikitsim::registeredInterfaces(), hookedMethod(kByStyle).className, selectorName(kByStyle));
  if (byStyle == nullptr) return {};
  const auto unsignedStyle = static_cast<objc::NSUInteger>(style);
  if (byStyle->types == objc::typesOf<objc::id, int, int, objc::NSUInteger>()) {
    return askGetter(attributes, kByStyle, state.batteryPercent,
                     static_cast<int>(kLowBattery * 100), unsignedStyle);
  }
  return askGetter(attributes, kByStyle, static_cast<objc::CGFloat>(state.batteryPercent / 100.0),
                   static_cast<objc::CGFloat>(kLowBattery), unsignedStyle);
}

BarColours askBar(long style, const DeviceState& state) {
  BarColours bar;
  bar.signal = askSignal(style);
  bar.foreground =
      askSetter<"foregroundColor">(HookId::statusBarSetForegroundColor, hostForeground(style));
  bar.activity = askSetter<"color">(HookId::activityIndicatorSetColor, hostForeground(style));

  // The flat foreground style where the release has it (7.0 to 8.2), else the classic one; made
  // for the bar's style.
  Class cls = hookedClass(HookId::newUITextColorForStyle);
  if (cls == nullptr) cls = hookedClass(HookId::textColorForStyle);
  if (cls == nullptr) {
    bar.text = ownColour(hostForeground(style));
    bar.battery = ownBattery(style, state);
    return bar;
  }
  const ns::Owned<ns::Object> owner(ns::Object(
      objc::send<"initWithStyle:">(objc::send<"alloc">(cls), static_cast<objc::NSInteger>(style))));
  const objc::id attributes = owner->get();
  bar.text = askGetter(attributes, HookId::textColorForStyle, static_cast<objc::NSInteger>(style));
  bar.battery = askBattery(attributes, cls, style, state);
  return bar;
}

// Rows the library left alone because this release's method takes other types than its
// replacement: their element keeps the host's colour whatever the settings say, which the table
// alone would not explain.
std::vector<std::string> passedOverRows() {
  std::vector<std::string> notes;
  const HookEntry* table = hookTable();
  for (int i = 0; i < kHookCount; ++i) {
    const HookEntry& row = table[i];
    if (checkInstall(row, objc::getClass(row.className)) != InstallCheck::otherTypes) continue;
    const std::optional<ElementId> element = kHookedMethods[static_cast<std::size_t>(i)].element;
    notes.push_back(std::string("on iOS ") + uikitsim::registeredVersion() + " -[" + row.className +
                    " " + row.selector +
                    "] takes other argument types than VYRSignals' replacement, which leaves it "
                    "alone: " +
                    (element ? namesOf(*element).name : "its setting") +
                    " keeps the host's own colour there");
  }
  return notes;
}

}  // namespace

Scene askSpringBoard(const DeviceState& state) {
  ns::AutoreleasePool pool;
  const std::vector<std::string> passedOverNotes = passedOverRows();
  Scene scene;
  scene.state = state;
  // The release this process's frameworks were made for: the device may have been switched to
  // another one since, which only the next start shows.
  scene.iosVersion = uikitsim::registeredVersion();
  scene.home = askBar(state.homeStyle, state);
  // The refresh control's content view is tinted grey by its control unless the app says otherwise.
  scene.refresh =
      askSetter<"tintColor">(HookId::refreshControlSetTintColor,
                             ui::Color::withRed(142 / 255.0, 142 / 255.0, 147 / 255.0, 1));

  constexpr HookId kLockStyle = HookId::lockScreenStatusBarStyle;
  const ns::Owned<ns::Object> lockScreen = makeInstance(kLockStyle);
  scene.lockStyleHostsOwn = true;
  if (lockScreen) {
    const auto calls = hostCallsDuring([&] {
      scene.lockStyle = objc::send<objc::NSInteger>(lockScreen->get(), hookedSelector(kLockStyle));
    });
    scene.lockStyleHostsOwn = findCall(calls, selectorName(kLockStyle)) != nullptr;
  }
  scene.lock = askBar(scene.lockStyle, state);
  // Text over the wallpaper is white for the lock screen's dark wallpaper.
  scene.legibility =
      askSetter<"primaryColor">(HookId::legibilitySetPrimaryColor, ui::Color::white());
  scene.notes = liveSwitchNotes();
  scene.notes.insert(scene.notes.end(), passedOverNotes.begin(), passedOverNotes.end());
  return scene;
}

}  // namespace vyr::show
