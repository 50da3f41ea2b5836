// The device's own interfaces, release by release: which of the classes around the status-bar
// hooks exist, what they derive from, and which methods they declare themselves, with the types
// the device's compiler gave them. Written from public dumps of the device's frameworks; the
// stand-in frameworks register exactly this for the release their device is, and nothing here is
// taken from the status-bar library, so that the two can disagree.
//
// One table for every release: each row names the interface steps (sim::Interfaces) in which it
// holds. Where the dumps are silent, a row says that it is chosen.
#pragma once

#include <array>
#include <cstddef>

#include "device/device.hpp"
#include "platform/objc/runtime.hpp"

namespace ios {

using sim::Interfaces;

// The steps from FIRST to LAST, both included.
struct Steps {
  Interfaces first;
  Interfaces last;
  constexpr bool has(Interfaces i) const { return first <= i && i <= last; }
};
inline constexpr Steps kAlways{Interfaces::beforeIos7, Interfaces::ios10};
inline constexpr Steps kFromIos7{Interfaces::ios7, Interfaces::ios10};

struct ClassFact {
  const char* name;
  const char* superclass;  // a class of this table, or of the stand-ins' own (UIView, NSObject)
  Steps steps;
};

struct MethodFact {
  const char* className;  // declared by this class itself, not inherited
  const char* selector;
  objc::Types types;
  Steps steps;
};

using objc::BOOL;
using objc::CGFloat;
using objc::id;
using objc::NSInteger;
using objc::NSUInteger;

// The hierarchies, down to the levels the hooking library's choice of path depends on (whether
// a class declares a method itself or inherits it). Before iOS 7 the dumps show no style-attribute
// class; for the other classes they stop at iOS 7, so 5.x and 6.x are chosen to have iOS 7's.
inline constexpr std::array kClasses{
    ClassFact{"UIStatusBarStyleAttributes", "NSObject", kFromIos7},
    ClassFact{"UIStatusBarNewUIStyleAttributes", "UIStatusBarStyleAttributes", kFromIos7},
    ClassFact{"UIStatusBarForegroundStyleAttributes", "NSObject", kFromIos7},
    ClassFact{"UIStatusBarNewUIForegroundStyleAttributes",
              "UIStatusBarForegroundStyleAttributes",
              {Interfaces::ios7, Interfaces::ios7}},
    ClassFact{"_UIScrollsToTopInitiatorView", "UIView", kAlways},
    ClassFact{"UIStatusBar", "_UIScrollsToTopInitiatorView", kAlways},
    ClassFact{"UIActivityIndicatorView", "UIView", kAlways},
    ClassFact{"_UIRefreshControlContentView", "UIView", kAlways},
    ClassFact{"_UIRefreshControlModernContentView", "_UIRefreshControlContentView", kAlways},
    ClassFact{"_UILegibilitySettings", "NSObject", kAlways},
    ClassFact{"SBAlert", "UIViewController", kAlways},
    ClassFact{"SBLockScreenViewControllerBase", "SBAlert", kAlways},
    ClassFact{"SBLockScreenViewController", "SBLockScreenViewControllerBase", kAlways},
};

inline constexpr std::array kMethods{
    MethodFact{"UIStatusBarNewUIStyleAttributes",
               "initWithRequest:backgroundColor:foregroundColor:", objc::typesOf<id, id, id, id>(),
               kFromIos7},
    MethodFact{"UIStatusBar", "setForegroundColor:", objc::typesOf<void, id>(), kAlways},
    MethodFact{"UIStatusBarNewUIForegroundStyleAttributes",
               "textColorForStyle:",
               objc::typesOf<id, NSInteger>(),
               {Interfaces::ios7, Interfaces::ios7}},
    MethodFact{"UIStatusBarNewUIForegroundStyleAttributes",
               "_batteryColorForCapacity:lowCapacity:charging:",
               objc::typesOf<id, CGFloat, CGFloat, BOOL>(),
               {Interfaces::ios7, Interfaces::ios7}},
    MethodFact{"UIStatusBarForegroundStyleAttributes",
               "textColorForStyle:", objc::typesOf<id, NSInteger>(), kFromIos7},
    // Only on the NewUI subclass until 8.2, on the base class in 8.3 and 8.4, gone from 9.0.
    MethodFact{"UIStatusBarForegroundStyleAttributes",
               "_batteryColorForCapacity:lowCapacity:charging:",
               objc::typesOf<id, CGFloat, CGFloat, BOOL>(),
               {Interfaces::ios8_3, Interfaces::ios8_3}},
    // Its style is unsigned wherever it exists; iOS 10 takes the capacities as integers.
    MethodFact{"UIStatusBarForegroundStyleAttributes",
               "_batteryColorForCapacity:lowCapacity:style:",
               objc::typesOf<id, CGFloat, CGFloat, NSUInteger>(),
               {Interfaces::ios9, Interfaces::ios9}},
    MethodFact{"UIStatusBarForegroundStyleAttributes",
               "_batteryColorForCapacity:lowCapacity:style:",
               objc::typesOf<id, int, int, NSUInteger>(),
               {Interfaces::ios10, Interfaces::ios10}},
    MethodFact{"UIView", "setTintColor:", objc::typesOf<void, id>(), kAlways},
    MethodFact{"UIActivityIndicatorView", "setColor:", objc::typesOf<void, id>(), kAlways},
    // Both refresh-control views declare their own tint setter.
    MethodFact{"_UIRefreshControlContentView", "setTintColor:", objc::typesOf<void, id>(), kAlways},
    MethodFact{"_UIRefreshControlModernContentView", "setTintColor:", objc::typesOf<void, id>(),
               kAlways},
    MethodFact{"_UILegibilitySettings", "setPrimaryColor:", objc::typesOf<void, id>(), kAlways},
    // A UIStatusBarStyle, an NSInteger. SBAlert declares it too.
    MethodFact{"SBAlert", "statusBarStyle", objc::typesOf<NSInteger>(), kAlways},
    MethodFact{"SBLockScreenViewController", "statusBarStyle", objc::typesOf<NSInteger>(), kAlways},
};

constexpr bool sameName(const char* a, const char* b) {
  for (; *a != '\0' && *a == *b; ++a, ++b) {
  }
  return *a == *b;
}

// The class NAME in step STEP, or nullptr when that step has no such class in this table.
constexpr const ClassFact* classIn(Interfaces step, const char* name) {
  for (const ClassFact& c : kClasses) {
    if (c.steps.has(step) && sameName(c.name, name)) return &c;
  }
  return nullptr;
}

// The method SELECTOR that CLASSNAME itself declares in step STEP, or nullptr.
constexpr const MethodFact* ownMethodIn(Interfaces step, const char* className,
                                        const char* selector) {
  for (const MethodFact& m : kMethods) {
    if (m.steps.has(step) && sameName(m.className, className) && sameName(m.selector, selector)) {
      return &m;
    }
  }
  return nullptr;
}

// The method that answers SELECTOR for instances of CLASSNAME in step STEP, its own or inherited
// along this table's hierarchy, or nullptr.
constexpr const MethodFact* methodIn(Interfaces step, const char* className, const char* selector) {
  for (const char* c = className; c != nullptr;) {
    if (const MethodFact* m = ownMethodIn(step, c, selector)) return m;
    // The walk ends at the stand-ins' own classes (UIView, NSObject), which have no row.
    const ClassFact* fact = classIn(step, c);
    if (fact == nullptr) return nullptr;
    c = fact->superclass;
  }
  return nullptr;
}

// The interface step of the device this process belongs to, read once when first asked (the
// stand-ins ask while they load, and classes cannot change afterwards).
inline Interfaces thisDevice() {
  static const Interfaces step = sim::iosRelease().interfaces;
  return step;
}

}  // namespace ios
