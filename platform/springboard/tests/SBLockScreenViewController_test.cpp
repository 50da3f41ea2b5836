#include <gtest/gtest.h>

#include "platform/foundation/object.hpp"
#include "platform/uikit/host_calls.hpp"

namespace {

TEST(SBLockScreenViewController, IsAViewControllerThatAsksForLightContent) {
  const Class cls = objc::getClass("SBLockScreenViewController");
  ASSERT_NE(cls, nullptr);
  // Under the alert classes, as on the device; SBAlert answers the style too.
  EXPECT_STREQ(class_getName(class_getSuperclass(cls)), "SBLockScreenViewControllerBase");
  EXPECT_STREQ(class_getName(class_getSuperclass(class_getSuperclass(cls))), "SBAlert");
  EXPECT_EQ(class_getSuperclass(objc::getClass("SBAlert")), objc::getClass("UIViewController"));
  objc::id controller = objc::send<"new">(cls);

  uikitsim::beginRecording();
  EXPECT_EQ((objc::send<"statusBarStyle", objc::NSInteger>(controller)), 1);
  const auto calls = uikitsim::takeCalls();
  uikitsim::endRecording();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].implementor, "SBLockScreenViewController");
  EXPECT_EQ(calls[0].selector, "statusBarStyle");
  EXPECT_TRUE(calls[0].arguments.empty());
  ASSERT_TRUE(calls[0].result.has_value());
  EXPECT_EQ(calls[0].result->integer, 1);
  foundation::release(controller);
}

}  // namespace
