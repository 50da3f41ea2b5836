// `vyr show` and `vyr import` end to end: the built command on a throw-away device, its table
// read back, its picture read back at the places where each element is drawn.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/e2e/show_harness.hpp"
#include "tests/support/temp_device.hpp"
#include "tests/support/vyr_process.hpp"
#include "vyr/render/layout.hpp"

namespace vyrtest {
namespace {

namespace layout = vyr::show::layout;
namespace fs = std::filesystem;

struct Expected {
  const char* row;  // "screen item"
  const char* source;
  const char* value;
};

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The lines that vyr itself wrote ("vyr: ...", "vyr show: ..."); a sanitizer's report at exit
// is not the command's.
int toolLines(const std::string& text) {
  int n = 0;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) n += line.rfind("vyr", 0) == 0;
  return n;
}

class Show : public ::testing::Test {
 protected:
  Finished vyr(std::vector<std::string> args, const RunOptions& options = {}) const {
    args.insert(args.begin(), {"--device", device.root()});
    return runVyrWith(args, options);
  }
  void import(const std::string& profile, bool force = false) const {
    std::vector<std::string> args{"import", std::string(VYR_EXAMPLES) + "/" + profile};
    if (force) args.push_back("--force");
    const Finished f = vyr(args);
    ASSERT_EQ(f.status, 0) << f.err;
  }
  // Runs `vyr show` with ARGS and a picture in the device folder; returns the table's rows.
  std::map<std::string, TableRow> show(std::vector<std::string> args = {}) const {
    args.insert(args.begin(), {"show", "--out", picturePath()});
    const Finished f = vyr(args);
    EXPECT_EQ(f.status, 0) << f.err;
    return parseTable(f.out);
  }
  std::string picturePath() const { return device.root() + "/shown.png"; }
  TempDevice device;
};

void expectRows(const std::map<std::string, TableRow>& rows,
                std::initializer_list<Expected> expected) {
  for (const Expected& e : expected) {
    const auto it = rows.find(e.row);
    ASSERT_NE(it, rows.end()) << e.row;
    EXPECT_EQ(it->second.source, e.source) << e.row;
    EXPECT_EQ(it->second.value, e.value) << e.row;
  }
}

// Every opaque colour of the table shows where its element is drawn.
void expectPictureShowsTable(const Picture& picture, const std::map<std::string, TableRow>& rows) {
  ASSERT_TRUE(picture.ok());
  ASSERT_EQ(picture.width(), layout::kCanvas.width * layout::kPixelsPerPoint);
  struct Place {
    const char* row;
    const layout::Rect* screen;
    std::optional<layout::Point> probe;
    std::optional<layout::Rect> box;
  };
  const layout::Rect* home = &layout::kHomeScreen;
  const layout::Rect* lock = &layout::kLockScreen;
  const Place places[] = {
      {"home signal", home, layout::kSignalProbe, {}},
      {"home Wi-Fi", home, layout::kWifiProbe, {}},
      {"home carrier and time", home, {}, layout::kCarrierBox},
      {"home carrier and time", home, {}, layout::kTimeBox},
      {"home carrier and time", home, {}, layout::kPercentBox},
      {"home battery", home, layout::kBatteryProbe, {}},
      {"home network activity", home, layout::kActivityProbe, {}},
      {"home pull to refresh", home, layout::kRefreshProbe, {}},
      {"lock signal", lock, layout::kSignalProbe, {}},
      {"lock Wi-Fi", lock, layout::kWifiProbe, {}},
      {"lock carrier and padlock", lock, layout::kPadlockProbe, layout::kCarrierBox},
      {"lock battery", lock, layout::kBatteryProbe, {}},
      {"lock network activity", lock, layout::kActivityProbe, {}},
      {"lock clock and date", lock, {}, layout::kClockBox},
      {"lock clock and date", lock, {}, layout::kDateBox},
  };
  int checked = 0;
  for (const Place& place : places) {
    const auto it = rows.find(place.row);
    ASSERT_NE(it, rows.end()) << place.row;
    const std::string& value = it->second.value;
    if (!value.ends_with(":1.000000")) continue;  // only opaque colours
    const Rgb colour = rgbOf(value);
    if (place.probe) {
      const Rgb seen = picture.at(layout::onScreen(*place.screen, *place.probe));
      EXPECT_LE(std::abs(seen.red - colour.red) + std::abs(seen.green - colour.green) +
                    std::abs(seen.blue - colour.blue),
                3)
          << place.row << ": " << toString(seen) << " instead of " << value;
    }
    if (place.box) {
      EXPECT_TRUE(picture.contains(layout::onScreen(*place.screen, *place.box), colour))
          << place.row << ": no pixel of " << value;
    }
    ++checked;
  }
  EXPECT_GT(checked, 0);
}

// The lock screen's bar background: the default style lays a light strip over the wallpaper.
bool lockBarHasStrip(const Picture& picture) {
  const Rgb bar = picture.at(layout::onScreen(layout::kLockScreen, layout::Point{200, 2}));
  return bar.red > rgbOf(layout::kWallpaperTop).red + 30;
}

TEST_F(Show, FreshInstallShowsEveryElementLightGreyAndTheLockScreenInTheDefaultStyle) {
  const auto rows = show();
  ASSERT_EQ(rows.size(), 13u);
  for (const auto& [name, row] : rows) {
    if (name == "lock status-bar style") {
      EXPECT_EQ(row.value, "0 default");
      EXPECT_EQ(row.source, "VYR (lssame)");
    } else {
      EXPECT_EQ(row.value, "#AAAAAA:1.000000") << name;
      EXPECT_EQ(row.source, "preset 6 light grey") << name;
    }
  }
  const Picture picture(picturePath());
  expectPictureShowsTable(picture, rows);
  EXPECT_TRUE(lockBarHasStrip(picture));
}

TEST_F(Show, EachProfileColoursItsElementsInTheTableAndInThePicture) {
  import("presets.plist");
  auto rows = show();
  expectRows(rows, {{"home signal", "preset 13 red", "#FF3B30:1.000000"},
                    {"home Wi-Fi", "preset 10 orange", "#FFA101:1.000000"},
                    {"home carrier and time", "preset 15 yellow", "#EABB00:1.000000"},
                    {"home battery", "preset 9 green", "#4CD964:1.000000"},
                    {"home network activity", "preset 12 purple", "#5856D6:1.000000"},
                    {"home pull to refresh", "preset 12 purple", "#5856D6:1.000000"},
                    {"lock status-bar style", "VYR (lssame)", "0 default"},
                    {"lock signal", "preset 13 red", "#FF3B30:1.000000"},
                    {"lock carrier and padlock", "preset 15 yellow", "#EABB00:1.000000"},
                    {"lock clock and date", "preset 2 blue", "#007AFF:1.000000"}});
  expectPictureShowsTable(Picture(picturePath()), rows);

  // Custom colours as the colour picker writes them, one of them translucent.
  import("custom.plist");
  rows = show();
  expectRows(rows, {{"home signal", "custom vyrColor1", "#FF2D55:1.000000"},
                    {"home Wi-Fi", "custom vyrColor2", "#5AC8FA:1.000000"},
                    {"home carrier and time", "custom vyrColor3", "#FFFFFF:0.500000"},
                    {"home battery", "custom vyrColor4", "#00FF00:1.000000"},
                    {"home network activity", "custom vyrColor5", "#FF9500:1.000000"},
                    {"home pull to refresh", "custom vyrColor5", "#FF9500:1.000000"},
                    {"lock clock and date", "custom vyrColor6", "#FFCC00:1.000000"}});
  Picture picture(picturePath());
  expectPictureShowsTable(picture, rows);
  // Half-transparent white text over the lock screen's strip: lighter than the strip, not white.
  const Rgb strip = picture.at(layout::onScreen(layout::kLockScreen, layout::Point{200, 2}));
  EXPECT_FALSE(picture.contains(layout::onScreen(layout::kLockScreen, layout::kCarrierBox),
                                {255, 255, 255}, 8));
  EXPECT_TRUE(picture.contains(
      layout::onScreen(layout::kLockScreen, layout::kCarrierBox),
      {(strip.red + 255) / 2, (strip.green + 255) / 2, (strip.blue + 255) / 2}, 2));

  // Everything switched off: the host's colours, and the lock screen's own light style.
  import("hosts-own.plist");
  rows = show();
  expectRows(rows, {{"home signal", "host's own", "#000000:1.000000"},
                    {"home carrier and time", "host's own", "#1A1A1A:1.000000"},
                    {"home pull to refresh", "host's own", "#8E8E93:1.000000"},
                    {"lock status-bar style", "host's own", "1 light"},
                    {"lock signal", "host's own", "#FFFFFF:1.000000"},
                    {"lock carrier and padlock", "host's own", "#F2F2F2:1.000000"},
                    // What the host answers for the light style (iOS 8.1's flat foreground
                    // style's near-white), not its default style's near-black.
                    {"lock battery", "host's own", "#F2F2F2:1.000000"},
                    {"lock clock and date", "host's own", "#FFFFFF:1.000000"}});
  picture = Picture(picturePath());
  expectPictureShowsTable(picture, rows);
  EXPECT_FALSE(lockBarHasStrip(picture));

  // Edge cases: the clear entry, an index naming no entry, a custom colour missing its string.
  import("mixed.plist", true);  // holds a preset number no row offers
  rows = show();
  expectRows(rows, {{"home signal", "custom vyrColor1", "#AF52DE:1.000000"},
                    {"home Wi-Fi", "host's own", "#000000:1.000000"},
                    {"home carrier and time", "preset 14 white", "#F8F8F8:1.000000"},
                    {"home battery", "preset 4 clear", "#000000:0.000000"},
                    {"home network activity", "preset, no entry yet", "none"},
                    {"home pull to refresh", "preset, no entry yet", "none"},
                    {"lock status-bar style", "VYR (lssame)", "0 default"},
                    {"lock clock and date", "custom vyrColor6", "#A1A1A1:1.000000"}});
  picture = Picture(picturePath());
  expectPictureShowsTable(picture, rows);
  // Nothing drawn where the battery and the spinners would be.
  const Rgb chrome = rgbOf(layout::kChromeDefault);
  EXPECT_EQ(picture.at(layout::onScreen(layout::kHomeScreen, layout::kBatteryProbe)), chrome);
  EXPECT_EQ(picture.at(layout::onScreen(layout::kHomeScreen, layout::kActivityProbe)), chrome);
  EXPECT_EQ(picture.at(layout::onScreen(layout::kHomeScreen, layout::kRefreshProbe)),
            rgbOf(layout::kListBackground));
}

TEST_F(Show, TheHostIsAskedForTheRequestedStateAndDeviceVersion) {
  import("hosts-own.plist");
  expectRows(show({"--battery", "10"}), {{"home battery", "host's own", "#FF453A:1.000000"}});
  expectRows(show({"--battery", "10", "--charging"}),
             {{"home battery", "host's own", "#34C759:1.000000"}});
  // Charging shows its mark, in the battery's colour.
  const Rgb bolt =
      Picture(picturePath()).at(layout::onScreen(layout::kHomeScreen, layout::kChargingProbe));
  EXPECT_EQ(bolt, rgbOf(0x34c759)) << toString(bolt);
  // The longest caption stays above its own screen: none of it in the gap between the screens.
  const layout::Rect gap{layout::kHomeScreen.right(), 0,
                         layout::kLockScreen.x - layout::kHomeScreen.right(),
                         layout::kHomeScreen.y};
  EXPECT_FALSE(Picture(picturePath()).contains(gap, rgbOf(layout::kCaptionColour), 80));
  const auto light = show({"--style", "light"});
  expectRows(light, {{"home signal", "host's own", "#FFFFFF:1.000000"},
                     {"home carrier and time", "host's own", "#F2F2F2:1.000000"}});
  const Picture picture(picturePath());
  expectPictureShowsTable(picture, light);
  EXPECT_EQ(picture.at(layout::onScreen(layout::kHomeScreen, layout::Point{200, 30})),
            rgbOf(layout::kChromeLight));
  EXPECT_EQ(picture.at(layout::onScreen(layout::kHomeScreen, layout::kChargingProbe)),
            rgbOf(layout::kChromeLight))
      << "no charging mark while not charging";

  // Before iOS 7 the bar asks the classic foreground style, by style unless charging.
  device.write("/.sim/device.conf", "ios=6.0\n");
  expectRows(show(), {{"home carrier and time", "host's own", "#000000:1.000000"},
                      {"home battery", "host's own", "#000000:1.000000"},
                      {"lock carrier and padlock", "host's own", "#FFFFFF:1.000000"}});
  expectRows(show({"--charging"}), {{"home battery", "host's own", "#4CD964:1.000000"}});

  // Later releases ask the battery as their classes do: by charging state on 8.4, by bar style
  // on 9.3; iOS 10's by-style method takes integer capacities, which the library leaves alone,
  // and the table says so rather than silently showing the host's colour.
  import("presets.plist");
  for (const char* release : {"8.4", "9.3"}) {
    expectRows(show({"--ios", release}), {{"home battery", "preset 9 green", "#4CD964:1.000000"}});
  }
  expectRows(show({"--ios", "10.3"}),
             {{"home battery", "host's own", "#000000:1.000000"},
              {"home carrier and time", "preset 15 yellow", "#EABB00:1.000000"}});
  const Finished ten = vyr({"show", "--no-picture"});
  EXPECT_NE(ten.out.find("note: on iOS 10.3 -[UIStatusBarForegroundStyleAttributes "
                         "_batteryColorForCapacity:lowCapacity:style:] takes other argument types"),
            std::string::npos)
      << ten.out;

  // SVG when the name says so.
  const std::string svg = device.root() + "/shown.svg";
  const Finished f = vyr({"show", "--out", svg, "--battery=55"});
  ASSERT_EQ(f.status, 0) << f.err;
  const std::string text = readAll(svg);
  EXPECT_NE(text.find("<svg"), std::string::npos);
  // Text is drawn as outlines, so the state shows as a picture that differs with it.
  ASSERT_EQ(vyr({"show", "--out", svg, "--battery=56"}).status, 0);
  EXPECT_NE(readAll(svg), text) << "the battery's state is drawn";
}

TEST_F(Show, RefusesWhatItCannotDoWithOneLineAndLeavesNoFileBehind) {
  // Usage errors: status 2, one line, nothing started.
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"show", "--battery", "101"},
                                             {"show", "--battery", "-1"},
                                             {"show", "--battery", "half"},
                                             {"show", "--style", "dark"},
                                             {"show", "--out"},
                                             {"show", "--charging=yes"},
                                             {"show", "--out", "x.jpg"},
                                             {"show", "--out=picture"},
                                             {"show", "--no-picture", "--out", "x.png"}}) {
    const Finished f = vyr(args);
    EXPECT_EQ(f.status, 2) << args.back();
    EXPECT_EQ(toolLines(f.err), 1) << f.err;
    EXPECT_TRUE(f.out.empty());
  }

  // The command line is read before any device is made: wrong ones leave no folder behind, and
  // every command's help goes to standard output.
  const std::string fresh = device.root() + "/fresh";
  for (const auto& args : std::vector<std::vector<std::string>>{{"nosuch"},
                                                                {"show", "--battery", "101"},
                                                                {"host", "--frobnicate"},
                                                                {"prefs", "set", "txt"},
                                                                {"colour"},
                                                                {"import"},
                                                                // Roles are no options of these.
                                                                {"show", "--springboard"},
                                                                {"studio", "--settings-app"},
                                                                // Nor run by hand.
                                                                {"role", "springboard"},
                                                                {"role", "settings-app"}}) {
    std::vector<std::string> all = {"--device", fresh};
    all.insert(all.end(), args.begin(), args.end());
    EXPECT_EQ(runVyrWith(all, {}).status, 2) << args[0];
    EXPECT_FALSE(fs::exists(fresh)) << args[0];
  }
  const Finished byHand = runVyrWith({"--device", fresh, "role", "springboard", "--relaunch"}, {});
  EXPECT_NE(byHand.err.find("it is not run by hand"), std::string::npos) << byHand.err;
  const Finished listed = runVyrWith({"--help"}, {});
  EXPECT_EQ(listed.out.find("role"), std::string::npos) << listed.out;
  for (const char* command : {"host", "colour", "color", "prefs", "show", "import"}) {
    const Finished help = runVyrWith({"--device", fresh, command, "--help"}, {});
    EXPECT_EQ(help.status, 0) << command << help.err;
    EXPECT_EQ(help.out.rfind("usage: vyr ", 0), 0u) << command;
    EXPECT_FALSE(fs::exists(fresh)) << command;
  }

  // A folder that holds other things is not turned into a device; an empty one is.
  const std::string other = device.root() + "/other";
  fs::create_directories(other + "/notes");
  Finished refused = runVyrWith({"--device", other, "colour", "#fff"}, {});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("not a device"), std::string::npos) << refused.err;
  EXPECT_FALSE(fs::exists(other + "/.sim"));
  fs::remove(other + "/notes");
  EXPECT_EQ(runVyrWith({"--device", other, "colour", "#fff"}, {}).status, 0);
  EXPECT_TRUE(fs::exists(other + "/.sim/device.conf"));

  // An output folder that does not exist: one line, before SpringBoard starts.
  Finished f = vyr({"show", "--out", device.root() + "/no/such/folder/x.png"});
  EXPECT_EQ(f.status, 1);
  EXPECT_EQ(toolLines(f.err), 1) << f.err;
  EXPECT_NE(f.err.find("cannot write"), std::string::npos);

  // An output path that cannot be replaced: the error names it; no temporary file stays.
  const std::string folder = device.root() + "/pictures";
  fs::create_directories(folder + "/taken.png");
  f = vyr({"show", "--out", folder + "/taken.png"});
  EXPECT_EQ(f.status, 1);
  EXPECT_NE(f.err.find("cannot write " + folder + "/taken.png"), std::string::npos) << f.err;
  EXPECT_TRUE(f.out.empty());
  // Nor is a FIFO, or a link to a device node of the machine: refused and left as they are.
  ASSERT_EQ(::mkfifo((folder + "/fifo.png").c_str(), 0644), 0);
  fs::create_symlink("/dev/null", folder + "/null.png");
  for (const char* name : {"/fifo.png", "/null.png"}) {
    f = vyr({"show", "--out", folder + name});
    EXPECT_EQ(f.status, 1) << name;
    EXPECT_NE(f.err.find("not a regular file"), std::string::npos) << f.err;
  }
  EXPECT_TRUE(fs::is_fifo(folder + "/fifo.png"));
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  int entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(folder)) ++entries;
  EXPECT_EQ(entries, 3);
  fs::remove(folder + "/fifo.png");
  fs::remove(folder + "/null.png");

  // A device folder that cannot be made.
  const std::string file = device.root() + "/plain-file";
  device.write("/plain-file", "x");
  f = runVyrWith({"--device", file + "/device", "show", "--no-picture"}, {});
  EXPECT_EQ(f.status, 1);
  EXPECT_EQ(toolLines(f.err), 1) << f.err;

  // The picture goes to vyr-show.png in the current folder unless --no-picture says none.
  RunOptions here;
  here.cwd = folder;
  f = vyr({"show", "--no-picture"}, here);
  EXPECT_EQ(f.status, 0) << f.err;
  EXPECT_EQ(parseTable(f.out).size(), 13u);
  EXPECT_FALSE(fs::exists(folder + "/vyr-show.png"));
  EXPECT_EQ(vyr({"show"}, here).status, 0);
  EXPECT_TRUE(Picture(folder + "/vyr-show.png").ok());
}

