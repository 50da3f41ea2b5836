#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "colour/colour.hpp"
#include "colour/tests/log_capture.hpp"
#include "colour/tests/scripted_random.hpp"
#include "platform/foundation/facade.hpp"
#include "platform/uikit/facade.hpp"
#include "tests/support/temp_device.hpp"

namespace {

using Rgba = std::array<double, 4>;

double single(int byte) {
  return static_cast<double>(static_cast<float>(byte) / 255.0f);
}
Rgba rgba(int r, int g, int b, double a) {
  return {single(r), single(g), single(b), a};
}
const Rgba kFallback = rgba(161, 161, 161, 1);  // "#a1a1a1:1.0"
const Rgba kRed = rgba(255, 0, 0, 1);
const Rgba kHalfRed = rgba(255, 0, 0, 0.5);

Rgba read(const char* key, const char* fallback = "#a1a1a1:1.0",
          const char* domain = "com.belvorin.VYR") {
  return ui::Color(colorFromDefaultsWithKey(ns::String::withUTF8(domain).get(),
                                            ns::String::withUTF8(key).get(),
                                            ns::String::withUTF8(fallback).get()))
      .components();
}

std::string string(const std::string& value) {
  return "<string>" + value + "</string>";
}

std::string fileIn(const std::string& folder, const char* name) {
  std::ifstream in(folder + "/" + name, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

const char kPrefs[] = "/var/mobile/Library/Preferences/com.belvorin.VYR.plist";

TEST(ColorFromDefaults, MissingFileOrKeyGivesTheFallback) {
  vyrtest::TempDevice device;
  ns::AutoreleasePool pool;
  EXPECT_EQ(read("vyrColor1"), kFallback);
  EXPECT_EQ(read("vyrColor1", "#ff0000:0.5"), kHalfRed);

  device.write(kPrefs, vyrtest::xmlPlist({{"vyrColor2", string("#ff0000")}}));
  EXPECT_EQ(read("vyrColor1"), kFallback);
  EXPECT_EQ(read("vyrcolor2"), kFallback);  // keys match exactly, case included
  EXPECT_EQ(read("vyrColor2"), kRed);
  // Another domain has a file of its own.
  EXPECT_EQ(read("vyrColor2", "#a1a1a1:1.0", "com.belvorin.Other"), kFallback);

  // Files that hold no dictionary.
  for (const char* name :
       {"array-root-binary.plist", "truncated-binary-in-values.plist", "truncated-xml.plist"}) {
    device.write(kPrefs, fileIn(VYR_HOSTILE_DATA, name));
    EXPECT_EQ(read("vyrColor2"), kFallback) << name;
  }
  device.write(kPrefs, "");
  EXPECT_EQ(read("vyrColor2"), kFallback);
  std::filesystem::remove(device.path(kPrefs));
  std::filesystem::create_directories(device.path(kPrefs));
  EXPECT_EQ(read("vyrColor2"), kFallback);
}

TEST(ColorFromDefaults, ValuesThatAreNotStringsGiveTheFallback) {
  vyrtest::TempDevice device;
  ns::AutoreleasePool pool;
  device.write(kPrefs,
               vyrtest::xmlPlist({{"int", "<integer>16711680</integer>"},
                                  {"real", "<real>0.5</real>"},
                                  {"bool", "<true/>"},
                                  {"date", "<date>2014-10-20T00:00:00Z</date>"},
                                  {"data", "<data>/wAA</data>"},
                                  {"array", "<array><string>#ff0000</string></array>"},
                                  {"dict", "<dict><key>a</key><string>#f00</string></dict>"}}));
  for (const char* key : {"int", "real", "bool", "date", "data", "array", "dict"}) {
    EXPECT_EQ(read(key, "#00ff00:0.25"), rgba(0, 255, 0, 0.25)) << key;
  }
}

TEST(ColorFromDefaults, AppliesTheAlphaSuffix) {
  vyrtest::TempDevice device;
  ns::AutoreleasePool pool;
  device.write(kPrefs, vyrtest::xmlPlist({
                           {"hash", string("#ff0000:0.5")},
                           {"bare", string("ff0000:0.5")},
                           {"short", string("#f00:0.5")},
                           {"none", string("#ff0000")},
                           {"empty", string("#ff0000:")},
                           {"word", string("#ff0000:abc")},
                           {"more", string("#ff0000:0.5:0.2")},
                           {"lead", string("#ff0000:0.75xyz")},
                           {"picker", string("#A1A1A1:1.000000")},
                           {"tenth", string("#ff0000:0.1")},
                       }));
  EXPECT_EQ(read("hash"), kHalfRed);
  EXPECT_EQ(read("bare"), kHalfRed);
  EXPECT_EQ(read("short"), kHalfRed);
  EXPECT_EQ(read("none"), kRed);
  EXPECT_EQ(read("empty"), rgba(255, 0, 0, 0));
  EXPECT_EQ(read("word"), rgba(255, 0, 0, 0));
  EXPECT_EQ(read("more"), kHalfRed);
  EXPECT_EQ(read("lead"), rgba(255, 0, 0, 0.75));
  EXPECT_EQ(read("picker"), kFallback);
  // The alpha is read in single precision.
  EXPECT_EQ(read("tenth")[3], static_cast<double>(0.1f));
  // The fallback's suffix is read the same way.
  EXPECT_EQ(read("absent", "#00f:"), rgba(0, 0, 255, 0));
  EXPECT_EQ(read("absent", "0000ff"), rgba(0, 0, 255, 1));
}

TEST(ColorFromDefaults, ReadsBinaryAndXmlFilesAlike) {
  vyrtest::TempDevice device;
  ns::AutoreleasePool pool;
  colourtest::ScriptedRandom draws({0, 0, 0, 0, 0, 0});
  for (const char* name : {"prefs-binary.plist", "prefs-xml.plist"}) {
    SCOPED_TRACE(name);
    device.write(kPrefs, fileIn(VYR_COLOUR_TEST_DATA, name));
    EXPECT_EQ(read("vyrColor1"), kFallback);                   // "#A1A1A1:1.000000"
    EXPECT_EQ(read("vyrColor2"), kHalfRed);                    // "#ff0000:0.5"
    EXPECT_EQ(read("vyrColor3"), kRed);                        // "f00"
    EXPECT_EQ(read("vyrColor4", "#0f0"), rgba(0, 255, 0, 1));  // the integer 7
    EXPECT_EQ(read("vyrColor5", "#0f0"), rgba(0, 255, 0, 1));  // an array
    EXPECT_EQ(read("vyrColor6"), (Rgba{0.5, 0.25, 0.25, 1}));  // "": random (draws of 0)
  }
}

TEST(ColorFromDefaults, ReadsFileAndFallbackAfreshOnEveryCall) {
  vyrtest::TempDevice device;
  ns::AutoreleasePool pool;
  colourtest::ScriptedRandom draws({0, 0, 0, 128, 64, 127, 256, 0, 0, 1, 2, 3});
  device.write(kPrefs, vyrtest::xmlPlist({{"vyrColor1", string("#ff0000:0.5")}}));
  EXPECT_EQ(read("vyrColor1"), kHalfRed);
  device.write(kPrefs, vyrtest::xmlPlist({{"vyrColor1", string("#0000ff")}}));
  EXPECT_EQ(read("vyrColor1"), rgba(0, 0, 255, 1));

  // An empty fallback draws a random colour on every call, also when the stored value is used.
  EXPECT_EQ(draws.count(), 0u);
  EXPECT_EQ(read("vyrColor1", ""), rgba(0, 0, 255, 1));
  EXPECT_EQ(draws.count(), 3u);
  EXPECT_EQ(read("vyrColor1", ":0.5"), rgba(0, 0, 255, 1));
  EXPECT_EQ(draws.count(), 6u);

  // An empty stored value: a new random colour on every call, alpha from the suffix or 1.
  device.write(kPrefs, vyrtest::xmlPlist({{"empty", string("")}, {"quarter", string(":0.25")}}));
  const Rgba first = read("empty");
  const Rgba second = read("quarter");
  EXPECT_EQ(draws.count(), 12u);
  EXPECT_EQ(first, ui::Color::withHue(0, 0.5, 0.5, 1).components());
  EXPECT_EQ(second,
            ui::Color::withHue(1.0 / 256, 2.0 / 256 + 0.5, 3.0 / 256 + 0.5, 0.25).components());
}

}  // namespace
