// Typed facades over UIKit's classes, for code that uses UIKit as a client would.
//
// Like the ns:: facades, each is a plain non-owning handle around an object pointer, and each
// function sends the real message of the same meaning (Color::withRed sends
// colorWithRed:green:blue:alpha:), so this code would run unchanged against the device's UIKit.
// Ownership follows the platform's rules and is stated on each function: "owned" results carry a
// reference the caller must release, "autoreleased" ones belong to the innermost autorelease pool
// of the calling thread. A message to nil does nothing and yields nil, 0 or NO.
#pragma once

#include <array>

#include "platform/foundation/facade.hpp"
#include "platform/objc/runtime.hpp"

namespace ui {

using objc::CGFloat;
using objc::id;

class Color : public ns::Object {
 public:
  using ns::Object::Object;

  // The components are taken as the callers compute them (a double or a float) and passed as the
  // device's CGFloat, as the device's compiler converts them at the call: on 32-bit ARM a double
  // is rounded to float there.
  // colorWithRed:green:blue:alpha:, components 0 to 1; autoreleased.
  static Color withRed(double red, double green, double blue, double alpha) {
    return Color(objc::send<"colorWithRed:green:blue:alpha:", id>(cls(), cg(red), cg(green),
                                                                  cg(blue), cg(alpha)));
  }
  // colorWithWhite:alpha:, a grey; autoreleased.
  static Color withWhite(double white, double alpha) {
    return Color(objc::send<"colorWithWhite:alpha:", id>(cls(), cg(white), cg(alpha)));
  }
  // colorWithHue:saturation:brightness:alpha:, each 0 to 1; autoreleased.
  static Color withHue(double hue, double saturation, double brightness, double alpha) {
    return Color(objc::send<"colorWithHue:saturation:brightness:alpha:", id>(
        cls(), cg(hue), cg(saturation), cg(brightness), cg(alpha)));
  }

  // The named colours; each autoreleased.
  static Color black() { return Color(objc::send<"blackColor", id>(cls())); }
  static Color darkGray() { return Color(objc::send<"darkGrayColor", id>(cls())); }
  static Color lightGray() { return Color(objc::send<"lightGrayColor", id>(cls())); }
  static Color white() { return Color(objc::send<"whiteColor", id>(cls())); }
  static Color gray() { return Color(objc::send<"grayColor", id>(cls())); }
  static Color red() { return Color(objc::send<"redColor", id>(cls())); }
  static Color green() { return Color(objc::send<"greenColor", id>(cls())); }
  static Color blue() { return Color(objc::send<"blueColor", id>(cls())); }
  static Color cyan() { return Color(objc::send<"cyanColor", id>(cls())); }
  static Color clear() { return Color(objc::send<"clearColor", id>(cls())); }

  // colorWithAlphaComponent:, this colour with its alpha replaced; autoreleased.
  Color withAlphaComponent(CGFloat alpha) const {
    return Color(objc::send<"colorWithAlphaComponent:", id>(self_, alpha));
  }
  // getRed:green:blue:alpha:, writing through the pointers that are not null; whether the
  // colour could be expressed in RGB (NO, and nothing written, for nil).
  bool getRed(CGFloat* red, CGFloat* green, CGFloat* blue, CGFloat* alpha) const {
    return objc::send<"getRed:green:blue:alpha:", objc::BOOL>(self_, red, green, blue, alpha) != 0;
  }
  // Red, green, blue and alpha through getRed:green:blue:alpha:; all 0 for nil.
  std::array<double, 4> components() const {
    CGFloat r = 0, g = 0, b = 0, a = 0;
    getRed(&r, &g, &b, &a);
    return {r, g, b, a};
  }
  bool isEqual(Color other) const {
    return objc::send<"isEqual:", objc::BOOL>(self_, other.get()) != 0;
  }
  // description, autoreleased.
  ns::String description() const { return ns::String(objc::send<"description", id>(self_)); }

