// The host classes of the status-bar hooks: hierarchy, colour storage, their own answers, and
// the record of the calls that reached them.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/foundation/facade.hpp"
#include "platform/foundation/object.hpp"
#include "platform/ios/interfaces.hpp"
#include "platform/uikit/facade.hpp"
#include "platform/uikit/host_calls.hpp"

namespace {

using objc::id;
using Rgba = std::array<double, 4>;
using uikitsim::HostValue;

id make(const char* className) {
  return objc::send<"new">(objc::getClass(className));
}

bool hasOwnMethod(const char* className, const char* selector) {
  unsigned count = 0;
  Method* methods = class_copyMethodList(objc::getClass(className), &count);
  bool found = false;
  for (unsigned i = 0; i < count; ++i) {
    found = found || sel_isEqual(method_getName(methods[i]), sel_registerName(selector)) != 0;
  }
  std::free(methods);
  return found;
}

// The host's own colours: each byte over 255 in the device's CGFloat (a float on 32-bit ARM).
Rgba hex(int r, int g, int b) {
  const auto part = [](int n) {
    return static_cast<double>(static_cast<objc::CGFloat>(n) / objc::CGFloat{255});
  };
  return {part(r), part(g), part(b), 1};
}

TEST(HostClasses, FollowTheDeviceHierarchy) {
  // A process without a device plays iOS 8.1.
  ASSERT_EQ(uikitsim::registeredInterfaces(), sim::Interfaces::ios7);
  const char* const pairs[][2] = {
      {"UIView", "UIResponder"},
      {"UIStatusBar", "_UIScrollsToTopInitiatorView"},
      {"_UIScrollsToTopInitiatorView", "UIView"},
      {"UIActivityIndicatorView", "UIView"},
      {"_UIRefreshControlModernContentView", "_UIRefreshControlContentView"},
      {"_UIRefreshControlContentView", "UIView"},
      {"UIStatusBarNewUIStyleAttributes", "UIStatusBarStyleAttributes"},
      {"UIStatusBarNewUIForegroundStyleAttributes", "UIStatusBarForegroundStyleAttributes"},
      {"UIViewController", "UIResponder"},
      {"UIApplication", "UIResponder"},
      {"UIBarButtonItem", "UIBarItem"},
  };
  for (const auto& [cls, super] : pairs) {
    EXPECT_STREQ(class_getName(class_getSuperclass(objc::getClass(cls))), super) << cls;
  }
  // Every method of the device's table for this release is declared by its own class, with the
  // table's types, and no class declares a method of the table that this release does not give
  // it: where a selector lives decides what the hooking library does with it.
  for (const ios::MethodFact& m : ios::kMethods) {
    if (objc::getClass(m.className) == nullptr) continue;  // SpringBoard's, not UIKit's
    const bool here = m.steps.has(uikitsim::registeredInterfaces());
    const bool declared = hasOwnMethod(m.className, m.selector);
    if (ios::ownMethodIn(uikitsim::registeredInterfaces(), m.className, m.selector) != nullptr) {
      EXPECT_TRUE(declared) << m.className << " " << m.selector;
    } else {
      EXPECT_FALSE(declared) << m.className << " " << m.selector;
    }
    if (here && declared) {
      EXPECT_TRUE(objc::sameTypes(
          objc::methodTypes(objc::getClass(m.className), sel_registerName(m.selector)),
          m.types.text))
          << m.className << " " << m.selector;
    }
  }
  EXPECT_EQ(objc::getClass("SBLockScreenViewController"), nullptr);  // SpringBoard's, not UIKit's
}

TEST(HostClasses, ColourSettersRetainTheNewColourAndReleaseTheOld) {
  const char* const properties[][3] = {
      {"UIView", "setTintColor:", "tintColor"},
      {"UIView", "setBackgroundColor:", "backgroundColor"},
      {"_UIRefreshControlModernContentView", "setTintColor:", "tintColor"},
      {"UIStatusBar", "setForegroundColor:", "foregroundColor"},
      {"UIActivityIndicatorView", "setColor:", "color"},
      {"_UILegibilitySettings", "setPrimaryColor:", "primaryColor"},
      {"_UILegibilitySettings", "setSecondaryColor:", "secondaryColor"},
  };
  for (const auto& [cls, setterName, getterName] : properties) {
    SCOPED_TRACE(std::string(cls) + " " + setterName);
    const SEL setter = sel_registerName(setterName);
    const SEL getter = sel_registerName(getterName);
    id first = make("UIColor");
    id second = make("UIColor");
    id host = make(cls);
    objc::send<void>(host, setter, first);
    objc::send<void>(host, setter, first);  // the same colour again must survive
    EXPECT_EQ(foundation::retainCount(first), 2);
    objc::send<void>(host, setter, second);
    EXPECT_EQ(foundation::retainCount(first), 1);
    EXPECT_EQ(foundation::retainCount(second), 2);
    {
      ns::AutoreleasePool pool;
      EXPECT_EQ(objc::send<id>(host, getter), second);
      EXPECT_EQ(foundation::retainCount(second), 3);  // autoreleased by the getter
    }
    foundation::release(host);  // dealloc gives up the stored colour
    EXPECT_EQ(foundation::retainCount(second), 1);
    foundation::release(first);
    foundation::release(second);
  }
}

TEST(HostClasses, NewUIStyleAttributesKeepRequestAndColours) {
  id request = make("NSObject");
  {
    ns::AutoreleasePool pool;
    id attrs = objc::send<"alloc">(objc::getClass("UIStatusBarNewUIStyleAttributes"));
    EXPECT_EQ(objc::send<"initWithRequest:backgroundColor:foregroundColor:">(
                  attrs, request, ui::Color::white().get(), id{nullptr}),
              attrs);
    EXPECT_EQ(objc::send<"request">(attrs), request);  // kept by the superclass's initialiser
    EXPECT_EQ(ui::Color(objc::send<"backgroundColor">(attrs)).components(), (Rgba{1, 1, 1, 1}));
    EXPECT_EQ(objc::send<"foregroundColor">(attrs), nullptr);
    foundation::release(attrs);
  }
  EXPECT_EQ(foundation::retainCount(request), 1);
  foundation::release(request);
}

TEST(HostClasses, ForegroundStylesAnswerTheirOwnColours) {
  ns::AutoreleasePool pool;
  id classic = make("UIStatusBarForegroundStyleAttributes");
  id flat = make("UIStatusBarNewUIForegroundStyleAttributes");
  const auto text = [](id attrs, objc::NSInteger style) {
    return ui::Color(objc::send<"textColorForStyle:">(attrs, style)).components();
  };
  const auto charging = [](id attrs, double capacity, double low, bool on) {
    return ui::Color(objc::send<"_batteryColorForCapacity:lowCapacity:charging:">(
                         attrs, static_cast<objc::CGFloat>(capacity),
                         static_cast<objc::CGFloat>(low), on ? objc::yes : objc::no))
        .components();
  };
  const Rgba black{0, 0, 0, 1}, white{1, 1, 1, 1};
  EXPECT_EQ(text(classic, 0), black);
  EXPECT_EQ(text(classic, 3), white);

  // Grey levels held in the device's CGFloat (a float on 32-bit ARM).
  const auto grey = [](double level) {
    const auto v = static_cast<double>(static_cast<objc::CGFloat>(level));
    return Rgba{v, v, v, 1};
  };
  const Rgba nearBlack = grey(0.1);
  EXPECT_EQ(text(flat, 0), nearBlack);
  EXPECT_EQ(text(flat, 1), grey(0.95));
  EXPECT_EQ(charging(flat, 0.1, 0.2, true), hex(0x34, 0xc7, 0x59));   // charging wins
  EXPECT_EQ(charging(flat, 0.2, 0.2, false), hex(0xff, 0x45, 0x3a));  // at the low level
  EXPECT_EQ(charging(flat, 0.8, 0.2, false), nearBlack);
  // Otherwise in the text colour of the style the attributes were made for.
  id light = objc::send<"initWithStyle:">(
      objc::send<"alloc">(objc::getClass("UIStatusBarNewUIForegroundStyleAttributes")),
      objc::NSInteger{1});
  EXPECT_EQ(charging(light, 0.8, 0.2, false), grey(0.95));
  foundation::release(classic);
  foundation::release(flat);
  foundation::release(light);
}

TEST(HostClasses, RecordWhichImplementationRanWithItsArguments) {
  ns::AutoreleasePool pool;
  id flat = make("UIStatusBarNewUIForegroundStyleAttributes");
  id refresh = make("_UIRefreshControlModernContentView");
  id bar = make("UIStatusBar");
  id legibility = make("_UILegibilitySettings");
  id classic = make("UIStatusBarForegroundStyleAttributes");

  objc::send<"textColorForStyle:">(flat, objc::NSInteger{1});  // not recording: not kept
  uikitsim::beginRecording();
  id answer = objc::send<"_batteryColorForCapacity:lowCapacity:charging:">(
      flat, objc::CGFloat{0.5}, objc::CGFloat{0.25}, objc::yes);
  objc::send<"textColorForStyle:">(classic, objc::NSInteger{1});
  objc::send<"setTintColor:", void>(refresh, ui::Color::cyan().get());
  objc::send<"setForegroundColor:", void>(bar, id{nullptr});
  objc::send<"setSecondaryColor:", void>(legibility, id{nullptr});  // hosts no hook: not kept
  const auto calls = uikitsim::takeCalls();
  EXPECT_TRUE(uikitsim::takeCalls().empty());

  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].implementor, "UIStatusBarNewUIForegroundStyleAttributes");
  EXPECT_EQ(calls[0].selector, "_batteryColorForCapacity:lowCapacity:charging:");
  ASSERT_EQ(calls[0].arguments.size(), 3u);
  EXPECT_EQ(calls[0].arguments[0].real, 0.5);
  EXPECT_EQ(calls[0].arguments[1].real, 0.25);
  EXPECT_EQ(calls[0].arguments[2].kind, HostValue::Kind::Boolean);
  EXPECT_TRUE(calls[0].arguments[2].boolean);
  EXPECT_EQ(calls[0].result->object, answer);
  EXPECT_EQ(calls[0].result->colour, hex(0x34, 0xc7, 0x59));

  EXPECT_EQ(calls[1].implementor, "UIStatusBarForegroundStyleAttributes");
  EXPECT_EQ(calls[1].receiverClass, "UIStatusBarForegroundStyleAttributes");
  EXPECT_EQ(calls[1].arguments[0].kind, HostValue::Kind::Integer);
  EXPECT_EQ(calls[1].arguments[0].integer, 1);

  // The refresh view's own tint setter, not UIView's.
  EXPECT_EQ(calls[2].implementor, "_UIRefreshControlModernContentView");
  EXPECT_EQ(calls[2].receiverClass, "_UIRefreshControlModernContentView");
  EXPECT_EQ(calls[2].arguments[0].objectClass, "UIColor");
  EXPECT_EQ(calls[2].arguments[0].colour, (Rgba{0, 1, 1, 1}));

  EXPECT_EQ(calls[3].selector, "setForegroundColor:");
  EXPECT_EQ(calls[3].arguments[0].objectClass, "nil");
  EXPECT_FALSE(calls[3].arguments[0].colour.has_value());

  // Recording belongs to the thread that asked for it, until it ends.
  std::thread([flat] {
    ns::AutoreleasePool threadPool;
    objc::send<"textColorForStyle:">(flat, objc::NSInteger{0});
  }).join();
  EXPECT_TRUE(uikitsim::takeCalls().empty());
  uikitsim::endRecording();
  objc::send<"textColorForStyle:">(flat, objc::NSInteger{0});
  uikitsim::beginRecording();
  EXPECT_TRUE(uikitsim::takeCalls().empty());
  uikitsim::endRecording();

  for (id obj : {flat, refresh, bar, legibility, classic}) foundation::release(obj);
}

}  // namespace