// Interrupted before it showed anything, a one-shot show exits as a shell reports the signal
// (130 for Ctrl-C) and leaves no picture at --out, not even an earlier one that a script could
// take for this run's.
TEST_F(Show, AnInterruptedShowExitsWithTheSignalAndLeavesNoPicture) {
  device.write("/old.png", "an earlier picture");
  VyrProcess shown({"--device", device.root(), "show", "--out", device.root() + "/old.png"});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (shown.errors().find("starting SpringBoard") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(::kill(shown.pid(), SIGINT), 0);
  const auto status = shown.wait();
  ASSERT_TRUE(status.has_value());
  ASSERT_TRUE(WIFEXITED(*status)) << shown.errors();
  EXPECT_EQ(WEXITSTATUS(*status), 130) << shown.errors();
  EXPECT_NE(shown.errors().find("interrupted by SIGINT"), std::string::npos) << shown.errors();
  EXPECT_FALSE(fs::exists(device.root() + "/old.png"));
}

TEST_F(Show, ImportRefusesWhatIsNotASettingsFileAndKeepsTheSettings) {
  import("presets.plist");
  const std::string settings = prefsPath(device);
  const std::string before = readAll(settings);
  ASSERT_EQ(before, readAll(std::string(VYR_EXAMPLES) + "/presets.plist"));

  const std::string data = VYR_HOSTILE_DATA;
  for (const std::string& bad : {data + "/not-a-plist.txt", data + "/array-root-xml.plist",
                                 data + "/truncated-binary-in-keys.plist", data + "/empty.plist",
                                 data + "/missing.plist", data}) {
    const Finished f = vyr({"import", bad});
    EXPECT_EQ(f.status, 1) << bad;
    EXPECT_EQ(toolLines(f.err), 1) << f.err;
    EXPECT_EQ(readAll(settings), before) << bad;
  }
  // Nothing staged is left beside the settings.
  int entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(fs::path(settings).parent_path())) {
    ++entries;
  }
  EXPECT_EQ(entries, 1);
  EXPECT_EQ(vyr({"import"}).status, 2);

  // A property list that the pane would never have written: each problem named by its key, and
  // nothing changed unless forced.
  const std::string odd = device.root() + "/odd.plist";
  {
    std::ofstream(odd) << "<plist version=\"1.0\"><dict>"
                          "<key>sgis</key><true/>"
                          "<key>sbsig</key><string>red</string>"
                          "<key>sig</key><integer>16</integer>"
                          "<key>ENABLED1</key><string>yes</string>"
                          "<key>vyrColor1</key><string>#4cd964ff</string>"
                          "<key>vyrColor2</key><string>#00ff00:abc</string>"
                          "<key>vyrColor3</key><string>#FFFFFF:0.500000</string>"
                          "<key>lssame</key><false/>"
                          "</dict></plist>";
  }
  Finished f = vyr({"import", odd});
  EXPECT_EQ(f.status, 1);
  EXPECT_EQ(readAll(settings), before);
  for (const char* line :
       {"vyr import: sgis: no row", "vyr import: sbsig: holds another kind",
        "vyr import: sig: preset 16 is not offered", "vyr import: ENABLED1: holds another kind",
        "vyr import: vyrColor1: '#4cd964ff' has 8 hex digits; the library "
        "reads it from its first three, as #44ccdd (#RRGGBBAA is written "
        "#RRGGBB:ALPHA: #4CD964:1.000000)",
        "vyr import: vyrColor2: '#00ff00:abc': the alpha"}) {
    EXPECT_NE(f.err.find(line), std::string::npos) << line << " in\n" << f.err;
  }
  EXPECT_EQ(toolLines(f.err), 7) << f.err;  // the two good keys pass
  f = vyr({"import", "--force", odd});
  EXPECT_EQ(f.status, 0) << f.err;
  EXPECT_NE(readAll(settings), before);

  // Export writes what the pane shows: the file's values where its rows take them, the defaults
  // elsewhere; it imports again without a word, and prefs reset brings back the fresh device.
  const std::string exported = device.root() + "/exported.plist";
  f = vyr({"export", exported});
  ASSERT_EQ(f.status, 0) << f.err;
  EXPECT_NE(f.err.find("vyr export: sgis: no row"), std::string::npos) << f.err;
  EXPECT_NE(f.err.find("vyr export: vyrColor1: '#4cd964ff'"), std::string::npos) << f.err;
  const std::string profile = readAll(exported);
  EXPECT_NE(profile.find("<key>vyrColor3</key>\n\t<string>#FFFFFF:0.500000</string>"),
            std::string::npos)
      << profile;
  EXPECT_NE(profile.find("<key>vyrColor1</key>\n\t<string>#a1a1a1:1.0</string>"),
            std::string::npos);
  EXPECT_NE(profile.find("<key>lssame</key>\n\t<false/>"), std::string::npos);
  EXPECT_EQ(profile.find("sgis"), std::string::npos);
  // The import stages its copy under the writers' temporary-file pattern, so that a copy left by
  // a killed import is removed by the next writer, as a killed writer's is.
  const std::string folder = fs::path(settings).parent_path().string();
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, folder.c_str(), IN_CREATE | IN_MOVED_TO), 0);
  f = vyr({"import", exported});
  EXPECT_EQ(f.status, 0) << f.err;
  EXPECT_EQ(toolLines(f.err), 0) << f.err;
  const std::regex writersTemp("\\.com\\.belvorin\\.VYR\\.plist\\.vyr-[0-9a-f]{12}");
  int staged = 0;
  alignas(inotify_event) char events[64 * 1024];
  for (ssize_t n; (n = ::read(watch, events, sizeof events)) > 0;) {
    for (char* at = events; at < events + n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(at);
      const std::string name = e->len > 0 ? e->name : "";
      if (name != "com.belvorin.VYR.plist") {
        EXPECT_TRUE(std::regex_match(name, writersTemp)) << name;
        ++staged;
      }
      at += sizeof(inotify_event) + e->len;
    }
  }
  ::close(watch);
  EXPECT_GE(staged, 1);
  const std::string killed = folder + "/.com.belvorin.VYR.plist.vyr-0123456789ab";
  std::ofstream(killed) << "left by a killed import";
  const timespec old[2] = {{1, 0}, {1, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, killed.c_str(), old, 0), 0);
  EXPECT_EQ(vyr({"prefs", "set", "txt", "Red"}).status, 0);
  EXPECT_FALSE(fs::exists(killed));
  f = vyr({"prefs", "reset"});
  EXPECT_EQ(f.status, 0) << f.err;
  const auto rows = parseTable(vyr({"show", "--no-picture"}).out);
  EXPECT_EQ(rows.at("home signal").value, "#AAAAAA:1.000000");
  EXPECT_EQ(rows.at("lock status-bar style").value, "0 default");
}

