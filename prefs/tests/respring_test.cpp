// The Respring: its steps in order whatever they meet, the restart command chosen by
// CoreFoundation's version number, and the same effect from the button, the action and a repeat.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "platform/corefoundation/CoreFoundation.h"
#include "platform/foundation/facade.hpp"
#include "platform/system/libsystem.h"
#include "prefs/tests/pane.hpp"

namespace {

std::vector<std::string> expectedSteps(const char* restart) {
  std::vector<std::string> steps;
  for (const char* file :
       {"com.apple.springboard-imagecache-icons", "com.apple.springboard-imagecache-icons.plist",
        "com.apple.springboard-imagecache-smallicons",
        "com.apple.springboard-imagecache-smallicons.plist",
        "com.apple.SpringBoard.folderSwitcherLinen",
        "com.apple.SpringBoard.notificationCenterLinen",
        "com.apple.SpringBoard.folderSwitcherLinen.0",
        "com.apple.SpringBoard.folderSwitcherLinen.1",
        "com.apple.SpringBoard.folderSwitcherLinen.2",
        "com.apple.SpringBoard.folderSwitcherLinen.3"}) {
    steps.push_back(std::string("unlink /User/Library/Caches/") + file);
  }
  for (const char* folder :
       {"SpringBoardIconCache", "SpringBoardIconCache-small", "com.apple.IconsCache",
        "com.apple.newsstand", "com.apple.springboard.sharedimagecache", "com.apple.UIStatusBar",
        "BarDialer", "BarDialer_selected", "BarRecents", "BarRecents_selected", "BarVM",
        "BarVM_selected"}) {
    steps.push_back(std::string("system rm -rf /User/Library/Caches/") + folder);
  }
  steps.push_back("system killall -9 lsd");
  steps.push_back(std::string("system ") + restart);
  return steps;
}

TEST(Respring, RunsEveryStepInOrderAndRestartsByTheVersionNumber) {
  vyrtest::TempDevice device;
  vyrtest::installPane(device);
  const std::string caches = "/var/mobile/Library/Caches/";
  device.write(caches + "com.apple.springboard-imagecache-icons", "x");
  device.write(caches + "com.apple.SpringBoard.folderSwitcherLinen.2/inside",
               "a folder: unlink fails");
  device.write(caches + "com.apple.UIStatusBar/images", "x");
  ns::AutoreleasePool pool;
  const auto pane = vyrtest::openPane();
  ASSERT_TRUE(pane);

  const double saved = kCFCoreFoundationVersionNumber;
  struct Case {
    double version;
    const char* restart;
  };
  for (const Case& c : {Case{1141.14, "killall backboardd"}, Case{700.0, "killall SpringBoard"},
                        Case{std::nextafter(700.0, 800.0), "killall backboardd"},
                        Case{690.10, "killall SpringBoard"}}) {
    kCFCoreFoundationVersionNumber = c.version;
    libsystem::testing::clearCalls();
    EXPECT_TRUE(pane->tapRightButton());
    EXPECT_EQ(libsystem::testing::calls(), expectedSteps(c.restart)) << c.version;
  }
  kCFCoreFoundationVersionNumber = saved;
  EXPECT_FALSE(
      std::filesystem::exists(device.path(caches + "com.apple.springboard-imagecache-icons")));
  EXPECT_FALSE(std::filesystem::exists(device.path(caches + "com.apple.UIStatusBar")));
  EXPECT_TRUE(
      std::filesystem::exists(device.path(caches + "com.apple.SpringBoard.folderSwitcherLinen.2")));

  // The button cell's action does the same, and so does every repeat: nothing is skipped once
  // the caches are gone.
  libsystem::testing::clearCalls();
  EXPECT_TRUE(pane->tap("Respring"));
  EXPECT_TRUE(pane->tap("Respring"));
  const std::vector<std::string> once = expectedSteps("killall backboardd");
  std::vector<std::string> twice = once;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(libsystem::testing::calls(), twice);
}

}  // namespace
