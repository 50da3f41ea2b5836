// The table's wording and the terminal drawing, from scenes made up here.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "vyr/show/report.hpp"
#include "vyr/show/terminal.hpp"

namespace vyrtest {
namespace {

using vyr::show::Answer;
using vyr::show::Element;
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
}

TEST(Report, RowsFollowTheDrawingOrderAndLineUp) {
  Scene scene;
  scene.iosVersion = "8.1";
  scene.home.signal = {Rgba{1, 0, 0, 1}, false};
  scene.lockStyle = 1;
  scene.lockStyleHostsOwn = true;
  const auto rows = vyr::show::tableRows(scene, [](Element e, const Answer& a) {
    return std::string(vyr::show::elementName(e)) + (a.hostsOwn ? " host" : " vyr");
  });
  ASSERT_EQ(rows.size(), 13u);
  EXPECT_EQ(rows[0].item, "signal");
  EXPECT_EQ(rows[0].value, "#ff0000ff");
  EXPECT_EQ(rows[0].source, "sig vyr");
  EXPECT_EQ(rows[5].item, "pull to refresh");
  EXPECT_EQ(rows[6].value, "1 light");
  EXPECT_EQ(rows[6].source, "host's own");
  EXPECT_EQ(rows[12].element, "rec");

  const std::string table = vyr::show::formatTable(scene, rows);
  EXPECT_EQ(table.rfind("SpringBoard on iOS 8.1: battery 80%, home screen in style default\n", 0),
            0u);
  // Every line puts its colour in the same column.
  std::istringstream lines(table);
  std::string line;
  std::getline(lines, line);
  std::getline(lines, line);
  const std::size_t column = line.find("colour");
  while (std::getline(lines, line)) EXPECT_EQ(line.rfind("  ") + 2, column) << line;
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
