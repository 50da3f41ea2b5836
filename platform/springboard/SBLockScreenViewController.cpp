// SBLockScreenViewController: the lock screen's controller, which answers the status-bar style
// the lock screen wants. Registered by this library's one load-time initialiser; UIKit, which
// this library links, has registered UIViewController by then (the loader initialises a
// library's dependencies first).
#include "platform/foundation/object.hpp"
#include "platform/uikit/host_calls.hpp"

using objc::id;
using objc::SEL;

namespace {

// The lock screen's own choice: light content (1, UIStatusBarStyleLightContent) over the
// wallpaper.
long lockScreenStatusBarStyle(id self, SEL) {
  constexpr long kLightContent = 1;
  uikitsim::recordIfOn([&] {
    return uikitsim::HostCall{"SBLockScreenViewController",
                              objc::className(self),
                              "statusBarStyle",
                              {},
                              uikitsim::HostValue::ofInteger(kLightContent)};
  });
  return kLightContent;
}

__attribute__((constructor)) void registerSpringBoard() {
  objc::ClassBuilder b("SBLockScreenViewController", objc::getClass("UIViewController"));
  b.method("statusBarStyle", &lockScreenStatusBarStyle);
  b.finish();
}

}  // namespace
