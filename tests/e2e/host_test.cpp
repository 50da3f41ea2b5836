// `vyr host` end to end: a real UI process of a temporary device, driven through its standard
// input, with VYRSignals injected by the device's loader.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "tests/support/temp_device.hpp"
#include "tests/support/vyr_process.hpp"

namespace vyrtest {
namespace {

namespace fs = std::filesystem;

// Colour components are the device's CGFloat, printed to as many digits as identify one: a float
// (9 digits) on 32-bit ARM, a double (17) elsewhere. Palette entry 13 (#ff3b30, 59/255 and
// 48/255) and the alpha 0x80/255.
// The capacities 0.1 and 0.2 arrive at the host in its CGFloat too.
#if defined(__arm__)
constexpr const char kRed[] = "[1, 0.23137255, 0.188235298, 1]";
constexpr const char kHalf[] = "0.501960814";
constexpr const char kCapacities[] = "0.100000001, 0.200000003";
#else
constexpr const char kRed[] = "[1, 0.23137254901960785, 0.18823529411764706, 1]";
constexpr const char kHalf[] = "0.50196078431372548";
constexpr const char kCapacities[] = "0.10000000000000001, 0.20000000000000001";
#endif

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size()) ++n;
  return n;
}

// One row of the hooks answer: replaced when WHY is empty, else not, for that reason.
std::string row(const std::string& cls, const std::string& selector, const std::string& why) {
  return "{\"class\": \"" + cls + "\", \"selector\": \"" + selector +
         "\", \"replaced\": " + (why.empty() ? "true}" : "false, \"why\": \"" + why + "\"}");
}

class Host : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = device_.root() + "/device"; }
  VyrProcess start(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"host", "--device", dir_};
    args.insert(args.end(), extra.begin(), extra.end());
    return VyrProcess(args);
  }
  void writePrefs(std::initializer_list<std::pair<std::string, std::string>> entries) {
    const fs::path p = dir_ + "/var/mobile/Library/Preferences/com.belvorin.VYR.plist";
    fs::create_directories(p.parent_path());
    // Settings put in place before the first command: the simulator's folder marks a device.
    fs::create_directories(dir_ + "/.sim");
    std::ofstream(p) << xmlPlist(entries);
  }
  std::string answer(VyrProcess& p, const std::string& line) {
    auto a = p.ask(line);
    EXPECT_TRUE(a.has_value()) << line << "\n" << p.errors();
    return a.value_or("");
  }

  TempDevice device_;
  std::string dir_;
};

