// Start-up: the settings record, the custom switches and their reload, the hook table.
#include "tweak/tests/tweak_fixture.hpp"

namespace vyrtest {
namespace {

using StartUp = TweakProcess;

bool custom(int n) {
  return tweakSettings().customSwitch[static_cast<std::size_t>(n - 1)].load();
}

TEST_F(StartUp, WithoutAFileEverythingHasItsInitialValueAndEveryHookOfTheReleaseIsLive) {
  start();
  const TweakSettings& s = tweakSettings();
  for (std::size_t i = 0; i < kElementCount; ++i) {
    EXPECT_FALSE(s.customSwitch[i].load());
    EXPECT_TRUE(s.presetSwitch[i].load());
    EXPECT_EQ(s.presetIndex[i].load(), 6);
    EXPECT_EQ(s.presetColour[i].load(), nullptr);
  }
  EXPECT_TRUE(s.lockScreenSame.load());
  // A process without a device plays iOS 8.1, whose classic foreground style has neither battery
  // method: nine rows install, the other two find no method and leave their slots empty.
  ASSERT_EQ(uikitsim::registeredInterfaces(), sim::Interfaces::ios7);
  int installed = 0;
  for (int i = 0; i < kHookCount; ++i) {
    const HookEntry& e = hookTable()[i];
    Class cls = objc::getClass(e.className);
    ASSERT_NE(cls, nullptr) << e.className;
    const bool absent = i == static_cast<int>(HookId::batteryColorCharging) ||
                        i == static_cast<int>(HookId::batteryColorStyle);
    EXPECT_EQ(checkInstall(e, cls), absent ? InstallCheck::noSuchMethod : InstallCheck::install)
        << e.selector;
    if (absent) {
      EXPECT_EQ(*e.slot, nullptr) << e.className << " " << e.selector;
      continue;
    }
    ++installed;
    EXPECT_NE(*e.slot, nullptr) << e.className << " " << e.selector;
    EXPECT_EQ(class_getMethodImplementation(cls, sel_registerName(e.selector)), e.replacement)
        << e.className << " " << e.selector;
  }
  EXPECT_EQ(installed, 9);
}

TEST_F(StartUp, CustomSwitchesFollowTheFileOnlyAtLoadAndOnTheNotification) {
  writePrefs({{"ENABLED3", "<true/>"}});
  start();
  for (int n = 1; n <= 6; ++n) EXPECT_EQ(custom(n), n == 3) << n;

  // A key that disappears keeps its switch; a change without the notification waits for it.
  writePrefs({{"ENABLED2", "<true/>"}});
  EXPECT_FALSE(custom(2));
  notifySettingsChanged();
  EXPECT_TRUE(custom(2));
  EXPECT_TRUE(custom(3));

  // The notification while the file is missing changes nothing.
  removePrefs();
  notifySettingsChanged();
  EXPECT_TRUE(custom(2));
  EXPECT_TRUE(custom(3));

  // Several notifications in a row end where one would.
  writePrefs({{"ENABLED2", "<false/>"}, {"ENABLED3", "<false/>"}});
  for (int i = 0; i < 5; ++i) notifySettingsChanged();
  EXPECT_FALSE(custom(2));
  EXPECT_FALSE(custom(3));
}

TEST_F(StartUp, StoredValuesAreReadAsThePlatformReadsBooleans) {
  writePrefs({{"ENABLED1", "<integer>1</integer>"},
              {"ENABLED2", "<string>YES</string>"},
              {"ENABLED3", "<string>t</string>"},
              {"ENABLED4", "<real>0.0</real>"},
              {"ENABLED5", "<string>no</string>"},
              // Kinds without a Boolean reading leave the switch alone instead of crashing.
              {"ENABLED6", "<array><true/></array>"}});
  start();
  EXPECT_TRUE(custom(1));
  EXPECT_TRUE(custom(2));
  EXPECT_TRUE(custom(3));
  EXPECT_FALSE(custom(4));
  EXPECT_FALSE(custom(5));
  EXPECT_FALSE(custom(6));
}

TEST_F(StartUp, FilesThatAreNotDictionariesReadAsMissing) {
  for (const char* junk : {"", "not a property list", "bplist00\x01\x02",
                           "<?xml version=\"1.0\"?><plist><array><true/></array></plist>"}) {
    device_.write(kPreferencesPath, junk);
    reloadSettings();
    for (int n = 1; n <= 6; ++n) EXPECT_FALSE(custom(n)) << junk;
  }
}

}  // namespace
}  // namespace vyrtest
