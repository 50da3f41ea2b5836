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
#include "platform/uikit/host_classes.hpp"

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

// UIView.
void viewSetTint(id self, SEL, id colour) {
  recordSetter("UIView", self, "setTintColor:", colour);
  gTint.set(self, colour);
}

// The refresh control's content views each declare their own tint setter, as on the device. Each
// keeps the tint where UIView keeps it, without handing the call to its superclass, so that one
// call reaches exactly one host implementation.
void refreshContentSetTint(id self, SEL, id colour) {
  recordSetter("_UIRefreshControlContentView", self, "setTintColor:", colour);
  gTint.set(self, colour);
}
void modernRefreshContentSetTint(id self, SEL, id colour) {
  recordSetter("_UIRefreshControlModernContentView", self, "setTintColor:", colour);
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
  hostMethod(view, "UIView", "setTintColor:", &viewSetTint);
  view.method("tintColor", &viewTint)
      .method("setBackgroundColor:", &viewSetBackground)
      .method("backgroundColor", &viewBackground)
      .method("dealloc", &viewDealloc);
  gView = view.finish();
  gTint.bind(gView);
  gBackground.bind(gView);

  if (auto scrollsToTop = hostClass("_UIScrollsToTopInitiatorView")) scrollsToTop->finish();

  constexpr char kBar[] = "UIStatusBar";
  if (auto bar = hostClass(kBar)) {
    gStatusBarForeground.declare(*bar);
    hostMethod(*bar, kBar, "setForegroundColor:", &statusBarSetForeground);
    bar->method("foregroundColor", &statusBarForeground).method("dealloc", &statusBarDealloc);
    gStatusBar = bar->finish();
    gStatusBarForeground.bind(gStatusBar);
  }

  constexpr char kIndicator[] = "UIActivityIndicatorView";
  if (auto indicator = hostClass(kIndicator)) {
    gIndicatorColor.declare(*indicator);
    hostMethod(*indicator, kIndicator, "setColor:", &indicatorSetColor);
    indicator->method("color", &indicatorColor).method("dealloc", &indicatorDealloc);
    gActivityIndicator = indicator->finish();
    gIndicatorColor.bind(gActivityIndicator);
  }

  constexpr char kRefresh[] = "_UIRefreshControlContentView";
  if (auto refresh = hostClass(kRefresh)) {
    hostMethod(*refresh, kRefresh, "setTintColor:", &refreshContentSetTint);
    refresh->finish();
  }
  constexpr char kModernRefresh[] = "_UIRefreshControlModernContentView";
  if (auto modern = hostClass(kModernRefresh)) {
    hostMethod(*modern, kModernRefresh, "setTintColor:", &modernRefreshContentSetTint);
    modern->finish();
  }
}

}  // namespace uikit
