// `vyr show --watch`: a SpringBoard that stays up and shows its colours again whenever the
// device's settings change, until it is told to stop.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdio>
#include <filesystem>

#include "tests/support/temp_device.hpp"
#include "vyr/show/tests/vyr_process.hpp"

namespace vyrtest {
namespace {

using namespace std::chrono_literals;

constexpr auto kPatience = 5s;

// Replaces the settings file in one step, as the Settings app does, posting nothing.
void replaceSettings(const TempDevice& device, const std::string& plist) {
  const std::string staged = device.root() + "/staged.plist";
  device.write("/staged.plist", plist);
  ASSERT_EQ(std::rename(staged.c_str(), prefsPath(device).c_str()), 0);
}

class Watch : public ::testing::Test {
 protected:
  // The next table the watcher prints.
  std::map<std::string, TableRow> nextTable() {
    auto out = shown.readUntil([](const std::string& s) { return tableCount(s) > 0; }, kPatience);
    EXPECT_TRUE(out.has_value()) << "no new table; stderr:\n" << shown.err();
    return out ? parseTable(*out) : std::map<std::string, TableRow>{};
  }
  TempDevice device;
  VyrProcess shown{{"--device", device.root(), "show", "--watch", "--no-picture"}};
};

TEST_F(Watch, ShowsAgainOnEveryFileChangeAndNotificationUntilInterrupted) {
  EXPECT_EQ(nextTable()["home signal"].value, "#aaaaaaff");

  // A preset change needs no notification: the library reads it at the next call.
  replaceSettings(device, xmlPlist({{"sig", "<integer>13</integer>"}}));
  EXPECT_EQ(nextTable()["home signal"].source, "preset 13 red");

  // The custom switches are re-read only on the notification: the file alone changes nothing.
  const auto custom = xmlPlist({{"sig", "<integer>13</integer>"},
                                {"ENABLED1", "<true/>"},
                                {"vyrColor1", "<string>#00ff00</string>"}});
  replaceSettings(device, custom);
  auto rows = nextTable();
  EXPECT_EQ(rows["home signal"].source, "preset 13 red");
  EXPECT_EQ(rows["home signal"].value, "#ff3b30ff");

  // Another process posts the notification, as the Settings pane does after a change.
  RunOptions notify;
  notify.input = "notify com.belvorin.VYR/settingschanged\nquit\n";
  const Finished post =
      runVyr({"--device", device.root(), "host", "--process", "Preferences"}, notify);
  ASSERT_EQ(post.status, 0) << post.err;
  rows = nextTable();
  EXPECT_EQ(rows["home signal"].source, "custom vyrColor1");
  EXPECT_EQ(rows["home signal"].value, "#00ff00ff");
  EXPECT_EQ(rows["lock signal"].value, "#00ff00ff");

  // Deleting the file is a change too: the switch read last stays on, but the custom colour is
  // read from the file at every call, so it falls back to #a1a1a1.
  device.remove("/var/mobile/Library/Preferences/com.belvorin.VYR.plist");
  rows = nextTable();
  EXPECT_EQ(rows["home signal"].source, "custom vyrColor1");
  EXPECT_EQ(rows["home signal"].value, "#a1a1a1ff");

  // A file of another name in the same folder is not.
  device.write("/var/mobile/Library/Preferences/com.apple.springboard.plist", "x");
  EXPECT_FALSE(shown.readUntil([](const std::string& s) { return tableCount(s) > 0; }, 300ms));

  shown.signal(SIGINT);
  EXPECT_EQ(shown.wait(kPatience), 0) << shown.err();
}

TEST_F(Watch, ImportedProfileShowsAtOnceAndTerminateEndsCleanly) {
  nextTable();
  const Finished imported =
      runVyr({"--device", device.root(), "import", std::string(VYR_EXAMPLES) + "/custom.plist"});
  ASSERT_EQ(imported.status, 0) << imported.err;
  // The file change and the notification arrive together; whichever comes first, the custom
  // switches are on by the last table.
  std::map<std::string, TableRow> rows = nextTable();
  while (rows["home signal"].source != "custom vyrColor1") {
    rows = nextTable();
    if (rows.empty()) break;
  }
  EXPECT_EQ(rows["home signal"].value, "#ff2d55ff");
  EXPECT_EQ(rows["lock clock and date"].value, "#ffcc00ff");

  shown.signal(SIGTERM);
  EXPECT_EQ(shown.wait(kPatience), 0) << shown.err();
}

}  // namespace
}  // namespace vyrtest
