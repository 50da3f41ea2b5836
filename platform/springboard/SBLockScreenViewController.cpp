// SBLockScreenViewController: the lock screen's controller, which answers the status-bar style
// the lock screen wants. Registered by this library's one load-time initialiser; UIKit, which
// this library links, has registered UIViewController by then (the loader initialises a
// library's dependencies first).
#include "platform/foundation/object.hpp"
#include "platform/uikit/host_calls.hpp"
#include "platform/uikit/host_classes.hpp"

using objc::id;
using objc::SEL;

namespace {

using objc::NSInteger;

constexpr NSInteger kDefault = 0;       // UIStatusBarStyleDefault
constexpr NSInteger kLightContent = 1;  // UIStatusBarStyleLightContent

void recordStyle(const char* implementor, id self, NSInteger style) {
  uikitsim::recordIfOn([&] {
    return uikitsim::HostCall{implementor,
                              objc::className(self),
                              "statusBarStyle",
                              {},
                              uikitsim::HostValue::ofInteger(style)};
  });
}

// What an alert asks for. Chosen: the device's own answer is not public.
NSInteger alertStatusBarStyle(id self, SEL) {
  recordStyle("SBAlert", self, kDefault);
  return kDefault;
}

// The lock screen's own choice, also chosen: light content over the wallpaper.
NSInteger lockScreenStatusBarStyle(id self, SEL) {
  recordStyle("SBLockScreenViewController", self, kLightContent);
  return kLightContent;
}

__attribute__((constructor)) void registerSpringBoard() {
  constexpr char kAlert[] = "SBAlert";
  if (auto alert = uikit::hostClass(kAlert)) {
    uikit::hostMethod(*alert, kAlert, "statusBarStyle", &alertStatusBarStyle);
    alert->finish();
  }
  if (auto base = uikit::hostClass("SBLockScreenViewControllerBase")) base->finish();
  constexpr char kLockScreen[] = "SBLockScreenViewController";
  if (auto lock = uikit::hostClass(kLockScreen)) {
    uikit::hostMethod(*lock, kLockScreen, "statusBarStyle", &lockScreenStatusBarStyle);
    lock->finish();
  }
}

}  // namespace
