#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "colour/colour.hpp"
#include "colour/tests/log_capture.hpp"
#include "platform/foundation/facade.hpp"

namespace {

using colourtest::invalid;
using colourtest::logLinesOf;
using Lines = std::vector<std::string>;
using Bytes = std::vector<unsigned char>;

TEST(ConvertFromHex, ReadsDigitsOfEitherCaseModulo32Bits) {
  ns::AutoreleasePool pool;
  const auto lines = logLinesOf([] {
    EXPECT_EQ(convertFromHex(""), 0);
    EXPECT_EQ(convertFromHex("ff"), 255);
    EXPECT_EQ(convertFromHex("FF"), 255);
    EXPECT_EQ(convertFromHex("fF"), 255);
    EXPECT_EQ(convertFromHex("0A"), 10);
    EXPECT_EQ(convertFromHex("7"), 7);
    EXPECT_EQ(convertFromHex("09afAF"), 0x09afaf);
    EXPECT_EQ(convertFromHex("12345678"), 305419896);
    EXPECT_EQ(convertFromHex("ffffffff"), -1);
    EXPECT_EQ(convertFromHex("80000000"), INT32_MIN);
    // Positions 8 and beyond fall outside 32 bits and add nothing.
    EXPECT_EQ(convertFromHex("123456789"), 0x23456789);
    EXPECT_EQ(convertFromHex("fffffffff0000000a"), 0x0000000a);
  });
  EXPECT_EQ(lines, Lines{});
}

TEST(ConvertFromHex, LogsEachInvalidByteOnceAndCountsItAsZero) {
  ns::AutoreleasePool pool;
  EXPECT_EQ(logLinesOf([] { EXPECT_EQ(convertFromHex("1g"), 16); }), Lines{invalid(103)});
  EXPECT_EQ(logLinesOf([] { EXPECT_EQ(convertFromHex("g1"), 1); }), Lines{invalid(103)});
  EXPECT_EQ(logLinesOf([] { EXPECT_EQ(convertFromHex("zz"), 0); }),
            (Lines{invalid(122), invalid(122)}));
  // The invalid byte keeps its place: "1x1" is 0x101, not 0x11.
  EXPECT_EQ(logLinesOf([] { EXPECT_EQ(convertFromHex("1x1"), 0x101); }), Lines{invalid(120)});
  // Bytes are logged as signed 8-bit codes, from the last byte to the first.
  EXPECT_EQ(logLinesOf([] { EXPECT_EQ(convertFromHex("\xC3\xA9"), 0); }),
            (Lines{invalid(-87), invalid(-61)}));
  EXPECT_EQ(logLinesOf([] {
              EXPECT_EQ(convertFromHex("\x80"
                                       "1\xFF"),
                        0x10);
            }),
            (Lines{invalid(-1), invalid(-128)}));
  EXPECT_EQ(logLinesOf([] {
              EXPECT_EQ(convertFromHex(std::string("\0"
                                                   "f",
                                                   2)),
                        15);
            }),
            Lines{invalid(0)});
  EXPECT_EQ(logLinesOf([] { EXPECT_EQ(convertFromHex("# -"), 0); }),
            (Lines{invalid(45), invalid(32), invalid(35)}));
  // Beyond position 8 an invalid byte adds nothing either, but is still logged.
  EXPECT_EQ(logLinesOf([] { EXPECT_EQ(convertFromHex("g00000001"), 1); }), Lines{invalid(103)});
}

TEST(Hextodec, StoresThreeTwoDigitGroups) {
  ns::AutoreleasePool pool;
  const auto parse = [](const std::string& text) {
    Bytes rgb(3, 0);
    hextodec(text, rgb);
    return rgb;
  };
  const auto lines = logLinesOf([&] {
    EXPECT_EQ(parse("a1b2c3"), (Bytes{161, 178, 195}));
    EXPECT_EQ(parse("A1B2C3"), (Bytes{161, 178, 195}));
    EXPECT_EQ(parse("aabb"), (Bytes{170, 187, 0}));          // third group empty
    EXPECT_EQ(parse("abcde"), (Bytes{171, 205, 14}));        // third group one digit
    EXPECT_EQ(parse("a1b2c3d4e5"), (Bytes{161, 178, 195}));  // the rest ignored
    EXPECT_EQ(parse("ffffff"), (Bytes{255, 255, 255}));
  });
  EXPECT_EQ(lines, Lines{});

  // Only the first three elements are written; the size stays.
  Bytes wide{9, 9, 9, 9, 9};
  hextodec("010203", wide);
  EXPECT_EQ(wide, (Bytes{1, 2, 3, 9, 9}));

  // Invalid bytes: group by group, the right-hand byte of each group first.
  Bytes rgb(3, 7);
  EXPECT_EQ(logLinesOf([&] { hextodec("zyxw1v", rgb); }),
            (Lines{invalid(121), invalid(122), invalid(119), invalid(120), invalid(118)}));
  EXPECT_EQ(rgb, (Bytes{0, 0, 16}));
}

TEST(Hextodec, RefusesShortInputBeforeTouchingAnything) {
  ns::AutoreleasePool pool;
  for (const std::string text : {"abc", "", "a", "zzz", "\xC3\xA9"}) {
    SCOPED_TRACE(text);
    Bytes rgb{4, 5, 6};
    const auto lines = logLinesOf([&] {
      try {
        hextodec(text, rgb);
        ADD_FAILURE() << "no exception";
      } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "basic_string::substr");
      }
    });
    EXPECT_EQ(lines, Lines{});
    EXPECT_EQ(rgb, (Bytes{4, 5, 6}));
  }
  // Too small a vector is the caller's error, refused before any conversion or log line.
  Bytes small{1, 2};
  const auto lines =
      logLinesOf([&] { EXPECT_THROW(hextodec("zzzzzz", small), std::invalid_argument); });
  EXPECT_EQ(lines, Lines{});
  EXPECT_EQ(small, (Bytes{1, 2}));
}

}  // namespace