  static Class cls() { return objc::getClass("UIColor"); }
  static CGFloat cg(double component) { return static_cast<CGFloat>(component); }
};

class View : public ns::Object {
 public:
  using ns::Object::Object;
  // A new view, owned.
  static ns::Owned<View> allocInit() {
    return ns::Owned(View(objc::send<"init">(objc::send<"alloc">(objc::getClass("UIView")))));
  }
  // Setters retain the new colour and release the old one.
  void setTintColor(Color c) const { objc::send<"setTintColor:", void>(self_, c.get()); }
  void setBackgroundColor(Color c) const {
    objc::send<"setBackgroundColor:", void>(self_, c.get());
  }
  // The stored colours (nil while unset); autoreleased.
  Color tintColor() const { return Color(objc::send<"tintColor", id>(self_)); }
  Color backgroundColor() const { return Color(objc::send<"backgroundColor", id>(self_)); }
};

class BarButtonItem : public ns::Object {
 public:
  using ns::Object::Object;
  // initWithTitle:style:target:action:, owned. The title is copied; the target is not retained.
  static ns::Owned<BarButtonItem> allocInitWithTitle(ns::String title, long style, id target,
                                                     SEL action) {
    id fresh = objc::send<"alloc">(objc::getClass("UIBarButtonItem"));
    return ns::Owned(BarButtonItem(objc::send<"initWithTitle:style:target:action:", id>(
        fresh, title.get(), style, target, action)));
  }
  ns::String title() const { return ns::String(objc::send<"title", id>(self_)); }
  // 0 is UIBarButtonItemStylePlain.
  long style() const { return objc::send<"style", long>(self_); }
  id target() const { return objc::send<"target", id>(self_); }
  SEL action() const { return objc::send<"action", SEL>(self_); }
};

class NavigationItem : public ns::Object {
 public:
  using ns::Object::Object;
  // Retains ITEM and releases the previous one.
  void setRightBarButtonItem(BarButtonItem item) const {
    objc::send<"setRightBarButtonItem:", void>(self_, item.get());
  }
  // Autoreleased; nil while none was set.
  BarButtonItem rightBarButtonItem() const {
    return BarButtonItem(objc::send<"rightBarButtonItem", id>(self_));
  }
  ns::String title() const { return ns::String(objc::send<"title", id>(self_)); }
};

class ViewController : public ns::Object {
 public:
  using ns::Object::Object;
  // The controller's view, loaded (loadView, then viewDidLoad) on first use; owned by the
  // controller, not by the caller.
  View view() const { return View(objc::send<"view", id>(self_)); }
  bool isViewLoaded() const { return objc::send<"isViewLoaded", objc::BOOL>(self_) != 0; }
  // The controller's navigation item, made on first use; owned by the controller.
  NavigationItem navigationItem() const {
    return NavigationItem(objc::send<"navigationItem", id>(self_));
  }
  void viewWillAppear(bool animated) const {
    objc::send<"viewWillAppear:", void>(self_, animated ? objc::yes : objc::no);
  }
  // Autoreleased; nil while none was set.
  ns::String title() const { return ns::String(objc::send<"title", id>(self_)); }
  // Copies TITLE.
  void setTitle(ns::String title) const { objc::send<"setTitle:", void>(self_, title.get()); }
};

class Application : public ns::Object {
 public:
  using ns::Object::Object;
  // The process's application object; lives as long as the process.
  static Application shared() {
    return Application(objc::send<"sharedApplication", id>(objc::getClass("UIApplication")));
  }
  // Whether some application handles URL, and opens it if so.
  bool openURL(ns::URL url) const {
    return objc::send<"openURL:", objc::BOOL>(self_, url.get()) != 0;
  }
  bool canOpenURL(ns::URL url) const {
    return objc::send<"canOpenURL:", objc::BOOL>(self_, url.get()) != 0;
  }
  // Sends ACTION to TARGET with SENDER as argument, as a tap on a control does; NO when TARGET is
  // nil or does not answer ACTION.
  bool sendAction(SEL action, id target, id sender) const {
    return objc::send<"sendAction:to:from:forEvent:", objc::BOOL>(self_, action, target, sender,
                                                                  id{nullptr}) != 0;
  }
};

}  // namespace ui
