// Every way the preferences file can change is seen by the next hooked call, although the file is
// parsed only when it changes.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tweak/tests/tweak_fixture.hpp"

extern char** environ;

namespace vyrtest {
namespace {

namespace fs = std::filesystem;

class FileChanges : public TweakProcess {
 protected:
  void SetUp() override {
    TweakProcess::SetUp();
    attrs_ = make("UIStatusBarNewUIForegroundStyleAttributes");
    lock_ = make("SBLockScreenViewController");
    spinner_ = make("UIActivityIndicatorView");
  }

  std::string file() const { return prefsPath(device_); }
  // Writes the settings to a new file and renames it over the old one, as Foundation writes.
  void renamePrefs(std::initializer_list<std::pair<std::string, std::string>> entries) {
    std::ofstream(file() + ".new", std::ios::trunc) << xmlPlist(entries);
    fs::rename(file() + ".new", file());
  }
  Rgba battery() {
    return rgba(objc::send<"_batteryColorForCapacity:lowCapacity:charging:", objc::id>(
        attrs_, cg(0.5), cg(0.2), objc::no));
  }
  long lockStyle() { return objc::send<"statusBarStyle", objc::NSInteger>(lock_); }
  // The colour the activity indicator's setter handed to the host.
  Rgba spinnerColour() {
    uikitsim::beginRecording();
    objc::send<"setColor:", void>(spinner_, static_cast<objc::id>(nullptr));
    const auto calls = uikitsim::takeCalls();
    uikitsim::endRecording();
    if (calls.size() != 1 || !calls[0].arguments[0].colour) return {};
    return *calls[0].arguments[0].colour;
  }