// A profile can be piped in (`vyr export - | ... | vyr import -`); an export over an existing
// file says it replaced it.
TEST_F(Show, ImportReadsStandardInputAndExportSaysWhatItReplaced) {
  const std::string profile = xmlPlist({{"sig", "<integer>13</integer>"}});
  const RunResult piped = runVyr({"--device", device.root(), "import", "-"}, profile);
  EXPECT_EQ(piped.exitCode, 0) << piped.err;
  EXPECT_NE(piped.out.find("imported standard input (1 settings)"), std::string::npos) << piped.out;
  EXPECT_EQ(readAll(prefsPath(device)), profile + "\n");  // the line as the test sent it

  const std::string exported = device.root() + "/exported.plist";
  Finished f = vyr({"export", exported});
  EXPECT_EQ(f.err, "vyr export: wrote " + exported + "\n");
  f = vyr({"export", exported});
  EXPECT_EQ(f.status, 0);
  EXPECT_EQ(f.err, "vyr export: replaced " + exported + "\n");
}

// A profile is previewed without being put on the device: the table and picture show it, the
// settings file keeps every byte, and no notification goes out.
TEST_F(Show, APreviewShowsTheProfileAndLeavesTheSettingsAsTheyAre) {
  import("presets.plist");
  const std::string settings = readAll(prefsPath(device));
  const std::string notify = device.root() + "/.sim/notify";
  fs::remove_all(notify);
  const Finished f = vyr(
      {"show", "--profile", std::string(VYR_EXAMPLES) + "/custom.plist", "--out", picturePath()});
  ASSERT_EQ(f.status, 0) << f.err;
  const auto rows = parseTable(f.out);
  EXPECT_EQ(rows.at("home signal").value, "#FF2D55:1.000000");
  EXPECT_EQ(rows.at("home signal").source, "custom vyrColor1");
  expectPictureShowsTable(Picture(picturePath()), rows);
  EXPECT_EQ(readAll(prefsPath(device)), settings);
  EXPECT_TRUE(!fs::exists(notify) || fs::is_empty(notify));
  EXPECT_EQ(vyr({"show", "--watch", "--profile", "x.plist"}).status, 2);
  // A file that is no profile at all is said to be one, not shown as if it chose the defaults.
  const std::string broken = device.root() + "/broken.plist";
  std::ofstream(broken) << "<plist><dict><key>sig</key>";
  const Finished b = vyr({"show", "--profile", broken, "--no-picture"});
  EXPECT_EQ(b.status, 0) << b.err;
  EXPECT_NE(b.err.find(broken + " is not a property list with a dictionary at its root"),
            std::string::npos)
      << b.err;
  EXPECT_EQ(parseTable(b.out).at("home signal").source, "preset 6 light grey");
  EXPECT_EQ(readAll(prefsPath(device)), settings);
  fs::remove(broken);
}

