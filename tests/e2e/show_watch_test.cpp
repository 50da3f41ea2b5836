// `vyr show --watch`: a SpringBoard that stays up and shows its colours again whenever the
// device's settings change, until it is told to stop.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <regex>

#include "tests/e2e/show_harness.hpp"
#include "tests/support/temp_device.hpp"
#include "tests/support/vyr_process.hpp"

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
  // The next table the watcher prints; empty when none comes within TIMEOUT.
  std::map<std::string, TableRow> nextTable(std::chrono::milliseconds timeout = kPatience) {
    std::string& table = lastText;
    table.clear();
    while (auto line = shown.readLine(timeout)) {
      table += *line + "\n";
      if (line->rfind("lock ", 0) == 0 && line->find("clock and date") != std::string::npos) {
        return parseTable(table);
      }
    }
    return {};
  }
  std::string lastText;  // all the lines of the last table
  // Whether the watcher ended with status 0 after SIGNAL.
  bool stopsCleanlyOn(int signal) {
    kill(shown.pid(), signal);
    const auto status = shown.wait(kPatience);
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
  }
  TempDevice device;
  VyrProcess shown{{"--device", device.root(), "show", "--watch", "--no-picture"}};
};

TEST_F(Watch, ShowsAgainOnEveryFileChangeAndNotificationUntilInterrupted) {
  EXPECT_EQ(nextTable()["home signal"].value, "#AAAAAA:1.000000") << shown.errors();

  // A preset change needs no notification: the library reads it at the next call.
  replaceSettings(device, xmlPlist({{"sig", "<integer>13</integer>"}}));
  EXPECT_EQ(nextTable()["home signal"].source, "preset 13 red");
  // Each redraw says when, and which elements look different.
  const std::size_t at = lastText.find("at ");
  ASSERT_NE(at, std::string::npos) << lastText;
  EXPECT_EQ(lastText.find(" the settings changed: changed home signal, lock signal\n"), at + 11)
      << lastText;

  // The custom switches are re-read only on the notification: the file alone changes nothing.
  replaceSettings(device, xmlPlist({{"sig", "<integer>13</integer>"},
                                    {"ENABLED1", "<true/>"},
                                    {"vyrColor1", "<string>#00ff00</string>"}}));
  auto rows = nextTable();
  EXPECT_EQ(rows["home signal"].source, "preset 13 red");
  EXPECT_EQ(rows["home signal"].value, "#FF3B30:1.000000");
  EXPECT_NE(lastText.find("the settings changed: no element looks different"), std::string::npos);

  // Another process posts the notification, as the Settings pane does after a change.
  const RunResult post = runVyr({"--device", device.root(), "host", "--process", "Preferences"},
                                "notify com.belvorin.VYR/settingschanged\nquit");
  ASSERT_EQ(post.exitCode, 0) << post.err;
  rows = nextTable();
  EXPECT_EQ(rows["home signal"].source, "custom vyrColor1");
  EXPECT_EQ(rows["home signal"].value, "#00FF00:1.000000");
  EXPECT_EQ(rows["lock signal"].value, "#00FF00:1.000000");
  EXPECT_EQ(lastText.find("note:"), std::string::npos) << lastText;

  // A profile without the switch: the library keeps it on, and the table says what a respring
  // would show instead.
  replaceSettings(device, xmlPlist({{"sig", "<integer>13</integer>"},
                                    {"vyrColor1", "<string>#00ff00</string>"}}));
  const std::string note =
      "note: sig: this SpringBoard keeps its custom colour vyrColor1 because ENABLED1 was on when "
      "it last read it, but the settings file no longer holds ENABLED1 (a missing switch keeps "
      "its last value); a respring would show preset 13 red instead";
  // On a loaded machine the stragglers of the notification's post may make one more drawing of
  // the same screens before the file's change is seen ("no element looks different").
  rows = nextTable();
  for (int extra = 0; extra < 2 && lastText.find(note) == std::string::npos &&
                      lastText.find("no element looks different") != std::string::npos;
       ++extra) {
    rows = nextTable();
  }
  EXPECT_EQ(rows["home signal"].source, "custom vyrColor1");
  EXPECT_NE(lastText.find(note), std::string::npos) << lastText;

  // Deleting the file is a change too: the switch read last stays on, but the custom colour is
  // read from the file at every call, so it falls back to #a1a1a1.
  device.remove("/var/mobile/Library/Preferences/com.belvorin.VYR.plist");
  rows = nextTable();
  EXPECT_EQ(rows["home signal"].source, "custom vyrColor1");
  EXPECT_EQ(rows["home signal"].value, "#A1A1A1:1.000000");
  EXPECT_NE(lastText.find(
                "the settings file is missing or cannot be read (a missing switch keeps its last "
                "value); a respring would show preset 6 light grey instead"),
            std::string::npos)
      << lastText;

  // A file of another name in the same folder is not.
  device.write("/var/mobile/Library/Preferences/com.apple.springboard.plist", "x");
  EXPECT_TRUE(nextTable(300ms).empty());

  EXPECT_TRUE(stopsCleanlyOn(SIGINT)) << shown.errors();
}

