// UIResponder, UIView and the view classes whose colours the status-bar library replaces.
//
// Views here keep only their colours: there is no layout or drawing. Every colour setter retains
// the new colour and releases the old one; getters hand the stored colour out retained and
// autoreleased, nil while none was set (the device would fall back to a superview's tint, and
// this stand-in has no view tree).
#include "platform/foundation/object.hpp"
#include "platform/uikit/classes.hpp"
#include "platform/uikit/fields.hpp"
#include "platform/uikit/host_calls.hpp"

using objc::id;
using objc::SEL;
using uikitsim::HostCall;
using uikitsim::HostValue;

namespace uikit {
namespace {

Class gView = nullptr;
Class gStatusBar = nullptr;
Class gActivityIndicator = nullptr;

ObjectField gTint("_tintColor");
ObjectField gBackground("_backgroundColor");
ObjectField gStatusBarForeground("_foregroundColor");
ObjectField gIndicatorColor("_color");

// A host setter's record: the one colour that reached the implementation of IMPLEMENTOR.
void recordSetter(const char* implementor, id self, const char* selector, id colour) {
  uikitsim::recordIfOn([&] {
    return HostCall{
        implementor, objc::className(self), selector, {HostValue::ofObject(colour)}, std::nullopt};
  });
}

// UIView. setTintColor: is the host implementation that _UIRefreshControlModernContentView
// inherits: the refresh control has none of its own, as on the device.
void viewSetTint(id self, SEL, id colour) {
  recordSetter("UIView", self, "setTintColor:", colour);
  gTint.set(self, colour);
}
id viewTint(id self, SEL) {
  return gTint.getAutoreleased(self);
}
void viewSetBackground(id self, SEL, id colour) {
  gBackground.set(self, colour);
}
id viewBackground(id self, SEL) {
  return gBackground.getAutoreleased(self);
}
void viewDealloc(id self, SEL) {
  gTint.clear(self);
  gBackground.clear(self);
  foundation::deallocSuper(self, gView);
}

// UIStatusBar: the colour its items are drawn in.
void statusBarSetForeground(id self, SEL, id colour) {
  recordSetter("UIStatusBar", self, "setForegroundColor:", colour);
  gStatusBarForeground.set(self, colour);
}
id statusBarForeground(id self, SEL) {
  return gStatusBarForeground.getAutoreleased(self);
}
void statusBarDealloc(id self, SEL) {
  gStatusBarForeground.clear(self);
  foundation::deallocSuper(self, gStatusBar);
}

// UIActivityIndicatorView: the colour of the spinner.
void indicatorSetColor(id self, SEL, id colour) {
  recordSetter("UIActivityIndicatorView", self, "setColor:", colour);
  gIndicatorColor.set(self, colour);
}
id indicatorColor(id self, SEL) {
  return gIndicatorColor.getAutoreleased(self);
}
void indicatorDealloc(id self, SEL) {
  gIndicatorColor.clear(self);
  foundation::deallocSuper(self, gActivityIndicator);
}

}  // namespace

void registerViews() {
  const Class responder = objc::ClassBuilder("UIResponder", foundation::rootClass()).finish();

  objc::ClassBuilder view("UIView", responder);
  gTint.declare(view);
  gBackground.declare(view);
  view.method("setTintColor:", &viewSetTint)
      .method("tintColor", &viewTint)
      .method("setBackgroundColor:", &viewSetBackground)
      .method("backgroundColor", &viewBackground)
      .method("dealloc", &viewDealloc);
  gView = view.finish();
  gTint.bind(gView);
  gBackground.bind(gView);

  objc::ClassBuilder bar("UIStatusBar", gView);
  gStatusBarForeground.declare(bar);
  bar.method("setForegroundColor:", &statusBarSetForeground)
      .method("foregroundColor", &statusBarForeground)
      .method("dealloc", &statusBarDealloc);
  gStatusBar = bar.finish();
  gStatusBarForeground.bind(gStatusBar);

  objc::ClassBuilder indicator("UIActivityIndicatorView", gView);
  gIndicatorColor.declare(indicator);
  indicator.method("setColor:", &indicatorSetColor)
      .method("color", &indicatorColor)
      .method("dealloc", &indicatorDealloc);
  gActivityIndicator = indicator.finish();
  gIndicatorColor.bind(gActivityIndicator);

  objc::ClassBuilder("_UIRefreshControlModernContentView", gView).finish();
}

}  // namespace uikit