  objc::id attrs_ = nullptr;
  objc::id lock_ = nullptr;
  objc::id spinner_ = nullptr;
};

const Rgba kBlue = bytes(0, 122, 255);    // palette entry 2
const Rgba kRed = bytes(255, 59, 48);     // 13
const Rgba kGreen = bytes(76, 217, 100);  // 9
const double kGrey = static_cast<double>(161.0f / 255.0f);
const Rgba kFallback = {kGrey, kGrey, kGrey, 1.0};  // "#a1a1a1:1.0"
const Rgba kMagenta = {1, 0, 1, 1};
const Rgba kCyan = {0, 1, 1, 1};

std::string index(int i) {
  return "<integer>" + std::to_string(i) + "</integer>";
}

TEST_F(FileChanges, WritesInPlaceAndRenamesAreSeenAtTheNextCall) {
  writePrefs({{"bat", index(2)}, {"lssame", "<false/>"}});
  start();
  EXPECT_EQ(battery(), kBlue);
  EXPECT_EQ(lockStyle(), 1);

  writePrefs({{"bat", index(13)}, {"lssame", "<true/>"}});  // in place
  EXPECT_EQ(battery(), kRed);
  EXPECT_EQ(lockStyle(), 0);
  renamePrefs({{"bat", index(9)}, {"lssame", "<false/>"}});
  EXPECT_EQ(battery(), kGreen);
  EXPECT_EQ(lockStyle(), 1);
  // Foundation writes binary, by rename.
  const ns::MutableDictionary dict = ns::MutableDictionary::dictionary();
  dict.setObjectForKey(ns::Number::withInt(2).get(), ns::String::withUTF8("bat").get());
  ASSERT_TRUE(dict.writeToFile(ns::String::withUTF8(std::string(kPreferencesPath).c_str()), true));
  EXPECT_EQ(battery(), kBlue);

  // Changes in quick succession, each followed by one call, alternating both ways of writing.
  const int indices[] = {2, 13, 9};
  const Rgba colours[] = {kBlue, kRed, kGreen};
  for (int round = 0; round < 30; ++round) {
    const std::string bat = index(indices[round % 3]);
    const std::string same = round % 2 == 0 ? "<true/>" : "<false/>";
    if (round % 2 == 0) {
      writePrefs({{"bat", bat}, {"lssame", same}});
    } else {
      renamePrefs({{"bat", bat}, {"lssame", same}});
    }
    EXPECT_EQ(battery(), colours[round % 3]) << "round " << round;
    EXPECT_EQ(lockStyle(), round % 2 == 0 ? 0 : 1) << "round " << round;
  }
}

TEST_F(FileChanges, AHalfWrittenFileIsReadAgainOnceTheWriterGoesOn) {
  writePrefs({{"bat", index(13)}});
  start();
  EXPECT_EQ(battery(), kRed);

  const std::string whole = xmlPlist({{"bat", index(9)}});
  const int fd = ::open(file().c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0);
  const std::size_t half = whole.size() / 2;
  ASSERT_EQ(::write(fd, whole.data(), half), static_cast<ssize_t>(half));
  EXPECT_EQ(battery(), kRed);  // half a file is no dictionary: the last values stay
  ASSERT_EQ(::write(fd, whole.data() + half, whole.size() - half),
            static_cast<ssize_t>(whole.size() - half));
  EXPECT_EQ(battery(), kGreen);  // complete, though not yet closed
  ::close(fd);
  EXPECT_EQ(battery(), kGreen);
}

TEST_F(FileChanges, ADeletedFileKeepsTheLastValuesUntilItComesBack) {
  writePrefs({{"bat", index(13)},
              {"lssame", "<false/>"},
              {"ENABLED5", "<true/>"},
              {"vyrColor5", "<string>#ff00ff</string>"}});
  start();
  EXPECT_EQ(battery(), kRed);
  EXPECT_EQ(lockStyle(), 1);
  EXPECT_EQ(spinnerColour(), kMagenta);

  removePrefs();
  EXPECT_EQ(battery(), kRed);
  EXPECT_EQ(lockStyle(), 1);
  // The custom colour has no last value: a missing file gives the fallback, as it always did.
  EXPECT_EQ(spinnerColour(), kFallback);

  writePrefs({{"bat", index(9)},
              {"lssame", "<true/>"},
              {"ENABLED5", "<true/>"},
              {"vyrColor5", "<string>#00ffff</string>"}});
  EXPECT_EQ(battery(), kGreen);
  EXPECT_EQ(lockStyle(), 0);
  EXPECT_EQ(spinnerColour(), kCyan);

  // The whole folder goes, then comes back with a file.
  fs::remove_all(device_.path("/var/mobile/Library/Preferences"));
  EXPECT_EQ(battery(), kGreen);
  EXPECT_EQ(spinnerColour(), kFallback);
  writePrefs({{"bat", index(2)}, {"vyrColor5", "<string>#ff00ff</string>"}});
  EXPECT_EQ(battery(), kBlue);
  EXPECT_EQ(spinnerColour(), kMagenta);
}

TEST_F(FileChanges, ThroughLinksThatClimbThroughOtherLinksTheFileReadIsTheFileWatched) {
  // Preferences -> B/../Library, with B itself a link to a folder elsewhere: ".." is taken from
  // where B leads, as the kernel takes it, not from the text (which would name
  // /var/mobile/Library/Library, where nothing is).
  fs::create_directories(device_.path("/var/Stash/Deep"));
  fs::rename(device_.path("/var/mobile/Library/Preferences"), device_.path("/var/Stash/Library"));
  fs::create_directory_symlink("../../Stash/Deep", device_.path("/var/mobile/Library/B"));
  fs::create_directory_symlink("B/../Library", device_.path("/var/mobile/Library/Preferences"));
  const std::string real = device_.path("/var/Stash/Library/com.belvorin.VYR.plist");
  std::ofstream(real, std::ios::trunc) << xmlPlist({{"bat", index(2)}});
  start();
  EXPECT_EQ(battery(), kBlue);
  std::ofstream(real, std::ios::trunc) << xmlPlist({{"bat", index(13)}});  // in place
  EXPECT_EQ(battery(), kRed);
  std::ofstream(real + ".new", std::ios::trunc) << xmlPlist({{"bat", index(9)}});
  fs::rename(real + ".new", real);
  EXPECT_EQ(battery(), kGreen);
  // B repointed: the name on the way now leads to another folder, with no file in it.
  fs::remove(device_.path("/var/mobile/Library/B"));
  fs::create_directories(device_.path("/var/Other/Deep"));
  fs::create_directory_symlink("../../Other/Deep", device_.path("/var/mobile/Library/B"));
  std::ofstream(device_.path("/var/Other/Library")) << "not a folder";
  EXPECT_EQ(battery(), kGreen);  // the last values, as for a deleted file
  fs::remove(device_.path("/var/Other/Library"));
  fs::create_directory_symlink("../Stash/Library", device_.path("/var/Other/Library"));
  std::ofstream(real, std::ios::trunc) << xmlPlist({{"bat", index(2)}});
  EXPECT_EQ(battery(), kBlue);
}

TEST_F(FileChanges, CustomColoursNeedNoNotificationButTheSwitchesWaitForIt) {
  writePrefs(
      {{"ENABLED4", "<true/>"}, {"vyrColor4", "<string>#ff00ff</string>"}, {"bat", index(2)}});
  start();
  EXPECT_EQ(battery(), kMagenta);
  writePrefs(
      {{"ENABLED4", "<true/>"}, {"vyrColor4", "<string>#00ffff:0.5</string>"}, {"bat", index(2)}});
  EXPECT_EQ(battery(), (Rgba{0, 1, 1, 0.5}));

  writePrefs(
      {{"ENABLED4", "<false/>"}, {"vyrColor4", "<string>#00ffff</string>"}, {"bat", index(2)}});
  EXPECT_EQ(battery(), kCyan);  // the switch read at load still holds
  notifySettingsChanged();
  EXPECT_EQ(battery(), kBlue);
  renamePrefs(
      {{"ENABLED4", "<true/>"}, {"vyrColor4", "<string>#00ffff</string>"}, {"bat", index(2)}});
  EXPECT_EQ(battery(), kBlue);
  notifySettingsChanged();
  EXPECT_EQ(battery(), kCyan);
}

TEST_F(FileChanges, ChangesByAnotherProcessAreSeenAtTheNextCall) {
  writePrefs({{"bat", index(2)}});
  start();
  EXPECT_EQ(battery(), kBlue);
  const std::string red = file() + ".red";
  const std::string green = file() + ".green";
  std::ofstream(red) << xmlPlist({{"bat", index(13)}});
  std::ofstream(green) << xmlPlist({{"bat", index(9)}});

  ASSERT_EQ(runElsewhere("cat '" + red + "' > '" + file() + "'"), 0);  // in place
  EXPECT_EQ(battery(), kRed);
  ASSERT_EQ(runElsewhere("cp '" + green + "' '" + file() + ".tmp' && mv '" + file() + ".tmp' '" +
                         file() + "'"),
            0);
  EXPECT_EQ(battery(), kGreen);
  ASSERT_EQ(runElsewhere("rm '" + file() + "'"), 0);
  EXPECT_EQ(battery(), kGreen);
  ASSERT_EQ(runElsewhere("cp '" + red + "' '" + file() + "'"), 0);
  EXPECT_EQ(battery(), kRed);
}

}  // namespace
}  // namespace vyrtest
