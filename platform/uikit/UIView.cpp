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

// UIStatusBar: the colour its items are drawn in.
void statusBarSetForeground(id self, SEL, id colour) {
  recordSetter("UIStatusBar", self, "setForegroundColor:", colour);
  gStatusBarForeground.set(self, colour);
}

// UIActivityIndicatorView: the colour of the spinner.
void indicatorSetColor(id self, SEL, id colour) {
  recordSetter("UIActivityIndicatorView", self, "setColor:", colour);
  gIndicatorColor.set(self, colour);
}

}  // namespace

void registerViews() {
  const Class responder = objc::ClassBuilder("UIResponder", foundation::rootClass()).finish();

  objc::ClassBuilder view("UIView", responder);
  hostMethod(view, "UIView", "setTintColor:", &viewSetTint);
  view.method("tintColor", &getObject<gTint>)
      .method("setBackgroundColor:", &setObject<gBackground>)
      .method("backgroundColor", &getObject<gBackground>)
      .method("dealloc", &releaseAndDealloc<gView, gTint, gBackground>);
  gView = foundation::finishWithFields(view, gTint, gBackground);

  if (auto scrollsToTop = hostClass("_UIScrollsToTopInitiatorView")) scrollsToTop->finish();

  constexpr char kBar[] = "UIStatusBar";
  if (auto bar = hostClass(kBar)) {
    hostMethod(*bar, kBar, "setForegroundColor:", &statusBarSetForeground);
    bar->method("foregroundColor", &getObject<gStatusBarForeground>)
        .method("dealloc", &releaseAndDealloc<gStatusBar, gStatusBarForeground>);
    gStatusBar = foundation::finishWithFields(*bar, gStatusBarForeground);
  }

  constexpr char kIndicator[] = "UIActivityIndicatorView";
  if (auto indicator = hostClass(kIndicator)) {
    hostMethod(*indicator, kIndicator, "setColor:", &indicatorSetColor);
    indicator->method("color", &getObject<gIndicatorColor>)
        .method("dealloc", &releaseAndDealloc<gActivityIndicator, gIndicatorColor>);
    gActivityIndicator = foundation::finishWithFields(*indicator, gIndicatorColor);
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
