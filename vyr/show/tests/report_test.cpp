// How colours print in the table, and the terminal drawing of a scene made up here.
#include <gtest/gtest.h>

#include <cmath>

#include "vyr/show/report.hpp"
#include "vyr/show/terminal.hpp"

namespace vyrtest {
namespace {

using vyr::show::Rgba;
using vyr::show::Scene;

TEST(Report, ColoursPrintAsRoundedBytesWithAlpha) {
  using vyr::show::hexOf;
  EXPECT_EQ(hexOf(Rgba{2.0 / 3, 2.0 / 3, 2.0 / 3, 1}), "#aaaaaaff");
  EXPECT_EQ(hexOf(Rgba{1, 59 / 255.0, 48 / 255.0, 0.5}), "#ff3b3080");
  EXPECT_EQ(hexOf(Rgba{0, 0, 0, 0}), "#00000000");
  // Components out of range or not numbers never print more than two digits.
  EXPECT_EQ(hexOf(Rgba{-1, 2, std::nan(""), 1e300}), "#00ff00ff");
  EXPECT_EQ(hexOf(std::nullopt), "none");
  // The table's form is the colour cells' own, which the library reads back as the same colour.
  using vyr::show::colourString;
  EXPECT_EQ(colourString(Rgba{76 / 255.0, 217 / 255.0, 100 / 255.0, 1}), "#4CD964:1.000000");
  EXPECT_EQ(colourString(Rgba{0, 1, 0, 128 / 255.0}), "#00FF00:0.501961");
  EXPECT_EQ(colourString(Rgba{-1, 2, std::nan(""), std::nan("")}), "#00FF00:0.000000");
  EXPECT_EQ(colourString(Rgba{1, 1, 1, 7}), "#FFFFFF:1.000000");
  EXPECT_EQ(colourString(std::nullopt), "none");
}

TEST(Terminal, ElementsShowInTheirColourOverTheirBackground) {
  Scene scene;
  scene.home.signal = {Rgba{1, 0, 0, 1}, false};
  scene.home.text = {Rgba{0, 0, 0, 0.5}, false};  // over the light bar: half grey
  scene.legibility = {Rgba{0, 0.5, 1, 1}, false};
  const std::string text = vyr::show::renderTerminal(scene);
  EXPECT_NE(text.find("\x1b[38;2;255;0;0m\xE2\x97\x8F"), std::string::npos);
  EXPECT_NE(text.find("\x1b[38;2;124;124;124m"), std::string::npos);  // 0xf7 / 2, rounded
  EXPECT_NE(text.find("\x1b[38;2;0;128;255m"), std::string::npos);
  // Elements without a colour are left out: no battery, no spinners.
  EXPECT_EQ(text.find("\xE2\x96\x8C"), std::string::npos);
  EXPECT_EQ(text.find("\xE2\x9C\xBB"), std::string::npos);
  // Fifteen rows of two screens under a caption, each row reset at its end.
  std::size_t lines = 0;
  for (std::size_t at = 0; (at = text.find("\x1b[0m\n", at)) != std::string::npos; ++at) ++lines;
  EXPECT_EQ(lines, 15u);
}

}  // namespace
}  // namespace vyrtest