TEST_F(Host, ANewDeviceIsLaidOutAndEveryHookIsInPlace) {
  VyrProcess p = start();
  const std::string hooks = answer(p, "hooks");
  EXPECT_TRUE(fs::exists(dir_ + "/Library/MobileSubstrate/DynamicLibraries/VYRSignals.dylib"));
  EXPECT_TRUE(fs::exists(dir_ + "/Library/MobileSubstrate/DynamicLibraries/VYRSignals.plist"));
  // A new device is iOS 8.1: its classic foreground style has neither battery method.
  EXPECT_EQ(count(hooks, "\"replaced\": true"), 9u) << hooks;
  EXPECT_EQ(count(hooks, "\"why\": \"no such method\""), 2u) << hooks;
  EXPECT_NE(hooks.find(row("SBLockScreenViewController", "statusBarStyle", "")), std::string::npos);
  EXPECT_EQ(answer(p, "send SBLockScreenViewController statusBarStyle"),
            "{\"result\": 0, \"host\": null}");
  EXPECT_EQ(answer(p, "quit"), "{\"quit\": true}");
  EXPECT_EQ(p.wait(), 0);
  // A new device is never made without a word; nor is a file of the device's VYR replaced.
  EXPECT_NE(p.errors().find("vyr: made a new device in " + dir_), std::string::npos) << p.errors();
  std::ofstream(dir_ + "/Library/PreferenceBundles/VYR.bundle/VYR.plist", std::ios::app) << " ";
  RunResult r = runVyr({"--device", dir_, "colour", "#fff"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err,
            "vyr: refreshed /Library/PreferenceBundles/VYR.bundle/VYR.plist in the device from the "
            "build\n");
  r = runVyr({"--device", dir_, "colour", "#fff"});
  EXPECT_EQ(r.err, "");
  // The version, and one command's help by name.
  r = runVyr({"--version"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out.rfind("vyr ", 0), 0u) << r.out;
  r = runVyr({"help", "import"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out.rfind("usage: vyr import", 0), 0u) << r.out;
  EXPECT_EQ(runVyr({"help", "nosuch"}).exitCode, 2);
}

TEST_F(Host, OtherProcessesHaveNoLockScreen) {
  VyrProcess p = start({"--process", "MobileSafari"});
  const std::string hooks = answer(p, "hooks");
  EXPECT_NE(hooks.find(row("SBLockScreenViewController", "statusBarStyle", "no class")),
            std::string::npos)
      << hooks;
  EXPECT_NE(hooks.find(row("_UILegibilitySettings", "setPrimaryColor:", "")), std::string::npos)
      << hooks;
  EXPECT_NE(answer(p, "send SBLockScreenViewController statusBarStyle").find("error"),
            std::string::npos);
}

TEST_F(Host, GettersAndSettersShowWhatReachedTheHost) {
  writePrefs({{"batt", "<true/>"}, {"bat", "<integer>13</integer>"}, {"load", "<false/>"}});
  VyrProcess p = start();
  EXPECT_EQ(
      answer(p,
             "send UIStatusBarNewUIForegroundStyleAttributes "
             "_batteryColorForCapacity:lowCapacity:charging: 0.1 0.2 YES"),
      std::string("{\"result\": ") + kRed + ", \"host\": null, \"colour\": \"#FF3B30:1.000000\"}");
  EXPECT_EQ(answer(p, "send UIActivityIndicatorView setColor: #ff000080"),
            std::string("{\"result\": null, \"host\": {\"args\": [[1, 0, 0, ") + kHalf + "]]}}");
  // The colour string an answer prints is taken back as the same colour.
  EXPECT_EQ(answer(p, "send UIActivityIndicatorView setColor: #FF0000:0.500000"),
            "{\"result\": null, \"host\": {\"args\": [[1, 0, 0, 0.5]]}}");
  EXPECT_NE(answer(p, "send UIActivityIndicatorView setColor: #FF0000:2").find("error"),
            std::string::npos);
  EXPECT_EQ(answer(p, "send UIActivityIndicatorView setColor: nil"),
            "{\"result\": null, \"host\": {\"args\": [null]}}");

  // Switched off in the file: the next call hands on to the host, arguments unchanged.
  writePrefs({{"batt", "<false/>"}});
  const std::string off = answer(p,
                                 "send UIStatusBarNewUIForegroundStyleAttributes "
                                 "_batteryColorForCapacity:lowCapacity:charging: 0.1 0.2 YES");
  EXPECT_NE(off.find(std::string("\"host\": {\"args\": [") + kCapacities + ", true]}"),
            std::string::npos)
      << off;
  EXPECT_NE(answer(p, "send UIStatusBar setForegroundColor: 12").find("error"), std::string::npos);
}

TEST_F(Host, CustomSwitchesWaitForTheNotification) {
  VyrProcess p = start();
  const std::string grey =
      answer(p, "send UIStatusBarForegroundStyleAttributes textColorForStyle: 0");
  writePrefs({{"ENABLED3", "<true/>"}, {"vyrColor3", "<string>#00ff00:0.25</string>"}});
  EXPECT_EQ(answer(p, "send UIStatusBarForegroundStyleAttributes textColorForStyle: 0"), grey);
  EXPECT_NE(answer(p, "notify com.belvorin.VYR/settingschanged").find("\"delivered\": 1"),
            std::string::npos);
  EXPECT_EQ(answer(p, "send UIStatusBarNewUIForegroundStyleAttributes textColorForStyle: 1"),
            "{\"result\": [0, 1, 0, 0.25], \"host\": null, \"colour\": \"#00FF00:0.250000\"}");
}

// Each release's SpringBoard has that release's classes, with the device's own argument types,
// and the library installs exactly the rows it can call as the host calls them.
TEST_F(Host, EachReleaseInstallsWhatItsClassesTakeAndHandsOnUnchangedWhenOff) {
  enum Step { kBefore7, k7, k8_3, k9, k10 };
  // Per row of the hook table (in install order), per step: why nothing is installed; empty for
  // an installed row. Written from the device's facts, not from the simulator's table.
  const char* const kNoClass = "no class";
  const char* const kNoMethod = "no such method";
  const char* const kOther = "other argument types";
  const struct {
    const char* cls;
    const char* selector;
    std::array<const char*, 5> why;
  } kRows[] = {
      {"UIStatusBarNewUIStyleAttributes",
       "initWithRequest:backgroundColor:foregroundColor:",
       {kNoClass, "", "", "", ""}},
      {"UIStatusBar", "setForegroundColor:", {"", "", "", "", ""}},
      {"UIStatusBarNewUIForegroundStyleAttributes",
       "textColorForStyle:",
       {kNoClass, "", kNoClass, kNoClass, kNoClass}},
      {"UIStatusBarNewUIForegroundStyleAttributes",
       "_batteryColorForCapacity:lowCapacity:charging:",
       {kNoClass, "", kNoClass, kNoClass, kNoClass}},
      {"UIStatusBarForegroundStyleAttributes", "textColorForStyle:", {kNoClass, "", "", "", ""}},
      {"UIStatusBarForegroundStyleAttributes",
       "_batteryColorForCapacity:lowCapacity:charging:",
       {kNoClass, kNoMethod, "", kNoMethod, kNoMethod}},
      {"UIStatusBarForegroundStyleAttributes",
       "_batteryColorForCapacity:lowCapacity:style:",
       {kNoClass, kNoMethod, kNoMethod, "", kOther}},
      {"UIActivityIndicatorView", "setColor:", {"", "", "", "", ""}},
      {"_UIRefreshControlModernContentView", "setTintColor:", {"", "", "", "", ""}},
      {"_UILegibilitySettings", "setPrimaryColor:", {"", "", "", "", ""}},
      {"SBLockScreenViewController", "statusBarStyle", {"", "", "", "", ""}},
  };
  const std::pair<const char*, Step> kReleases[] = {
      {"5.0", kBefore7}, {"6.1", kBefore7}, {"7.0", k7}, {"8.2", k7},   {"8.3", k8_3},
      {"8.4", k8_3},     {"9.0", k9},       {"9.3", k9}, {"10.0", k10}, {"10.3", k10}};
  const std::string off = kCapacities;
  for (const auto& [name, at] : kReleases) {
    // Named copies: a lambda cannot capture a structured binding in C++20.
    const std::string version = name;
    const Step step = at;
    writePrefs({{"batt", "<false/>"}, {"text", "<false/>"}});
    VyrProcess p = start({"--ios", version});
    const std::string hooks = answer(p, "hooks");
    for (const auto& r : kRows) {
      EXPECT_NE(hooks.find(row(r.cls, r.selector, r.why[step])), std::string::npos)
          << version << " " << r.cls << " " << r.selector << "\n"
          << hooks;
    }
    // Switched off, every getter the release has hands on its arguments as received.
    const auto handsOn = [&](const std::string& command, const std::string& args) {
      const std::string a = answer(p, command);
      EXPECT_NE(a.find("\"host\": {\"args\": [" + args + "]}"), std::string::npos)
          << version << " " << command << " " << a;
    };
    if (step == k7) {
      handsOn("send UIStatusBarNewUIForegroundStyleAttributes textColorForStyle: 7", "7");
      handsOn(
          "send UIStatusBarNewUIForegroundStyleAttributes "
          "_batteryColorForCapacity:lowCapacity:charging: 0.1 0.2 YES",
          off + ", true");
    }
    if (step == k8_3) {
      handsOn(
          "send UIStatusBarForegroundStyleAttributes "
          "_batteryColorForCapacity:lowCapacity:charging: 0.1 0.2 NO",
          off + ", false");
    }
    if (step == k9) {
      handsOn(
          "send UIStatusBarForegroundStyleAttributes "
          "_batteryColorForCapacity:lowCapacity:style: 0.1 0.2 1",
          off + ", 1");
    }
    if (step != kBefore7) {
      handsOn("send UIStatusBarForegroundStyleAttributes textColorForStyle: 2", "2");
    }
    if (step == k10) {
      // Integer capacities: the library leaves the method alone, so even with the battery
      // switched on the host answers, with its arguments as sent.
      writePrefs({{"batt", "<true/>"}, {"bat", "<integer>13</integer>"}});
      handsOn(
          "send UIStatusBarForegroundStyleAttributes "
          "_batteryColorForCapacity:lowCapacity:style: 50 20 1",
          "50, 20, 1");
    }
    EXPECT_EQ(answer(p, "quit"), "{\"quit\": true}");
    EXPECT_EQ(p.wait(), 0) << version;
    EXPECT_NE(p.errors().find(std::string("the device is iOS ") + version), std::string::npos)
        << p.errors();
  }
  // The release is kept in the device; one the simulator does not know is refused, with the list.
  VyrProcess kept = start();
  EXPECT_NE(answer(kept, "hooks")
                .find(row("UIStatusBarForegroundStyleAttributes",
                          "_batteryColorForCapacity:lowCapacity:style:", kOther)),
            std::string::npos);
  const RunResult unknown = runVyr({"--device", dir_, "--ios", "11.0", "colour", "#fff"});
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_NE(unknown.err.find("5.0, 5.1, 6.0"), std::string::npos) << unknown.err;
}

TEST_F(Host, TheLockScreenStyleFollowsTheFile) {
  writePrefs({{"lssame", "<false/>"}});
  VyrProcess p = start();
  EXPECT_EQ(answer(p, "send SBLockScreenViewController statusBarStyle"),
            "{\"result\": 1, \"host\": {\"args\": []}}");
  writePrefs({{"lssame", "<true/>"}});
  EXPECT_EQ(answer(p, "send SBLockScreenViewController statusBarStyle"),
            "{\"result\": 0, \"host\": null}");
}

TEST_F(Host, BadCommandsAnswerWithAnErrorLineAndTheProcessGoesOn) {
  VyrProcess p = start();
  for (const char* bad :
       {"frobnicate", "send", "send NoSuchClass init", "send UIStatusBar noSuchSelector",
        "send UIStatusBar setForegroundColor:", "send UIStatusBar setForegroundColor: #12345",
        "notify",
        // The instance is the command's and the pools are the process's: these
        // would free, keep or pop what the host still holds.
        "send NSObject release", "send NSObject dealloc", "send NSObject autorelease",
        "send NSObject retain", "send UIStatusBar release", "send NSAutoreleasePool drain",
        "send NSAutoreleasePool init"}) {
    EXPECT_NE(answer(p, bad).find("\"error\""), std::string::npos) << bad;
  }
  // An endless line is answered once, promptly, without being echoed; the next line is served.
  const auto start = std::chrono::steady_clock::now();
  const std::string tooLong = answer(p, "send " + std::string(32 << 20, 'x'));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_NE(tooLong.find("\"error\""), std::string::npos);
  EXPECT_LT(tooLong.size(), 200u);
  // A colour argument and a copy are the command's to free: under LeakSanitizer a leak fails the
  // exit status.
  EXPECT_NE(answer(p, "send UIActivityIndicatorView setColor: #ff000080").find("\"args\""),
            std::string::npos);
  EXPECT_EQ(answer(p, "send NSObject copy"),
            "{\"result\": {\"class\": \"NSObject\"}, \"host\": null}");
  EXPECT_EQ(answer(p, "quit"), "{\"quit\": true}");
  EXPECT_EQ(p.wait(), 0) << p.errors();
}

}  // namespace
}  // namespace vyrtest
