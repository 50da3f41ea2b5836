#include "platform/colorpicker/colour_string.hpp"

#include <gtest/gtest.h>

namespace {

std::string canonical(std::string_view text) {
  const auto c = colorpicker::parseColourString(text);
  return c ? colorpicker::formatColourString(*c) : "refused";
}

TEST(ColourString, AcceptedFormsStoreAsUpperCaseHexWithSixDecimalAlpha) {
  EXPECT_EQ(canonical("#a1a1a1:1.0"), "#A1A1A1:1.000000");
  EXPECT_EQ(canonical("a1a1a1"), "#A1A1A1:1.000000");
  EXPECT_EQ(canonical("#FfA101:0.5"), "#FFA101:0.500000");
  EXPECT_EQ(canonical("#abc"), "#AABBCC:1.000000");
  EXPECT_EQ(canonical("  #007aff:.25 \n"), "#007AFF:0.250000");
  EXPECT_EQ(canonical("#000000:0"), "#000000:0.000000");
  EXPECT_EQ(canonical("#ffffff:1"), "#FFFFFF:1.000000");
  EXPECT_EQ(canonical("#123456:0.1234567"), "#123456:0.123457");
  // An alpha byte, as tools print "#rrggbbaa", is stored as the decimal alpha.
  EXPECT_EQ(canonical("#4cd964ff"), "#4CD964:1.000000");
  EXPECT_EQ(canonical("#00FF0080"), "#00FF00:0.501961");
  EXPECT_EQ(canonical("#ff000000"), "#FF0000:0.000000");
}

TEST(ColourString, RefusesAnythingElse) {
  for (const char* bad : {"",
                          "#",
                          "#12",
                          "#1234",
                          "#12345",
                          "#1234567",
                          "12345678",
                          "#12345678:1",
                          "#123456789",
                          "#ggg",
                          "#12345z",
                          "red",
                          "0x123456",
                          "##123456",
                          "#123456:",
                          "#123456:1.5",
                          "#123456:-0.1",
                          "#123456:nan",
                          "#123456:inf",
                          "#123456:1e-1",
                          "#123456:0.5.5",
                          "#123456:.",
                          "#123456:0.5:1",
                          "#12 456",
                          "#\xc3\xa9\xc3\xa9\xc3\xa9"}) {
    EXPECT_FALSE(colorpicker::parseColourString(bad).has_value()) << bad;
  }
  EXPECT_FALSE(colorpicker::parseColourString(std::string_view("#12\0"
                                                               "456",
                                                               7))
                   .has_value());
}

}  // namespace
