// A UI process in a test: a temporary device, the library's start-up run by hand (each test case
// is a process of its own, so the library's state starts fresh), and helpers to send the hooked
// messages and write the preferences file.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "platform/corefoundation/CoreFoundation.h"
#include "platform/corefoundation/simulator.hpp"
#include "platform/foundation/facade.hpp"
#include "platform/uikit/facade.hpp"
#include "platform/uikit/host_calls.hpp"
#include "tests/support/temp_device.hpp"
#include "tweak/hooks.hpp"
#include "tweak/resolve.hpp"
#include "tweak/settings.hpp"

namespace vyrtest {

using Rgba = std::array<double, 4>;

inline Rgba rgba(objc::id colour) {
  return ui::Color(colour).components();
}
// A palette colour's components: each n/255 computed in the device's CGFloat (a float on 32-bit
// ARM), as the palette makes them.
inline Rgba bytes(int r, int g, int b, double a = 1.0) {
  const auto part = [](int n) {
    return static_cast<double>(static_cast<objc::CGFloat>(n) / objc::CGFloat{255});
  };
  return {part(r), part(g), part(b), a};
}

// V in the device's CGFloat (a float on 32-bit ARM), as the host passes a capacity.
inline objc::CGFloat cg(double v) {
  return static_cast<objc::CGFloat>(v);
}

class TweakProcess : public ::testing::Test {
 protected:
  void SetUp() override { pool_ = objc_autoreleasePoolPush(); }
  void TearDown() override { objc_autoreleasePoolPop(pool_); }

  // Loads the library as the loader would: settings first, then the hooks.
  void start() {
    initSettings();
    installHooks();
  }
  void writePrefs(std::initializer_list<std::pair<std::string, std::string>> entries) {
    device_.write(kPreferencesPath, xmlPlist(entries));
  }
  void removePrefs() { device_.remove(kPreferencesPath); }
  // Posts the settings-changed notification as the pane would and lets the run loop deliver it.
  void notifySettingsChanged() {
    CFNotificationCenterPostNotification(
        CFNotificationCenterGetDarwinNotifyCenter(),
        reinterpret_cast<CFStringRef>(ns::String::literal<kSettingsChanged>().get()), nullptr,
        nullptr, 1);
    cfsim::deliverPendingNotifications();
  }

  static objc::id make(const char* cls) {
    objc::id obj = objc::send<"new">(objc::getClass(cls));
    ns::Object(obj).autorelease();
    return obj;
  }

  TempDevice device_;
  void* pool_ = nullptr;
};

}  // namespace vyrtest
