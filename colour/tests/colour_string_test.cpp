#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "colour/colour.hpp"
#include "colour/tests/log_capture.hpp"
#include "colour/tests/scripted_random.hpp"
#include "platform/foundation/facade.hpp"
#include "platform/uikit/facade.hpp"

namespace {

long retainCount(objc::id obj) {
  return static_cast<long>(objc::send<"retainCount", unsigned long>(obj));
}

using colourtest::invalid;
using colourtest::logLinesOf;
using Lines = std::vector<std::string>;
using Rgba = std::array<double, 4>;

// A byte as colorFromHex makes it a component: divided in single precision.
double single(int byte) {
  return static_cast<double>(static_cast<float>(byte) / 255.0f);
}
Rgba bytes(int r, int g, int b) {
  return {single(r), single(g), single(b), 1};
}

Rgba fromHex(const char* text) {
  return ui::Color(colorFromHex(ns::String::withUTF8(text).get())).components();
}

TEST(ColorFromHex, SixDigitsInSinglePrecision) {
  ns::AutoreleasePool pool;
  const auto lines = logLinesOf([] {
    const Rgba grey = fromHex("#a1a1a1");
    EXPECT_EQ(grey[0], 0.6313725709915161);  // not 161/255 in double, 0.6313725490196078
    EXPECT_EQ(grey, bytes(161, 161, 161));
    EXPECT_EQ(fromHex("a1a1a1"), grey);
    EXPECT_EQ(fromHex("#A1A1A1"), grey);
    EXPECT_EQ(fromHex("#ffffff"), (Rgba{1, 1, 1, 1}));
    EXPECT_EQ(fromHex("#000000"), (Rgba{0, 0, 0, 1}));
    EXPECT_EQ(fromHex("#4cd964"), bytes(0x4c, 0xd9, 0x64));
    // Every byte value, in every position.
    for (int b = 0; b < 256; ++b) {
      char text[16];
      std::snprintf(text, sizeof text, "#%02x%02X%02x", b, 255 - b, b);
      ASSERT_EQ(fromHex(text), bytes(b, 255 - b, b)) << text;
    }
  });
  EXPECT_EQ(lines, Lines{});
  // An autoreleased colour: the caller does not own it.
  EXPECT_EQ(retainCount(colorFromHex(ns::String::withUTF8("#123456").get())), 1);
}

TEST(ColorFromHex, OtherLengthsAreTheShortForm) {
  ns::AutoreleasePool pool;
  const auto lines = logLinesOf([] {
    EXPECT_EQ(fromHex("#abc"), bytes(0xaa, 0xbb, 0xcc));
    EXPECT_EQ(fromHex("abc"), bytes(0xaa, 0xbb, 0xcc));
    EXPECT_EQ(fromHex("#ab"), bytes(0xaa, 0xbb, 0));
    EXPECT_EQ(fromHex("#abcd"), bytes(0xaa, 0xbb, 0xcc));
    EXPECT_EQ(fromHex("#abcde"), bytes(0xaa, 0xbb, 0xcc));
    EXPECT_EQ(fromHex("#12345678"), bytes(0x11, 0x22, 0x33));  // no alpha in eight digits
    EXPECT_EQ(fromHex("#1234567"), bytes(0x11, 0x22, 0x33));
    // Fewer than two bytes: the missing ones are "0" digits.
    EXPECT_EQ(fromHex("#a"), bytes(0xaa, 0, 0));
    EXPECT_EQ(fromHex("f"), bytes(0xff, 0, 0));
    EXPECT_EQ(fromHex("#"), bytes(0, 0, 0));
  });
  EXPECT_EQ(lines, Lines{});

  // Only one "#" goes; the second is a digit of the seven-byte short form "##aabb".
  Rgba twoHashes{};
  EXPECT_EQ(logLinesOf([&] { twoHashes = fromHex("##abcdef"); }),
            (Lines{invalid(35), invalid(35)}));
  EXPECT_EQ(twoHashes, bytes(0, 0xaa, 0xbb));
  // A lone "#" after the first is a one-byte text.
  Rgba hashOnly{};
  EXPECT_EQ(logLinesOf([&] { hashOnly = fromHex("##"); }), (Lines{invalid(35), invalid(35)}));
  EXPECT_EQ(hashOnly, bytes(0, 0, 0));
}

TEST(ColorFromHex, InvalidBytesAreLoggedAndReadAsZero) {
  ns::AutoreleasePool pool;
  Rgba c{};
  EXPECT_EQ(logLinesOf([&] { c = fromHex("#zzzzzz"); }), Lines(6, invalid(122)));
  EXPECT_EQ(c, (Rgba{0, 0, 0, 1}));
  EXPECT_EQ(logLinesOf([&] { c = fromHex("#g1ff0h"); }), (Lines{invalid(103), invalid(104)}));
  EXPECT_EQ(c, bytes(0x01, 0xff, 0x00));
  // "é" is two UTF-8 bytes, expanded to C3 C3 A9 A9.
  EXPECT_EQ(logLinesOf([&] { c = fromHex("#\xC3\xA9"); }),
            (Lines{invalid(-61), invalid(-61), invalid(-87), invalid(-87)}));
  EXPECT_EQ(c, (Rgba{0, 0, 0, 1}));
  // Six bytes of which the high ones are UTF-8: "ü" (C3 BC) among digits.
  EXPECT_EQ(logLinesOf([&] {
              c = fromHex(
                  "ff\xC3\xBC"
                  "80");
            }),
            (Lines{invalid(-68), invalid(-61)}));
  EXPECT_EQ(c, bytes(0xff, 0, 0x80));
}

TEST(ColorFromHex, EmptyOrNilDrawsHueSaturationBrightness) {
  ns::AutoreleasePool pool;
  // Draws chosen so that the modulo matters: 0x1FF % 256 = 255, 0x185 % 128 = 5, 0xFF % 128 = 127.
  colourtest::ScriptedRandom draws({0x1FF, 0x185, 0xFF, 256, 128, 0});
  const Rgba first = ui::Color(colorFromHex(ns::String::withUTF8("").get())).components();
  EXPECT_EQ(draws.count(), 3u);
  EXPECT_EQ(first,
            ui::Color::withHue(255.0 / 256, 5.0 / 256 + 0.5, 127.0 / 256 + 0.5, 1).components());
  const Rgba second = ui::Color(colorFromHex(nullptr)).components();
  EXPECT_EQ(draws.count(), 6u);
  EXPECT_EQ(second, ui::Color::withHue(0, 0.5, 0.5, 1).components());
  // The extremes stay in range: hue below 1, saturation and brightness 0.5 to 0.99609375.
  EXPECT_EQ(second, (Rgba{0.5, 0.25, 0.25, 1}));
  // A non-empty string draws nothing.
  ui::Color(colorFromHex(ns::String::withUTF8("#").get()));
  EXPECT_EQ(draws.count(), 6u);
}

TEST(ColorFromHex, AnyShortOddTextGivesAnOpaqueColour) {
  // Every text of up to four bytes from an alphabet of digits, "#", separators, control and
  // high bytes: a colour comes back, and (under the address sanitizer) nothing is read past the
  // end of any text.
  const std::string alphabet("#a0F:g \x01\x80\xC3\xFF", 12);
  std::vector<std::string> texts{""};
  for (std::size_t length = 1; length <= 4; ++length) {
    std::vector<std::string> longer;
    for (const std::string& t : texts) {
      if (t.size() + 1 != length) continue;
      for (char c : alphabet) longer.push_back(t + c);
    }
    texts.insert(texts.end(), longer.begin(), longer.end());
  }
  colourtest::ScriptedRandom draws({1, 2, 3});
  logLinesOf([&] {
    for (const std::string& t : texts) {
      ns::AutoreleasePool pool;
      const ui::Color c(colorFromHex(ns::String::withUTF8(t.c_str()).get()));
      ASSERT_FALSE(c.isNil()) << t;
      ASSERT_EQ(c.components()[3], 1.0) << t;
    }
  });
}

}  // namespace
