#include "colour/prefs_cache.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

#include "colour/colour.hpp"
#include "platform/foundation/facade.hpp"
#include "platform/uikit/facade.hpp"
#include "tests/support/temp_device.hpp"

namespace {

using Rgba = std::array<double, 4>;

const double kGrey = static_cast<double>(161.0f / 255.0f);
const Rgba kFallback = {kGrey, kGrey, kGrey, 1.0};

std::string prefsOf(const std::string& domain) {
  return "/var/mobile/Library/Preferences/" + domain + ".plist";
}

// Stores the colour #0000BB (blue byte BLUE) under "c" in DOMAIN's file.
void writeColour(const vyrtest::TempDevice& device, const std::string& domain, int blue) {
  char value[32];
  std::snprintf(value, sizeof value, "<string>#0000%02x</string>", blue);
  device.write(prefsOf(domain), vyrtest::xmlPlist({{"c", value}}));
}

Rgba colourOf(objc::id domain) {
  return ui::Color(colorFromDefaultsWithKey(domain, ns::String::withUTF8("c").get(),
                                            ns::String::literal<"#a1a1a1:1.0">().get()))
      .components();
}
Rgba colourOf(const char* domain) {
  return colourOf(ns::String::withUTF8(domain).get());
}
Rgba blue(int b) {
  return {0, 0, static_cast<double>(static_cast<float>(b) / 255.0f), 1};
}

TEST(PreferencesCache, EveryDomainReadsItsOwnFileAsItIsNow) {
  vyrtest::TempDevice device;
  ns::AutoreleasePool pool;
  // More domains than the cache keeps: the rest are read afresh, with the same results.
  const char* domains[] = {"com.a", "com.b", "com.c", "com.d", "com.e", "com.f"};
  for (int round = 1; round <= 3; ++round) {
    for (int i = 0; i < 6; ++i) writeColour(device, domains[i], 10 * i + round);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(colourOf(domains[i]), blue(10 * i + round)) << i;
  }
  device.remove(prefsOf("com.b"));
  device.remove(prefsOf("com.f"));
  EXPECT_EQ(colourOf("com.b"), kFallback);
  EXPECT_EQ(colourOf("com.f"), kFallback);
  EXPECT_EQ(colourOf("com.a"), blue(3));

  // The path is formed as "%@" forms it: another spelling of a path is the same file, and a
  // domain that is not a string is named by its description.
  EXPECT_EQ(colourOf("../Preferences/com.a"), blue(3));
  writeColour(device, "com.a", 99);
  EXPECT_EQ(colourOf("com.a"), blue(99));
  EXPECT_EQ(colourOf("../Preferences/com.a"), blue(99));
  writeColour(device, "5", 55);
  EXPECT_EQ(colourOf(ns::Number::withInt(5).get()), blue(55));
  writeColour(device, "(null)", 77);
  EXPECT_EQ(colourOf(static_cast<objc::id>(nullptr)), blue(77));

  // The same file by path and by domain.
  const auto byPath = colour::Preferences::atPath(prefsOf("com.c"));
  ASSERT_TRUE(byPath);
  EXPECT_EQ(ns::String(byPath.dictionary().objectForKey(ns::String::withUTF8("c").get())).str(),
            "#000017");  // 10 * 2 + 3
}

TEST(PreferencesCache, ADictionaryInUseOutlivesItsReplacement) {
  vyrtest::TempDevice device;
  ns::AutoreleasePool pool;
  const ns::String key = ns::String::withUTF8("c");
  writeColour(device, "com.x", 1);
  const auto first = colour::Preferences::atPath(prefsOf("com.x"));
  writeColour(device, "com.x", 2);
  const auto second = colour::Preferences::atPath(prefsOf("com.x"));
  std::filesystem::remove(device.path(prefsOf("com.x")));
  const auto third = colour::Preferences::atPath(prefsOf("com.x"));
  // The first two still hold what they read (AddressSanitizer would see a freed dictionary).
  EXPECT_EQ(ns::String(first.dictionary().objectForKey(key.get())).str(), "#000001");
  EXPECT_EQ(ns::String(second.dictionary().objectForKey(key.get())).str(), "#000002");
  EXPECT_FALSE(third);
}

}  // namespace