TEST_F(Watch, ImportedProfileShowsAtOnceAndTerminateEndsCleanly) {
  nextTable();
  const RunResult imported =
      runVyr({"--device", device.root(), "import", std::string(VYR_EXAMPLES) + "/custom.plist"});
  ASSERT_EQ(imported.exitCode, 0) << imported.err;
  // The file change and the notification arrive a moment apart; by the last table they are both
  // in, and the custom switches are on.
  auto rows = nextTable();
  while (rows["home signal"].source != "custom vyrColor1" && !rows.empty()) rows = nextTable();
  EXPECT_EQ(rows["home signal"].value, "#FF2D55:1.000000");
  EXPECT_EQ(rows["lock clock and date"].value, "#FFCC00:1.000000");

  EXPECT_TRUE(stopsCleanlyOn(SIGTERM)) << shown.errors();
}

// As on the device, a respring ends SpringBoard and the device starts a new one: the watcher goes
// on and shows the next change from the new SpringBoard; the respring names both.
TEST_F(Watch, GoesOnWithTheNewSpringBoardAfterARespring) {
  EXPECT_FALSE(nextTable().empty()) << shown.errors();
  const RunResult respring = runVyr({"--device", device.root(), "prefs", "respring"});
  EXPECT_EQ(respring.exitCode, 0) << respring.err;
  std::smatch ended, started;
  const std::regex endedLine("\nended: lsd, backboardd, SpringBoard \\(pid ([0-9]+)\\)\n");
  const std::regex startedLine("\nstarted again: SpringBoard \\(pid ([0-9]+)\\)\n");
  ASSERT_TRUE(std::regex_search(respring.out, ended, endedLine)) << respring.out;
  ASSERT_TRUE(std::regex_search(respring.out, started, startedLine)) << respring.out;
  EXPECT_NE(ended[1].str(), started[1].str());

  EXPECT_FALSE(nextTable().empty()) << shown.errors();  // the new SpringBoard's first screens
  replaceSettings(device, xmlPlist({{"sig", "<integer>13</integer>"}}));
  EXPECT_EQ(nextTable()["home signal"].source, "preset 13 red") << shown.errors();
  EXPECT_NE(shown.errors().find("ended (a respring ends the device's user interface); starting a "
                                "new one"),
            std::string::npos)
      << shown.errors();
  EXPECT_TRUE(stopsCleanlyOn(SIGINT)) << shown.errors();
}

// A device folder moved while it is watched is followed: the respring's new SpringBoard is
// started where the folder is now, and nothing is made at its old name.
TEST_F(Watch, FollowsAMovedDeviceFolderAndMakesNothingAtTheOldName) {
  EXPECT_FALSE(nextTable().empty()) << shown.errors();
  const std::string moved = device.root() + "-moved";
  ASSERT_EQ(std::rename(device.root().c_str(), moved.c_str()), 0);
  const RunResult respring = runVyr({"--device", moved, "prefs", "respring"});
  EXPECT_EQ(respring.exitCode, 0) << respring.err;
  EXPECT_FALSE(nextTable().empty()) << shown.errors();  // the new SpringBoard's first screens
  EXPECT_NE(shown.errors().find("was moved to " + moved + "; following it"), std::string::npos)
      << shown.errors();
  EXPECT_FALSE(std::filesystem::exists(device.root()));
  EXPECT_TRUE(stopsCleanlyOn(SIGINT)) << shown.errors();
  std::filesystem::rename(moved, device.root());
}

// A deleted device folder ends the watch at once, saying so, with a failure.
TEST_F(Watch, EndsSayingSoWhenTheDeviceFolderIsDeleted) {
  EXPECT_FALSE(nextTable().empty()) << shown.errors();
  std::filesystem::remove_all(device.root());
  const auto status = shown.wait(kPatience);
  ASSERT_TRUE(status.has_value()) << shown.errors();
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << shown.errors();
  EXPECT_NE(shown.errors().find("the device folder " + device.root() + " is gone"),
            std::string::npos)
      << shown.errors();
  EXPECT_FALSE(std::filesystem::exists(device.root()));
}

}  // namespace
}  // namespace vyrtest
