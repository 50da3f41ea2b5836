// A UI process other than SpringBoard has no lock-screen controller.
#include "tweak/tests/tweak_fixture.hpp"

namespace vyrtest {
namespace {

using OtherProcess = TweakProcess;

TEST_F(OtherProcess, TheTenElementHooksInstallAndTheLockScreenHookDoesNot) {
  ASSERT_EQ(objc::getClass("SBLockScreenViewController"), nullptr);
  start();
  for (int i = 0; i < kHookCount - 1; ++i) EXPECT_NE(*hookTable()[i].slot, nullptr) << i;
  EXPECT_EQ(origLockScreenStatusBarStyle, nullptr);
  // Start-up went on: the hooks answer.
  objc::id attrs = make("UIStatusBarForegroundStyleAttributes");
  EXPECT_NE((objc::send<"textColorForStyle:", objc::id>(attrs, 0L)), nullptr);
}

}  // namespace
}  // namespace vyrtest
