// A UI process other than SpringBoard has no lock-screen controller.
#include "tweak/tests/tweak_fixture.hpp"

namespace vyrtest {
namespace {

using OtherProcess = TweakProcess;

TEST_F(OtherProcess, TheTenElementHooksInstallAndTheLockScreenHookDoesNot) {
  ASSERT_EQ(objc::getClass("SBLockScreenViewController"), nullptr);
  start();
  for (int i = 0; i < kHookCount - 1; ++i) {
    const HookEntry& e = hookTable()[i];
    const bool answered =
        class_respondsToSelector(objc::getClass(e.className), sel_registerName(e.selector)) != 0;
    EXPECT_EQ(*e.slot != nullptr, answered) << i;
  }
  EXPECT_EQ(origLockScreenStatusBarStyle, nullptr);
  // Start-up went on: the hooks answer.
  objc::id attrs = make("UIStatusBarForegroundStyleAttributes");
  EXPECT_NE((objc::send<"textColorForStyle:", objc::id>(attrs, objc::NSInteger{0})), nullptr);
}

}  // namespace
}  // namespace vyrtest