TEST_F(Show, DrawsInTheTerminalOnlyWhenItShowsTrueColour) {
  auto run = [&](bool terminal, const char* colorterm,
                 std::vector<std::string> args = {"--out", "shown.png"},
                 std::vector<std::pair<std::string, std::string>> env = {}) {
    args.insert(args.begin(), "show");
    RunOptions options;
    options.terminal = terminal;
    options.env = {{"COLORTERM", colorterm}, {"COLUMNS", ""}, {"TERM", ""}};
    options.env.insert(options.env.end(), env.begin(), env.end());
    options.cwd = device.root();
    return vyr(args, options);
  };
  const std::string lightGrey = "\x1b[38;2;170;170;170m";
  Finished f = run(true, "truecolor");
  ASSERT_EQ(f.status, 0) << f.err;
  // The signal in its colour, then the table under the picture.
  const std::size_t signal = f.out.find(lightGrey + "\xE2\x97\x8F");
  EXPECT_NE(signal, std::string::npos);
  EXPECT_LT(signal, f.out.find("screen  item"));

  EXPECT_NE(run(true, "24bit").out.find(lightGrey), std::string::npos);
  for (const Finished& plain :
       {run(true, ""), run(false, "truecolor"), run(true, "truecolor", {"--no-picture"}),
        run(true, "", {"--out", "shown.png"}, {{"TERM", "dumb"}})}) {
    EXPECT_EQ(plain.out.find("\x1b["), std::string::npos);
    EXPECT_NE(plain.out.find("screen  item"), std::string::npos);
  }
  // A colour terminal that does not say it shows 24-bit colour gets the 256-colour palette's
  // nearest grey (248 is #a8a8a8), and is told so.
  f = run(true, "", {"--out", "shown.png"}, {{"TERM", "xterm-256color"}});
  EXPECT_NE(f.out.find("\x1b[38;5;248m\xE2\x97\x8F"), std::string::npos) << f.out;
  EXPECT_EQ(f.out.find("\x1b[38;2;"), std::string::npos);
  EXPECT_NE(f.out.find("(drawn with the nearest of 256 colours"), std::string::npos);
  // Too narrow a terminal is told how wide it must be, rather than shown a wrapped mess.
  f = run(true, "truecolor", {"--out", "shown.png"}, {{"COLUMNS", "60"}});
  EXPECT_EQ(f.out.find("\x1b["), std::string::npos);
  EXPECT_NE(f.out.find("at least 74 columns wide; this one has 60"), std::string::npos) << f.out;
  EXPECT_NE(f.out.find("screen  item"), std::string::npos);
}

}  // namespace
}  // namespace vyrtest
