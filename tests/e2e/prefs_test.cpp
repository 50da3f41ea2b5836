// The pane end to end: `vyr prefs` changes a setting of a device while a `vyr host` UI process of
// that device runs, the host sees it, and the pane's Respring ends the host and tells what it did.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "tests/support/temp_device.hpp"
#include "tests/support/vyr_process.hpp"

namespace vyrtest {
namespace {

constexpr const char kTextColour[] =
    "send UIStatusBarForegroundStyleAttributes textColorForStyle: 0";
// Palette entry 13 (#ff3b30) as vyr host prints it: in the device's CGFloat, a float on 32-bit
// ARM, a double elsewhere.
#if defined(__arm__)
constexpr const char kRed[] = "[1, 0.23137255, 0.188235298, 1]";
#else
constexpr const char kRed[] = "[1, 0.23137254901960785, 0.18823529411764706, 1]";
#endif
constexpr const char kGreen[] = "[0, 1, 0, 1]";

class PrefsEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = device_.root() + "/device";
    // The first command lays out the device and installs VYR into it.
    ASSERT_EQ(prefs({"get", "txt"}), "Light grey\n");
  }
  std::string prefs(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"--device", dir_, "prefs"};
    all.insert(all.end(), args.begin(), args.end());
    const RunResult r = runVyr(all);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r.out;
  }
  std::string textColour(VyrProcess& host) {
    const auto answer = host.ask(kTextColour);
    EXPECT_TRUE(answer.has_value()) << host.errors();
    return answer.value_or("");
  }
  // Asks until the answer holds EXPECTED: a notification reaches the host on its run loop, a
  // moment after the pane posted it.
  bool textColourBecomes(VyrProcess& host, const std::string& expected) {
    for (int i = 0; i < 50; ++i) {
      if (textColour(host).find(expected) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  // A process driven by hand that a respring ends says so in one line and exits with 3.
  static bool endedByRespring(VyrProcess& host) {
    const auto status = host.wait(std::chrono::seconds(10));
    const std::string said = host.errors();
    const std::string line = "vyr host: resprung: killall ";
    const std::size_t at = said.find(line);
    return status.has_value() && WIFEXITED(*status) && WEXITSTATUS(*status) == 3 &&
           at != std::string::npos && (at == 0 || said[at - 1] == '\n') &&
           said.find('\n', at) == said.size() - 1;
  }

  TempDevice device_;
  std::string dir_;
};

TEST_F(PrefsEndToEnd, HostSeesPresetsAtOnceCustomColoursAfterTheNotificationAndEndsAtRespring) {
  VyrProcess host({"--device", dir_, "host"});
  const std::string before = textColour(host);
  EXPECT_EQ(before.find(kRed), std::string::npos) << before;

  EXPECT_EQ(prefs({"set", "txt", "Red"}), "Red\n");
  EXPECT_NE(textColour(host).find(kRed), std::string::npos);

  EXPECT_EQ(prefs({"set", "vyrColor3", "#0f0"}), "#00FF00:1.000000\n");
  EXPECT_NE(textColour(host).find(kRed), std::string::npos);  // the custom switch is still off
  EXPECT_EQ(prefs({"set", "ENABLED3", "YES"}), "YES\n");
  EXPECT_TRUE(textColourBecomes(host, kGreen)) << host.errors();

  // The navigation bar's Respring ends backboardd, which takes every UI process down.
  VyrProcess other({"--device", dir_, "host", "--process", "MobileSafari"});
  ASSERT_TRUE(other.ask(kTextColour).has_value()) << other.errors();
  const std::string report = prefs({"respring"});
  EXPECT_TRUE(endedByRespring(host)) << host.errors();
  EXPECT_TRUE(endedByRespring(other)) << other.errors();
  // What each step did, and what was ended: the two hosts' device processes, each by a pid of its
  // own (in either order; a host's device process is a process of its sandbox, not the pid of
  // the command).
  EXPECT_NE(report.find("system rm -rf /User/Library/Caches/com.apple.newsstand: not there\n"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("system killall -9 lsd: signalled lsd\n"), std::string::npos) << report;
  std::set<long> pids;
  for (const std::string name : {"SpringBoard", "MobileSafari"}) {
    const std::size_t at = report.find(name + " (pid ");
    ASSERT_NE(at, std::string::npos) << report;
    pids.insert(std::atol(report.c_str() + at + name.size() + 6));
  }
  EXPECT_EQ(pids.size(), 2U) << report;
  EXPECT_EQ(pids.count(0), 0U) << report;
  EXPECT_NE(report.find("\nstarted again: nothing\n"), std::string::npos) << report;
}

// A step that fails (a folder where unlink expects a file) is told, the steps after it still run,
// and the command fails.
TEST_F(PrefsEndToEnd, ARespringWithAFailedStepSaysWhichAndExitsOne) {
  const std::string cache = dir_ + "/var/mobile/Library/Caches/";
  std::filesystem::remove(cache + "com.apple.springboard-imagecache-icons");
  std::filesystem::create_directories(cache + "com.apple.springboard-imagecache-icons/inner");
  std::filesystem::create_directories(cache + "com.apple.newsstand/images");
  const RunResult r = runVyr({"--device", dir_, "prefs", "respring"});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.out.find("unlink /User/Library/Caches/com.apple.springboard-imagecache-icons: not "
                       "removed: Is a directory\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("system rm -rf /User/Library/Caches/com.apple.newsstand: removed\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("system killall backboardd: signalled backboardd\n"), std::string::npos)
      << r.out;
  EXPECT_EQ(r.err, "vyr prefs: 1 step of the respring failed\n");
  EXPECT_FALSE(std::filesystem::exists(cache + "com.apple.newsstand"));
}

// A cache that is a link is removed as rm -rf removes it, whatever it leads to, and the report
// says so: a link out of the device and one to nothing resolve nowhere, yet they were removed.
TEST_F(PrefsEndToEnd, ARespringSaysLinksItRemovedWereRemoved) {
  const std::string cache = dir_ + "/var/mobile/Library/Caches/";
  std::filesystem::create_directories(cache);
  const std::string outside = device_.root() + "/outside";
  std::filesystem::create_directories(outside);
  std::filesystem::create_directory_symlink(outside, cache + "com.apple.newsstand");
  std::filesystem::create_symlink("nowhere", cache + "BarDialer");
  const RunResult r = runVyr({"--device", dir_, "prefs", "respring"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  for (const char* name : {"com.apple.newsstand", "BarDialer"}) {
    EXPECT_NE(r.out.find(std::string("system rm -rf /User/Library/Caches/") + name + ": removed\n"),
              std::string::npos)
        << r.out;
    EXPECT_FALSE(std::filesystem::is_symlink(cache + name)) << name;
  }
  EXPECT_TRUE(std::filesystem::is_directory(outside));
}

// A key, a value or an action near one the pane has is answered with the nearest; the US spelling
// of a grey preset picks it.
TEST_F(PrefsEndToEnd, NearMissesGetTheNearestNameAndGrayIsGrey) {
  const auto said = [this](const std::vector<std::string>& args) {
    std::vector<std::string> all = {"--device", dir_};
    all.insert(all.end(), args.begin(), args.end());
    return runVyr(all);
  };
  RunResult r = said({"prefs", "get", "Sig"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("did you mean 'sig'?"), std::string::npos) << r.err;
  r = said({"prefs", "set", "sig", "rde"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Did you mean 'Red'?"), std::string::npos) << r.err;
  r = said({"prefs", "set", "ENABLED1", "yse"});
  EXPECT_NE(r.err.find("Did you mean 'YES'?"), std::string::npos) << r.err;
  r = said({"prefs", "sett", "sig", "Red"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("did you mean 'set'?"), std::string::npos) << r.err;
  r = said({"sho"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("did you mean 'show'?"), std::string::npos) << r.err;
  // Nothing near: no guess.
  r = said({"prefs", "get", "battery"});
  EXPECT_EQ(r.err.find("did you mean"), std::string::npos) << r.err;

  EXPECT_EQ(prefs({"set", "sig", "gray"}), "Grey\n");
  EXPECT_EQ(prefs({"set", "sig", "Dark Gray"}), "Dark grey\n");
  EXPECT_EQ(prefs({"set", "sig", "light gray"}), "Light grey\n");
}

// Each change made through VYR is undone in turn, back to the settings file as it was, byte for
// byte, however many steps (and processes) later; then there is nothing left to undo.
TEST_F(PrefsEndToEnd, UndoPutsBackEachChangeMadeThroughVyrInTurn) {
  const std::string settings = dir_ + "/var/mobile/Library/Preferences/com.belvorin.VYR.plist";
  const auto bytes = [&settings] {
    std::ifstream in(settings, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  prefs({"set", "sig", "Red"});
  const std::string first = bytes();
  RunResult r = runVyr({"--device", dir_, "import", std::string(VYR_EXAMPLES) + "/presets.plist"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  prefs({"reset"});
  for (int i = 0; i < 21; ++i) prefs({"set", "bat", std::to_string(i % 2 + 1)});

  for (int i = 0; i < 21; ++i) {
    r = runVyr({"--device", dir_, "prefs", "undo"});
    ASSERT_EQ(r.exitCode, 0) << i << r.err;
  }
  r = runVyr({"--device", dir_, "prefs", "undo"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out.rfind("undid prefs reset\n", 0), 0u) << r.out;
  r = runVyr({"--device", dir_, "prefs", "undo"});
  EXPECT_EQ(r.out.rfind("undid import ", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("  txt          Light grey (was "), std::string::npos) << r.out;
  EXPECT_EQ(bytes(), first);
  EXPECT_EQ(prefs({"undo"}).rfind("undid prefs set sig Red\n", 0), 0u);
  EXPECT_EQ(prefs({"get", "sig"}), "Light grey\n");
  r = runVyr({"--device", dir_, "prefs", "undo"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("nothing to undo"), std::string::npos) << r.err;
}

// A change made outside VYR since VYR's last one is never undone silently: the undo stops, says
// so, and the file stays as the other program left it.
TEST_F(PrefsEndToEnd, UndoStopsAtAChangeMadeOutsideVyr) {
  const std::string settings = dir_ + "/var/mobile/Library/Preferences/com.belvorin.VYR.plist";
  prefs({"set", "sig", "Red"});
  const std::string edited =
      "<plist version=\"1.0\"><dict><key>sig</key><integer>4</integer>"
      "</dict></plist>";
  std::ofstream(settings, std::ios::trunc) << edited;
  const RunResult r = runVyr({"--device", dir_, "prefs", "undo"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("by something other than VYR; nothing undone"), std::string::npos) << r.err;
  std::ifstream in(settings, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), edited);
}

// The runtime folder (the supervisors' sockets) is the user's own whatever the environment: a
// folder another user made first where the runtime folder used to be (/tmp/vyr-UID) takes
// nothing, a host started without XDG_RUNTIME_DIR is ended by a respring made with it (one
// supervisor, not two), and a runtime folder that is not the user's alone is refused by every
// command, naming it and saying why.
TEST_F(PrefsEndToEnd, TheRuntimeFolderIsTheUsersOwnWhateverTheEnvironmentOrAnotherUserDid) {
  if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    GTEST_SKIP() << "playing another user's folders needs root (a mount namespace of its own)";
  }
  // In this test's mount namespace alone: /tmp/vyr-0 made first by nobody, open to all.
  const std::string taken = "/tmp/vyr-" + std::to_string(::geteuid());
  std::filesystem::create_directories(taken);
  ASSERT_EQ(::mount("tmpfs", taken.c_str(), "tmpfs", 0, "mode=0777,uid=65534,gid=65534"), 0);
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::optional<std::string> saved =
      runtime != nullptr ? std::optional<std::string>(runtime) : std::nullopt;
  ::unsetenv("XDG_RUNTIME_DIR");
  VyrProcess host({"--device", dir_, "host"});
  ASSERT_TRUE(host.ask(kTextColour).has_value()) << host.errors();
  TempDevice elsewhere;  // a private folder of this user's, as a login session's would be
  ::setenv("XDG_RUNTIME_DIR", elsewhere.root().c_str(), 1);
  const RunResult respring = runVyr({"--device", dir_, "prefs", "respring"});
  EXPECT_EQ(respring.exitCode, 0) << respring.err;
  EXPECT_TRUE(endedByRespring(host)) << respring.out << host.errors();

  // The runtime folder itself open to others: refused, named, with the reason.
  const passwd* user = ::getpwuid(::geteuid());
  ASSERT_NE(user, nullptr);
  const std::string folder = std::string(user->pw_dir) + "/.local/state/vyr";
  std::filesystem::create_directories(folder);
  ASSERT_EQ(::mount("tmpfs", folder.c_str(), "tmpfs", 0, "mode=0755,uid=65534,gid=65534"), 0);
  const RunResult refused = runVyr({"--device", dir_, "prefs", "get", "txt"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("the runtime folder " + folder + " cannot be used: "),
            std::string::npos)
      << refused.err;
  EXPECT_NE(refused.err.find("belongs to another user (uid 65534)"), std::string::npos)
      << refused.err;
  if (saved) {
    ::setenv("XDG_RUNTIME_DIR", saved->c_str(), 1);
  } else {
    ::unsetenv("XDG_RUNTIME_DIR");
  }
}

TEST_F(PrefsEndToEnd, OnOldReleasesTheRespringEndsSpringBoardItself) {
  std::ofstream(dir_ + "/.sim/device.conf") << "ios=5.1\n";  // CoreFoundation 690.10
  VyrProcess springBoard({"--device", dir_, "host"});
  VyrProcess other({"--device", dir_, "host", "--process", "MobileSafari"});
  ASSERT_TRUE(springBoard.ask(kTextColour).has_value()) << springBoard.errors();
  ASSERT_TRUE(other.ask(kTextColour).has_value()) << other.errors();

  EXPECT_NE(prefs({"tap", "Respring"}).find("system killall SpringBoard: signalled SpringBoard"),
            std::string::npos);
  EXPECT_TRUE(endedByRespring(springBoard));
  EXPECT_FALSE(other.wait(std::chrono::milliseconds(300)).has_value());
  EXPECT_TRUE(other.ask(kTextColour).has_value());
}

TEST_F(PrefsEndToEnd, RefusedValuesListWhatTheRowTakesAndUnknownKeysFail) {
  const auto run = [this](const std::vector<std::string>& args) {
    std::vector<std::string> all = {"--device", dir_, "prefs"};
    all.insert(all.end(), args.begin(), args.end());
    return runVyr(all);
  };
  RunResult r = run({"set", "txt", "Purple2"});
  EXPECT_EQ(r.exitCode, 1);
  int choices = 0;
  for (std::size_t at = 0; (at = r.err.find("\n  ", at)) != std::string::npos; ++at) {
    choices += std::isdigit(static_cast<unsigned char>(r.err[at + 3])) != 0;
  }
  EXPECT_EQ(choices, 15) << r.err;
  for (const char* choice : {"  1    Black\n", "  13   Red\n", "  15   Yellow\n"}) {
    EXPECT_NE(r.err.find(choice), std::string::npos) << r.err;
  }
  EXPECT_EQ(prefs({"get", "txt"}), "Light grey\n");

  for (const auto& args : std::vector<std::vector<std::string>>{
           {"get", ""}, {"set", "", "1"}, {"get", "nosuch"}, {"set", "nosuch", "1"}}) {
    r = run(args);
    EXPECT_NE(r.exitCode, 0) << args[0] << " '" << args[1] << "'";
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_NE(r.err.find("no such key"), std::string::npos) << r.err;
  }

  // A change that cannot be written is no success: exit 1, the reason, the old value kept.
  const std::string folder = dir_ + "/var/mobile/Library/Preferences";
  std::filesystem::rename(folder, folder + "-away");
  std::ofstream(folder) << "a file where the folder was";
  r = run({"set", "txt", "13"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.out.empty()) << r.out;
  EXPECT_NE(r.err.find("nothing changed"), std::string::npos) << r.err;
  std::filesystem::remove(folder);
  std::filesystem::rename(folder + "-away", folder);
  EXPECT_EQ(prefs({"get", "txt"}), "Light grey\n");

  // A settings file that is not a property list is said at once, then kept, and the user is told
  // where.
  std::ofstream(folder + "/com.belvorin.VYR.plist") << "not a property list";
  r = run({"get", "txt"});
  EXPECT_EQ(r.out, "Light grey\n");
  EXPECT_NE(r.err.find("vyr prefs: the settings file "
                       "/var/mobile/Library/Preferences/com.belvorin.VYR.plist cannot be read"),
            std::string::npos)
      << r.err;
  r = run({"set", "txt", "13"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const std::size_t named =
      r.err.find("/var/mobile/Library/Preferences/com.belvorin.VYR.plist.unreadable-");
  ASSERT_NE(named, std::string::npos) << r.err;
  const std::string kept = r.err.substr(named, r.err.find(' ', named) - named);
  std::ifstream copy(dir_ + kept);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(copy), {}), "not a property list");

  // The colour row takes #RRGGBBAA, as tools print it, and stores the colour cells' own form.
  EXPECT_EQ(prefs({"set", "vyrColor1", "#00ff0080"}), "#00FF00:0.501961\n");
  // A tap says what it came to; the pane's defaults come back with reset.
  r = run({"tap", "Get libcolorpicker"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.err.find("vyr prefs: tapped 'Get libcolorpicker': the device opened "
                       "cydia://package/org.thebigboss.libcolorpicker"),
            std::string::npos)
      << r.err;
  std::filesystem::remove_all(dir_ + "/Applications/Cydia.app");
  r = run({"tap", "Get libcolorpicker"});
  EXPECT_NE(r.err.find("no application opened anything"), std::string::npos) << r.err;
  EXPECT_EQ(prefs({"reset"}), "reset 25 rows to the pane's defaults\n");
  EXPECT_EQ(prefs({"get", "txt"}), "Light grey\n");
  EXPECT_EQ(prefs({"get", "vyrColor1"}), "#A1A1A1:1.000000\n");
}

// What the device's files hold reaches the terminal with its control characters spelt out, and
// an empty --device is refused before any device is touched.
TEST_F(PrefsEndToEnd, DeviceTextIsEscapedAndAnEmptyDeviceIsRefused) {
  const std::string hostile = "\x1b]0;owned\x07\x1b[2J#ff0000\r\n\xc2\x9b";
  std::ofstream(dir_ + "/var/mobile/Library/Preferences/com.belvorin.VYR.plist")
      << xmlPlist({{"vyrColor1", "<string>" + hostile + "</string>"}});
  const std::string escaped = "\\e]0;owned\\x07\\e[2J#ff0000\\r\\n\\u009b";
  EXPECT_EQ(prefs({"get", "vyrColor1"}), escaped + "\n");
  const std::string listing = prefs({});
  EXPECT_NE(listing.find(escaped), std::string::npos) << listing;
  EXPECT_EQ(listing.find('\x1b'), std::string::npos);
  // A file name is device text too: the loader of a device process quotes it when it refuses a
  // planted library.
  std::ofstream(dir_ + "/Library/MobileSubstrate/DynamicLibraries/\x1b]0;owned\x07.dylib")
      << "not a library";
  const RunResult loaded = runVyr({"--device", dir_, "host"});
  EXPECT_NE(loaded.err.find("MS:Error: "), std::string::npos) << loaded.err;
  EXPECT_NE(loaded.err.find("\\e]0;owned\\x07.dylib"), std::string::npos) << loaded.err;
  EXPECT_EQ(loaded.err.find('\x1b'), std::string::npos);
  // So is the release named in the device's .sim/device.conf, quoted when it is refused...
  std::ofstream(dir_ + "/.sim/device.conf") << "ios=\x1b]0;owned\x07\xc2\x9b\n";
  const RunResult release = runVyr({"--device", dir_, "prefs", "get", "txt"});
  EXPECT_EQ(release.exitCode, 1) << release.err;
  EXPECT_NE(release.err.find("'ios=\\e]0;owned\\x07\\u009b' is not an iOS version"),
            std::string::npos)
      << release.err;
  EXPECT_EQ(release.err.find_first_of("\x1b\x07"), std::string::npos);
  EXPECT_EQ(release.err.find("\xc2\x9b"), std::string::npos);
  std::filesystem::remove(dir_ + "/.sim/device.conf");
  // ...and the name of a settings file that was set aside, which anyone can plant.
  const std::string preferences = dir_ + "/var/mobile/Library/Preferences/";
  std::ofstream(preferences + "com.belvorin.VYR.plist") << "not a property list";
  std::ofstream(preferences + "com.belvorin.VYR.plist.unreadable-\x1b]0;owned\x07\xc2\x9b")
      << "kept";
  // Run as its own device process, the way it runs where no sandbox can be had: no relay of
  // standard error stands between it and the terminal.
  ::setenv("VYR_DEVICE_PROCESS", "1", 1);
  const RunResult aside = runVyr({"--device", dir_, "prefs", "get", "txt"});
  ::unsetenv("VYR_DEVICE_PROCESS");
  EXPECT_NE(aside.err.find("kept earlier as /var/mobile/Library/Preferences/"
                           "com.belvorin.VYR.plist.unreadable-\\e]0;owned\\x07\\u009b"),
            std::string::npos)
      << aside.err;
  EXPECT_EQ(aside.err.find_first_of("\x1b\x07"), std::string::npos);
  EXPECT_EQ(aside.err.find("\xc2\x9b"), std::string::npos);

  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--device", "", "prefs"}, {"--device=", "prefs", "get", "sig"}}) {
    const RunResult r = runVyr(args);
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_NE(r.err.find("--device"), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace vyrtest
